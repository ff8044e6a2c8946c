// Handler 235: OLE2 compound documents (Word, Excel, PowerPoint). The first directory sector
// must hold the root entry; the first stream names tell the kind of document. The size is the
// end of the last sector that the allocation table uses; when the table cannot be read, it is
// the most that the table's sector count can describe.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint64_t kHeaderFatCount = 44;
constexpr std::uint64_t kHeaderDirectory = 48;
constexpr std::uint64_t kHeaderSectorShift = 30;
constexpr std::uint64_t kHeaderDifatFirst = 68;
constexpr std::uint64_t kHeaderDifat = 76;
constexpr std::uint32_t kHeaderDifatEntries = 109;
constexpr std::uint64_t kDirectoryEntry = 128;
constexpr unsigned kNamedEntries = 4;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFEu;
constexpr std::uint32_t kLastRegularSector = 0xFFFFFFF9u;

bool nameStarts(DiskBytes& d, std::uint64_t off, const char* text) {
  for (std::uint64_t i = 0; text[i] != '\0'; ++i)
    if (d.le16(off + 2 * i) != static_cast<std::uint8_t>(text[i])) return false;
  return true;
}

// Sector numbers of the allocation table, in order: 109 in the header, the rest in a chain of
// table-of-table sectors whose last entry links to the next.
class FatSectors {
 public:
  FatSectors(DiskBytes& d, std::uint64_t sectorBytes)
      : d_(d), sectorBytes_(sectorBytes), perSector_(static_cast<std::uint32_t>(sectorBytes / 4 - 1)),
        next_(d.le32(kHeaderDifatFirst)) {}

  // The i-th table sector (asked for in order), or nothing when the chain is broken.
  std::optional<std::uint32_t> at(std::uint64_t i) {
    if (i < kHeaderDifatEntries) return regular(d_.le32(kHeaderDifat + 4 * i));
    const std::uint64_t k = i - kHeaderDifatEntries;
    if (k % perSector_ == 0) {
      // Every step of the chain serves perSector_ entries, so a looping chain ends with the walk.
      if (next_ > kLastRegularSector) return std::nullopt;
      chain_.push_back(next_);
      current_ = (std::uint64_t{next_} + 1) * sectorBytes_;
      next_ = d_.le32(current_ + 4 * perSector_);
    }
    return regular(d_.le32(current_ + 4 * (k % perSector_)));
  }
  // The table-of-table sectors passed so far; they belong to the file too.
  const std::vector<std::uint32_t>& chainSectors() const { return chain_; }

 private:
  static std::optional<std::uint32_t> regular(std::uint32_t s) {
    return s <= kLastRegularSector ? std::optional<std::uint32_t>(s) : std::nullopt;
  }
  DiskBytes& d_;
  std::uint64_t sectorBytes_;
  std::uint32_t perSector_;
  std::uint32_t next_;
  std::uint64_t current_ = 0;
  std::vector<std::uint32_t> chain_;
};

// The end of the last sector the file uses: sectors in a chain (a next-sector number or the end of
// a chain) and the table's own sectors. Free entries and the table's reservations for itself are
// not counted, since some writers mark a whole table sector that way. 0 when the table cannot be
// read within the disk.
std::uint64_t usedEnd(DiskBytes& d, std::uint64_t sectorBytes, std::uint64_t fatSectors) {
  const std::uint64_t entries = sectorBytes / 4;
  // A table larger than the size cap can describe is damage.
  if (fatSectors == 0 || fatSectors > d.limit() / (entries * sectorBytes) + 1) return 0;
  FatSectors table(d, sectorBytes);
  std::uint64_t last = 0;
  bool any = false;
  const auto use = [&](std::uint64_t sector) {
    last = any ? std::max(last, sector) : sector;
    any = true;
  };
  for (std::uint64_t i = 0; i < fatSectors && d.context().running(); ++i) {
    const auto sector = table.at(i);
    if (!sector) return 0;
    const std::uint64_t at = (std::uint64_t{*sector} + 1) * sectorBytes;
    if (at + sectorBytes > d.available()) return 0;
    use(*sector);
    for (std::uint64_t j = 0; j < entries; ++j) {
      const std::uint32_t next = d.le32(at + 4 * j);
      if (next <= kLastRegularSector || next == kEndOfChain) use(i * entries + j);
    }
  }
  for (std::uint32_t s : table.chainSectors()) use(s);
  return any && !d.failed() ? (last + 2) * sectorBytes : 0;
}

CarveResult findOle2End(const CarveContext& ctx) {
  DiskBytes d(ctx, 8);
  if (d.available() == 0) return rejected(d);
  const std::uint16_t shift = d.le16(kHeaderSectorShift);
  // Version 3 files use 512-byte sectors, version 4 files 4,096-byte ones.
  if (shift != 9 && shift != 12) return rejected(d);
  const std::uint64_t sectorBytes = std::uint64_t{1} << shift;
  const std::uint64_t fatSectors = d.le32(kHeaderFatCount);
  const std::uint64_t directory = d.le32(kHeaderDirectory);
  const std::uint64_t dirAt = (directory + 1) * sectorBytes;
  if (!nameStarts(d, dirAt, "Root")) return rejected(d);

  const char* extension = "ppt";
  for (unsigned i = 0; i < kNamedEntries; ++i) {
    const std::uint64_t entry = dirAt + i * kDirectoryEntry;
    if (nameStarts(d, entry, "Word")) {
      extension = "doc";
      break;
    }
    if (nameStarts(d, entry, "Work")) {
      extension = "xls";
      break;
    }
  }

  CarveResult r;
  if (const std::uint64_t end = usedEnd(d, sectorBytes, fatSectors); end != 0) {
    r = endAt(d, end);
  } else {
    // The table's capacity: every table sector maps sectorBytes / 4 sectors, plus the header.
    // The jump stops after the directory sector, which is known to belong to the file.
    r = sizeOnly(d, sectorBytes * (fatSectors * (sectorBytes / 4) + 1));
    r.skipBytes = std::min(r.size, (directory + 2) * sectorBytes);
    r.endFound = r.skipBytes != 0;
  }
  r.extension = extension;
  return settle(d, r);
}

}  // namespace

extern const FormatRoutine kOle2Format{235, "ole2", &findOle2End};

}  // namespace ov::carver
