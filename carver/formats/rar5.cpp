// Handler 246: RAR archives. A RAR 5 archive is its signature and a run of blocks, each a CRC-32
// of its header, the header's size and type in RAR's variable-length numbers, flags, and an
// optional data area whose size the header gives; the block walk ends after the end-of-archive
// block. An older RAR archive (version 1.5 to 4) is accepted without a size of its own.
#include <optional>

#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint8_t kRar5[] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00};
constexpr std::uint8_t kRar4[] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
constexpr std::uint64_t kMaxHeader = 2 * 1024 * 1024;  // the format's limit for one header
constexpr std::uint64_t kMainHeader = 1, kEncryptionHeader = 4, kEndOfArchive = 5;
constexpr std::uint64_t kExtraArea = 0x01, kDataArea = 0x02;
constexpr std::uint32_t kMaxBlocks = 1u << 24;

// A RAR variable-length number (7 bits per byte, low first, at most ten bytes) at `at`.
std::optional<std::uint64_t> vint(DiskBytes& d, std::uint64_t& at, std::uint64_t end) {
  std::uint64_t value = 0;
  for (unsigned shift = 0; shift < 64 && at < end; shift += 7) {
    const std::uint8_t b = d.u8(at++);
    value |= std::uint64_t{b & 0x7Fu} << shift;
    if ((b & 0x80u) == 0) return value;
  }
  return std::nullopt;
}

CarveResult findRarEnd(const CarveContext& ctx) {
  DiskBytes d(ctx, 8);
  if (d.available() == 0) return rejected(d);
  if (d.matches(0, kRar4)) return sizeOnly(d, 0);
  if (!d.matches(0, kRar5)) return rejected(d);
  std::uint64_t at = sizeof kRar5;
  for (std::uint32_t n = 0; n < kMaxBlocks && at < d.limit() && ctx.running(); ++n) {
    std::uint64_t p = at + 4;
    const auto headerSize = vint(d, p, p + 3);
    if (!headerSize || *headerSize == 0 || *headerSize > kMaxHeader) break;
    const std::uint64_t headerEnd = p + *headerSize;
    const auto crc = crc32Of(d, at + 4, headerEnd - (at + 4));
    if (!crc || *crc != d.le32(at)) break;
    const auto type = vint(d, p, headerEnd);
    const auto flags = vint(d, p, headerEnd);
    if (!type || !flags || *type == 0 || *type > kEndOfArchive) break;
    if (n == 0 && *type != kMainHeader && *type != kEncryptionHeader) return rejected(d);
    if ((*flags & kExtraArea) != 0 && !vint(d, p, headerEnd)) break;
    std::uint64_t data = 0;
    if ((*flags & kDataArea) != 0) {
      const auto size = vint(d, p, headerEnd);
      if (!size) break;
      data = *size;
    }
    if (data > d.limit() - std::min(headerEnd, d.limit())) return endAt(d, d.limit());
    at = headerEnd + data;
    if (*type == kEndOfArchive) return endAt(d, at);
  }
  // The walk ended before the end-of-archive block: a damaged or cut archive, as far as it went.
  return at == sizeof kRar5 ? rejected(d) : endAt(d, at);
}

}  // namespace

extern const FormatRoutine kRarFormat{246, "rar", &findRarEnd};

}  // namespace ov::carver
