#include <set>

#include "ntfs/boot_sector.h"
#include "ntfs/volume_finder.h"

namespace ov::ntfs {

bool readPartitionTable(SectorSource& source, std::vector<LogicalVolume>& volumes) {
  volumes.clear();
  const std::uint16_t bps = source.bytesPerSector();
  if (!source.isOpen() || bps == 0) return false;
  std::vector<std::uint8_t> table(bps < 512 ? 512 : bps);
  std::vector<std::uint8_t> boot(bps < 512 ? 512 : bps);
  std::uint64_t tableSector = 0;
  std::uint64_t extendedBase = 0;
  std::set<std::uint64_t> visited;

  while (visited.insert(tableSector).second && visited.size() <= kMaxPartitionTables) {
    std::fill(table.begin(), table.end(), 0);
    source.readSectorsRetrying(table.data(), 512, tableSector);
    Bytes t(table.data(), 512);
    if (le16(t, 0x1FE) != 0xAA55 || t[0x1C2] == 0) break;
    std::uint64_t next = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      std::size_t entry = 0x1BE + 16 * i;
      std::uint8_t type = t[entry + 4];
      std::uint64_t first = le32(t, entry + 8);
      std::uint64_t count = le32(t, entry + 12);
      if (type == 0x07) {
        std::uint64_t start = tableSector + first;
        std::fill(boot.begin(), boot.end(), 0);
        source.readSectorsRetrying(boot.data(), bps, start);
        Bytes b(boot.data(), boot.size());
        if (!isNtfsBootSector(b)) continue;
        volumes.push_back(volumeFromBootSector(b, start, count, bps, BootSectorSize::Checked));
      } else if (type == 0x05 || type == 0x0F || type == 0x85) {
        next = first + extendedBase;
      }
    }
    if (extendedBase == 0) extendedBase = next;
    if (next == 0) break;
    tableSector = next;
  }
  return !volumes.empty();
}

}  // namespace ov::ntfs
