// Any bytes as a set of working files: entries, names and tree file read back as a saved scan
// would be. The input starts with two 16-bit lengths (entries, names); the rest is the tree.
#include "fuzz/fuzz_host.h"

#include "ntfs/working_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One private folder for the whole run, removed when the process ends.
  static ov::ntfs::WorkingFiles files(ov::fuzz::host());

  ov::Bytes input(data, size);
  std::size_t entriesSize = ov::le16(input, 0);
  std::size_t namesSize = ov::le16(input, 2);
  std::size_t at = size < 4 ? size : 4;
  entriesSize = std::min(entriesSize, size - at);
  namesSize = std::min(namesSize, size - at - entriesSize);
  auto paths = files.paths();
  ov::fuzz::writeFile(paths.entries, data + at, entriesSize);
  ov::fuzz::writeFile(paths.names, data + at + entriesSize, namesSize);
  ov::fuzz::writeFile(paths.tree, data + at + entriesSize + namesSize, size - at - entriesSize - namesSize);

  if (!files.open()) return 0;
  std::uint32_t count = static_cast<std::uint32_t>(entriesSize / ov::ntfs::kEntryBytes) + 2;
  for (std::uint32_t i = 0; i < count && i < 64; ++i) (void)files.readEntry(i);
  (void)files.readEntry(0xFFFFFFFFu);

  std::uint64_t total = 0;
  std::uint32_t fileCount = 0, folderCount = 0;
  std::size_t treeBytes = size - at - entriesSize - namesSize;
  ov::Bytes tree(data + at + entriesSize + namesSize, treeBytes);
  for (std::uint32_t block : {0u, 128u, 256u, 64u, ov::le32(tree, 8), ov::le32(tree, 4)}) {
    (void)files.readFolder(block, total, fileCount, folderCount, true);
    (void)files.readFolder(block, total, fileCount, folderCount, false);
  }
  files.close();
  return 0;
}
