// Handler 245: 7z archives. The 32-byte start header holds the offset and size of the next header
// (the archive's directory, at its end) and is guarded by a CRC-32: the archive ends where the
// next header does. The next header begins with its kind (a plain or an encoded header).
#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint8_t kMagic[] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
constexpr std::uint64_t kStartHeader = 32;
constexpr std::uint8_t kHeader = 0x01, kEncodedHeader = 0x17;
// The next header's own CRC is checked when it is at most this long.
constexpr std::uint64_t kCheckedNextHeader = 16 * 1024 * 1024;

CarveResult findSevenZipEnd(const CarveContext& ctx) {
  DiskBytes d(ctx, 8);
  if (d.available() == 0 || !d.matches(0, kMagic) || d.u8(6) != 0) return rejected(d);
  const auto crc = crc32Of(d, 12, 20);
  if (!crc || *crc != d.le32(8)) return rejected(d);
  const std::uint64_t offset = d.le64(12), size = d.le64(20);
  if (size == 0 || offset > d.limit() || size > d.limit() - offset) return rejected(d);
  const std::uint64_t at = kStartHeader + offset, end = at + size;
  if (end <= d.available()) {
    const std::uint8_t kind = d.u8(at);
    if (kind != kHeader && kind != kEncodedHeader) return rejected(d);
    if (size <= kCheckedNextHeader) {
      const auto next = crc32Of(d, at, size);
      if (next && *next != d.le32(28)) return rejected(d);
    }
  }
  return endAt(d, end);
}

}  // namespace

extern const FormatRoutine kSevenZipFormat{245, "7z", &findSevenZipEnd};

}  // namespace ov::carver
