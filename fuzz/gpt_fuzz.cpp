// Any bytes as a small disk with a GUID partition table: header and entry checks, both copies.
#include "fuzz/fuzz_host.h"

#include "disk/gpt.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return 0;
  // The claimed size may exceed the bytes present (the backup header then reads as zeros).
  ov::fuzz::MemoryDisk disk(data, size, 8);
  ov::SectorSource& source = disk.source;
  std::vector<ov::GptPartition> partitions;
  bool usedBackup = false;
  ov::readGpt(source, partitions, usedBackup);
  if (partitions.size() > ov::kMaxGptEntries) __builtin_trap();
  return 0;
}
