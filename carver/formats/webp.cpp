// Handler 237: WebP pictures, a RIFF form whose first chunk is the image ("VP8 " lossy, "VP8L"
// lossless) or the extended header "VP8X". The file ends at the RIFF size plus 8.
#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint8_t kRiff[] = {'R', 'I', 'F', 'F'};
constexpr std::uint8_t kWebp[] = {'W', 'E', 'B', 'P'};
constexpr std::uint8_t kLossy[] = {'V', 'P', '8', ' '};
constexpr std::uint8_t kLossless[] = {'V', 'P', '8', 'L'};
constexpr std::uint8_t kExtended[] = {'V', 'P', '8', 'X'};
constexpr std::uint8_t kLossyStartCode[] = {0x9D, 0x01, 0x2A};
constexpr std::uint8_t kLosslessSignature = 0x2F;

CarveResult findWebpEnd(const CarveContext& ctx) {
  DiskBytes d(ctx, 8);
  if (d.available() == 0 || !d.matches(0, kRiff) || !d.matches(8, kWebp)) return rejected(d);
  const std::uint64_t size = std::uint64_t{d.le32(4)} + 8;
  const std::uint64_t first = d.le32(16);
  if (size < 20 || first + 20 > size) return rejected(d);
  bool ok = false;
  if (d.matches(12, kLossy)) ok = first >= 10 && d.matches(23, kLossyStartCode);
  else if (d.matches(12, kLossless)) ok = first >= 5 && d.u8(20) == kLosslessSignature;
  else if (d.matches(12, kExtended)) ok = first == 10 && (d.u8(20) & 0xC1) == 0;
  if (!ok) return rejected(d);
  return riffChunksReach(d, size) ? endAt(d, size) : sizeOnly(d, size);
}

}  // namespace

extern const FormatRoutine kWebpFormat{237, "webp", &findWebpEnd};

}  // namespace ov::carver
