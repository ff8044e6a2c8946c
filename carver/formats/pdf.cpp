// Handler 110: PDF. A linearized file states its length near the top ("/L" of the
// "/Linearized" dictionary). Any other file ends at the "%%EOF" of its last update section: the
// search follows "%%EOF" markers while objects come right after one (an incremental update) and
// stops at the first that nothing of the file follows, at a "%PDF" that starts a later sector
// (another file), or after 5 MiB.
#include <algorithm>

#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint8_t kMagic[] = {'%', 'P', 'D', 'F', '-', '1', '.'};
constexpr std::uint8_t kMagic2[] = {'%', 'P', 'D', 'F', '-', '2', '.'};  // PDF 2.0
constexpr std::uint8_t kPdf[] = {'%', 'P', 'D', 'F'};
constexpr std::uint8_t kLinearized[] = {'/', 'L', 'i', 'n', 'e', 'a', 'r', 'i', 'z', 'e', 'd'};
constexpr std::uint8_t kLengthKey[] = {'/', 'L', ' '};
constexpr std::uint8_t kEof[] = {'%', '%', 'E', 'O', 'F'};
constexpr std::uint8_t kObj[] = {'o', 'b', 'j'};
constexpr std::uint8_t kXref[] = {'x', 'r', 'e', 'f'};
constexpr std::uint64_t kDictionaryStartLimit = 190;
constexpr std::uint64_t kDictionaryTail = 262;
constexpr std::uint64_t kLengthKeyLimit = 200;
constexpr std::uint64_t kSearchWindow = 5242880;
constexpr std::uint64_t kUpdateGap = 200;  // an update's first object follows the "%%EOF" closely

// The "/L" value of a linearization dictionary in the first sector, or 0.
std::uint64_t linearizedLength(DiskBytes& d) {
  const std::uint64_t sector = d.sectorSize();
  if (sector <= kDictionaryTail) return 0;
  const std::uint64_t lastStart = std::min(kDictionaryStartLimit, sector - kDictionaryTail);
  for (std::uint64_t j = 0; j < lastStart; ++j) {
    if (!d.matches(j, kLinearized)) continue;
    for (std::uint64_t k = j + sizeof kLinearized; k <= kLengthKeyLimit; ++k) {
      if (!d.matches(k, kLengthKey)) continue;
      std::uint64_t value = 0;
      // Twenty digits would overflow; any length this long is cut to the disk anyway.
      for (std::uint64_t i = k + 3, n = 0; n < 19; ++i, ++n) {
        const std::uint8_t c = d.u8(i);
        if (c < '0' || c > '9') break;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
      }
      return value;
    }
    return 0;
  }
  return 0;
}

// The end of the last "%%EOF" of the file (with its line end), or 0 when there is none.
std::uint64_t lastEofEnd(DiskBytes& d) {
  const std::uint64_t bps = d.sectorSize();
  const std::uint64_t window = std::min(kSearchWindow, d.limit());
  std::uint64_t from = sizeof kMagic;
  std::uint64_t nextBoundary = bps;  // sector starts not yet checked for another file
  std::uint64_t end = 0;
  while (d.context().running()) {
    const auto hit = findBytes(d, from, window, kEof);
    if (!hit) break;
    for (; nextBoundary <= *hit; nextBoundary += bps)
      if (d.matches(nextBoundary, kPdf)) return end;
    std::uint64_t after = *hit + sizeof kEof;
    if (d.u8(after) == '\r') ++after;
    if (d.u8(after) == '\n') ++after;
    end = std::min(after, window);
    const std::uint64_t gapEnd = std::min(end + kUpdateGap, window);
    if (!findBytes(d, end, gapEnd, kObj) && !findBytes(d, end, gapEnd, kXref)) break;
    from = end;
  }
  return end;
}

CarveResult findPdfEnd(const CarveContext& ctx) {
  DiskBytes d(ctx, 8);
  if (d.available() == 0 || (!d.matches(0, kMagic) && !d.matches(0, kMagic2))) return rejected(d);
  if (const std::uint64_t length = linearizedLength(d); length != 0) return sizeOnly(d, length);
  return sizeOnly(d, lastEofEnd(d));
}

}  // namespace

// The scanner keeps an item even for a rejected header; its size then comes from the catalogue.
extern const FormatRoutine kPdfFormat{110, "pdf", &findPdfEnd, true};

}  // namespace ov::carver
