// Signatures of file systems other than the one a volume is taken for.
//
// A disk that held another file system before it was formatted can keep that file system's
// superblock where the new one writes nothing; tools then cannot tell which one the volume is.
// The engines warn about it and go on with the file system they were asked for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk/byte_io.h"
#include "disk/sector_source.h"

namespace ov {

// How many bytes from a volume's start foreignFileSystems looks at.
inline constexpr std::size_t kSignatureAreaBytes = 69632;

// The names of the other file systems whose signatures `area` (a volume's first bytes, in
// sectors of `bytesPerSector`) holds: ext2/3/4, HFS+, ISO 9660, UDF, Btrfs, Linux swap, LVM2,
// and a FAT or exFAT backup boot sector. `own` is the file system the volume is taken for
// ("NTFS", "FAT"); its own structures are not reported.
std::vector<std::string> foreignFileSystems(Bytes area, std::uint32_t bytesPerSector, const std::string& own);

// Reads the area at `startSector` and returns foreignFileSystems of it.
std::vector<std::string> foreignFileSystemsAt(SectorSource& source, std::uint64_t startSector, const std::string& own);

}  // namespace ov
