// Handler 236: RIFF files (AVI and the other RIFF forms). The RIFF header states the size of what
// follows its first eight bytes, so the file ends at that size plus 8. When the top-level chunks
// run exactly to that end the file is whole and the scan may jump over it.
#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint8_t kRiff[] = {'R', 'I', 'F', 'F'};

CarveResult findRiffEnd(const CarveContext& ctx) {
  DiskBytes d(ctx, 8);
  if (d.available() == 0 || !d.matches(0, kRiff) || d.le32(4) < 4) return rejected(d);
  for (std::uint64_t i = 8; i < 12; ++i) {
    const std::uint8_t c = d.u8(i);
    if (c < 0x20 || c > 0x7E) return rejected(d);  // the form type is four printable characters
  }
  const std::uint64_t size = std::uint64_t{d.le32(4)} + 8;
  return riffChunksReach(d, size) ? endAt(d, size) : sizeOnly(d, size);
}

}  // namespace

extern const FormatRoutine kRiffFormat{236, "riff", &findRiffEnd};

}  // namespace ov::carver
