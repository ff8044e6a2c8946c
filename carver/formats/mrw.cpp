// Handler 207: a Minolta raw file is its header blocks followed by the packed sensor data.
#include "carver/formats/common.h"

namespace ov::carver {
namespace {

CarveResult findMrwEnd(const CarveContext& ctx) {
  DiskBytes d(ctx, 1);
  if (d.available() == 0) return rejected(d);
  const std::uint64_t headerBlocks = d.be32(4);
  // Sensor rows × columns × bits per sample, rounded up to whole bytes; 64 bits hold the product.
  const std::uint64_t bits = std::uint64_t{d.be16(24)} * d.be16(26) * d.u8(32);
  return sizeOnly(d, 8 + headerBlocks + (bits + 7) / 8);
}

}  // namespace

extern const FormatRoutine kMrwFormat{207, "mrw", &findMrwEnd};

}  // namespace ov::carver
