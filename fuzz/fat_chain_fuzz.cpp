// Any bytes as a FAT in memory: cluster chains of 12-, 16- and 32-bit entries from a chosen
// first cluster, reading from the first or the second FAT copy.
#include "fuzz/fuzz_host.h"

#include "fat/fat_volume.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8 || size > (1u << 20)) return 0;
  ov::Bytes head(data, 8);
  ov::fuzz::MemoryDisk disk(data + 8, size - 8, 1);
  ov::SectorSource& source = disk.source;
  ov::fat::FatVolume v;
  v.fatType = (head[0] & 1) ? ov::fat::kFat32 : ov::fat::kFat16;
  v.fat12 = v.fatType == ov::fat::kFat16 && (head[0] & 8) != 0;
  v.bytesPerSector = (head[0] & 2) ? 1024 : 512;
  v.secondFatOffset = head[1] & 3;
  v.sectorsPerCluster = 1;
  std::uint32_t first = ov::le32(head, 4);
  if (head[0] & 4) first &= 0xFFFFu;
  ov::fat::FatReader reader(source, v);
  try {
    auto chain = ov::fat::buildClusterChain(reader, first);
    // A chain never holds a cluster twice, nor an end marker, nor more clusters than its kind.
    if (v.fat12 && chain.size() > ov::fat::kMaxFat12Clusters) __builtin_trap();
    std::set<std::uint32_t> seen;
    for (std::size_t i = 1; i < chain.size(); ++i) {
      std::uint32_t c = chain[i];
      if (c <= 1 || c >= 0x0FFFFFF0u || !seen.insert(c).second) __builtin_trap();
    }
  } catch (const ov::AlreadyReported&) {
  }
  return 0;
}
