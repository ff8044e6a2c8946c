// FAT scan information: the stored tree, and files cut short, of the other kind or crafted, which
// are refused and leave nothing open; failed saves leave no file.
#include "fat/fat_scan_info.h"

#include "scans/scan_file.h"
#include "tests/support/builders.h"
#include "tests/support/engines.h"

namespace ov::fat {
namespace {

namespace fs = std::filesystem;
using test::FatOpened;
using Buffer = std::vector<std::uint8_t>;

constexpr std::size_t kHeaderBytes = 4 + 542;  // magic and source block

Buffer cut(const Buffer& bytes, std::size_t length) { return Buffer(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length)); }

// writeTree of `folder` into a file of its own; the bytes written.
Buffer treeBytes(const FileEntry& folder, bool* whole = nullptr) {
  const auto path = test::scratchDir() / "tree.bin";
  int error = 0;
  ScanFileWriter w(path.string(), error);
  const bool ok = writeTree(folder, w);
  if (whole) *whole = ok;
  EXPECT_EQ(w.finish(), 0);
  return test::readFile(path);
}

FileEntry& child(FatTree& tree, FileEntry& folder, const std::u16string& name, std::uint8_t attributes,
                 std::uint32_t cluster, std::uint64_t size = 0) {
  FileEntry& added = tree.add({.dataSize = size, .firstCluster = cluster, .parentCluster = folder.firstCluster, .name = name,
                               .createdDate = static_cast<std::uint16_t>(0x5A21 + cluster),
                               .accessedDate = static_cast<std::uint16_t>(0x5A35 + cluster), .attributes = attributes});
  FatTree::prepend(folder, added);
  return added;
}

// "#" > Lost, A (folder: a.txt, B (folder: bé.bin), C (empty folder)), top.dat; children are
// prepended, so each folder lists them in the reverse order of the calls.
struct Sample {
  FatTree tree;
  FileEntry* aFile;
  Sample() {
    tree.reset(2);
    FileEntry& root = *tree.root();
    child(tree, root, u"top.dat", 0x08 | 0x20, 40, 1234);
    FileEntry& a = child(tree, root, u"A", kEntryFolder | kEntryLive, 10);
    child(tree, a, u"C", kEntryFolder | kEntryLive, 12);
    FileEntry& b = child(tree, a, u"B", kEntryFolder | kEntryLive, 11);
    aFile = &child(tree, a, u"a.txt", kEntryLive, 20, 5000);
    child(tree, b, u"b\u00e9.bin", 0x00, 30, 0x123456789ull);
  }
};

// Every entry below `root` in a fixed walk: its fields, its depth and the index of its parent.
using Row = std::tuple<std::u16string, std::uint64_t, std::uint32_t, std::uint32_t, std::uint16_t, std::uint16_t,
                       std::uint8_t, std::size_t, std::size_t>;
std::vector<Row> rows(const FileEntry& root) {
  std::vector<Row> out;
  std::map<const FileEntry*, std::size_t> index{{&root, 0}};
  std::vector<std::pair<const FileEntry*, std::size_t>> pending{{&root, 0}};
  while (!pending.empty()) {
    auto [folder, depth] = pending.back();
    pending.pop_back();
    for (const FileEntry* c = folder->firstChild; c; c = c->nextSibling) {
      EXPECT_EQ(c->parent, folder);
      index[c] = out.size() + 1;
      out.emplace_back(c->name, c->dataSize, c->firstCluster, c->parentCluster, c->createdDate, c->accessedDate,
                       c->attributes, depth + 1, index[folder]);
      if (c->firstChild) pending.emplace_back(c, depth + 1);
    }
  }
  return out;
}

TEST(FatScanInfoTree, RecordsGroupsAndTheRoundTrip) {
  Sample s;
  const Buffer bytes = treeBytes(*s.tree.root());
  // Groups: the root's (A, top.dat, Lost), A's (a.txt, B, C), B's (bé.bin); C has none.
  std::vector<std::size_t> at;
  std::vector<std::u16string> names;
  for (std::size_t r = 0; r < bytes.size(); r += 40 + 2 * std::size_t{bytes[r + 37]}) {
    at.push_back(r);
    names.push_back(readUtf16(bytes, r + 40, bytes[r + 37]));
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"A", u"top.dat", u"Lost", u"a.txt", u"B", u"C", u"b\u00e9.bin"}));
  ASSERT_EQ(at.size(), 7u);
  // A: a folder with children, more of its group after it; parent and name pointers written as 0.
  test::expectLayout(Buffer(bytes.begin() + static_cast<std::ptrdiff_t>(at[0]), bytes.begin() + static_cast<std::ptrdiff_t>(at[1])),
                     42, {{0, 8, 0}, {16, 4, 0}, {20, 4, 10}, {24, 4, 2}, {28, 4, 0}, {32, 2, 0x5A21 + 10},
                          {34, 2, 0x5A35 + 10}, {36, 1, kEntryFolder | kEntryLive}, {37, 1, 1}, {38, 2, 0}, {40, 2, u'A'}});
  EXPECT_NE(le32(bytes, at[0] + 8), 0u);
  EXPECT_NE(le32(bytes, at[0] + 12), 0u);
  for (std::size_t i : {std::size_t{2}, std::size_t{5}, std::size_t{6}}) {  // Lost and C end no group of their own; bé.bin ends the file
    EXPECT_EQ(le32(bytes, at[i] + 12), 0u) << i;
    EXPECT_EQ(le32(bytes, at[i] + 8), 0u) << i;
  }
  EXPECT_EQ(le64(bytes, at[6]), 0x123456789ull);
  // Read back: the same tree, parents set.
  int error = 0;
  ScanFileReader r(test::writeFile(test::scratchDir() / "sample-tree.bin", bytes).string(), error);
  FatTree back;
  FileEntry top;
  top.name = u"#";
  FileEntry& root = back.resetRoot(top);
  ASSERT_TRUE(readTree(back, root, r));
  EXPECT_EQ(r.remaining(), 0u);
  EXPECT_EQ(rows(root), rows(*s.tree.root()));
  // A sibling list that comes back is not written (a folder that holds its parent: FailedSavesLeaveNoFile).
  Sample ring;
  bool whole = true;
  ring.aFile->nextSibling = ring.aFile;
  treeBytes(*ring.tree.root(), &whole);
  EXPECT_FALSE(whole);
}

bool processed(FatOpened& o, std::size_t volume, bool turbo = false) {
  if (!o.engine.readPartitionTable() || !o.engine.selectVolume(volume)) return false;
  return turbo ? o.engine.turboScan(static_cast<std::uint32_t>(volume + 1)) : o.engine.processFileSystem();
}

// The first volume of fat_mbr, processed and saved once per test process.
fs::path savedScan() {
  static const fs::path path = [] {
    FatOpened o{std::string("fat_mbr")};
    EXPECT_TRUE(processed(o, 0));
    const fs::path p = test::scratchDir() / "fat-scan";
    EXPECT_TRUE(savePartitionScanInfo(o.engine, p.string()));
    EXPECT_EQ(o.host.lastLog(), "Partition scan information saved successfully.");
    return fs::path(p.string() + ".ovt");
  }();
  return path;
}

// Where the tree starts in a partition file: after the volume records, the state, magic and separator.
std::size_t treeStart(const Buffer& bytes) {
  std::size_t at = kHeaderBytes;
  if (le32(bytes, 4 + 534) != 0) {
    while (le32(bytes, at + 61) != 0) at += 78;
    at += 78;
  }
  return at + 78 + 4 + 4;
}

using Files = std::vector<std::pair<std::string, Buffer>>;
void closed(FatEngine& e) {
  EXPECT_TRUE(e.tree().empty());
  EXPECT_EQ(e.volume(), FatVolume{});
}

void expectClosed(FatOpened& o, const std::string& text) {
  EXPECT_EQ(o.host.lastLog(), text);
  EXPECT_FALSE(o.engine.source().isOpen());
  EXPECT_TRUE(o.engine.volumes().empty());
  closed(o.engine);
}

TEST(FatPartitionScanInfo, DamagedAndCraftedFilesAreRefusedAndLeaveNothingOpen) {
  const Buffer bytes = test::readFile(savedScan());
  const std::size_t tree = treeStart(bytes);
  // The magic, state mark and separator the layout of these files fixes.
  EXPECT_EQ(cut(bytes, 4), (Buffer{0, 0, 1, 1}));
  EXPECT_EQ(le32(bytes, tree - 8), 0x01010000u);
  EXPECT_EQ(le32(bytes, tree - 4), 0x01010101u);
  Files files;
  for (std::size_t length : {std::size_t{0}, std::size_t{3}, std::size_t{100}, kHeaderBytes, kHeaderBytes + 40,
                             kHeaderBytes + 3 * 78 + 10, tree - 6, tree - 1, tree, tree + 20, tree + 45,
                             bytes.size() / 2, bytes.size() - 1})
    files.emplace_back("cut at " + std::to_string(length), cut(bytes, length));
  for (std::size_t at : {std::size_t{0}, tree - 8, tree - 4}) {
    Buffer bad = bytes;
    bad[at] ^= 0x40;
    files.emplace_back("a wrong magic at " + std::to_string(at), bad);
  }
  // A volume list that never ends: every record says another follows.
  Buffer chain = cut(bytes, tree - 8 - 78);
  for (std::size_t at = kHeaderBytes; at + 78 <= chain.size(); at += 78) writeLe<std::uint32_t>(chain, at + 61, 7);
  files.emplace_back("an endless volume list", chain);
  // Absurd clusters in the state block would make every later cluster read allocate gigabytes.
  Buffer clusters = bytes;
  writeLe<std::uint32_t>(clusters, tree - 8 - 78 + 69, 0xFFFFFFF0u);
  files.emplace_back("absurd clusters", clusters);
  // A group whose records all say another follows; folders nested without end; a name longer
  // than what is left.
  Buffer group = cut(bytes, tree), nested = cut(bytes, tree), name = cut(bytes, tree);
  for (int i = 0; i < 1000; ++i) {
    Buffer more(42, 0), deeper(40, 0);
    writeLe<std::uint32_t>(more, 8, 1);
    more[37] = 1;
    writeLe<std::uint32_t>(deeper, 12, 1);
    deeper[36] = kEntryFolder;
    group.insert(group.end(), more.begin(), more.end());
    nested.insert(nested.end(), deeper.begin(), deeper.end());
  }
  Buffer longName(140, 0);
  longName[37] = 255;
  name.insert(name.end(), longName.begin(), longName.end());
  files.emplace_back("an endless group", group);
  files.emplace_back("endless nesting", nested);
  files.emplace_back("a name past the end", name);
  Buffer sector = bytes;
  writeLe<std::uint16_t>(sector, 4 + 516, 100);
  files.emplace_back("a sector size of 100", sector);
  test::expectScanRefused<FatEngine>(files, openPartitionScanInfo, "Not a valid Partition scan information.", closed);
  // A failed open closes what was open.
  FatOpened open{std::string("fat_mbr")};
  ASSERT_TRUE(processed(open, 0));
  const auto damaged = test::writeFile(test::scratchDir() / "fat-damaged.ovt", cut(bytes, bytes.size() - 2));
  EXPECT_FALSE(openPartitionScanInfo(open.engine, damaged.string()));
  expectClosed(open, "Not a valid Partition scan information.");
  // A disk that is not there, or no file at all.
  test::expectScanRefused<FatEngine>({{"a disk that is not there", test::withSourcePath(bytes, "/nonexistent/disk.img")}},
                                     openPartitionScanInfo, "Failed to open Partition scan information. Errorcode =2", closed);
  FatOpened none;
  EXPECT_FALSE(openPartitionScanInfo(none.engine, (test::scratchDir() / "no-such.ovt").string()));
  expectClosed(none, "Failed to open Partition scan information. Errorcode =2");
}

// The saved scans' round trip on images is checked end to end (ovrecover --save-scan/--scan).
TEST(FatPartitionScanInfo, ParentAndNameFieldsAreNotFollowedAndAReopenedScanProcessesAgain) {
  // Parent and name fields that point anywhere, even in a loop, leave the tree as the groups say.
  Buffer odd = test::readFile(savedScan());
  std::size_t records = 0;
  for (std::size_t at = treeStart(odd); at < odd.size(); at += 40 + 2 * std::size_t{odd[at + 37]}, ++records) {
    writeLe<std::uint32_t>(odd, at + 16, 0xDEADBEEF);
    writeLe<std::uint32_t>(odd, at + 28, static_cast<std::uint32_t>(at));
    writeLe<std::uint16_t>(odd, at + 38, 0xFFFF);
    if (le32(odd, at + 8) != 0) writeLe<std::uint32_t>(odd, at + 8, 0x80000000u);
    if (le32(odd, at + 12) != 0) writeLe<std::uint32_t>(odd, at + 12, 0xFFFFFFFFu);
  }
  EXPECT_GT(records, 5u);
  FatOpened plain, changed;
  ASSERT_TRUE(openPartitionScanInfo(plain.engine, savedScan().string()));
  ASSERT_TRUE(openPartitionScanInfo(changed.engine, test::writeFile(test::scratchDir() / "fat-parents.ovt", odd).string()));
  EXPECT_EQ(rows(*changed.engine.tree().root()), rows(*plain.engine.tree().root()));
  ASSERT_TRUE(plain.engine.processFileSystem());  // to the same tree
  EXPECT_EQ(rows(*plain.engine.tree().root()), rows(*changed.engine.tree().root()));
}

TEST(FatPartitionScanInfo, FailedSavesLeaveNoFile) {
  FatOpened o{std::string("fat_mbr")};
  ASSERT_TRUE(processed(o, 0));
  EXPECT_FALSE(savePartitionScanInfo(o.engine, (test::scratchDir() / "no-such-folder" / "scan.ovt").string()));
  EXPECT_EQ(o.host.lastLog(), "Failed to save Partition scan information. Errorcode =2");
  // A tree that loops is not saved, and the partly written file goes.
  FileEntry* lost = o.engine.tree().lost();
  FileEntry* kept = lost->firstChild;
  lost->firstChild = o.engine.tree().root();
  const auto looping = test::scratchDir() / "fat-looping.ovt";
  EXPECT_FALSE(savePartitionScanInfo(o.engine, looping.string()));
  EXPECT_EQ(o.host.lastLog(), "Unknown error");
  EXPECT_FALSE(fs::exists(looping));
  lost->firstChild = kept;
  // Nothing processed: there is no tree to save.
  FatOpened fresh{std::string("fat_mbr")};
  const auto unprocessed = test::scratchDir() / "fat-unprocessed.ovt";
  EXPECT_FALSE(savePartitionScanInfo(fresh.engine, unprocessed.string()));
  EXPECT_FALSE(fs::exists(unprocessed));
}

TEST(FatDiskScanInfo, SavesAndReopensTheVolumeListAndRefusesDamagedFiles) {
  FatOpened o{std::string("fat_mbr")};
  ASSERT_TRUE(o.engine.readPartitionTable());
  const auto path = test::scratchDir() / "fat-disk";
  ASSERT_TRUE(saveDiskScanInfo(o.engine, path.string()));
  EXPECT_EQ(o.host.lastLog(), "Disk scan information saved successfully.");
  const Buffer bytes = test::readFile(path.string() + ".ovd");
  ASSERT_EQ(bytes.size(), kHeaderBytes + 3 * 78);
  EXPECT_EQ(cut(bytes, 4), (Buffer{1, 1, 0, 0}));
  FatOpened reopened;
  ASSERT_TRUE(openDiskScanInfo(reopened.engine, path.string() + ".ovd"));
  EXPECT_EQ(reopened.engine.volumes(), o.engine.volumes());
  EXPECT_TRUE(reopened.engine.tree().empty());
  ASSERT_TRUE(reopened.engine.selectVolume(1));  // a volume of the list is processed as usual
  EXPECT_TRUE(reopened.engine.processFileSystem());
  // No volumes: a zero head.
  FatOpened none{std::string("fat_mbr")};
  const auto empty = test::scratchDir() / "fat-empty.ovd";
  ASSERT_TRUE(saveDiskScanInfo(none.engine, empty.string()));
  EXPECT_EQ(test::readFile(empty).size(), kHeaderBytes);
  FatOpened noneBack;
  EXPECT_TRUE(openDiskScanInfo(noneBack.engine, empty.string()));
  EXPECT_TRUE(noneBack.engine.volumes().empty());
  // Cut short, endless, of the other kind.
  Files damaged;
  for (std::size_t length : {std::size_t{0}, std::size_t{2}, kHeaderBytes - 1, kHeaderBytes + 77, bytes.size() - 1})
    damaged.emplace_back("cut", cut(bytes, length));
  Buffer endless = bytes;
  writeLe<std::uint32_t>(endless, kHeaderBytes + 2 * 78 + 61, 1);
  damaged.emplace_back("endless", endless);
  damaged.emplace_back("a partition scan", test::readFile(savedScan()));
  test::expectScanRefused<FatEngine>(damaged, openDiskScanInfo, "Not a valid Disk scan information", closed);
  FatOpened wrongKind;
  EXPECT_FALSE(openPartitionScanInfo(wrongKind.engine, (path.string() + ".ovd")));
  expectClosed(wrongKind, "Not a valid Partition scan information.");
}

}  // namespace
}  // namespace ov::fat
