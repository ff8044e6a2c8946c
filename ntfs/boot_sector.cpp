#include "ntfs/boot_sector.h"

namespace ov::ntfs {

bool isNtfsBootSector(Bytes b) {
  if (b.size() < 512) return false;
  if (b[0] == 0 || b[1] == 0 || b[2] != 0x90) return false;
  if (le32(b, 0x20) != 0) return false;
  if (le16(b, 0x24) != 0x0080) return false;
  std::uint16_t bps = le16(b, 0x0B);
  if (bps != 0) {
    if (bps % 512 != 0) return false;
    if (bps != 512 && (bps / 512) % 2 != 0) return false;
  }
  std::uint8_t spc = b[0x0D];
  if (spc == 0 || (spc != 1 && spc % 2 != 0)) return false;
  if (b[0x40] == 0 || b[0x44] == 0) return false;
  for (std::size_t off : {0x30u, 0x38u, 0x28u}) {
    std::uint64_t v = le64(b, off);
    if (v == 0 || v == UINT64_MAX) return false;
  }
  return true;
}

bool hasNtfsName(Bytes b) {
  static const char kName[] = "NTFS    ";
  if (b.size() < 11) return false;
  for (std::size_t i = 0; i < 8; ++i)
    if (b[3 + i] != static_cast<std::uint8_t>(kName[i])) return false;
  return true;
}

namespace {
bool powerOfTwoIn(std::uint64_t v, std::uint64_t low, std::uint64_t high) {
  return v >= low && v <= high && (v & (v - 1)) == 0;
}
}  // namespace

bool plausibleNtfsGeometry(Bytes b) {
  if (b.size() < 512) return false;
  const std::uint64_t bps = le16(b, 0x0B);
  const std::uint64_t spc = b[0x0D];
  const std::uint64_t total = le64(b, 0x28);
  const std::uint64_t mftLcn = le64(b, 0x30);
  if (!powerOfTwoIn(bps, 256, 4096) || spc == 0 || total == 0) return false;
  if (total > UINT64_MAX / bps) return false;         // the volume's bytes must be addressable
  if (mftLcn > (total - 1) / spc) return false;       // the MFT starts inside the volume
  const std::uint64_t clusterBytes = bps * spc;
  RecordSize mft = decodeRecordSize(static_cast<std::int8_t>(b[0x40]), static_cast<std::uint32_t>(spc),
                                    static_cast<std::uint32_t>(clusterBytes), static_cast<std::uint32_t>(bps));
  RecordSize index = decodeRecordSize(static_cast<std::int8_t>(b[0x44]), static_cast<std::uint32_t>(spc),
                                      static_cast<std::uint32_t>(clusterBytes), static_cast<std::uint32_t>(bps));
  return powerOfTwoIn(mft.bytes, 256, 32768) && powerOfTwoIn(index.bytes, 256, 65536);
}

bool isNamedNtfsBootSector(Bytes b) { return isNtfsBootSector(b) && hasNtfsName(b) && plausibleNtfsGeometry(b); }

RecordSize decodeRecordSize(std::int8_t code, std::uint32_t sectorsPerCluster, std::uint32_t bytesPerCluster,
                            std::uint32_t bytesPerSector) {
  RecordSize size;
  if (code >= 0) {
    size.bytes = static_cast<std::uint64_t>(code) * bytesPerCluster;
    size.sectors = static_cast<std::uint64_t>(code) * sectorsPerCluster;
  } else {
    int shift = -static_cast<int>(code);
    size.bytes = shift < 64 ? (std::uint64_t{1} << shift) : 0;
    size.sectors = bytesPerSector != 0 ? size.bytes / bytesPerSector : 0;
  }
  return size;
}

LogicalVolume volumeFromBootSector(Bytes boot, std::uint64_t startSector, std::uint64_t sectorCount,
                                   std::uint16_t sourceBps, BootSectorSize sizeRule) {
  LogicalVolume v;
  std::uint16_t bootBps = le16(boot, 0x0B);
  v.startSector = startSector;
  v.sectorCount = sectorCount;
  v.mftLcn = le64(boot, 0x30);
  v.mftMirrLcn = le64(boot, 0x38);
  v.serialNumber = le64(boot, 0x48);
  v.sectorsPerCluster = boot[0x0D];
  v.mftSector = startSector + v.mftLcn * v.sectorsPerCluster;
  if (sizeRule == BootSectorSize::AsStored) v.bytesPerSector = bootBps;
  else v.bytesPerSector = (bootBps != 0 && bootBps % 512 == 0) ? bootBps : sourceBps;
  v.bytesPerCluster = static_cast<std::uint32_t>(v.sectorsPerCluster) * v.bytesPerSector;
  // A boot sector that keeps 0 as its sector size still needs a unit to turn bytes into sectors.
  std::uint32_t unit = v.bytesPerSector != 0 ? v.bytesPerSector : sourceBps;
  RecordSize mft = decodeRecordSize(static_cast<std::int8_t>(boot[0x40]), v.sectorsPerCluster, v.bytesPerCluster, unit);
  RecordSize index = decodeRecordSize(static_cast<std::int8_t>(boot[0x44]), v.sectorsPerCluster, v.bytesPerCluster, unit);
  v.mftRecordBytes = static_cast<std::uint16_t>(mft.bytes);
  v.sectorsPerMftRecord = static_cast<std::uint8_t>(mft.sectors);
  v.indexRecordBytes = static_cast<std::uint32_t>(index.bytes);
  v.sectorsPerIndexRecord = static_cast<std::uint8_t>(index.sectors);
  return v;
}

bool bootSectorFits(Bytes boot, std::uint64_t position, std::uint64_t totalSectors) {
  std::uint64_t total = le64(boot, 0x28);
  std::uint64_t spc = boot[0x0D];
  std::uint64_t mftLcn = le64(boot, 0x30);
  if (total > totalSectors) return false;
  if (position > totalSectors || total > totalSectors - position) return false;
  if (spc != 0 && mftLcn > (totalSectors - position) / spc) return false;
  return position + spc * mftLcn <= totalSectors;
}

bool sameVolume(const LogicalVolume& a, const LogicalVolume& b) {
  return a.serialNumber == b.serialNumber && a.mftLcn == b.mftLcn && a.mftMirrLcn == b.mftMirrLcn &&
         a.bytesPerCluster == b.bytesPerCluster && a.mftRecordBytes == b.mftRecordBytes &&
         a.bytesPerSector == b.bytesPerSector;
}

}  // namespace ov::ntfs
