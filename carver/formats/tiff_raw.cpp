// Handler 247: camera raw files built on TIFF (Canon CR2, Nikon NEF, Sony ARW, DNG). Every
// directory is walked: the chain from the header, and the sub-directories (SubIFDs, the EXIF
// directory) that the raw data and previews live in. The file ends at the farthest byte that any
// of them refers to: out-of-line values (a maker note among them), every strip and tile, and
// embedded JPEG previews. The maker (or the DNG version tag) names the file; a TIFF of no known
// camera maker is left to the TIFF types.
#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint8_t kBigEndian[] = {'M', 'M', 0x00, 0x2A};
constexpr std::uint8_t kLittleEndian[] = {'I', 'I', 0x2A, 0x00};
constexpr std::uint8_t kCanonRaw[] = {'C', 'R', 0x02};
constexpr std::uint16_t kMake = 271, kStripOffsets = 273, kStripByteCounts = 279, kTileOffsets = 324,
                        kTileByteCounts = 325, kSubIfds = 330, kJpegOffset = 513, kJpegLength = 514,
                        kExifIfd = 34665, kDngVersion = 50706;
constexpr std::size_t kMaxDirectories = 256;
constexpr std::uint16_t kMaxEntries = 1024;
// Strip and tile lists are read this far; a longer list is damage.
constexpr std::uint32_t kMaxPieces = 1u << 16;

class Walk {
 public:
  Walk(DiskBytes& d, bool be) : d_(d), be_(be) {}
  std::uint16_t u16(std::uint64_t off) { return be_ ? d_.be16(off) : d_.le16(off); }
  std::uint32_t u32(std::uint64_t off) { return be_ ? d_.be32(off) : d_.le32(off); }

  struct Entry {
    std::uint16_t tag = 0, type = 0;
    std::uint32_t count = 0;
    std::uint64_t at = 0;  // where the values are: in the entry or out of line
  };

  static std::uint64_t elementSize(std::uint16_t type) {
    switch (type) {
      case 1: case 2: case 6: case 7: return 1;
      case 3: case 8: return 2;
      case 4: case 9: case 11: case 13: return 4;
      case 5: case 10: case 12: return 8;
      default: return 0;
    }
  }
  // The i-th value of a SHORT or LONG entry.
  std::uint64_t value(const Entry& e, std::uint64_t i) {
    return e.type == 3 ? u16(e.at + 2 * i) : u32(e.at + 4 * i);
  }

  // Walks one directory; false when it is not a valid one.
  bool directory(std::uint64_t at, std::vector<std::uint64_t>& more) {
    const std::uint16_t entries = u16(at);
    if (entries == 0 || entries > kMaxEntries || (at & 1u) != 0) return false;
    const std::uint64_t next = u32(at + 2 + 12 * std::uint64_t{entries});
    reach(at + 2 + 12 * std::uint64_t{entries} + 4);
    Entry strips, stripCounts, tiles, tileCounts, jpeg, jpegLength;
    for (std::uint64_t i = 0; i < entries; ++i) {
      const std::uint64_t e = at + 2 + 12 * i;
      Entry entry{u16(e), u16(e + 2), u32(e + 4), e + 8};
      const std::uint64_t size = elementSize(entry.type);
      if (size == 0 || entry.count == 0) return false;
      if (size * entry.count > 4) {
        entry.at = u32(e + 8);
        reach(entry.at + size * entry.count);
      }
      const bool integer = entry.type == 3 || entry.type == 4 || entry.type == 13;
      switch (entry.tag) {
        case kMake: make_ = text(entry); break;
        case kDngVersion: dng_ = true; break;
        case kStripOffsets: if (integer) strips = entry; break;
        case kStripByteCounts: if (integer) stripCounts = entry; break;
        case kTileOffsets: if (integer) tiles = entry; break;
        case kTileByteCounts: if (integer) tileCounts = entry; break;
        case kJpegOffset: if (integer) jpeg = entry; break;
        case kJpegLength: if (integer) jpegLength = entry; break;
        case kSubIfds: case kExifIfd:
          if (integer)
            for (std::uint64_t k = 0; k < std::min<std::uint32_t>(entry.count, 64); ++k) more.push_back(value(entry, k));
          break;
        default: break;
      }
    }
    pieces(strips, stripCounts);
    pieces(tiles, tileCounts);
    pieces(jpeg, jpegLength);
    if (next != 0) more.push_back(next);
    return true;
  }

  std::uint64_t end() const { return end_; }
  const std::string& make() const { return make_; }
  bool dng() const { return dng_; }

 private:
  void reach(std::uint64_t end) { end_ = std::max(end_, std::min(end, d_.limit())); }
  // Every piece's offset plus its length.
  void pieces(const Entry& offsets, const Entry& counts) {
    const std::uint32_t n = std::min({offsets.count, counts.count, kMaxPieces});
    for (std::uint64_t i = 0; i < n && d_.context().running(); ++i) {
      const std::uint64_t length = value(counts, i);
      if (length != 0) reach(value(offsets, i) + length);
    }
  }
  std::string text(const Entry& e) {
    std::string out;
    for (std::uint64_t i = 0; i < std::min<std::uint32_t>(e.count, 32); ++i) {
      const char c = static_cast<char>(d_.u8(e.at + i));
      if (c == '\0') break;
      out.push_back(c);
    }
    return out;
  }

  DiskBytes& d_;
  bool be_;
  std::uint64_t end_ = 0;
  std::string make_;
  bool dng_ = false;
};

CarveResult findTiffRawEnd(const CarveContext& ctx) {
  DiskBytes d(ctx, 8);
  if (d.available() == 0) return rejected(d);
  const bool be = d.matches(0, kBigEndian);
  if (!be && !d.matches(0, kLittleEndian)) return rejected(d);
  Walk walk(d, be);
  std::vector<std::uint64_t> pending{walk.u32(4)};
  std::unordered_set<std::uint64_t> seen;
  bool first = true;
  while (!pending.empty() && seen.size() < kMaxDirectories && ctx.running()) {
    const std::uint64_t at = pending.back();
    pending.pop_back();
    if (at == 0 || at >= d.limit() || !seen.insert(at).second) continue;
    // The first directory must be valid; a bad one further on is only left out.
    if (!walk.directory(at, pending) && first) return rejected(d);
    first = false;
  }
  std::string extension;
  if (walk.dng()) extension = "dng";
  else if (walk.make().starts_with("Canon") && !be && d.matches(8, kCanonRaw)) extension = "cr2";
  else if (walk.make().starts_with("NIKON")) extension = "nef";
  else if (walk.make().starts_with("SONY")) extension = "arw";
  else return rejected(d);
  CarveResult r = endFromField(d, walk.end());
  if (r.accepted()) r.extension = extension;
  return settle(d, r);
}

}  // namespace

extern const FormatRoutine kTiffRawFormat{247, "tiff-raw", &findTiffRawEnd};

}  // namespace ov::carver
