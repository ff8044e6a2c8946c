// Any bytes as a small disk: the FAT partition-table walk and both FAT volume searches.
#include "fuzz/fuzz_host.h"

#include "fat/fat_search.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return 0;
  ov::fuzz::MemoryDisk disk(data, size, 64);  // claims more than is there, as a truncated image
  ov::SectorSource& source = disk.source;
  auto known = [](const ov::fat::FatVolume& v) {
    return v.fatType == ov::fat::kFat16 || v.fatType == ov::fat::kFat32 || v.fatType == ov::fat::kExFat;
  };
  const std::uint64_t sectors = source.totalSectors();
  std::vector<ov::fat::FatVolume> volumes;
  std::vector<ov::fat::FatPartitionInfo> infos;
  ov::PartitionTableKind kind = ov::PartitionTableKind::None;
  try {
    ov::fat::readFatPartitionTable(source, volumes, &kind, &infos);
    // The names go with the volumes one for one, whichever table (or none) listed them.
    if (infos.size() != volumes.size()) __builtin_trap();
    for (const auto& v : volumes)
      if (!known(v)) __builtin_trap();
  } catch (const ov::AlreadyReported&) {
  }
  ov::fat::thoroughSearch(source, 0, sectors, volumes);
  // Once settled, every volume has a type and its first flag.
  for (const auto& v : volumes)
    if (!known(v) || !(v.foundBy & ov::fat::kFatBootParsed)) __builtin_trap();
  ov::fat::basicSearch(source, 0, sectors, volumes);
  return 0;
}
