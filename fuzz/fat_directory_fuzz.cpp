// Any bytes as directory data: parsed in both modes into the root and into a subfolder, then
// the tree is finished and walked. Nothing is read from a disk but the empty FAT.
#include "fuzz/fuzz_host.h"

#include "fat/fat_tree.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 16)) return 0;
  ov::fuzz::MemoryDisk disk(std::vector<std::uint8_t>(64 * 512, 0));
  ov::SectorSource& source = disk.source;
  ov::fat::FatVolume v = ov::fuzz::smallFatVolume(size > 0 && (data[0] & 1) ? ov::fat::kFat16 : ov::fat::kFat32, 1, 1, 2, 3, 64);
  v.fat12 = v.fatType == ov::fat::kFat16 && (data[0] & 2) != 0;
  ov::fat::FatReader reader(source, v);
  ov::fat::FatTree tree;
  ov::fat::FatTreeBuilder builder(reader, tree, ov::fuzz::host(), disk.run);
  ov::Bytes bytes(data, size);
  try {
    for (auto mode : {ov::fat::WalkMode::Processing, ov::fat::WalkMode::Naming}) {
      builder.start();
      builder.parseDirectoryBuffer(bytes, *tree.root(), mode);
      ov::fat::FileEntry sub;
      sub.name = u"sub";
      sub.attributes = 0x10;
      sub.firstCluster = ov::fat::entryCluster(bytes, 0);
      sub.parentCluster = ov::fat::entryCluster(bytes, 32);
      sub.createdDate = ov::le16(bytes, 48);
      ov::fat::FileEntry& folder = tree.add(sub);
      builder.parseDirectoryBuffer(bytes, folder, mode);
      builder.attachToParent(folder);
      builder.finish();
      if (ov::fuzz::countEntries(*tree.root()) > tree.size()) __builtin_trap();  // every entry once
    }
  } catch (const ov::AlreadyReported&) {
  }
  return 0;
}
