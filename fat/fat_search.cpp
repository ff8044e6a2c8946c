#include "fat/fat_search.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

namespace ov::fat {
namespace {

// The searches read about this many bytes per request and test each sector in memory.
constexpr std::size_t kSearchReadBytes = 1 << 20;
constexpr std::size_t kMinBlockSectors = 128;

// FAT12 (0x01), FAT16 (0x04, 0x06, 0x0E) and FAT32 (0x0B, 0x0C) partitions: the boot sector
// decides which of them the volume is, as the type is often wrong (a card reformatted by a
// camera, a partition formatted anew).
bool isFatType(std::uint8_t t) {
  return t == 0x01 || t == 0x04 || t == 0x06 || t == 0x0E || t == 0x0B || t == 0x0C;
}
// exFAT partitions share type 0x07 with NTFS: only an "EXFAT   " boot region makes one ours.
constexpr std::uint8_t kExFatPartitionType = 0x07;

// An exFAT volume of `count` sectors at `start` as the walk lists it: its clusters no further
// than the partition reaches.
std::optional<FatVolume> exFatPartition(FatReader& reader, std::uint64_t start, std::uint64_t count) {
  auto v = readExFatBootRegion(reader, start);
  if (!v) return std::nullopt;
  v->startSector = start;
  if (count != 0) {
    v->sectorCount = count;
    const std::uint64_t fit = count > v->dataOffset ? (count - v->dataOffset) / v->sectorsPerCluster : 0;
    v->clusterCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(v->clusterCount, fit));
  }
  v->foundBy = static_cast<std::uint8_t>(v->foundBy | kFatBootParsed);
  return v;
}
bool isExtendedType(std::uint8_t t) { return t == 0x05 || t == 0x0F || t == 0x85; }

// The table's sector count, less the FATs and the reserved sectors, in clusters; none when the
// partition is smaller than its own FATs.
std::uint32_t entryClusterCount(std::uint64_t entrySectors, const FatVolume& v) {
  std::uint64_t used = 2ull * v.fatSectors + v.reservedSectors;
  if (v.sectorsPerCluster == 0 || entrySectors <= used) return 0;
  return static_cast<std::uint32_t>((entrySectors - used) / v.sectorsPerCluster);
}

bool roomForVolume(const std::vector<FatVolume>& volumes) { return volumes.size() < kMaxFatSearchVolumes; }

struct ExFatRootSeen {
  std::uint64_t sector;
  ExFatRootEntries entries;
};

struct Scan {
  SectorSource& source;
  std::vector<FatVolume>& volumes;
  bool thorough;
  std::vector<FatStartMark> marks;
  DirectoryPairing pairing;
  std::vector<std::uint64_t> upcaseMarks;
  std::vector<ExFatRootSeen> roots;

  void examine(Bytes s, std::uint64_t sector) {
    if (isExFatBootSector(s)) {
      FatVolume v;
      parseExFatBootSector(s, v);
      v.startSector = sector;
      v.foundBy = kFatBootParsed;
      // The backup boot sector twelve sectors after a listed one is that volume's.
      for (auto& listed : volumes)
        if (listed.fatType == kExFat && listed.startSector + kExFatBackupBootSector == sector &&
            listed.serialNumber == v.serialNumber && listed.sectorCount == v.sectorCount) {
          listed.foundBy = static_cast<std::uint8_t>(listed.foundBy | kFatBackupSeen);
          return;
        }
      if (!roomForVolume(volumes)) return;
      volumes.push_back(v);
      source.host().volumeFoundAs(sector, "exFAT");
      return;
    }
    if (isFat12or16BootSector(s)) {
      FatVolume v;
      parseFat12or16BootSector(s, v);
      v.startSector = sector;
      v.foundBy = kFatBootParsed;
      if (!roomForVolume(volumes)) return;
      volumes.push_back(v);
      source.host().volumeFound(sector);
      return;
    }
    if (isFat32BootSector(s)) {
      FatVolume v;
      parseFat32BootSector(s, v);
      v.startSector = sector;
      v.bootCopySector = sector;
      v.foundBy = kFatBootParsed;
      if (mergeBackupBootSector(volumes, v) || !roomForVolume(volumes)) return;
      volumes.push_back(v);
      source.host().volumeFound(sector);
      return;
    }
    if (!thorough) return;
    if (std::uint8_t kind = fatStartKind(s); kind != 0) {
      if (marks.size() < kMaxFatStartMarks) marks.push_back({sector, kind});
      if (le32(s, 0) == 0xFFFFFFF8u && le32(s, 4) == 0xFFFFFFFFu && marks.size() < kMaxFatStartMarks)
        marks.push_back({sector, kExFatMark});
      return;
    }
    if (isUpcaseTableStart(s)) {
      if (upcaseMarks.size() < kMaxFatStartMarks) upcaseMarks.push_back(sector);
      return;
    }
    if (ExFatRootEntries root; isExFatRootStart(s, root)) {
      if (roots.size() < kMaxFatSearchVolumes) roots.push_back({sector, root});
      return;
    }
    std::uint32_t cluster = 0;
    if (isDirectoryStart(s, cluster)) pairDirectorySector(pairing, sector, cluster, source.bytesPerSector(), volumes);
  }
};

// Whether the sector begins an exFAT FAT.
bool exFatFatAt(FatReader& reader, std::uint64_t sector) {
  std::vector<std::uint8_t> b(std::max<std::size_t>(reader.source().bytesPerSector(), 512), 0);
  reader.read(b.data(), reader.source().bytesPerSector(), sector);
  return le32(b, 0) == 0xFFFFFFF8u && le32(b, 4) == 0xFFFFFFFFu;
}

// After a search: an exFAT volume listed at a boot sector whose FAT lies twelve sectors early was
// listed at its backup, its main boot sector being gone; and root directories that no listed
// volume explains are placed as volumes of their own (thorough search).
void settleExFatVolumes(FatReader& reader, std::vector<FatVolume>& volumes, const Scan& scan, std::uint64_t end) {
  for (auto& v : volumes) {
    if (v.fatType != kExFat || (v.foundBy & kFatBackupSeen) || v.startSector < kExFatBackupBootSector) continue;
    if (exFatFatAt(reader, v.startSector + v.secondFatOffset)) {
      v.foundBy = static_cast<std::uint8_t>(v.foundBy | kFatFirstFatSeen);
    } else if (exFatFatAt(reader, v.startSector - kExFatBackupBootSector + v.secondFatOffset)) {
      v.startSector -= kExFatBackupBootSector;
      v.foundBy = static_cast<std::uint8_t>(v.foundBy | kFatBackupSeen | kFatFirstFatSeen);
    }
  }
  for (const auto& root : scan.roots) {
    bool known = false;
    for (const auto& v : volumes)
      if (v.fatType == kExFat && v.rootCluster >= 2 && clusterSector(v, v.rootCluster) == root.sector) known = true;
    if (known || !roomForVolume(volumes)) continue;
    if (auto v = placeExFatRoot(reader, root.sector, root.entries, scan.upcaseMarks, scan.marks, end))
      volumes.push_back(*v);
  }
}

bool searchRange(SectorSource& source, std::uint64_t start, std::uint64_t end, std::vector<FatVolume>& volumes,
                 bool thorough) {
  volumes.clear();
  RunControl& run = source.run();
  const std::uint16_t bps = source.bytesPerSector();
  Scan scan{source, volumes, thorough, {}, {}, {}, {}};
  if (source.isOpen() && bps >= 512) {
    FatVolume none{};  // no volume is current during a search: pieces are the source's sectors
    FatReader reader(source, none);
    const std::size_t blockSectors = std::max(kMinBlockSectors, kSearchReadBytes / bps);
    std::vector<std::uint8_t> buffer(blockSectors * bps);
    try {
      for (std::uint64_t pos = start; pos < end && run.proceed();) {
        std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(blockSectors, end - pos));
        std::size_t bytes = count * bps;
        std::fill(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(bytes), 0);
        if (!reader.read(buffer.data(), bytes, pos) || !run.running()) break;
        Bytes block(buffer.data(), bytes);
        for (std::size_t i = 0; i < count; ++i) scan.examine(block.subspan(i * bps, bps), pos + i);
        pos += count;
        source.host().searchProgress(std::min(pos, end), end);
      }
    } catch (const AlreadyReported&) {
      // The failure has been shown; what was found so far is still settled and listed.
    }
  }
  settleDirectoryVolumes(volumes, scan.marks, end);
  if (thorough) markFatCopies(volumes, scan.marks);
  if (source.isOpen() && bps >= 512) {
    FatVolume none{};
    FatReader reader(source, none);
    try {
      settleExFatVolumes(reader, volumes, scan, end);
    } catch (const AlreadyReported&) {
      // Shown; the volumes found stay listed.
    }
  }
  return run.running();
}

FatVolume fat32Reading(const FatVolume& base, const std::vector<FatStartMark>& marks) {
  FatVolume w;
  w.dataOffset = base.dataOffset;
  w.bytesPerSector = base.bytesPerSector;
  w.bytesPerCluster = base.bytesPerCluster;
  w.clusterCount = base.clusterCount;
  w.sectorCount = base.sectorCount;
  w.sectorsPerCluster = base.sectorsPerCluster;
  w.fatType = kFat32;
  w.foundBy = kFatBootParsed;
  const std::uint64_t d = base.dataOffset;
  w.startSector = d;
  if (auto m = findFatStartBelow(w, marks)) {
    w.startSector = *m;
    w.dataOffset = d - *m;
  } else {
    w.dataOffset = 0;
  }
  return w;
}

// The FAT16 reading keeps its 32 root sectors below the data start; none when they would lie
// before the disk's first sector.
std::optional<FatVolume> fat16Reading(const FatVolume& base, const std::vector<FatStartMark>& marks) {
  const std::uint64_t d = base.dataOffset;
  if (d < kFat16RootSectors) return std::nullopt;
  FatVolume v = base;
  v.fatType = kFat16;
  v.foundBy = kFatBootParsed;
  const std::uint64_t root = d - kFat16RootSectors;
  v.dataOffset = root;
  if (auto m = findFatStartBelow(v, marks)) {
    v.startSector = *m;
    v.dataOffset = root - *m;
  } else if (root >= kFat16RootSectors) {
    v.startSector = root - kFat16RootSectors;
    v.dataOffset = kFat16RootSectors;
  } else {
    v.startSector = 0;  // no room for a FAT below the root: the volume cannot start before sector 0
    v.dataOffset = root;
  }
  return v;
}

// The FAT12 reading of a volume small enough to be FAT12, placed by the last two FAT starts
// below its data area: the FATs lie back to back, and the root directory fills the space between
// the second FAT and the data area. None when the marks do not fit a FAT12 layout: the FATs must
// hold an entry for every cluster seen, and be too small for the 4,085 clusters of a FAT16 one.
std::optional<FatVolume> fat12Reading(const FatVolume& base, const std::vector<FatStartMark>& marks,
                                      std::uint64_t endSector) {
  const std::uint64_t d = base.dataOffset;
  const std::uint32_t bps = base.bytesPerSector;
  if (base.clusterCount > kMaxFat12Clusters || bps == 0 || base.sectorsPerCluster == 0) return std::nullopt;
  std::optional<std::uint64_t> first, second;
  for (const auto& m : marks) {
    if (m.sector >= d || (m.kind != kFat12Mark && m.kind != kFat16)) continue;
    first = second;
    second = m.sector;
  }
  if (!first) return std::nullopt;
  const std::uint64_t fatSectors = *second - *first;
  const std::uint64_t root = *second + fatSectors;
  // Bounds that keep the products below small: no FAT12 FAT or root directory is this large.
  if (fatSectors > 65536 || root >= d || d - root > 65536) return std::nullopt;
  const std::uint64_t fatBytes = fatSectors * bps;
  const std::uint64_t capacity = fatBytes * 2 / 3;  // 12-bit entries, clusters 0 and 1 included
  if (capacity < base.clusterCount + 2ull || fatBytes >= (kMaxFat12Clusters + 3ull) * 2) return std::nullopt;
  const std::uint64_t rootEntries = (d - root) * bps / 32;
  if (rootEntries == 0 || rootEntries > 0xFFFF) return std::nullopt;
  FatVolume v = base;
  v.fatType = kFat16;
  v.fat12 = true;
  v.foundBy = kFatBootParsed;
  v.rootEntries = static_cast<std::uint16_t>(rootEntries);
  v.startSector = *first;
  v.fatSectors = static_cast<std::uint32_t>(fatSectors);
  v.dataOffset = root - *first;  // reservedSectors and secondFatOffset stay 0: the first FAT is read
  // As large as its FAT can describe, within the source.
  std::uint64_t clusters = std::min<std::uint64_t>(capacity - 2, kMaxFat12Clusters);
  const std::uint64_t clusterStart = root + rootDirSectors(v);
  if (endSector > clusterStart)
    clusters = std::min<std::uint64_t>(clusters, (endSector - clusterStart) / v.sectorsPerCluster);
  v.sectorCount = v.dataOffset + rootDirSectors(v) + clusters * v.sectorsPerCluster;
  v.clusterCount = static_cast<std::uint32_t>((v.sectorCount - v.dataOffset) / v.sectorsPerCluster);
  return v;
}

// A partition of `count` sectors at `start` whose first sector is `b`, listed as the walk lists
// it: the table's size wins over the boot sector's, and the cluster count follows from it. The
// boot sector decides the type, FAT32 tested first.
std::optional<FatVolume> partitionVolume(Bytes b, std::uint64_t start, std::uint64_t count) {
  FatVolume v;
  if (isFat32BootSector(b)) {
    parseFat32BootSector(b, v);
    v.bootCopySector = 6;
  } else if (isFat12or16BootSector(b)) {
    parseFat12or16BootSector(b, v);
  } else {
    return std::nullopt;
  }
  v.startSector = start;
  v.sectorCount = count;
  v.clusterCount = entryClusterCount(count, v);
  v.foundBy = kFatBootParsed;
  return v;
}

// Sector 0 that is a FAT boot sector: the image holds that one volume, sized by its boot sector.
std::optional<FatVolume> singleVolume(Bytes b) {
  FatVolume v;
  if (isFat32BootSector(b)) {
    parseFat32BootSector(b, v);
    v.bootCopySector = 6;
  } else if (isFat12or16BootSector(b)) {
    parseFat12or16BootSector(b, v);
  } else {
    return std::nullopt;
  }
  v.startSector = 0;
  v.foundBy = kFatBootParsed;
  return v;
}

// The GUID partition table's FAT volumes, in entry order. GPT types say little about the file
// system (basic data, EFI system and recovery partitions all may hold FAT), so each entry's first
// sector decides, FAT32 tested first. False when neither copy of the table is valid.
bool readGptVolumes(SectorSource& source, FatReader& reader, std::vector<FatVolume>& volumes,
                    std::vector<FatPartitionInfo>* infos) {
  std::vector<GptPartition> partitions;
  bool usedBackup = false;
  if (!readGpt(source, partitions, usedBackup)) return false;
  if (usedBackup)
    source.host().addLogEntry(LogEntry{"GPT header or partition entries damaged; using the backup GPT",
                                       "Sector " + std::to_string(source.totalSectors() - 1), LogKind::Aborted, {}});
  const std::uint16_t bps = source.bytesPerSector();
  std::vector<std::uint8_t> boot(std::max<std::size_t>(bps, 512));
  for (const auto& p : partitions) {
    if (p.lastLba < p.firstLba) continue;
    std::fill(boot.begin(), boot.end(), 0);
    reader.read(boot.data(), bps, p.firstLba);
    const Bytes b(boot.data(), boot.size());
    const std::uint64_t count = p.lastLba - p.firstLba + 1;
    auto v = partitionVolume(b, p.firstLba, count);
    if (!v) v = exFatPartition(reader, p.firstLba, count);
    if (!v) continue;
    volumes.push_back(*v);
    if (infos) infos->push_back({p.name, gptTypeName(p.typeGuid)});
  }
  return true;
}

}  // namespace

bool readFatPartitionTable(SectorSource& source, std::vector<FatVolume>& volumes, PartitionTableKind* kind,
                           std::vector<FatPartitionInfo>* infos) {
  volumes.clear();
  if (infos) infos->clear();
  if (kind) *kind = PartitionTableKind::None;
  const std::uint16_t bps = source.bytesPerSector();
  if (!source.isOpen() || bps == 0) return false;
  FatVolume none{};
  FatReader reader(source, none);
  std::vector<std::uint8_t> table(std::max<std::size_t>(bps, 512));
  std::vector<std::uint8_t> boot(std::max<std::size_t>(bps, 512));

  // Sector 0 itself: an image of one volume, or the protective MBR of a GPT disk.
  reader.read(table.data(), bps, 0);
  if (auto v = singleVolume(Bytes(table.data(), table.size()))) {
    volumes.push_back(*v);
    if (infos) infos->emplace_back();
    return true;
  }
  if (isExFatBootSector(Bytes(table.data(), table.size()))) {
    if (auto v = exFatPartition(reader, 0, 0)) {
      volumes.push_back(*v);
      if (infos) infos->emplace_back();
      return true;
    }
  }
  if (hasProtectiveMbr(Bytes(table.data(), table.size()))) {
    if (kind) *kind = PartitionTableKind::Gpt;
    if (readGptVolumes(source, reader, volumes, infos)) return !volumes.empty();
  }
  // A boot sector carries the same signature as a partition table: sector 0 that looks like the
  // boot sector of a volume (of a file system not taken here) is a table only if it lists a
  // FAT volume.
  const bool bootSectorFirst = looksLikeVolumeBootSector(Bytes(table.data(), table.size()));
  const bool signed55AA = le16(table, 0x1FE) == 0xAA55;

  std::uint64_t tableSector = 0;
  std::uint64_t extendedBase = 0;
  std::set<std::uint64_t> visited;

  while (visited.insert(tableSector).second && visited.size() <= kMaxFatPartitionTables) {
    std::fill(table.begin(), table.end(), 0);
    reader.read(table.data(), 512, tableSector);
    Bytes t(table.data(), 512);
    if (le16(t, 0x1FE) != 0xAA55 || t[0x1C2] == 0) break;
    std::uint64_t next = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      const std::size_t entry = 0x1BE + 16 * i;
      const std::uint8_t type = t[entry + 4];
      const std::uint64_t first = le32(t, entry + 8);
      const std::uint64_t count = le32(t, entry + 12);
      if (isFatType(type)) {
        const std::uint64_t start = tableSector + first;
        std::fill(boot.begin(), boot.end(), 0);
        reader.read(boot.data(), bps, start);
        auto v = partitionVolume(Bytes(boot.data(), boot.size()), start, count);
        if (!v) v = exFatPartition(reader, start, count);  // a card reformatted without a new type
        if (!v) continue;
        volumes.push_back(*v);
        if (infos) infos->emplace_back();
      } else if (type == kExFatPartitionType) {
        if (auto v = exFatPartition(reader, tableSector + first, count)) {
          volumes.push_back(*v);
          if (infos) infos->emplace_back();
        }
      } else if (isExtendedType(type)) {
        next = first + extendedBase;
      }
    }
    if (extendedBase == 0) extendedBase = next;
    if (next == 0) break;
    tableSector = next & 0xFFFFFFFFu;  // table positions are 32-bit sector numbers
  }
  if (kind && *kind == PartitionTableKind::None && signed55AA && (!bootSectorFirst || !volumes.empty()))
    *kind = PartitionTableKind::Mbr;
  return !volumes.empty();
}

bool basicSearch(SectorSource& source, std::uint64_t start, std::uint64_t end, std::vector<FatVolume>& volumes) {
  return searchRange(source, start, end, volumes, false);
}

bool thoroughSearch(SectorSource& source, std::uint64_t start, std::uint64_t end, std::vector<FatVolume>& volumes) {
  return searchRange(source, start, end, volumes, true);
}

bool mergeBackupBootSector(std::vector<FatVolume>& volumes, const FatVolume& n) {
  if (n.fatType != kFat32) return false;
  for (auto& v : volumes) {
    if (v.fatType == kFat32 && v.serialNumber == n.serialNumber && v.sectorCount == n.sectorCount &&
        v.sectorsPerCluster == n.sectorsPerCluster && n.bootCopySector - v.bootCopySector == 6) {
      v.bootCopySector = n.startSector;
      v.foundBy = static_cast<std::uint8_t>(v.foundBy | kFatBackupSeen);
      return true;
    }
  }
  return false;
}

std::uint8_t fatStartKind(Bytes s) {
  if (s.size() < 8) return 0;
  // Entry 1 carries the clean-shutdown and disk-error bits, which a volume that was in use
  // has cleared; mkfs.fat also leaves the four top bits of a FAT32 entry 1 clear.
  if (s[0] == 0xF8 && s[1] == 0xFF && (le16(s, 2) & 0x3FFF) == 0x3FFF) return kFat16;
  if (le32(s, 0) == 0x0FFFFFF8u && (le32(s, 4) & 0x03FFFFFFu) == 0x03FFFFFFu) return kFat32;
  // A FAT12 FAT: the media byte (0xF0 on floppies, 0xF8 to 0xFF) and entry 1 at 0xFFF.
  if ((s[0] == 0xF0 || s[0] >= 0xF8) && s[1] == 0xFF && s[2] == 0xFF) return kFat12Mark;
  return 0;
}

bool isDirectoryStart(Bytes s, std::uint32_t& cluster) {
  static constexpr char kDot[] = ".          ";    // "." and ten blanks
  static constexpr char kDotDot[] = "..         ";  // ".." and nine blanks
  if (s.size() < 64) return false;
  if (std::memcmp(s.data(), kDot, 11) != 0 || std::memcmp(s.data() + 32, kDotDot, 11) != 0) return false;
  cluster = (static_cast<std::uint32_t>(le16(s, 20)) << 16) | le16(s, 26);
  return true;
}

void pairDirectorySector(DirectoryPairing& state, std::uint64_t sector, std::uint32_t cluster,
                         std::uint16_t bytesPerSector, std::vector<FatVolume>& volumes) {
  if (state.count == 0) {
    state = {1, sector, cluster};
    return;
  }
  state.count += 1;
  if (cluster <= state.firstCluster || sector <= state.firstSector) {
    state = {1, sector, cluster};
    return;
  }
  const std::uint64_t distance = sector - state.firstSector;
  std::uint64_t spc = 0;
  std::int64_t dataStart = -1;
  // Clusters of one sector (floppies, small FAT12 and FAT16 volumes) may lie any distance apart;
  // larger clusters hold an even number of sectors.
  const bool oneSectorClusters = distance == std::uint64_t{cluster} - state.firstCluster;
  if ((distance >= 2 && distance % 2 == 0) || oneSectorClusters) {
    std::uint64_t quotient = distance / (cluster - state.firstCluster);
    // A quotient past 255 is no cluster size; cutting it to 8 bits would invent one.
    if (quotient <= 255) spc = quotient;
    if (spc != 0 && state.firstSector <= static_cast<std::uint64_t>(INT64_MAX))
      dataStart = static_cast<std::int64_t>(state.firstSector) -
                  (static_cast<std::int64_t>(state.firstCluster) - 2) * static_cast<std::int64_t>(spc);
  }
  if (spc != 0 && dataStart >= 0 && static_cast<std::uint64_t>(dataStart) < sector) {
    FatVolume r;
    r.bytesPerSector = bytesPerSector;
    r.sectorsPerCluster = static_cast<std::uint8_t>(spc);
    r.bytesPerCluster = static_cast<std::uint32_t>(bytesPerSector) * r.sectorsPerCluster;
    r.dataOffset = static_cast<std::uint64_t>(dataStart);  // absolute while the type is unknown
    r.sectorCount = sector - r.dataOffset;
    r.clusterCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(r.sectorCount / spc, UINT32_MAX));
    r.fatType = kFatUnknown;
    r.foundBy = 0;
    if (FatVolume* v = findVolumeByDataStart(volumes, r)) {
      if (v->fatType == kFatUnknown) {
        v->sectorCount = r.sectorCount;
        v->clusterCount = r.clusterCount;
      }
    } else if (roomForVolume(volumes)) {
      volumes.push_back(r);
    }
  }
  state = {};
}

FatVolume* findVolumeByDataStart(std::vector<FatVolume>& volumes, const FatVolume& r) {
  for (auto& v : volumes) {
    if (v.sectorsPerCluster != r.sectorsPerCluster) continue;
    std::uint64_t at = v.startSector + v.dataOffset;
    if (at == r.dataOffset) return &v;
    if (v.fatType == kFatUnknown) {
      if (r.dataOffset >= kFat16RootSectors && at == r.dataOffset - kFat16RootSectors) return &v;
    } else if (clusterSector(v, 2) == r.dataOffset) {
      return &v;  // the first cluster behind a root directory of any size
    } else if (v.fatType == kFat32 && v.startSector == v.bootCopySector && at >= 6 && at - 6 == r.dataOffset) {
      return &v;  // listed at its backup boot sector, six sectors after its start
    }
  }
  return nullptr;
}

void settleDirectoryVolumes(std::vector<FatVolume>& volumes, const std::vector<FatStartMark>& marks,
                            std::uint64_t endSector) {
  for (std::size_t i = 0; i < volumes.size();) {
    if (volumes[i].foundBy != 0) {
      ++i;
      continue;
    }
    const FatVolume base = volumes[i];
    std::vector<FatVolume> readings;
    if (auto v12 = fat12Reading(base, marks, endSector)) readings.push_back(*v12);
    if (base.clusterCount < 65536)
      if (auto v16 = fat16Reading(base, marks)) readings.push_back(*v16);
    readings.push_back(fat32Reading(base, marks));
    volumes[i] = readings[0];
    volumes.insert(volumes.begin() + static_cast<std::ptrdiff_t>(i) + 1, readings.begin() + 1, readings.end());
    i += readings.size();
  }
}

std::optional<std::uint64_t> findFatStartBelow(const FatVolume& v, const std::vector<FatStartMark>& marks) {
  std::optional<std::uint64_t> found;
  for (const auto& m : marks)
    if (m.sector < v.dataOffset && m.kind == v.fatType) found = m.sector;
  return found;
}

void markFatCopies(std::vector<FatVolume>& volumes, const std::vector<FatStartMark>& marks) {
  for (auto& v : volumes) {
    if (v.fatType != kFat16 && v.fatType != kFat32) continue;
    const bool fat32 = v.fatType == kFat32;
    for (const auto& m : marks) {
      const std::uint64_t firstFat = v.startSector + v.reservedSectors;
      if (firstFat == m.sector) v.foundBy = static_cast<std::uint8_t>(v.foundBy | kFatFirstFatSeen);
      // A volume listed at its backup boot sector sits 6 sectors before it.
      if (fat32 && firstFat >= 6 && v.startSector >= 6 && firstFat - 6 == m.sector) {
        v.startSector -= 6;
        v.foundBy = static_cast<std::uint8_t>(v.foundBy | kFatFirstFatSeen);
      }
      const std::uint64_t secondFat = v.startSector + v.secondFatOffset;
      if (secondFat == m.sector) v.foundBy = static_cast<std::uint8_t>(v.foundBy | kFatSecondFatSeen);
      if (fat32 && secondFat >= 6 && v.startSector >= 6 && secondFat - 6 == m.sector) {
        v.startSector -= 6;
        v.foundBy = static_cast<std::uint8_t>(v.foundBy | kFatSecondFatSeen);
      }
    }
  }
}

std::optional<FatVolume> readExFatBootRegion(FatReader& reader, std::uint64_t start) {
  SectorSource& source = reader.source();
  const std::uint16_t bps = source.bytesPerSector();
  if (bps < 512) return std::nullopt;
  std::vector<std::uint8_t> regions(std::size_t{2} * kExFatBootRegionSectors * bps, 0);
  reader.read(regions.data(), regions.size(), start);
  const Bytes main(regions.data(), regions.size() / 2);
  const Bytes backup(regions.data() + regions.size() / 2, regions.size() / 2);
  const bool mainBoot = isExFatBootSector(main), backupBoot = isExFatBootSector(backup);
  if (!mainBoot && !backupBoot) return std::nullopt;
  // The region's checksum is over sectors of the size the boot sector declares.
  auto valid = [&](Bytes region, bool boot) {
    if (!boot) return false;
    const std::uint32_t declared = 1u << region[108];
    if (declared != bps) return true;  // sectors of another size: the checksum sector lies elsewhere
    return exFatBootRegionValid(region, declared);
  };
  const bool mainValid = valid(main, mainBoot), backupValid = valid(backup, backupBoot);
  FatVolume v;
  if (mainBoot && (mainValid || !backupValid)) {
    parseExFatBootSector(main, v);
    v.foundBy = kFatBootParsed;
    if (backupBoot && std::equal(main.begin(), main.begin() + 512, backup.begin()))
      v.foundBy = static_cast<std::uint8_t>(v.foundBy | kFatBackupSeen);
  } else {
    parseExFatBootSector(backup, v);
    v.foundBy = kFatBootParsed | kFatBackupSeen;
  }
  v.startSector = start;
  return v;
}

bool isUpcaseTableStart(Bytes s) {
  if (s.size() < 16) return false;
  bool identity = true;
  for (std::size_t i = 0; i < 8 && identity; ++i) identity = le16(s, 2 * i) == i;
  // The compressed form opens with a run of unchanged characters up to 'a'.
  return identity || (le16(s, 0) == 0xFFFF && le16(s, 2) == 0x0061 && le16(s, 4) == 0x0041);
}

bool isExFatRootStart(Bytes s, ExFatRootEntries& entries) {
  // The root's own entries come first (label, bitmap, up-case table, in some order).
  const std::size_t first = std::min<std::size_t>(s.size(), 8 * kExFatEntryBytes);
  ExFatDirectory d = parseExFatDirectory(s.first(first), true);
  if (!d.root.bitmap || !d.root.upcase) return false;
  if (d.root.bitmapCluster < 2 || d.root.upcaseCluster < 2 || d.root.bitmapLength == 0) return false;
  if (d.root.upcaseLength == 0 || d.root.upcaseLength > (std::uint64_t{128} << 10)) return false;
  entries = d.root;
  return true;
}

std::optional<FatVolume> placeExFatRoot(FatReader& reader, std::uint64_t rootSector, const ExFatRootEntries& root,
                                        const std::vector<std::uint64_t>& upcaseMarks,
                                        const std::vector<FatStartMark>& marks, std::uint64_t endSector) {
  const std::uint32_t bps = reader.source().bytesPerSector();
  if (bps < 512) return std::nullopt;
  const std::uint64_t upcaseSectors = (root.upcaseLength + bps - 1) / bps;
  std::vector<std::uint8_t> table(static_cast<std::size_t>(upcaseSectors) * bps);
  std::vector<std::uint8_t> bitmap(bps);
  // The nearest up-case tables below the root first; a few tries at most.
  int tries = 0;
  for (auto it = upcaseMarks.rbegin(); it != upcaseMarks.rend() && tries < 8; ++it) {
    const std::uint64_t u = *it;
    if (u >= rootSector) continue;
    ++tries;
    std::fill(table.begin(), table.end(), 0);
    if (!reader.read(table.data(), table.size(), u)) return std::nullopt;
    if (exFatTableChecksum(Bytes(table.data(), static_cast<std::size_t>(root.upcaseLength))) != root.upcaseChecksum)
      continue;
    for (std::uint32_t spc = 1; std::uint64_t{spc} * bps <= (std::uint64_t{32} << 20); spc *= 2) {
      const std::uint64_t before = (std::uint64_t{root.upcaseCluster} - 2) * spc;
      if (before > u) break;
      const std::uint64_t heap = u - before;
      if ((rootSector - heap) % spc != 0) continue;
      const std::uint64_t rootCluster = (rootSector - heap) / spc + 2;
      const std::uint64_t bitmapAt = heap + (std::uint64_t{root.bitmapCluster} - 2) * spc;
      if (rootCluster > UINT32_MAX || bitmapAt >= endSector) continue;
      std::fill(bitmap.begin(), bitmap.end(), 0);
      if (!reader.read(bitmap.data(), bitmap.size(), bitmapAt)) return std::nullopt;
      const std::uint64_t clusterBytes = std::uint64_t{spc} * bps;
      auto marked = [&](std::uint64_t first, std::uint64_t count) {
        for (std::uint64_t c = first; c < first + count; ++c) {
          const std::uint64_t bit = c - 2;
          if (bit / 8 >= bitmap.size()) return true;  // beyond the first sector: not checked
          if (!((bitmap[static_cast<std::size_t>(bit / 8)] >> (bit % 8)) & 1)) return false;
        }
        return true;
      };
      if (!marked(root.bitmapCluster, (root.bitmapLength + clusterBytes - 1) / clusterBytes) ||
          !marked(root.upcaseCluster, (root.upcaseLength + clusterBytes - 1) / clusterBytes) ||
          !marked(rootCluster, 1))
        continue;
      FatVolume v;
      v.fatType = kExFat;
      v.foundBy = kFatBootParsed;
      v.bytesPerSector = static_cast<std::uint16_t>(bps);
      v.sectorsPerCluster = spc;
      v.bytesPerCluster = static_cast<std::uint32_t>(clusterBytes);
      v.rootCluster = static_cast<std::uint32_t>(rootCluster);
      v.bitmapCluster = root.bitmapCluster;
      std::uint64_t clusters = std::min<std::uint64_t>(root.bitmapLength * 8, UINT32_MAX - 11);
      if (endSector > heap) clusters = std::min<std::uint64_t>(clusters, (endSector - heap) / spc);
      v.clusterCount = static_cast<std::uint32_t>(clusters);
      // The FAT: the last exFAT FAT start below the clusters, read from there.
      std::optional<std::uint64_t> fat;
      for (const auto& m : marks)
        if (m.kind == kExFatMark && m.sector < heap) fat = m.sector;
      v.startSector = fat ? *fat : heap;
      v.dataOffset = heap - v.startSector;
      v.fatSectors = static_cast<std::uint32_t>(std::min<std::uint64_t>(v.dataOffset, UINT32_MAX));
      if (fat) v.foundBy = static_cast<std::uint8_t>(v.foundBy | kFatFirstFatSeen);
      v.sectorCount = v.dataOffset + std::uint64_t{v.clusterCount} * spc;
      return v;
    }
  }
  return std::nullopt;
}

}  // namespace ov::fat
