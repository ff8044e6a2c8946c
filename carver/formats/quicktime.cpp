// Handlers 15 and 63: QuickTime and MPEG-4 files are a chain of top-level atoms, each a
// big-endian size (header included) and a four-letter lower-case type.
#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint32_t kAtomHeader = 8;

bool isAtomType(DiskBytes& d, std::uint64_t off) {
  for (std::uint64_t i = 0; i < 4; ++i) {
    const std::uint8_t c = d.u8(off + i);
    if (c < 'a' || c > 'z') return false;
  }
  return true;
}

CarveResult findAtomChainEnd(const CarveContext& ctx) {
  DiskBytes d(ctx, 8);
  if (d.available() == 0) return rejected(d);
  std::uint64_t end = 0;
  while (end < d.limit() && ctx.running()) {
    const std::uint32_t size = d.be32(end);
    // Sizes below the header's own length (0 "to the end", 1 "64-bit size follows", or damage)
    // cannot be followed: the chain ends before such an atom.
    if (size < kAtomHeader || !isAtomType(d, end + 4)) break;
    // An atom that runs past the disk's end is cut there.
    end = std::min(end + size, d.limit());
  }
  return sizeOnly(d, end);
}

}  // namespace

extern const FormatRoutine kQuickTimeFormat{15, "quicktime", &findAtomChainEnd};
extern const FormatRoutine kQuickTimeAltFormat{63, "quicktime", &findAtomChainEnd};

}  // namespace ov::carver
