// The working files of a processed tree: children never lost, privacy, and damaged or crafted
// files, which must never crash or hang.
#include "ntfs/working_files.h"

#include <cmath>
#include <random>

#include "tests/support/engines.h"

namespace ov::ntfs {
namespace {

using test::join;
using test::readFile;
using test::RecordingHost;

FileEntry addFile(WorkingFiles& wf, const std::u16string& name, std::uint64_t size, std::uint16_t attributes) {
  FileEntry e{.dataSize = size, .entryIndex = wf.nextEntryIndex(), .name = name, .attributes = attributes};
  wf.writeEntry(e);
  return e;
}

std::vector<FileEntry> folder(WorkingFiles& wf, std::uint32_t block) {
  std::uint64_t total = 0;
  std::uint32_t files = 0, folders = 0;
  return wf.readFolder(block, total, files, folders, true);
}

TEST(WorkingFiles, ANewSetHoldsTopAndRootInPrivateFilesThatGoAway) {
  RecordingHost host;
  std::filesystem::path dir;
  {
    WorkingFiles wf(host);
    ASSERT_TRUE(wf.create());
    dir = wf.folderPath();
    struct stat st {};
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(wf.paths().tree.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // A second create starts over.
    bool inserted = false;
    wf.appendChild(wf.findOrInsertFolder(5, false, inserted), 7);
    wf.finishWriting();
    ASSERT_TRUE(wf.create());
    wf.finishWriting();
    ASSERT_TRUE(wf.open());
    auto top = folder(wf, 0);
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(top[0].name, u" Root");
    EXPECT_EQ(top[0].recordNumber, 5u);
    EXPECT_TRUE(folder(wf, top[0].childrenBlock).empty());
    EXPECT_EQ(wf.readEntry(0)->name, u"#");
    EXPECT_FALSE(wf.readEntry(2));
  }
  EXPECT_FALSE(std::filesystem::exists(dir));
}

TEST(WorkingFiles, ChildrenAppendedInAnyOrderAreAllListedFilesFirst) {
  RecordingHost host;
  WorkingFiles wf(host);
  ASSERT_TRUE(wf.create());
  bool inserted = false;
  // Two folders taking turns, past one block of 30 slots each, and 30,000 files with long names
  // in the root: more than one flush of the pending buffers.
  std::uint32_t a = wf.findOrInsertFolder(100, false, inserted);
  std::uint32_t b = wf.findOrInsertFolder(200, false, inserted);
  std::vector<std::uint32_t> inA, inB;
  for (int i = 0; i < 100; ++i) {
    auto e = addFile(wf, u"x", 1, 0x08).entryIndex;
    wf.appendChild(i % 2 ? b : a, e);
    (i % 2 ? inB : inA).push_back(e);
  }
  std::uint32_t root = wf.findOrInsertFolder(5, false, inserted);
  const std::vector<std::pair<std::u16string, std::uint16_t>> mixed = {
      {u"f1", 0x08}, {u"f2", 0x00}, {u"d1", 0x18}, {u"f3", 0x08}, {u"d2", 0x10}};
  for (const auto& [name, attributes] : mixed) wf.appendChild(root, addFile(wf, name, 10, attributes).entryIndex);
  const std::u16string longName(40, u'n');
  for (int i = 0; i < 30000; ++i) wf.appendChild(root, addFile(wf, longName, 1, 0x08).entryIndex);
  const std::uint32_t blockA = wf.folder(a).childrenBlock, blockB = wf.folder(b).childrenBlock;
  const std::uint32_t count = wf.nextEntryIndex();
  wf.finishWriting();
  ASSERT_TRUE(wf.open());
  for (auto [block, expected] : {std::pair{blockA, inA}, std::pair{blockB, inB}}) {
    std::vector<std::uint32_t> got;
    for (const auto& c : folder(wf, block)) got.push_back(c.entryIndex);
    std::reverse(expected.begin(), expected.end());  // the last appended comes first
    EXPECT_EQ(got, expected);
  }
  std::uint64_t total = 0;
  std::uint32_t files = 0, folders = 0;
  auto all = wf.readFolder(128, total, files, folders, true);
  ASSERT_EQ(all.size(), 30005u);
  EXPECT_EQ(all[30000].name, u"f3");  // files first, each kind in reverse order
  EXPECT_EQ(all[30002].name, u"f1");
  EXPECT_EQ(all[30003].name, u"d2");
  EXPECT_EQ(all[30004].name, u"d1");
  EXPECT_EQ(files, 30003u);
  EXPECT_EQ(folders, 2u);
  EXPECT_EQ(total, 30000u + 50u);
  files = 0;  // the counts add up over calls
  EXPECT_EQ(wf.readFolder(128, total, files, folders, false).size(), 2u);  // folders only, all counted
  EXPECT_EQ(files, 30003u);
  // Every entry is where it belongs, with its name.
  std::uint64_t names = 0;
  for (std::uint32_t n = 0; n < count; ++n) {
    auto e = wf.readEntry(n);
    ASSERT_TRUE(e) << n;
    EXPECT_EQ(e->nameOffset, names);
    names += 2 * e->name.size();
  }
  EXPECT_EQ(readFile(wf.paths().names).size(), names);
  EXPECT_FALSE(wf.readEntry(count));
  // Entries must come in order.
  FileEntry late;
  late.entryIndex = count + 5;
  EXPECT_THROW(wf.writeEntry(late), std::logic_error);
}

// The folder index keeps a working file's folders: a fault in its rotations misplaces children.
TEST(FolderIndex, StaysBalancedAndFindsEveryKey) {
  for (std::uint32_t range : {1000000u, 300u}) {  // mostly distinct keys, then many equal ones
    std::mt19937 rng(range);
    FolderIndex index;
    std::vector<std::uint32_t> keys;
    for (int i = 0; i < 20000; ++i) {
      keys.push_back(static_cast<std::uint32_t>(rng() % range));
      index.insert(keys.back());
    }
    std::size_t count = 0;
    std::function<int(std::uint32_t, std::uint32_t, std::uint64_t, std::uint64_t)> height =
        [&](std::uint32_t i, std::uint32_t parent, std::uint64_t low, std::uint64_t high) {
          if (i == kNoNode) return 0;
          const FolderNode& n = index.node(i);
          ++count;
          EXPECT_EQ(n.parent, parent);
          EXPECT_TRUE(n.key >= low && n.key <= high);
          const int l = height(n.left, i, low, n.key), r = height(n.right, i, n.key, high);
          EXPECT_EQ(n.balance, r - l);
          EXPECT_LE(std::abs(r - l), 1);
          return 1 + std::max(l, r);
        };
    EXPECT_LE(height(index.root(), kNoNode, 0, UINT64_MAX), 1.45 * std::log2(static_cast<double>(keys.size()) + 2));
    EXPECT_EQ(count, keys.size());
    for (auto k : keys) {
      auto found = index.find(k);
      ASSERT_TRUE(found);
      EXPECT_EQ(index.node(*found).key, k);
    }
  }
}

// ---- files damaged or crafted on disk ----

std::vector<std::uint8_t> rawEntry(std::uint32_t index, std::uint32_t record, std::uint32_t block,
                                   std::uint32_t nameOffset, std::uint16_t nameLength, std::uint16_t attributes) {
  auto b = encodeEntry({.entryIndex = index, .recordNumber = record, .childrenBlock = block, .nameOffset = nameOffset,
                        .name = std::u16string(nameLength, u'?'), .attributes = attributes});
  return std::vector<std::uint8_t>(b.begin(), b.end());
}

std::vector<std::uint8_t> blocks(std::initializer_list<TreeBlock> list) {
  std::vector<std::uint8_t> out;
  for (const auto& b : list) {
    auto raw = encodeTreeBlock(b);
    out.insert(out.end(), raw.begin(), raw.end());
  }
  return out;
}

TreeBlock block(std::uint32_t next, std::initializer_list<std::uint32_t> slots) {
  TreeBlock b;
  b.next = next;
  std::copy(slots.begin(), slots.end(), b.slots.begin());
  return b;
}

TEST(WorkingFilesOnDisk, DamagedOrCraftedFilesGiveWhatIsSoundAndEnd) {
  const std::vector<std::uint8_t> names = {'#', 0, 'a', 0, 'b', 0};
  const auto twoEntries = join({rawEntry(0, 0, 0, 0, 1, 0x18), rawEntry(1, 5, 128, 2, 2, 0x08)});
  auto cutEntries = twoEntries;
  cutEntries.resize(70);  // the second record cut short
  auto cutTree = blocks({block(0, {1, 0, 1, 7, 0xFFFFFFFFu})});
  cutTree.resize(100);
  const auto badNames = join({rawEntry(0, 0, 0, 0, 1, 0x18), rawEntry(1, 5, 0, 4, 2, 0x08),  // past the file's end
                              rawEntry(2, 5, 0, 0xFFFFFFF0u, 0xFFFF, 0x10), rawEntry(3, 6, 0, 2, 2, 0x08)});
  struct Row {
    const char* what;
    std::vector<std::uint8_t> entries, tree;
    std::vector<std::pair<std::uint32_t, std::size_t>> folders;  // block, children listed
    std::vector<std::uint32_t> readable, unreadable;             // entries
  };
  const std::vector<Row> rows = {
      {"a block chained to itself", twoEntries, blocks({block(128, {1}), block(128, {1})}), {{0, 2}, {128, 1}}, {0, 1}, {}},
      {"a chain back to the start", twoEntries, blocks({block(128, {1}), block(0, {1})}), {{0, 2}, {128, 1}}, {}, {}},
      {"a chain past the end", twoEntries, blocks({block(0x10000, {1})}), {{0, 1}, {64, 0}, {128, 0}, {0xFFFFFF80u, 0}}, {}, {}},
      {"a chain off the block grid", twoEntries, blocks({block(132, {1}), TreeBlock{}, TreeBlock{}}), {{0, 1}}, {}, {}},
      {"entries and tree cut short", cutEntries, cutTree, {{0, 0}}, {0}, {1, 0xFFFFFFFFu}},
      {"slots naming entries that are not there", cutEntries, blocks({block(0, {1, 7, 0xFFFFFFFFu, 1})}), {{0, 0}}, {}, {}},
      {"names outside the names file", badNames, blocks({block(0, {1, 2, 3})}), {{0, 1}}, {3}, {1, 2}},
      {"empty files", {}, {}, {{0, 0}}, {}, {0}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RecordingHost host;
    WorkingFiles wf(host);
    test::writeFile(wf.paths().entries, row.entries);
    test::writeFile(wf.paths().names, row.entries.empty() ? std::vector<std::uint8_t>{} : names);
    test::writeFile(wf.paths().tree, row.tree);
    ASSERT_TRUE(wf.open());
    for (auto [b, n] : row.folders) EXPECT_EQ(folder(wf, b).size(), n) << "block " << b;
    for (auto n : row.readable) EXPECT_TRUE(wf.readEntry(n)) << n;
    for (auto n : row.unreadable) EXPECT_FALSE(wf.readEntry(n)) << n;
    EXPECT_TRUE(host.messages.empty());
  }
  RecordingHost host;
  WorkingFiles none(host);
  EXPECT_FALSE(none.open());
  EXPECT_FALSE(none.readEntry(0));
  EXPECT_TRUE(folder(none, 0).empty());
}

}  // namespace
}  // namespace ov::ntfs
