// Handlers 208 (little-endian TIFF) and 203 (TIFF of either byte order, Nikon and Canon raw files
// excepted). The file's size is the farthest byte that any directory of the chain refers to:
// its entries' out-of-line values, its last strip or tile, and the directory itself.
#include <algorithm>
#include <optional>
#include <unordered_set>

#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint8_t kBigEndian[] = {'M', 'M', 0x00, 0x2A};
constexpr std::uint8_t kNikon[] = {'N', 'I', 'K', 'O'};
constexpr std::uint64_t kNikonSearch = 1012;
constexpr std::uint32_t kCanonRaw = 0x00025243;  // "CR", 2, 0 at offset 8
constexpr std::uint16_t kStripOffsets = 273, kStripByteCounts = 279;
constexpr std::uint16_t kTileOffsets = 324, kTileByteCounts = 325;
constexpr std::uint64_t kEntryBytes = 12;
// Directories that point back into the chain would loop; a chain this long is not a picture.
constexpr std::size_t kMaxDirectories = 1024;

struct Rules {
  bool bothOrders;
  std::uint16_t maxEntries;
  bool tiles;
};

class TiffReader {
 public:
  TiffReader(DiskBytes& d, bool bigEndian) : d_(d), be_(bigEndian) {}
  std::uint16_t u16(std::uint64_t off) { return be_ ? d_.be16(off) : d_.le16(off); }
  std::uint32_t u32(std::uint64_t off) { return be_ ? d_.be32(off) : d_.le32(off); }

 private:
  DiskBytes& d_;
  bool be_;
};

struct Entry {
  std::uint16_t tag, type;
  std::uint32_t count, value;
  std::uint64_t at;  // offset of the entry itself
};

Entry readEntry(TiffReader& t, std::uint64_t at) {
  return Entry{t.u16(at), t.u16(at + 2), t.u32(at + 4), t.u32(at + 8), at};
}

bool validEntry(const Entry& e) {
  if (e.count == 0 || e.type < 1 || e.type > 12) return false;
  const bool odd = (e.value & 1u) != 0;
  if ((e.type == 3 || e.type == 8) && e.count > 2 && odd) return false;
  if ((e.type == 4 || e.type == 9) && e.count > 1 && odd) return false;
  return true;
}

// The end of the entry's data when it lies outside the entry, else 0.
std::uint64_t outOfLineEnd(const Entry& e) {
  std::uint64_t element = 0;
  switch (e.type) {
    case 1: case 2: case 6: case 7: element = e.count >= 5 ? 1 : 0; break;
    case 3: case 8: element = e.count > 2 ? 2 : 0; break;
    case 4: case 9: case 11: element = e.count >= 2 ? 4 : 0; break;
    case 5: case 10: case 12: element = 8; break;
    default: break;
  }
  return element == 0 ? 0 : e.value + std::uint64_t{e.count} * element;
}

// The last of an offsets or byte-counts entry's values, read as the entry's type says.
std::uint64_t lastValue(TiffReader& t, const Entry& e) {
  if (e.type == 3) {
    if (e.count <= 2) return t.u16(e.at + 8 + 2 * (e.count - 1));
    return t.u16(e.value + 2 * (std::uint64_t{e.count} - 1));
  }
  if (e.type == 4) {
    if (e.count == 1) return e.value;
    return t.u32(e.value + 4 * (std::uint64_t{e.count} - 1));
  }
  return 0;
}

// The directory's extent, or nothing when it is not valid.
std::optional<std::uint64_t> directorySize(TiffReader& t, std::uint64_t at, std::uint16_t entries,
                                           std::uint64_t next, const Rules& rules) {
  if ((at & 1u) != 0 || (next & 1u) != 0) return std::nullopt;
  std::uint64_t extent = 0;
  std::uint64_t offsets = 0, counts = 0, tileOffsets = 0, tileCounts = 0;
  for (std::uint64_t i = 0; i < entries; ++i) {
    const Entry e = readEntry(t, at + 2 + i * kEntryBytes);
    if (!validEntry(e)) return std::nullopt;
    if (const std::uint64_t end = outOfLineEnd(e); end != 0 && e.value >= extent) extent = end;
    if (e.tag == kStripOffsets) offsets = lastValue(t, e);
    if (e.tag == kStripByteCounts) counts = lastValue(t, e);
    if (rules.tiles && e.tag == kTileOffsets) tileOffsets = lastValue(t, e);
    if (rules.tiles && e.tag == kTileByteCounts) tileCounts = lastValue(t, e);
  }
  const std::uint64_t ownEnd = at + 2 + entries * kEntryBytes + 4;
  std::uint64_t size = std::max({extent, ownEnd, offsets + counts});
  if (rules.tiles) size = std::max(size, tileOffsets + tileCounts);
  return size;
}

CarveResult findTiffEnd(const CarveContext& ctx, const Rules& rules) {
  DiskBytes d(ctx, 8);
  if (d.available() == 0) return rejected(d);
  const bool bigEndian = rules.bothOrders && d.matches(0, kBigEndian);
  if (rules.bothOrders) {
    // Camera raw files that look like TIFF are left to their own types.
    for (std::uint64_t i = 0; i < kNikonSearch; ++i)
      if (d.matches(i, kNikon)) return rejected(d);
    if (d.le32(8) == kCanonRaw) return rejected(d);
  }
  TiffReader t(d, bigEndian);
  std::uint64_t at = t.u32(4);
  if ((at & 1u) != 0) return rejected(d);

  std::unordered_set<std::uint64_t> seen;
  std::uint64_t size = 0;
  while (at != 0 && at < d.limit() && seen.size() < kMaxDirectories && ctx.running()) {
    if (!seen.insert(at).second) break;
    const std::uint16_t entries = t.u16(at);
    // An empty directory describes nothing (and is what zeros past the disk's end look like).
    if (entries == 0 || entries > rules.maxEntries) break;
    const std::uint64_t next = t.u32(at + 2 + entries * kEntryBytes);
    const auto dirSize = directorySize(t, at, entries, next, rules);
    if (!dirSize) break;
    size = std::max(size, *dirSize);
    at = next;
  }
  if (size == 0) return rejected(d);
  return endAt(d, size);
}

CarveResult findTiffLeEnd(const CarveContext& ctx) { return findTiffEnd(ctx, Rules{false, 30, false}); }
CarveResult findTiffAnyEnd(const CarveContext& ctx) { return findTiffEnd(ctx, Rules{true, 50, true}); }

}  // namespace

extern const FormatRoutine kTiffLeFormat{208, "tiff-le", &findTiffLeEnd};
extern const FormatRoutine kTiffFormat{203, "tiff", &findTiffAnyEnd};

}  // namespace ov::carver
