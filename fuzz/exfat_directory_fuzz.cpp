// Any bytes as exFAT directory data: parsed, then walked and swept as a small volume; bounded work.
#include "fuzz/fuzz_host.h"

#include "fat/exfat_directory.h"
#include "fat/exfat_tree.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 16)) return 0;
  ov::Bytes bytes(data, size);
  for (bool stop : {true, false}) {
    ov::fat::ExFatDirectory d = ov::fat::parseExFatDirectory(bytes, stop);
    for (const auto& s : d.sets)
      if (s.entries < 3 || s.entries > 19 || s.name.size() > 255 || s.offset + s.entries * 32 > size) __builtin_trap();
  }

  // A volume of 64 clusters of 512 bytes: the FAT at sector 24, the clusters from sector 32, the
  // input laid over the clusters from the root (cluster 2) on.
  std::vector<std::uint8_t> disk(96 * 512, 0);
  std::copy(data, data + std::min<std::size_t>(size, 64 * 512), disk.begin() + 32 * 512);
  // FAT entries 0 and 1, then each cluster chained to the next from the input's first bytes.
  for (std::size_t c = 0; c < 66 && c * 4 + 4 <= 512; ++c) {
    const std::uint32_t value = c < 2 ? 0xFFFFFFFFu : (c < size ? data[c] : 0xFFFFFFFFu);
    for (int k = 0; k < 4; ++k) disk[24 * 512 + c * 4 + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(value >> (8 * k));
  }
  ov::fuzz::MemoryDisk memory(std::move(disk));
  ov::fat::FatVolume v = ov::fuzz::smallFatVolume(ov::fat::kExFat, 24, 8, 24, 32, 96);
  v.rootCluster = 2;
  ov::fat::FatReader reader(memory.source, v);
  ov::fat::FatTree tree;
  ov::fat::ExFatTreeBuilder builder(reader, tree, ov::fuzz::host(), memory.run);
  try {
    builder.processFileSystem();
    if (ov::fuzz::countEntries(*tree.root()) > tree.size()) __builtin_trap();
    builder.turboScan();
    if (ov::fuzz::countEntries(*tree.root()) > tree.size()) __builtin_trap();
  } catch (const ov::AlreadyReported&) {
  }
  return 0;
}
