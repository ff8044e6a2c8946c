// Handler 244: SQLite 3 databases. The header gives the page size and, when it is current (its
// "valid for" number equals the change counter), the number of pages: the file is their product.
#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint8_t kMagic[] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't', ' ', '3', 0};

CarveResult findSqliteEnd(const CarveContext& ctx) {
  DiskBytes d(ctx, 1);
  if (d.available() == 0 || !d.matches(0, kMagic)) return rejected(d);
  std::uint64_t page = d.be16(16);
  if (page == 1) page = 65536;
  // A power of two from 512 to 65,536; file format versions 1 or 2; the fixed payload fractions.
  if (page < 512 || (page & (page - 1)) != 0 || d.u8(18) < 1 || d.u8(18) > 2 || d.u8(19) < 1 || d.u8(19) > 2 ||
      d.u8(21) != 64 || d.u8(22) != 32 || d.u8(23) != 32)
    return rejected(d);
  const std::uint64_t pages = d.be32(28);
  // Written by a library too old to keep the page count: no size of its own.
  if (pages == 0 || d.be32(92) != d.be32(24)) return sizeOnly(d, 0);
  return endFromField(d, page * pages);
}

}  // namespace

extern const FormatRoutine kSqliteFormat{244, "sqlite", &findSqliteEnd};

}  // namespace ov::carver
