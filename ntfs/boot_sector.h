// The NTFS boot sector: the test that recognises one, and the volume it describes.
#pragma once

#include <cstdint>

#include "disk/byte_io.h"
#include "ntfs/logical_volume.h"

namespace ov::ntfs {

bool isNtfsBootSector(Bytes sector);

// The file system name at byte 3 is "NTFS    ".
bool hasNtfsName(Bytes sector);

// A geometry that can exist: bytes per sector a power of two from 256 to 4096, a volume whose
// size in bytes fits in 64 bits, the MFT's cluster inside the volume, and MFT and index records
// of 256 bytes to 32 KiB and 64 KiB (powers of two).
bool plausibleNtfsGeometry(Bytes sector);

// What the partition walk takes as an NTFS volume: isNtfsBootSector, the name "NTFS    " and a
// plausible geometry. (Another file system's boot sector, FAT16's say, can pass
// isNtfsBootSector; the searches take one without the name only when the MFT confirms it.)
bool isNamedNtfsBootSector(Bytes sector);

struct RecordSize {
  std::uint64_t bytes = 0;
  std::uint64_t sectors = 0;
};
// The boot sector's signed size code: c >= 0 means c clusters, c < 0 means 2^-c bytes.
RecordSize decodeRecordSize(std::int8_t code, std::uint32_t sectorsPerCluster, std::uint32_t bytesPerCluster,
                            std::uint32_t bytesPerSector);

enum class BootSectorSize {
  Checked,   // the boot sector's value when non-zero and a multiple of 512, else the source's
  AsStored,  // the boot sector's value as it stands
};

// Builds the volume that a boot sector (which passed isNtfsBootSector) describes.
LogicalVolume volumeFromBootSector(Bytes boot, std::uint64_t startSector, std::uint64_t sectorCount,
                                   std::uint16_t sourceBytesPerSector, BootSectorSize sizeRule);

// The size tests of the searches: the volume must fit on a source of `totalSectors`.
bool bootSectorFits(Bytes boot, std::uint64_t position, std::uint64_t totalSectors);

// Two volumes are the same when these fields agree (the searches' duplicate rule).
bool sameVolume(const LogicalVolume& a, const LogicalVolume& b);

}  // namespace ov::ntfs
