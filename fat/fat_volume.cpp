#include "fat/fat_volume.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

namespace ov::fat {
namespace {

// The tests both kinds of boot sector share: jump bytes, sector size, two FATs, cluster size.
bool sharedBootTests(Bytes s) {
  std::uint16_t bps = le16(s, 11);
  if (bps != 0) {
    if (bps % 512 != 0) return false;
    if (bps != 512 && (bps / 512) % 2 != 0) return false;
  }
  if (s[16] != 2) return false;
  std::uint8_t spc = s[13];
  return spc != 0 && (spc == 1 || spc % 2 == 0);
}

bool jumpBytes(Bytes s) { return s[0] != 0 && s[1] != 0 && s[2] == 0x90; }

// Clusters behind the data start; a size smaller than the FATs gives none instead of wrapping.
std::uint32_t clustersBehind(std::uint64_t sectors, std::uint64_t dataOffset, std::uint32_t spc) {
  if (spc == 0 || sectors <= dataOffset) return 0;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>((sectors - dataOffset) / spc, UINT32_MAX));
}

// The layout a FAT12/FAT16 boot sector gives, as the FAT format computes it: the sectors of the
// root directory and the clusters behind it (the 16-bit total when it is not 0, else the 32-bit
// one). A sector size of 0 is taken as 512.
struct FixedRootLayout {
  std::uint32_t rootSectors = 0;
  std::uint32_t clusters = 0;
};
FixedRootLayout fixedRootLayout(Bytes s) {
  const std::uint32_t bps = le16(s, 11) != 0 ? le16(s, 11) : 512;
  FixedRootLayout l;
  l.rootSectors = (std::uint32_t{le16(s, 17)} * 32 + bps - 1) / bps;
  const std::uint64_t total = le16(s, 19) != 0 ? le16(s, 19) : le32(s, 32);
  const std::uint64_t before = std::uint64_t{le16(s, 14)} + 2ull * le16(s, 22) + l.rootSectors;
  l.clusters = clustersBehind(total, before, le8(s, 13));
  return l;
}

void parseCommon(Bytes s, FatVolume& v) {
  v.bytesPerSector = le16(s, 11);
  v.sectorsPerCluster = le8(s, 13);
  v.bytesPerCluster = static_cast<std::uint32_t>(v.bytesPerSector) * v.sectorsPerCluster;
  v.reservedSectors = le16(s, 14);
}

std::string byteSizeText(std::uint64_t bytes) {
  char text[64];
  auto value = static_cast<double>(bytes);
  if (bytes < 1048576ULL) std::snprintf(text, sizeof text, "%7.3f KB", value / 1024.0);
  else if (bytes < 1073741824ULL) std::snprintf(text, sizeof text, "%7.3f MB", value / 1048576.0);
  else std::snprintf(text, sizeof text, "%7.3f GB", value / 1073741824.0);
  return text;
}

std::uint8_t log2Of(std::uint32_t value) {
  std::uint8_t n = 0;
  while (n < 31 && (std::uint32_t{1} << (n + 1)) <= value) ++n;
  return n;
}

}  // namespace

std::array<std::uint8_t, kStoredFatVolumeBytes> encodeFatVolume(const FatVolume& v, bool hasNext) {
  ByteWriter w;
  const bool fixedRoot = v.fatType == kFat16;
  const bool exFat = v.fatType == kExFat;
  w.u8(fixedRoot && v.fat12 ? 12 : 0);
  w.u64(fixedRoot ? v.rootEntries
                 : exFat ? (std::uint64_t{v.bitmapCluster} << 32 | v.rootCluster)
                         : v.bootCopySector);
  w.u64(v.startSector);
  w.u64(v.sectorCount);
  w.u64(v.serialNumber);
  w.u64(v.reservedSectors);
  w.u64(v.secondFatOffset);
  w.u64(v.dataOffset);
  w.u32(v.fatSectors);
  w.u32(hasNext ? 1u : 0u);
  w.u32(v.clusterCount);
  w.u32(v.bytesPerCluster);
  w.u16(v.bytesPerSector);
  w.u8(exFat ? log2Of(v.sectorsPerCluster) : static_cast<std::uint8_t>(v.sectorsPerCluster));
  w.u8(v.fatType);
  w.u8(v.foundBy);
  std::array<std::uint8_t, kStoredFatVolumeBytes> out{};
  const auto& bytes = w.bytes();
  std::copy(bytes.begin(), bytes.end(), out.begin());
  return out;
}

std::optional<FatVolume> decodeFatVolume(Bytes stored, bool* hasNext) {
  if (stored.size() < kStoredFatVolumeBytes) return std::nullopt;
  ByteReader r(stored);
  FatVolume v;
  const std::uint8_t entryBits = r.u8();
  v.bootCopySector = r.u64();
  v.startSector = r.u64();
  v.sectorCount = r.u64();
  v.serialNumber = r.u64();
  v.reservedSectors = r.u64();
  v.secondFatOffset = r.u64();
  v.dataOffset = r.u64();
  v.fatSectors = r.u32();
  std::uint32_t link = r.u32();
  v.clusterCount = r.u32();
  v.bytesPerCluster = r.u32();
  v.bytesPerSector = r.u16();
  v.sectorsPerCluster = r.u8();
  v.fatType = r.u8();
  v.foundBy = r.u8();
  if (v.fatType == kFat16) {
    if (v.bootCopySector > 0xFFFF) return std::nullopt;
    v.rootEntries = static_cast<std::uint16_t>(v.bootCopySector);
    v.bootCopySector = 0;
    v.fat12 = entryBits == 12;
  }
  if (v.fatType == kExFat) {
    // Clusters of up to 32 MiB, as exFAT allows them.
    if (v.sectorsPerCluster > 16) return std::nullopt;
    v.rootCluster = static_cast<std::uint32_t>(v.bootCopySector);
    v.bitmapCluster = static_cast<std::uint32_t>(v.bootCopySector >> 32);
    v.bootCopySector = 0;
    v.sectorsPerCluster = std::uint32_t{1} << v.sectorsPerCluster;
  }
  if (hasNext) *hasNext = link != 0;
  return v;
}

bool isFat12or16BootSector(Bytes s) {
  if (s.size() < 512 || !jumpBytes(s)) return false;
  // Bytes 57-60 lie in the file system name of a FAT12/FAT16 boot sector ("FAT12   "), and in
  // the reserved (zero) bytes of a FAT32 one.
  if (le32(s, 57) == 0) return false;
  if (!sharedBootTests(s)) return false;
  if (le16(s, 17) == 0 || le16(s, 14) == 0 || le16(s, 22) == 0) return false;
  // The data area must hold a cluster.
  return fixedRootLayout(s).clusters != 0;
}

bool isFat32BootSector(Bytes s) {
  if (s.size() < 512 || !jumpBytes(s) || !sharedBootTests(s)) return false;
  return le32(s, 44) == 2 && le16(s, 50) == 6 && le16(s, 48) == 1;
}

bool looksLikeVolumeBootSector(Bytes s) {
  if (s.size() < 512) return false;
  const bool jump = (s[0] == 0xEB && s[2] == 0x90) || s[0] == 0xE9;
  const std::uint16_t bps = le16(s, 11);
  const std::uint8_t spc = s[13];
  return jump && (bps == 512 || bps == 1024 || bps == 2048 || bps == 4096) && spc != 0 && (spc & (spc - 1)) == 0;
}

bool isExFatBootSector(Bytes s) {
  if (s.size() < 512 || s[0] != 0xEB || s[1] != 0x76 || s[2] != 0x90) return false;
  static constexpr char kName[] = "EXFAT   ";
  if (std::memcmp(s.data() + 3, kName, 8) != 0) return false;
  for (std::size_t i = 11; i < 64; ++i)
    if (s[i] != 0) return false;
  if (le16(s, 510) != 0xAA55) return false;
  const std::uint8_t bpsShift = s[108], spcShift = s[109], fats = s[110];
  if (bpsShift < 9 || bpsShift > 12 || spcShift > 25 - bpsShift || fats < 1 || fats > 2) return false;
  const std::uint64_t length = le64(s, 72);
  const std::uint64_t fatOffset = le32(s, 80), fatLength = le32(s, 84);
  const std::uint64_t heap = le32(s, 88), clusters = le32(s, 92);
  const std::uint64_t root = le32(s, 96);
  if (fatOffset < kExFatBootRegionSectors * 2 || fatLength == 0 || clusters == 0) return false;
  if (heap < fatOffset + fatLength * fats) return false;
  if (heap + (clusters << spcShift) > length) return false;
  // The FAT holds an entry for every cluster, and the root is one of them.
  if (fatLength << bpsShift < (clusters + 2) * 4) return false;
  return root >= 2 && root <= clusters + 1;
}

void parseExFatBootSector(Bytes s, FatVolume& v) {
  v.fatType = kExFat;
  v.fat12 = false;
  v.rootEntries = 0;
  v.bootCopySector = 0;
  v.bytesPerSector = static_cast<std::uint16_t>(1u << std::min<std::uint8_t>(s[108], 12));
  v.sectorsPerCluster = std::uint32_t{1} << std::min<std::uint8_t>(s[109], 16);
  v.bytesPerCluster = std::uint32_t{v.bytesPerSector} * v.sectorsPerCluster;
  v.sectorCount = le64(s, 72);
  v.reservedSectors = le32(s, 80);
  v.fatSectors = le32(s, 84);
  // The FAT in use: the second one when two are kept and the volume flags name it.
  const bool second = s[110] == 2 && (le16(s, 106) & 1) != 0;
  v.secondFatOffset = v.reservedSectors + (second ? v.fatSectors : 0);
  v.dataOffset = le32(s, 88);
  v.clusterCount = le32(s, 92);
  v.rootCluster = le32(s, 96);
  v.serialNumber = le32(s, 100);
}

std::uint32_t exFatBootChecksum(Bytes region, std::uint32_t bps) {
  std::uint32_t sum = 0;
  const std::size_t n = std::min<std::size_t>(region.size(), std::size_t{11} * bps);
  for (std::size_t i = 0; i < n; ++i) {
    if (i == 106 || i == 107 || i == 112) continue;  // volume flags and percent in use change
    sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + region[i];
  }
  return sum;
}

bool exFatBootRegionValid(Bytes region, std::uint32_t bps) {
  if (bps < 512 || region.size() < std::size_t{kExFatBootRegionSectors} * bps) return false;
  const std::uint32_t sum = exFatBootChecksum(region, bps);
  for (std::size_t at = std::size_t{11} * bps; at < std::size_t{12} * bps; at += 4)
    if (le32(region, at) != sum) return false;
  return true;
}

void parseFat12or16BootSector(Bytes s, FatVolume& v) {
  parseCommon(s, v);
  v.serialNumber = le32(s, 39);
  v.fatType = kFat16;
  v.fatSectors = le16(s, 22);
  std::uint16_t small = le16(s, 19);
  v.sectorCount = small != 0 ? small : le32(s, 32);
  v.secondFatOffset = v.reservedSectors + v.fatSectors;
  v.dataOffset = v.reservedSectors + 2ull * v.fatSectors;
  v.clusterCount = clustersBehind(v.sectorCount & 0xFFFFFFFFu, v.dataOffset, v.sectorsPerCluster);
  v.rootEntries = le16(s, 17);
  v.fat12 = fixedRootLayout(s).clusters <= kMaxFat12Clusters;
}

void parseFat32BootSector(Bytes s, FatVolume& v) {
  parseCommon(s, v);
  v.serialNumber = le32(s, 67);
  v.fatType = kFat32;
  v.fat12 = false;
  v.rootEntries = 0;
  v.fatSectors = le32(s, 36);
  v.sectorCount = le32(s, 32);
  v.secondFatOffset = v.reservedSectors + v.fatSectors;
  v.dataOffset = v.reservedSectors + 2ull * v.fatSectors;
  v.clusterCount = clustersBehind(v.sectorCount, v.dataOffset, v.sectorsPerCluster);
}

const char* fatKindName(const FatVolume& v) {
  if (v.fatType == kFat16) return v.fat12 ? "fat12" : "fat16";
  if (v.fatType == kExFat) return "exfat";
  return "fat32";
}

std::string fatVolumeLabel(const FatVolume& v, std::size_t numberFromOne) {
  const char* kind = v.fatType == kFat16 ? (v.fat12 ? "FAT 12" : "FAT 16") : v.fatType == kExFat ? "exFAT" : "FAT 32";
  return std::string(kind) + " logical drive " + std::to_string(numberFromOne);
}

std::string fatVolumeSizeText(const FatVolume& v) {
  // A damaged sector count must not wrap around to a small size.
  if (v.bytesPerSector != 0 && v.sectorCount > UINT64_MAX / v.bytesPerSector) return byteSizeText(UINT64_MAX);
  return byteSizeText(v.sectorCount * v.bytesPerSector);
}

std::string fatClusterSizeText(const FatVolume& v) {
  char text[32];
  std::snprintf(text, sizeof text, "%3.1f KB", static_cast<double>(v.bytesPerCluster) / 1024.0);
  return text;
}

std::string fatVolumeStartText(const FatVolume& v) {
  return std::to_string(static_cast<std::uint32_t>(v.startSector & 0xFFFFFFFFu));
}

FatVolume selectVolume(const FatVolume& v, std::uint16_t sourceBytesPerSector) {
  FatVolume c = v;
  if (c.bytesPerSector == 0) c.bytesPerSector = sourceBytesPerSector;
  if (c.sectorsPerCluster == 0) c.sectorsPerCluster = 8;
  if (c.bytesPerCluster == 0) c.bytesPerCluster = static_cast<std::uint32_t>(c.bytesPerSector) * c.sectorsPerCluster;
  return c;
}

std::uint64_t clusterSector(const FatVolume& v, std::uint32_t cluster) {
  std::uint64_t s = v.startSector + v.dataOffset + (static_cast<std::uint64_t>(cluster) - 2) * v.sectorsPerCluster;
  return s + rootDirSectors(v);
}

std::uint64_t fat16RootSector(const FatVolume& v) { return v.startSector + v.dataOffset; }

std::uint32_t rootDirSectors(const FatVolume& v) {
  if (v.fatType != kFat16) return 0;
  if (v.rootEntries == 0) return kFat16RootSectors;
  const std::uint32_t bps = v.bytesPerSector != 0 ? v.bytesPerSector : 512;
  return (std::uint32_t{v.rootEntries} * 32 + bps - 1) / bps;
}

std::uint32_t fatEntryBits(const FatVolume& v) {
  if (v.fatType == kFat32 || v.fatType == kExFat) return 32;
  return v.fat12 ? 12 : 16;
}

bool FatReader::read(void* buffer, std::size_t byteCount, std::uint64_t sector) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  ReadBackend* backend = source_.backend();
  const std::uint16_t sourceBps = source_.bytesPerSector();
  // Positioning and reading only: the FAT engine keeps its read errors out of the log.
  auto raw = [&](std::uint8_t* to, std::size_t length, std::uint64_t offset) -> int {
    if (backend == nullptr || sourceBps == 0) return EBADF;
    if (offset > UINT64_MAX - length) return EINVAL;
    std::size_t got = 0;
    int error = backend->readAt(offset, to, length, got);
    if (error == 0 && got < length) std::memset(to + got, 0, length - got);
    return error;
  };
  auto decide = [&](int error) {
    switch (classifyReadError(error)) {
      case ReadErrorAction::Skip:
        break;
      case ReadErrorAction::Wait:
        if (sleep_) sleep_(std::chrono::milliseconds(500));
        else std::this_thread::sleep_for(std::chrono::milliseconds(500));
        break;
      case ReadErrorAction::Fail:
        source_.host().fail(systemErrorText(error));
    }
  };

  const bool positionFits = sourceBps != 0 && sector <= UINT64_MAX / sourceBps;
  const std::uint64_t base = positionFits ? sector * sourceBps : 0;
  int error = positionFits ? raw(out, byteCount, base) : (backend == nullptr ? EBADF : EINVAL);
  if (error == 0 || byteCount == 0) return true;

  // Piece by piece in the current volume's sector size. Each piece is read at the byte that
  // follows the previous one, so the result lines up with what one whole read would give even
  // when the volume's sectors are larger than the source's.
  const std::size_t step = volume_.bytesPerSector != 0 ? volume_.bytesPerSector : sourceBps;
  std::size_t offset = 0;
  for (;;) {
    if (!source_.run().running()) return false;
    decide(error);
    std::size_t piece = step == 0 ? byteCount : std::min(step, byteCount - offset);
    error = positionFits ? raw(out + offset, piece, base + offset) : EINVAL;
    if (error != 0) std::memset(out + offset, 0, piece);  // a skipped sector reads as zeros
    if (error != 0 && classifyReadError(error) == ReadErrorAction::Skip) source_.noteSkippedSector();
    offset += piece;
    if (offset >= byteCount) break;
  }
  // The last piece's error still decides: a vanished disk must not read as zeros.
  if (error != 0 && classifyReadError(error) == ReadErrorAction::Fail) source_.host().fail(systemErrorText(error));
  return true;
}

std::vector<std::uint32_t> buildClusterChain(FatReader& reader, std::uint32_t first) {
  std::vector<std::uint32_t> chain;
  const FatVolume& v = reader.volume();
  if (first == 1) return chain;
  if (v.fatType != kFat16 && v.fatType != kFat32 && v.fatType != kExFat) return chain;
  const bool exFat = v.fatType == kExFat;
  const std::uint32_t bits = fatEntryBits(v);
  const std::uint32_t bps = v.bytesPerSector;
  if (bps < 4) return chain;
  if (exFat && (v.fatSectors == 0 || first < 2 || first > std::uint64_t{v.clusterCount} + 1 ||
                std::uint64_t{first} * 4 / bps >= v.fatSectors)) {
    if (first >= 2) chain.push_back(first);
    return chain;
  }
  // exFAT cluster numbers use all 32 bits; FAT32 keeps its top four bits reserved.
  const std::uint32_t mask = exFat ? 0xFFFFFFFFu : 0x0FFFFFFFu;
  const std::size_t limit = exFat        ? std::size_t{v.clusterCount} + 1
                            : bits == 12 ? kMaxFat12Clusters + 1
                            : bits == 16 ? kMaxFat16Clusters + 1
                                         : 268435456u;
  const std::uint64_t fatStart = v.startSector + v.secondFatOffset;
  if (fatStart < v.startSector) return chain;  // wrapped: no such FAT

  // The FAT one sector at a time; a 12-bit entry may straddle two sectors.
  std::vector<std::uint8_t> sector(bps);
  std::uint64_t loaded = 0;
  bool haveSector = false;
  bool aborted = false;
  auto fatByte = [&](std::uint64_t offset) -> std::uint8_t {
    std::uint64_t at = fatStart + offset / bps;
    if (at < fatStart) {
      aborted = true;  // past the last sector number: no such FAT entry
      return 0;
    }
    if (!haveSector || at != loaded) {
      std::fill(sector.begin(), sector.end(), 0);
      if (!reader.read(sector.data(), sector.size(), at)) {
        aborted = true;
        return 0;
      }
      loaded = at;
      haveSector = true;
    }
    return sector[static_cast<std::size_t>(offset % bps)];
  };
  auto entryOf = [&](std::uint32_t c) -> std::uint32_t {
    if (bits == 12) {
      std::uint64_t offset = std::uint64_t{c} + c / 2;
      std::uint32_t pair = fatByte(offset) | (std::uint32_t{fatByte(offset + 1)} << 8);
      return c % 2 == 0 ? pair & 0xFFF : pair >> 4;
    }
    std::uint64_t offset = std::uint64_t{c} * (bits / 8);
    std::uint32_t value = 0;
    for (std::uint32_t k = 0; k < bits / 8 && !aborted; ++k) value |= std::uint32_t{fatByte(offset + k)} << (8 * k);
    return value;
  };

  // Clusters already in the chain: a FAT that loops back to one of them ends the chain there.
  // Short chains are searched directly; a longer one gets a bitmap over the cluster numbers.
  constexpr std::size_t kDirectSearch = 64;
  std::vector<bool> held;
  auto hold = [&](std::uint32_t c) {
    if (chain.size() < kDirectSearch) return;
    if (held.empty()) {
      std::uint32_t top = *std::max_element(chain.begin(), chain.end()) & mask;
      held.resize(static_cast<std::size_t>(std::max(top, c)) + 1);
      for (std::uint32_t k : chain) held[k & mask] = true;
    }
    if (c >= held.size()) held.resize(std::max<std::size_t>(static_cast<std::size_t>(c) + 1, held.size() * 2));
    held[c] = true;
  };
  auto holds = [&](std::uint32_t c) {
    if (held.empty()) return std::find(chain.begin(), chain.end(), c) != chain.end();
    return c < held.size() && held[c];
  };

  std::uint32_t current = first;
  chain.push_back(first);
  for (;;) {
    if (chain.size() >= limit) return {};
    std::uint32_t entry = entryOf(current);
    if (aborted) break;
    if (entry == current) break;
    // FAT12 cluster numbers reach 0xFF5: only the bad-cluster and end marks (0xFF7 on) end it.
    if (bits == 12 && (entry <= 1 || entry >= 0xFF7)) break;
    if (bits == 16 && (entry <= 1 || entry >= 0xFFF0)) break;
    // exFAT: past the last cluster are the bad-cluster and end marks.
    if (exFat && (entry <= 1 || entry > std::uint64_t{v.clusterCount} + 1)) break;
    if (exFat && std::uint64_t{entry} * 4 / bps >= v.fatSectors) break;  // no such FAT entry
    std::uint32_t next = entry & mask;
    if (next <= 1 || (!exFat && next >= 0x0FFFFFF0u)) break;
    if (holds(next)) break;
    chain.push_back(next);
    hold(next);
    current = next;
  }
  return chain;
}

}  // namespace ov::fat
