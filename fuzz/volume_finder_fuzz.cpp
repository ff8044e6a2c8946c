// Any bytes as a small disk: the partition-table walk and both lost-volume searches over memory.
#include "fuzz/fuzz_host.h"

#include "ntfs/volume_finder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return 0;
  ov::fuzz::MemoryDisk disk(data, size, 64);  // claims more than is there, as a truncated image
  ov::SectorSource& source = disk.source;
  const std::uint64_t sectors = source.totalSectors();
  std::vector<ov::ntfs::LogicalVolume> volumes;
  ov::ntfs::readPartitionTable(source, volumes);
  ov::ntfs::thoroughSearch(source, 0, sectors, volumes);
  ov::ntfs::quickSearch(source, 0, sectors, volumes);
  return 0;
}
