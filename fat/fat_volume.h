// The FAT engine's volume: the 78-byte volume record, the FAT12/FAT16/FAT32 and exFAT boot-sector
// tests and parsers, cluster addressing, the FAT engine's sector reading rules and cluster chains.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "disk/byte_io.h"
#include "disk/sector_source.h"

namespace ov::fat {

// kFat16 stands for both kinds with a root directory of fixed size before the clusters, FAT12 and
// FAT16 (FatVolume::fat12 tells them apart); kFat32 for FAT32, whose root is a cluster chain;
// kExFat for exFAT (32-bit FAT entries, directories of entry sets, the root at rootCluster).
enum FatType : std::uint8_t { kFatUnknown = 0, kFat16 = 1, kFat32 = 2, kExFat = 3 };
// The cluster counts that decide the type: fewer than 4,085 clusters make FAT12, fewer than
// 65,525 FAT16.
inline constexpr std::uint32_t kMaxFat12Clusters = 4084;
inline constexpr std::uint32_t kMaxFat16Clusters = 65524;

enum FatFoundBy : std::uint8_t {
  kFatBootParsed = 1,     // boot sector parsed (or volume settled by the thorough search)
  kFatBackupSeen = 2,     // backup boot sector also seen
  kFatFirstFatSeen = 4,   // first FAT seen where expected
  kFatSecondFatSeen = 8,  // second FAT seen where expected
};

struct FatVolume {
  std::uint64_t bootCopySector = 0;
  std::uint64_t startSector = 0;
  std::uint64_t sectorCount = 0;
  std::uint64_t serialNumber = 0;
  std::uint64_t reservedSectors = 0;
  std::uint64_t secondFatOffset = 0;  // 0: chains are read from the FAT at startSector
  std::uint64_t dataOffset = 0;       // FAT12/FAT16 root directory, or the FAT32 data area
  std::uint32_t fatSectors = 0;
  std::uint32_t clusterCount = 0;
  std::uint32_t bytesPerCluster = 0;
  std::uint16_t bytesPerSector = 0;
  std::uint32_t sectorsPerCluster = 0;  // at most 255 but for exFAT (up to 65,536)
  std::uint8_t fatType = kFatUnknown;
  std::uint8_t foundBy = 0;
  // FAT12 and FAT16 only: 12-bit FAT entries, and the root directory's entry count (0: a root of
  // kFat16RootSectors sectors, as in volumes not read from a boot sector).
  bool fat12 = false;
  std::uint16_t rootEntries = 0;
  // exFAT only: the root directory's first cluster. An exFAT volume's FAT lies at
  // secondFatOffset (reservedSectors holds the boot sector's FAT offset); 0 fatSectors: no FAT
  // known (a volume placed by its root directory alone), so no chain can be followed.
  std::uint32_t rootCluster = 0;
  // exFAT only: the allocation bitmap's first cluster, once the root has named it (else 0).
  std::uint32_t bitmapCluster = 0;

  bool operator==(const FatVolume&) const = default;
};

inline constexpr std::size_t kStoredFatVolumeBytes = 78;
// The stored form; `hasNext` fills the link field at offset 61. The two FAT12/FAT16 facts live
// in bytes that every record written before them holds as 0: byte 0 (reserved) is 12 for a FAT
// of 12-bit entries, and for fatType 1 the bootCopySector field, which only FAT32 uses, holds
// the root entry count (0: 32 sectors, the one root size known before). A record of fatType 1
// whose bootCopySector does not fit in 16 bits is refused. An exFAT record (fatType 3, which
// readers that know only FAT refuse) keeps rootCluster in the bootCopySector field and the
// power of two of sectorsPerCluster in the sectorsPerCluster byte.
std::array<std::uint8_t, kStoredFatVolumeBytes> encodeFatVolume(const FatVolume& v, bool hasNext);
std::optional<FatVolume> decodeFatVolume(Bytes stored, bool* hasNext = nullptr);

// FAT12 and FAT16 boot sectors (a root directory of fixed size): the cluster count decides
// between them, as the FAT format defines it, whatever the volume's size.
bool isFat12or16BootSector(Bytes sector);
bool isFat32BootSector(Bytes sector);
void parseFat12or16BootSector(Bytes sector, FatVolume& v);
void parseFat32BootSector(Bytes sector, FatVolume& v);
// Sector 0 of a volume rather than a partition table: jump instruction, a sector size of 512 to
// 4,096 bytes and a cluster of a power-of-two number of sectors (any file system).
bool looksLikeVolumeBootSector(Bytes sector);

// exFAT: the boot sector (jump, "EXFAT   ", zeros where FAT keeps its parameters, sizes that fit
// the volume), its parser, and the boot region's checksum: sectors 0 to 10 of a region (main at
// the volume's sector 0, backup at 12), without the volume flags and the percent in use, held
// in every 32-bit word of sector 11.
inline constexpr std::uint64_t kExFatBackupBootSector = 12;
inline constexpr std::uint32_t kExFatBootRegionSectors = 12;
bool isExFatBootSector(Bytes sector);
void parseExFatBootSector(Bytes sector, FatVolume& v);
std::uint32_t exFatBootChecksum(Bytes sectors0to10, std::uint32_t bytesPerSector);
// A whole region of 12 sectors of `bytesPerSector`: true when sector 11 holds its checksum.
bool exFatBootRegionValid(Bytes region, std::uint32_t bytesPerSector);

// "fat12", "fat16", "fat32" or "exfat".
const char* fatKindName(const FatVolume& v);
// The volume list's rows: "FAT 12 logical drive %u", "FAT 16 ...", "FAT 32 ..." or "exFAT ...", the size text
// ("%7.3f KB/MB/GB") and the cluster size ("%3.1f KB").
std::string fatVolumeLabel(const FatVolume& v, std::size_t numberFromOne);
std::string fatVolumeSizeText(const FatVolume& v);
std::string fatClusterSizeText(const FatVolume& v);
// Column 2 of the row: the low 32 bits of startSector as "%u".
std::string fatVolumeStartText(const FatVolume& v);

// Makes a copy usable as the current volume (defaults for zero sector and cluster sizes).
FatVolume selectVolume(const FatVolume& v, std::uint16_t sourceBytesPerSector);

// Absolute sector of cluster c (2 and up); a FAT12/FAT16 root directory comes first.
std::uint64_t clusterSector(const FatVolume& v, std::uint32_t cluster);
// The FAT12/FAT16 root directory: rootDirSectors() sectors at startSector + dataOffset (32 for
// the usual 512 entries of 512-byte sectors); 0 for FAT32.
inline constexpr std::uint32_t kFat16RootSectors = 32;
std::uint64_t fat16RootSector(const FatVolume& v);
std::uint32_t rootDirSectors(const FatVolume& v);
// 12, 16 or 32 (exFAT too).
std::uint32_t fatEntryBits(const FatVolume& v);
// The cluster number that stands for the root folder: 1 (FAT12/FAT16 root), 2 (FAT32 root) or
// the exFAT root's first cluster.
inline std::uint32_t rootFolderKey(const FatVolume& v) { return v.fatType == kExFat ? v.rootCluster : v.fatType; }

// Reading with the FAT engine's rules: skipped sectors are read as zeros and count as read;
// false only when the operation is being aborted (running cleared during the retry).
// Device errors wait 500 ms; other errors are reported and throw AlreadyReported.
class FatReader {
 public:
  FatReader(SectorSource& source, const FatVolume& volume) : source_(source), volume_(volume) {}
  bool read(void* buffer, std::size_t byteCount, std::uint64_t sector);
  SectorSource& source() { return source_; }
  const FatVolume& volume() const { return volume_; }
  // The wait after a device error (500 ms); tests replace it.
  void setSleeper(std::function<void(std::chrono::milliseconds)> sleeper) { sleep_ = std::move(sleeper); }

 private:
  SectorSource& source_;
  const FatVolume& volume_;
  std::function<void(std::chrono::milliseconds)> sleep_;
};

// The clusters of the chain that starts at `first` (first included, end marker excluded), with
// FAT entries of 12, 16 or 32 bits. Empty for cluster 1 (the FAT12/FAT16 root has no chain) and
// for chains longer than the FAT type allows; a chain that comes back to a cluster it already
// holds ends there. exFAT entries are whole 32-bit cluster numbers; a value outside 2 to the last
// cluster ends the chain, and an exFAT volume without a known FAT gives `first` alone.
std::vector<std::uint32_t> buildClusterChain(FatReader& reader, std::uint32_t first);

}  // namespace ov::fat
