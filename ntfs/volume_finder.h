// Finding NTFS volumes: the partition-table walk and the two lost-volume searches.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "disk/gpt.h"
#include "disk/sector_source.h"
#include "ntfs/logical_volume.h"

namespace ov::ntfs {

// Walks the MBR and the chain of extended partition tables; true when a volume was found.
// A chain that loops back, or runs longer than kMaxPartitionTables, ends the walk.
// A disk whose sector 0 is an NTFS boot sector is a single-volume image: that volume is listed.
// A protective MBR leads to the GPT (primary, else backup), whose NTFS partitions are listed.
inline constexpr int kMaxPartitionTables = 1024;
bool readPartitionTable(SectorSource& source, std::vector<LogicalVolume>& volumes,
                        PartitionTableKind* kind = nullptr);

// Quick search: probes for boot sectors at the cylinder boundaries of a 255-head, 63-sector
// geometry (16065 sectors per cylinder) and 63 sectors after each. Returns false when aborted.
bool quickSearch(SectorSource& source, std::uint64_t start, std::uint64_t end, std::vector<LogicalVolume>& volumes);

// Thorough search: every sector of [start, end) is tested for a boot sector and for the first
// records of the MFT and its mirror; volumes are also derived from those records. False when aborted.
bool thoroughSearch(SectorSource& source, std::uint64_t start, std::uint64_t end, std::vector<LogicalVolume>& volumes);

// A boot sector without the name "NTFS    " is taken by a search (or at a sector the user names)
// only when the first record of the MFT is where it says the MFT (or its mirror) starts.
bool mftConfirmsBootSector(SectorSource& source, Bytes boot, std::uint64_t position);

// The volume whose boot sector is at `sector` (the user's choice of a start sector): the tests of
// the searches (name or MFT evidence, plausible geometry), the size as the boot sector states it.
std::optional<LogicalVolume> volumeAtSector(SectorSource& source, std::uint64_t sector);

// The rounding of a quick search's range to cylinder boundaries.
std::uint64_t roundToCylinder(std::uint64_t sector, bool isEnd);

}  // namespace ov::ntfs
