// Handler 161: a GIF file is a header and optional global colour table, then extension and image
// blocks up to the trailer byte 0x3B. Extension and image data are chains of sub-blocks, each a
// length byte and that many bytes, ended by a zero length.
#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint8_t kTrailer = 0x3B;
constexpr std::uint8_t kExtension = 0x21;
constexpr std::uint8_t kImage = 0x2C;
constexpr std::uint64_t kScreenDescriptorEnd = 13;
constexpr std::uint64_t kImageDescriptor = 10;

// Bytes of the colour table that a packed-fields byte announces.
std::uint64_t colourTableBytes(std::uint8_t packed) {
  return (packed & 0x80) != 0 ? 3u << ((packed & 7u) + 1u) : 0;
}

// The offset after the sub-block chain that starts at `off`, or the walk limit when it runs on.
std::uint64_t skipSubBlocks(DiskBytes& d, std::uint64_t off) {
  while (off < d.limit() && d.context().running()) {
    const std::uint8_t n = d.u8(off);
    off += 1 + std::uint64_t{n};
    if (n == 0) return off;
  }
  return d.limit();
}

CarveResult findGifEnd(const CarveContext& ctx) {
  DiskBytes d(ctx, 8);
  if (d.available() == 0) return rejected(d);
  std::uint64_t off = kScreenDescriptorEnd + colourTableBytes(d.u8(10));
  while (off < d.limit() && ctx.running()) {
    const std::uint8_t b = d.u8(off);
    if (b == kTrailer) {
      off += 1;
      break;
    }
    if (b == kExtension) {
      off = skipSubBlocks(d, off + 2);  // introducer and label, then the data sub-blocks
    } else if (b == kImage) {
      off += kImageDescriptor + colourTableBytes(d.u8(off + 9));
      off = skipSubBlocks(d, off + 1);  // the LZW code size byte precedes the data sub-blocks
    } else {
      break;
    }
  }
  return sizeOnly(d, off);
}

}  // namespace

extern const FormatRoutine kGifFormat{161, "gif", &findGifEnd};

}  // namespace ov::carver
