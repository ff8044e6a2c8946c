#include <set>

#include "ntfs/boot_sector.h"
#include "ntfs/volume_finder.h"

namespace ov::ntfs {

namespace {

bool readGptVolumes(SectorSource& source, std::vector<LogicalVolume>& volumes) {
  std::vector<GptPartition> partitions;
  bool usedBackup = false;
  if (!readGpt(source, partitions, usedBackup)) return false;
  if (usedBackup)
    source.host().addLogEntry(LogEntry{"GPT header or partition entries damaged; using the backup GPT",
                                       "Sector " + std::to_string(source.totalSectors() - 1), LogKind::Aborted, {}});
  const std::uint16_t bps = source.bytesPerSector();
  std::vector<std::uint8_t> boot(bps < 512 ? 512 : bps);
  for (const auto& p : partitions) {
    std::fill(boot.begin(), boot.end(), 0);
    source.readSectorsRetrying(boot.data(), bps, p.firstLba);
    if (!isNamedNtfsBootSector(boot)) continue;
    LogicalVolume v = volumeFromBootSector(boot, p.firstLba, p.lastLba - p.firstLba + 1, bps, BootSectorSize::Checked);
    v.partitionName = p.name;
    v.partitionType = gptTypeName(p.typeGuid);
    volumes.push_back(std::move(v));
  }
  return true;
}

}  // namespace

bool readPartitionTable(SectorSource& source, std::vector<LogicalVolume>& volumes, PartitionTableKind* kind) {
  volumes.clear();
  if (kind) *kind = PartitionTableKind::None;
  const std::uint16_t bps = source.bytesPerSector();
  if (!source.isOpen() || bps == 0) return false;
  std::vector<std::uint8_t> table(bps < 512 ? 512 : bps);
  std::vector<std::uint8_t> boot(bps < 512 ? 512 : bps);

  // Sector 0 itself: an image of one volume, or the protective MBR of a GPT disk.
  source.readSectorsRetrying(table.data(), bps, 0);
  if (isNamedNtfsBootSector(table)) {
    volumes.push_back(volumeFromBootSector(table, 0, le64(table, 0x28), bps, BootSectorSize::Checked));
    return true;
  }
  if (hasProtectiveMbr(table)) {
    if (kind) *kind = PartitionTableKind::Gpt;
    if (readGptVolumes(source, volumes)) return !volumes.empty();
  }
  if (kind && le16(table, 0x1FE) == 0xAA55 && *kind == PartitionTableKind::None) *kind = PartitionTableKind::Mbr;
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
        if (!isNamedNtfsBootSector(b)) continue;
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
