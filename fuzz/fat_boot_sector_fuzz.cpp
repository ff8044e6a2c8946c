// Any bytes as a FAT boot sector: the FAT12/FAT16 and FAT32 tests, the parsers, the row texts and
// the stored record.
#include "fuzz/fuzz_host.h"

#include "fat/fat_volume.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ov::Bytes b(data, size);
  ov::fat::FatVolume v;
  bool fat16 = ov::fat::isFat12or16BootSector(b);
  bool fat32 = ov::fat::isFat32BootSector(b);
  // Parsing never depends on the tests having passed.
  ov::fat::parseFat12or16BootSector(b, v);
  if (fat32 || !fat16) ov::fat::parseFat32BootSector(b, v);
  v.startSector = size > 8 ? ov::le64(b, size - 8) : 0;
  (void)ov::fat::fatVolumeLabel(v, 1);
  (void)ov::fat::fatVolumeSizeText(v);
  (void)ov::fat::fatClusterSizeText(v);
  (void)ov::fat::fatVolumeStartText(v);
  ov::fat::FatVolume current = ov::fat::selectVolume(v, 512);
  (void)ov::fat::clusterSector(current, ov::le32(b, 0));
  (void)ov::fat::fat16RootSector(current);
  (void)ov::fat::fatKindName(current);
  (void)ov::fat::looksLikeVolumeBootSector(b);
  // A FAT12/FAT16 root directory is never larger than 65,535 entries.
  if (ov::fat::rootDirSectors(current) > 4096) __builtin_trap();
  bool hasNext = false;
  auto decoded = ov::fat::decodeFatVolume(ov::fat::encodeFatVolume(v, true), &hasNext);
  if (!decoded || !(*decoded == v) || !hasNext) __builtin_trap();
  (void)ov::fat::decodeFatVolume(b);
  return 0;
}
