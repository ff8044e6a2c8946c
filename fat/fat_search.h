// Finding FAT volumes: the partition-table walk and the two lost-volume searches
// ("Basic Scan" and "Thorough Scan"), with the steps the Thorough Scan is built from.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "disk/byte_io.h"
#include "disk/gpt.h"
#include "disk/sector_source.h"
#include "fat/exfat_directory.h"
#include "fat/fat_volume.h"

namespace ov::fat {

// What a GUID partition table says about a listed volume; both empty for MBR volumes and for
// an image of one volume. Kept beside the list, since the stored volume record has no room.
struct FatPartitionInfo {
  std::string name;  // the partition's name, UTF-8
  std::string type;  // gptTypeName() of its type GUID
};

// Lists the FAT12, FAT16, FAT32 and exFAT volumes of the disk; true when one was found. Sector 0 that is
// itself a FAT boot sector gives one volume at 0 (an image of one volume). A protective MBR sends the
// walk to the GUID partition table (the backup copy when the primary fails its checks, which the
// process log notes), where every entry whose first sector passes a FAT boot-sector test is
// listed. Otherwise the MBR and its chain of extended partition tables are walked; a chain that
// loops back, or runs longer than kMaxFatPartitionTables, ends the walk. Partitions of the FAT12,
// FAT16 and FAT32 types and of type 0x07 (exFAT, or NTFS) are taken by their boot sectors,
// whichever kind the type names.
// `kind` gets the table found (none when sector 0 is the boot sector of a volume) and `infos`,
// when given, one entry per listed volume.
inline constexpr int kMaxFatPartitionTables = 1024;
bool readFatPartitionTable(SectorSource& source, std::vector<FatVolume>& volumes, PartitionTableKind* kind = nullptr,
                           std::vector<FatPartitionInfo>* infos = nullptr);

// Both searches test every sector of [start, end) for FAT12/16 and FAT32 boot sectors; the thorough
// one also places volumes whose boot sector is gone by their directories and FATs. They report
// progress, volumes found (by boot sector) and return false only when aborted.
bool basicSearch(SectorSource& source, std::uint64_t start, std::uint64_t end, std::vector<FatVolume>& volumes);
bool thoroughSearch(SectorSource& source, std::uint64_t start, std::uint64_t end, std::vector<FatVolume>& volumes);

// Hostile disks must not grow the lists without end: volumes beyond this many are not listed,
// and FAT starts beyond kMaxFatStartMarks are not noted.
inline constexpr std::size_t kMaxFatSearchVolumes = 4096;
inline constexpr std::size_t kMaxFatStartMarks = 65536;

// A FAT32 boot sector seen 6 sectors after one already listed is that volume's backup: the
// listed volume takes note of it and true is returned (the caller drops `found`).
bool mergeBackupBootSector(std::vector<FatVolume>& volumes, const FatVolume& found);

// A sector that looks like the first sector of a FAT. An exFAT FAT's first sector (entries 0
// and 1 whole: F8 FF FF FF FF FF FF FF) is noted as kExFatMark beside its FAT16 mark.
inline constexpr std::uint8_t kFat12Mark = 3;
inline constexpr std::uint8_t kExFatMark = 4;
struct FatStartMark {
  std::uint64_t sector = 0;
  std::uint8_t kind = 0;  // kFat16, kFat32 or kFat12Mark
  bool operator==(const FatStartMark&) const = default;
};
// kFat16 for a FAT16 FAT's first sector, kFat32 for a FAT32 one, kFat12Mark for one that only a
// FAT12 FAT begins with (a FAT12 FAT may also look like a FAT16 one), else 0.
std::uint8_t fatStartKind(Bytes sector);
// The "." and ".." entries that open every subdirectory; `cluster` gets the "." entry's cluster.
bool isDirectoryStart(Bytes sector, std::uint32_t& cluster);

// Two directory sectors in a row give the cluster size and the data start of their volume: an even
// distance, or an odd one as far as their clusters (clusters of one sector).
struct DirectoryPairing {
  std::uint32_t count = 0;
  std::uint64_t firstSector = 0;
  std::uint32_t firstCluster = 0;
};
void pairDirectorySector(DirectoryPairing& state, std::uint64_t sector, std::uint32_t cluster,
                         std::uint16_t bytesPerSector, std::vector<FatVolume>& volumes);

// The first listed volume with r's cluster size whose data area (or FAT12/FAT16 root) starts at
// r.dataOffset, or would if the FAT32 boot sector it was listed by is its backup; nullptr when
// none.
FatVolume* findVolumeByDataStart(std::vector<FatVolume>& volumes, const FatVolume& r);
// Turns every volume known only from directories (foundBy 0) into a FAT16 and a FAT32 reading,
// or a FAT32 reading alone when it has 65,536 clusters or more, placed by the FATs below it; a
// FAT12 reading comes first when two FATs below it fit a FAT12 layout (sized by its FAT, up to
// `endSector`).
void settleDirectoryVolumes(std::vector<FatVolume>& volumes, const std::vector<FatStartMark>& marks,
                            std::uint64_t endSector = UINT64_MAX);
// The last mark below v.dataOffset of v's FAT type.
std::optional<std::uint64_t> findFatStartBelow(const FatVolume& v, const std::vector<FatStartMark>& marks);
// Sets the flags of the FAT copies seen where each volume expects them, and moves a FAT32 volume
// that was built from its backup boot sector back to its real start.
void markFatCopies(std::vector<FatVolume>& volumes, const std::vector<FatStartMark>& marks);

// exFAT. The volume whose boot region starts at `start`: the main boot sector when its region's
// checksum holds (or neither region's does), else the backup's (foundBy then has
// kFatBackupSeen); nullopt when neither sector is an exFAT boot sector.
std::optional<FatVolume> readExFatBootRegion(FatReader& reader, std::uint64_t start);
// The first sector of an up-case table (plain or compressed).
bool isUpcaseTableStart(Bytes sector);
// A root directory's first sector: the allocation bitmap and up-case table entries among its
// first entries; `entries` gets what they say.
bool isExFatRootStart(Bytes sector, ExFatRootEntries& entries);
// A root directory found at `rootSector` placed as a volume: the up-case table it names is looked
// for at the up-case marks below it (its checksum must match), the cluster size is the one for
// which the allocation bitmap marks the bitmap's, the up-case table's and the root's clusters
// as in use, and the FAT is the last exFAT FAT mark below the clusters (none: no chains).
std::optional<FatVolume> placeExFatRoot(FatReader& reader, std::uint64_t rootSector, const ExFatRootEntries& root,
                                        const std::vector<std::uint64_t>& upcaseMarks,
                                        const std::vector<FatStartMark>& marks, std::uint64_t endSector);

}  // namespace ov::fat
