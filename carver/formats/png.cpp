// Handler 185: a PNG file is its signature, an IHDR chunk and more chunks up to IEND; each chunk
// is a big-endian length, a four-letter type, the data and a CRC.
#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint8_t kIhdr[] = {'I', 'H', 'D', 'R'};
constexpr std::uint8_t kIend[] = {'I', 'E', 'N', 'D'};
constexpr std::uint64_t kFirstChunk = 33;  // signature 8 + IHDR 25
constexpr std::uint32_t kMaxChunkLength = 0x80000000u;

bool isLetter(std::uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The header's fields must hold values a decoder accepts.
bool validHeader(DiskBytes& d) {
  if (d.be32(8) != 13 || !d.matches(12, kIhdr)) return false;
  const std::uint32_t width = d.be32(16), height = d.be32(20);
  if (width == 0 || height == 0 || width >= kMaxChunkLength || height >= kMaxChunkLength) return false;
  const std::uint8_t depth = d.u8(24), colour = d.u8(25);
  if (depth == 0 || depth > 16 || (depth != 1 && depth % 2 != 0)) return false;
  if (colour != 0 && colour != 2 && colour != 3 && colour != 4 && colour != 6) return false;
  return d.u8(26) == 0 && d.u8(27) == 0 && d.u8(28) <= 1;
}

CarveResult findPngEnd(const CarveContext& ctx) {
  DiskBytes d(ctx, 8);
  if (d.available() == 0 || !validHeader(d)) return rejected(d);
  std::uint64_t end = kFirstChunk;
  // Every chunk moves at least 12 bytes on; the walk stops at the disk's end or the size cap.
  while (end < d.limit() && ctx.running()) {
    const std::uint32_t length = d.be32(end);
    if (length >= kMaxChunkLength) break;
    bool typeOk = true;
    for (std::uint64_t i = 4; i < 8; ++i) typeOk = typeOk && isLetter(d.u8(end + i));
    if (!typeOk) break;
    const bool last = d.matches(end + 4, kIend);
    end += std::uint64_t{length} + 12;
    if (last) break;
  }
  return endAt(d, end);
}

}  // namespace

extern const FormatRoutine kPngFormat{185, "png", &findPngEnd};

}  // namespace ov::carver
