#include "ntfs/logical_volume.h"

#include <cstdio>

namespace ov::ntfs {

std::array<std::uint8_t, kStoredVolumeBytes> encodeVolume(const LogicalVolume& v, bool hasNext) {
  ByteWriter w;
  w.u64(0);
  w.u64(v.startSector);
  w.u64(v.sectorCount);
  w.u64(v.mftSector);
  w.u64(v.mftLcn);
  w.u64(v.mftMirrLcn);
  w.u64(v.serialNumber);
  w.u32(v.indexRecordBytes);
  w.u32(v.bytesPerCluster);
  w.u16(v.mftRecordBytes);
  w.u16(v.bytesPerSector);
  w.u8(v.sectorsPerCluster);
  w.u8(v.sectorsPerMftRecord);
  w.u8(v.sectorsPerIndexRecord);
  w.u8(v.foundBy);
  w.u32(hasNext ? 1u : 0u);
  std::array<std::uint8_t, kStoredVolumeBytes> out{};
  const auto& bytes = w.bytes();
  std::copy(bytes.begin(), bytes.end(), out.begin());
  return out;
}

std::optional<LogicalVolume> decodeVolume(Bytes stored, bool* hasNext) {
  if (stored.size() < kStoredVolumeBytes) return std::nullopt;
  ByteReader r(stored);
  LogicalVolume v;
  r.skip(8);
  v.startSector = r.u64();
  v.sectorCount = r.u64();
  v.mftSector = r.u64();
  v.mftLcn = r.u64();
  v.mftMirrLcn = r.u64();
  v.serialNumber = r.u64();
  v.indexRecordBytes = r.u32();
  v.bytesPerCluster = r.u32();
  v.mftRecordBytes = r.u16();
  v.bytesPerSector = r.u16();
  v.sectorsPerCluster = r.u8();
  v.sectorsPerMftRecord = r.u8();
  v.sectorsPerIndexRecord = r.u8();
  v.foundBy = r.u8();
  std::uint32_t link = r.u32();
  if (hasNext) *hasNext = link != 0;
  return v;
}

std::string volumeLabel(std::size_t number) { return "NTFS logical drive " + std::to_string(number); }

std::string byteSizeText(std::uint64_t bytes) {
  char text[64];
  auto value = static_cast<double>(bytes);
  if (bytes < 1048576ULL) std::snprintf(text, sizeof text, "%7.3f KB", value / 1024.0);
  else if (bytes < 1073741824ULL) std::snprintf(text, sizeof text, "%7.3f MB", value / 1048576.0);
  else std::snprintf(text, sizeof text, "%7.3f GB", value / 1073741824.0);
  return text;
}

std::string volumeSizeText(const LogicalVolume& v) {
  // A damaged sector count must not wrap around to a small size.
  if (v.bytesPerSector != 0 && v.sectorCount > UINT64_MAX / v.bytesPerSector) return byteSizeText(UINT64_MAX);
  return byteSizeText(v.sectorCount * v.bytesPerSector);
}

std::string foundByText(std::uint8_t flags) {
  if (flags == 0) return "partition table";
  std::string out;
  auto add = [&](std::uint8_t bit, const char* word) {
    if (!(flags & bit)) return;
    if (!out.empty()) out += ", ";
    out += word;
  };
  add(kFoundBootSector, "boot sector");
  add(kFoundBootAgain, "boot sector again");
  add(kFoundMftCopies, "MFT copies");
  add(kFoundMftMirrorPair, "MFT and mirror");
  return out;
}

}  // namespace ov::ntfs
