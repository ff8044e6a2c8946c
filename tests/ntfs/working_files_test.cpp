#include "ntfs/working_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "tests/support/test_support.h"

namespace ov::ntfs {
namespace {

using ov::test::readFile;
using ov::test::RecordingHost;

// ---- codecs -------------------------------------------------------------------------------------

FileEntry sampleEntry() {
  FileEntry e;
  e.dataSize = 0x0102030405060708ull;
  e.recordSector = 0x1112131415161718ull;
  e.entryIndex = 0x21222324u;
  e.recordNumber = 0x31323334u;
  e.parentRecord = 0x41424344u;
  e.childrenBlock = 0x51525354u;
  e.nameOffset = 0x61626364u;
  e.name = u"abc";
  e.attributes = 0x7172;
  e.createdDate = 0x8182;
  e.accessedDate = 0x9192;
  return e;
}

TEST(StoredEntry, FieldsSitAtTheirOffsets) {
  auto b = encodeEntry(sampleEntry());
  ASSERT_EQ(b.size(), 44u);
  EXPECT_EQ(b[0], 0x08); EXPECT_EQ(b[7], 0x01);    // dataSize
  EXPECT_EQ(b[8], 0x18); EXPECT_EQ(b[15], 0x11);   // recordSector
  EXPECT_EQ(b[16], 0x24); EXPECT_EQ(b[19], 0x21);  // entryIndex
  EXPECT_EQ(b[20], 0x34); EXPECT_EQ(b[23], 0x31);  // recordNumber
  EXPECT_EQ(b[24], 0x44); EXPECT_EQ(b[27], 0x41);  // parentRecord
  EXPECT_EQ(b[28], 0x54); EXPECT_EQ(b[31], 0x51);  // childrenBlock
  EXPECT_EQ(b[32], 0x64); EXPECT_EQ(b[35], 0x61);  // nameOffset
  EXPECT_EQ(b[36], 3);    EXPECT_EQ(b[37], 0);     // nameLength in units
  EXPECT_EQ(b[38], 0x72); EXPECT_EQ(b[39], 0x71);  // attributes
  EXPECT_EQ(b[40], 0x82); EXPECT_EQ(b[41], 0x81);  // createdDate
  EXPECT_EQ(b[42], 0x92); EXPECT_EQ(b[43], 0x91);  // accessedDate
}

TEST(StoredEntry, RoundTripLeavesTheNameToTheCaller) {
  std::uint16_t nameLength = 0;
  FileEntry decoded = decodeEntry(encodeEntry(sampleEntry()), nameLength);
  EXPECT_EQ(nameLength, 3);
  EXPECT_TRUE(decoded.name.empty());
  FileEntry expected = sampleEntry();
  expected.name.clear();
  EXPECT_EQ(decoded, expected);
}

TEST(StoredEntry, FlagHelpers) {
  FileEntry e;
  e.attributes = 0x10;
  EXPECT_TRUE(e.isFolder());
  EXPECT_FALSE(e.isLive());
  e.attributes = 0x08;
  EXPECT_FALSE(e.isFolder());
  EXPECT_TRUE(e.isLive());
}

TEST(StoredTreeBlock, WordsSitAtTheirOffsetsAndRoundTrip) {
  TreeBlock t;
  t.key = 0x01020304u;
  t.next = 0x11121314u;
  for (std::size_t i = 0; i < kTreeSlots; ++i) t.slots[i] = 0xA0000000u + static_cast<std::uint32_t>(i);
  auto b = encodeTreeBlock(t);
  ASSERT_EQ(b.size(), 128u);
  EXPECT_EQ(b[0], 0x04); EXPECT_EQ(b[3], 0x01);
  EXPECT_EQ(b[4], 0x14); EXPECT_EQ(b[7], 0x11);
  for (std::size_t i = 0; i < kTreeSlots; ++i) {
    EXPECT_EQ(le32(b, 8 + 4 * i), 0xA0000000u + i) << i;
    EXPECT_EQ(b[8 + 4 * i + 3], 0xA0) << i;
  }
  EXPECT_EQ(decodeTreeBlock(b), t);
}

// ---- folder index -------------------------------------------------------------------------------

std::vector<std::uint32_t> preorderKeys(const FolderIndex& index) {
  std::vector<std::uint32_t> keys;
  index.preorder([&](std::uint32_t i) { keys.push_back(index.node(i).key); });
  return keys;
}

FolderIndex built(std::initializer_list<std::uint32_t> keys) {
  FolderIndex index;
  for (auto k : keys) index.insert(k);
  return index;
}

// Height of the subtree, checking balance factors, parent links and key order on the way.
int checkedHeight(const FolderIndex& index, std::uint32_t i, std::uint32_t parent, std::uint64_t low,
                  std::uint64_t high, std::size_t& count) {
  if (i == kNoNode) return 0;
  const FolderNode& n = index.node(i);
  ++count;
  EXPECT_EQ(n.parent, parent);
  EXPECT_GE(n.key, low);
  EXPECT_LE(n.key, high);
  int l = checkedHeight(index, n.left, i, low, n.key, count);
  int r = checkedHeight(index, n.right, i, n.key, high, count);
  EXPECT_EQ(n.balance, r - l) << "node " << i;
  EXPECT_LE(std::abs(r - l), 1) << "node " << i;
  return 1 + std::max(l, r);
}

TEST(FolderIndex, RightLeftRotation) {
  auto index = built({0, 5, 3});
  EXPECT_EQ(preorderKeys(index), (std::vector<std::uint32_t>{3, 0, 5}));
  EXPECT_EQ(index.root(), 2u);
  EXPECT_EQ(index.node(2).left, 0u);
  EXPECT_EQ(index.node(2).right, 1u);
}

TEST(FolderIndex, SingleAndDoubleRotations) {
  EXPECT_EQ(preorderKeys(built({1, 2, 3})), (std::vector<std::uint32_t>{2, 1, 3}));
  EXPECT_EQ(preorderKeys(built({3, 2, 1})), (std::vector<std::uint32_t>{2, 1, 3}));
  EXPECT_EQ(preorderKeys(built({3, 1, 2})), (std::vector<std::uint32_t>{2, 1, 3}));
  EXPECT_EQ(preorderKeys(built({0, 5})), (std::vector<std::uint32_t>{0, 5}));
  EXPECT_EQ(preorderKeys(built({10, 20, 30, 40, 50, 25})),
            (std::vector<std::uint32_t>{30, 20, 10, 25, 40, 50}));
  // Left-left at 30, then 45 simply joins 50: 40(20(10,30),50(45)).
  EXPECT_EQ(preorderKeys(built({50, 40, 30, 20, 10, 45})),
            (std::vector<std::uint32_t>{40, 20, 10, 30, 50, 45}));
  // Right-right at 0, left-right at 9 (8 rises), right-right at 0 again (1 rises).
  EXPECT_EQ(preorderKeys(built({0, 5, 9, 7, 8, 1, 2})),
            (std::vector<std::uint32_t>{5, 1, 0, 2, 8, 7, 9}));
}

TEST(FolderIndex, EqualKeysGoLeft) {
  auto index = built({5, 5});
  EXPECT_EQ(index.node(0).left, 1u);
  EXPECT_EQ(index.node(0).right, kNoNode);
  index.insert(5);  // left-left: the middle one rises
  EXPECT_EQ(index.root(), 1u);
  EXPECT_EQ(index.node(1).left, 2u);
  EXPECT_EQ(index.node(1).right, 0u);
  EXPECT_EQ(index.find(5), 1u);
}

TEST(FolderIndex, FindDescendsRightPastSmallerKeys) {
  auto index = built({0, 5, 3, 100, 1});
  EXPECT_EQ(index.find(0), 0u);
  EXPECT_EQ(index.find(5), 1u);
  EXPECT_EQ(index.find(3), 2u);
  EXPECT_EQ(index.find(100), 3u);
  EXPECT_EQ(index.find(1), 4u);
  EXPECT_FALSE(index.find(4));
  EXPECT_FALSE(FolderIndex{}.find(0));
}

TEST(FolderIndex, InvariantsAfterManyRandomInserts) {
  for (std::uint32_t range : {1000000u, 300u}) {  // mostly distinct keys, then many equal ones
    std::mt19937 rng(range);
    FolderIndex index;
    std::vector<std::uint32_t> keys;
    for (int i = 0; i < 20000; ++i) {
      auto k = static_cast<std::uint32_t>(rng() % range);
      keys.push_back(k);
      index.insert(k);
      if (i % 2500 == 0) {
        std::size_t count = 0;
        checkedHeight(index, index.root(), kNoNode, 0, UINT64_MAX, count);
        EXPECT_EQ(count, index.size());
      }
    }
    std::size_t count = 0;
    int height = checkedHeight(index, index.root(), kNoNode, 0, UINT64_MAX, count);
    EXPECT_EQ(count, keys.size());
    EXPECT_LE(height, static_cast<int>(1.45 * std::log2(static_cast<double>(keys.size()) + 2)));
    for (auto k : keys) {
      auto found = index.find(k);
      ASSERT_TRUE(found);
      EXPECT_EQ(index.node(*found).key, k);
    }
    std::vector<std::uint32_t> visited;
    index.preorder([&](std::uint32_t i) { visited.push_back(i); });
    ASSERT_EQ(visited.size(), keys.size());
    std::sort(visited.begin(), visited.end());
    for (std::size_t i = 0; i < visited.size(); ++i) EXPECT_EQ(visited[i], i);
  }
}

// ---- working files ------------------------------------------------------------------------------

void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void putLe(std::vector<std::uint8_t>& out, std::uint64_t v, int n) {
  for (int i = 0; i < n; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// The stored record written out field by field, independently of encodeEntry.
std::vector<std::uint8_t> rawEntry(std::uint32_t index, std::uint32_t record, std::uint32_t block,
                                   std::uint32_t nameOffset, std::uint16_t nameLength,
                                   std::uint16_t attributes) {
  std::vector<std::uint8_t> b;
  putLe(b, 0, 8);
  putLe(b, 0, 8);
  putLe(b, index, 4);
  putLe(b, record, 4);
  putLe(b, 0, 4);
  putLe(b, block, 4);
  putLe(b, nameOffset, 4);
  putLe(b, nameLength, 2);
  putLe(b, attributes, 2);
  putLe(b, 0, 2);
  putLe(b, 0, 2);
  return b;
}

FileEntry fileNamed(WorkingFiles& wf, const std::u16string& name, std::uint64_t size, std::uint16_t attributes) {
  FileEntry e;
  e.entryIndex = wf.nextEntryIndex();
  e.name = name;
  e.dataSize = size;
  e.attributes = attributes;
  wf.writeEntry(e);
  return e;
}

TEST(WorkingFiles, CreateWritesTheFixedContent) {
  RecordingHost host;
  WorkingFiles wf(host);
  ASSERT_TRUE(wf.create());
  EXPECT_EQ(wf.nextEntryIndex(), 2u);
  auto p = wf.paths();
  EXPECT_EQ(p.entries.filename(), "NSE.OVT");
  EXPECT_EQ(p.names.filename(), "NSN.OVT");
  EXPECT_EQ(p.tree.filename(), "NST.OVT");

  std::vector<std::uint8_t> entries = rawEntry(0, 0, 0, 0, 1, 0x18);
  auto root = rawEntry(1, 5, 128, 2, 5, 0x18);
  entries.insert(entries.end(), root.begin(), root.end());
  EXPECT_EQ(readFile(p.entries), entries);

  std::vector<std::uint8_t> names = {'#', 0, ' ', 0, 'R', 0, 'o', 0, 'o', 0, 't', 0};
  EXPECT_EQ(readFile(p.names), names);

  std::vector<std::uint8_t> tree(256, 0);
  tree[8] = 1;     // " Root" is the first child of "#"
  tree[128] = 5;   // the root's own (empty) block
  EXPECT_EQ(readFile(p.tree), tree);

  const FolderIndex& index = wf.folders();
  ASSERT_EQ(index.size(), 2u);
  EXPECT_EQ(index.root(), 0u);
  EXPECT_EQ(index.node(0).key, 0u);
  EXPECT_EQ(index.node(0).right, 1u);
  EXPECT_EQ(index.node(1).key, 5u);
  EXPECT_EQ(index.node(1).entryIndex, 1u);
  EXPECT_EQ(index.node(1).childrenBlock, 128u);

  // The files are private: a fresh folder of our own with owner-only access.
  struct stat st {};
  ASSERT_EQ(::stat(wf.folderPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(wf.folderPath().filename().string().rfind("ov-work-", 0), 0u);
  ASSERT_EQ(::stat(p.tree.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A second create starts over.
  bool inserted = false;
  wf.appendChild(wf.findOrInsertFolder(5, false, inserted), 7);
  wf.finishWriting();
  ASSERT_TRUE(wf.create());
  EXPECT_EQ(readFile(p.entries).size(), 88u);
  EXPECT_EQ(readFile(p.names).size(), 12u);
  EXPECT_EQ(readFile(p.tree), tree);
  EXPECT_TRUE(host.messages.empty());
}

TEST(WorkingFiles, DestructorRemovesTheFolder) {
  RecordingHost host;
  std::filesystem::path folder;
  {
    WorkingFiles wf(host);
    ASSERT_TRUE(wf.create());
    folder = wf.folderPath();
    EXPECT_TRUE(std::filesystem::exists(folder));
  }
  EXPECT_FALSE(std::filesystem::exists(folder));
}

TEST(WorkingFiles, EmptyTreeStillHoldsRootUnderTop) {
  RecordingHost host;
  WorkingFiles wf(host);
  ASSERT_TRUE(wf.create());
  wf.finishWriting();
  ASSERT_TRUE(wf.open());
  std::uint64_t total = 0;
  std::uint32_t files = 0, folders = 0;
  auto top = wf.readFolder(0, total, files, folders, true);
  ASSERT_EQ(top.size(), 1u);
  EXPECT_EQ(top[0].name, u" Root");
  EXPECT_EQ(top[0].entryIndex, 1u);
  EXPECT_EQ(top[0].recordNumber, 5u);
  EXPECT_EQ(top[0].childrenBlock, 128u);
  EXPECT_EQ(top[0].nameOffset, 2u);
  EXPECT_EQ(files, 0u);
  EXPECT_EQ(folders, 1u);
  EXPECT_TRUE(wf.readFolder(128, total, files, folders, true).empty());
  auto first = wf.readEntry(0);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->name, u"#");
  EXPECT_EQ(first->attributes, 0x18);
  EXPECT_FALSE(wf.readEntry(2));
}

TEST(WorkingFiles, ThirtyChildrenFillOneBlockTheThirtyFirstLinksASecond) {
  RecordingHost host;
  WorkingFiles wf(host);
  ASSERT_TRUE(wf.create());
  bool inserted = false;
  std::uint32_t folder = wf.findOrInsertFolder(40, false, inserted);
  ASSERT_TRUE(inserted);
  EXPECT_EQ(wf.folder(folder).childrenBlock, 256u);
  for (int i = 0; i < 30; ++i) wf.appendChild(folder, fileNamed(wf, u"f", 1, 0).entryIndex);
  wf.finishWriting();
  auto tree = readFile(wf.paths().tree);
  ASSERT_EQ(tree.size(), 384u);
  EXPECT_EQ(le32(tree, 256), 40u);
  EXPECT_EQ(le32(tree, 260), 0u);
  for (std::uint32_t s = 0; s < 30; ++s) EXPECT_EQ(le32(tree, 264 + 4 * s), 2 + s);

  ASSERT_TRUE(wf.create());
  folder = wf.findOrInsertFolder(40, false, inserted);
  for (int i = 0; i < 31; ++i) wf.appendChild(folder, fileNamed(wf, u"f", 1, 0).entryIndex);
  wf.finishWriting();
  tree = readFile(wf.paths().tree);
  ASSERT_EQ(tree.size(), 512u);
  EXPECT_EQ(le32(tree, 260), 384u);  // linked to the new block
  EXPECT_EQ(le32(tree, 384), 40u);
  EXPECT_EQ(le32(tree, 388), 0u);
  EXPECT_EQ(le32(tree, 392), 32u);   // the 31st child, entry 2 + 30
  for (std::size_t off = 396; off < 512; off += 4) EXPECT_EQ(le32(tree, off), 0u);

  ASSERT_TRUE(wf.open());
  std::uint64_t total = 0;
  std::uint32_t files = 0, folders = 0;
  auto children = wf.readFolder(256, total, files, folders, true);
  ASSERT_EQ(children.size(), 31u);
  for (std::uint32_t i = 0; i < 31; ++i) EXPECT_EQ(children[i].entryIndex, 32 - i);
  EXPECT_EQ(files, 31u);
  EXPECT_EQ(total, 31u);
}

TEST(WorkingFiles, AlternatingFoldersLoseNoChild) {
  RecordingHost host;
  WorkingFiles wf(host);
  ASSERT_TRUE(wf.create());
  bool inserted = false;
  std::uint32_t a = wf.findOrInsertFolder(100, false, inserted);
  std::uint32_t b = wf.findOrInsertFolder(200, false, inserted);
  std::vector<std::uint32_t> inA, inB;
  for (int i = 0; i < 100; ++i) {
    auto e = fileNamed(wf, u"x", 0, 0).entryIndex;
    wf.appendChild(i % 2 ? b : a, e);
    (i % 2 ? inB : inA).push_back(e);
  }
  std::uint32_t blockA = wf.folder(a).childrenBlock, blockB = wf.folder(b).childrenBlock;
  wf.finishWriting();
  ASSERT_TRUE(wf.open());
  for (auto [block, expected] : {std::pair{blockA, inA}, std::pair{blockB, inB}}) {
    std::uint64_t total = 0;
    std::uint32_t files = 0, folders = 0;
    auto children = wf.readFolder(block, total, files, folders, true);
    std::vector<std::uint32_t> got;
    for (auto& c : children) got.push_back(c.entryIndex);
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(got, expected);
    EXPECT_EQ(files, 50u);
  }
}

// A straightforward writer with one cached block, as the tree file is defined: used to check
// that the in-memory writer produces the same bytes.
class CachedBlockReference {
 public:
  CachedBlockReference() : file_(128, 0) {
    writeLe<std::uint32_t>(file_, 8, 1);
    cache_.fill(0);
    set(0, 5);
    at_ = last_ = 128;
    writeBack();
    first_[0] = 0;
    first_[5] = 128;
  }
  void newChain(std::uint32_t key) {
    writeBack();
    last_ += 128;
    first_[key] = last_;
    cache_.fill(0);
    set(0, key);
    at_ = last_;
  }
  void append(std::uint32_t key, std::uint32_t entry) {
    if (word(0) != key) {
      writeBack();
      load(first_.at(key));
    }
    while (word(1) != 0) load(word(1));
    for (std::size_t s = 2; s < 32; ++s) {
      if (word(s) == 0) {
        set(s, entry);
        return;
      }
    }
    last_ += 128;
    set(1, last_);
    writeBack();
    cache_.fill(0);
    set(0, key);
    set(2, entry);
    at_ = last_;
  }
  std::vector<std::uint8_t> finish() {
    writeBack();
    return file_;
  }

 private:
  std::uint32_t word(std::size_t i) const { return le32(cache_, 4 * i); }
  void set(std::size_t i, std::uint32_t v) { writeLe<std::uint32_t>(cache_, 4 * i, v); }
  void writeBack() {
    if (file_.size() < at_ + 128) file_.resize(at_ + 128, 0);
    std::copy(cache_.begin(), cache_.end(), file_.begin() + at_);
  }
  void load(std::uint32_t offset) {
    std::copy(file_.begin() + offset, file_.begin() + offset + 128, cache_.begin());
    at_ = offset;
  }
  std::vector<std::uint8_t> file_;
  std::array<std::uint8_t, 128> cache_{};
  std::uint32_t at_ = 0, last_ = 0;
  std::map<std::uint32_t, std::uint32_t> first_;
};

TEST(WorkingFiles, SameBytesAsASingleCachedBlockOnRandomOperations) {
  RecordingHost host;
  WorkingFiles wf(host);
  ASSERT_TRUE(wf.create());
  CachedBlockReference ref;
  std::mt19937 rng(12345);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> folders;  // node, key
  bool inserted = false;
  folders.emplace_back(wf.findOrInsertFolder(5, false, inserted), 5);
  folders.emplace_back(wf.findOrInsertFolder(0, false, inserted), 0);
  std::set<std::uint32_t> keys = {0, 5};
  for (int op = 0; op < 2000; ++op) {
    auto [node, key] = folders[rng() % folders.size()];
    if (folders.size() < 50 && rng() % 8 == 0) {
      std::uint32_t k;
      do k = static_cast<std::uint32_t>(6 + rng() % 100000); while (!keys.insert(k).second);
      std::uint32_t n = wf.findOrInsertFolder(k, rng() % 4 == 0, inserted);
      ASSERT_TRUE(inserted);
      ref.newChain(k);
      FileEntry e;
      e.entryIndex = wf.nextEntryIndex();
      e.recordNumber = k;
      e.parentRecord = key;
      e.childrenBlock = wf.folder(n).childrenBlock;
      e.attributes = kEntryFolder;
      e.name = u"d";
      wf.writeEntry(e);
      wf.folder(n).entryIndex = e.entryIndex;
      wf.appendChild(node, e.entryIndex);
      ref.append(key, e.entryIndex);
      folders.emplace_back(n, k);
    } else {
      FileEntry e = fileNamed(wf, std::u16string(rng() % 12, u'a'), rng(), 0x08);
      wf.appendChild(node, e.entryIndex);
      ref.append(key, e.entryIndex);
    }
  }
  EXPECT_EQ(folders.size(), 50u);
  // The placeholders go under "#" in preorder of the index.
  std::uint32_t next = wf.nextEntryIndex();
  wf.folders().preorder([&](std::uint32_t i) {
    if (wf.folders().node(i).placeholder) ref.append(0, next++);
  });
  EXPECT_GT(next, wf.nextEntryIndex());
  wf.addMissingParentFolders();
  EXPECT_EQ(wf.nextEntryIndex(), next);
  std::uint32_t count = wf.nextEntryIndex();
  wf.finishWriting();
  EXPECT_EQ(readFile(wf.paths().tree), ref.finish());
  EXPECT_EQ(readFile(wf.paths().entries).size(), std::size_t{count} * 44);

  ASSERT_TRUE(wf.open());
  std::uint64_t names = 0;
  for (std::uint32_t n = 0; n < count; ++n) {
    auto e = wf.readEntry(n);
    ASSERT_TRUE(e) << n;
    EXPECT_EQ(e->entryIndex, n);
    EXPECT_EQ(e->nameOffset, names);
    names += 2 * e->name.size();
  }
  EXPECT_EQ(readFile(wf.paths().names).size(), names);
  EXPECT_FALSE(wf.readEntry(count));
}

TEST(WorkingFiles, ManyEntriesGoOutInPieces) {
  // More than one flush of both pending buffers; every entry must still be where it belongs.
  RecordingHost host;
  WorkingFiles wf(host);
  ASSERT_TRUE(wf.create());
  bool inserted = false;
  std::uint32_t root = wf.findOrInsertFolder(5, false, inserted);
  const std::u16string name(40, u'n');
  for (int i = 0; i < 30000; ++i) wf.appendChild(root, fileNamed(wf, name, 1, 0).entryIndex);
  wf.finishWriting();
  EXPECT_EQ(readFile(wf.paths().entries).size(), 30002u * 44);
  EXPECT_EQ(readFile(wf.paths().names).size(), 12u + 30000u * 80);
  ASSERT_TRUE(wf.open());
  auto last = wf.readEntry(30001);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->name, name);
  EXPECT_EQ(last->nameOffset, 12u + 29999u * 80);
  std::uint64_t total = 0;
  std::uint32_t files = 0, folders = 0;
  EXPECT_TRUE(wf.readFolder(128, total, files, folders, false).empty());
  EXPECT_EQ(files, 30000u);
  EXPECT_EQ(total, 30000u);
}

TEST(WorkingFiles, ReadFolderGivesFilesThenFoldersEachInReverseSlotOrder) {
  RecordingHost host;
  WorkingFiles wf(host);
  ASSERT_TRUE(wf.create());
  bool inserted = false;
  std::uint32_t root = wf.findOrInsertFolder(5, false, inserted);
  std::vector<std::pair<std::u16string, std::uint16_t>> children = {
      {u"f1", 0x08}, {u"f2", 0x00}, {u"d1", 0x18}, {u"f3", 0x08}, {u"d2", 0x10}};
  std::uint64_t size = 1;
  for (auto& [name, attributes] : children) {
    wf.appendChild(root, fileNamed(wf, name, size, attributes).entryIndex);
    size *= 10;
  }
  wf.finishWriting();
  ASSERT_TRUE(wf.open());

  std::uint64_t total = 5;  // the counters are added to
  std::uint32_t files = 1, folders = 1;
  auto all = wf.readFolder(128, total, files, folders, true);
  std::vector<std::u16string> names;
  for (auto& e : all) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"f3", u"f2", u"f1", u"d2", u"d1"}));
  EXPECT_EQ(total, 5u + 11111u);
  EXPECT_EQ(files, 4u);
  EXPECT_EQ(folders, 3u);

  total = 0;
  files = folders = 0;
  auto onlyFolders = wf.readFolder(128, total, files, folders, false);
  names.clear();
  for (auto& e : onlyFolders) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"d2", u"d1"}));
  EXPECT_EQ(total, 11111u);
  EXPECT_EQ(files, 3u);
  EXPECT_EQ(folders, 2u);
}

TEST(WorkingFiles, MissingParentsBecomeNumberedFoldersUnderTop) {
  RecordingHost host;
  WorkingFiles wf(host);
  ASSERT_TRUE(wf.create());
  bool inserted = false;
  // Children whose parents were never found, and one real folder.
  std::vector<std::uint32_t> orphanKeys = {1234, 77, 9000, 6};
  std::map<std::uint32_t, std::uint32_t> childOf;
  for (auto key : orphanKeys) {
    std::uint32_t node = wf.findOrInsertFolder(key, true, inserted);
    ASSERT_TRUE(inserted);
    auto e = fileNamed(wf, u"child", 3, 0x08).entryIndex;
    wf.appendChild(node, e);
    childOf[key] = e;
  }
  std::uint32_t real = wf.findOrInsertFolder(500, false, inserted);
  FileEntry realEntry = fileNamed(wf, u"real", 0, 0x18);
  wf.folder(real).entryIndex = realEntry.entryIndex;
  wf.appendChild(wf.findOrInsertFolder(5, false, inserted), realEntry.entryIndex);

  std::vector<std::uint32_t> expectedOrder;
  wf.folders().preorder([&](std::uint32_t i) {
    if (wf.folders().node(i).placeholder) expectedOrder.push_back(wf.folders().node(i).key);
  });
  std::uint32_t firstNew = wf.nextEntryIndex();
  wf.addMissingParentFolders();
  EXPECT_EQ(wf.nextEntryIndex(), firstNew + orphanKeys.size());
  wf.finishWriting();
  ASSERT_TRUE(wf.open());

  for (std::uint32_t i = 0; i < expectedOrder.size(); ++i) {
    auto e = wf.readEntry(firstNew + i);
    ASSERT_TRUE(e);
    std::uint32_t key = expectedOrder[i];
    std::u16string expectedName = u"#";
    for (char c : std::to_string(key)) expectedName.push_back(static_cast<char16_t>(c));
    EXPECT_EQ(e->name, expectedName);
    EXPECT_EQ(e->attributes, 0x10);
    EXPECT_EQ(e->recordNumber, key);
    EXPECT_EQ(e->parentRecord, 0u);
    EXPECT_EQ(e->dataSize, 0u);
    EXPECT_EQ(e->createdDate, 0u);
    auto node = wf.folders().find(key);
    ASSERT_TRUE(node);
    EXPECT_EQ(e->childrenBlock, wf.folders().node(*node).childrenBlock);
    std::uint64_t total = 0;
    std::uint32_t files = 0, folders = 0;
    auto inside = wf.readFolder(e->childrenBlock, total, files, folders, true);
    ASSERT_EQ(inside.size(), 1u);
    EXPECT_EQ(inside[0].entryIndex, childOf[key]);
  }

  std::uint64_t total = 0;
  std::uint32_t files = 0, folders = 0;
  auto top = wf.readFolder(0, total, files, folders, true);
  std::vector<std::u16string> names;
  for (auto& e : top) names.push_back(e.name);
  // Reverse slot order: the last created comes first, " Root" (the first slot) last.
  std::vector<std::u16string> expected;
  for (auto it = expectedOrder.rbegin(); it != expectedOrder.rend(); ++it) {
    std::u16string n = u"#";
    for (char c : std::to_string(*it)) n.push_back(static_cast<char16_t>(c));
    expected.push_back(n);
  }
  expected.push_back(u" Root");
  EXPECT_EQ(names, expected);
  EXPECT_EQ(std::count(names.begin(), names.end(), u"#1234"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), u"#500"), 0);
}

TEST(WorkingFiles, EntriesMustComeInOrder) {
  RecordingHost host;
  WorkingFiles wf(host);
  ASSERT_TRUE(wf.create());
  FileEntry e;
  e.entryIndex = 5;
  EXPECT_THROW(wf.writeEntry(e), std::logic_error);
  e.entryIndex = 2;
  EXPECT_NO_THROW(wf.writeEntry(e));
  EXPECT_EQ(wf.nextEntryIndex(), 3u);
}

TEST(WorkingFiles, OpenFailsWithoutFiles) {
  RecordingHost host;
  WorkingFiles wf(host);
  EXPECT_FALSE(wf.open());
  EXPECT_FALSE(wf.isOpen());
  EXPECT_FALSE(wf.readEntry(0));
  std::uint64_t total = 0;
  std::uint32_t files = 0, folders = 0;
  EXPECT_TRUE(wf.readFolder(0, total, files, folders, true).empty());
}

// A set of three files written by hand, opened for reading.
struct HostileFiles {
  RecordingHost host;
  WorkingFiles wf{host};
  std::uint64_t total = 0;
  std::uint32_t files = 0, folders = 0;

  HostileFiles(const std::vector<std::uint8_t>& entries, const std::vector<std::uint8_t>& names,
               const std::vector<std::uint8_t>& tree) {
    auto p = wf.paths();
    writeBytes(p.entries, entries);
    writeBytes(p.names, names);
    writeBytes(p.tree, tree);
    EXPECT_TRUE(wf.open());
  }
  std::vector<FileEntry> folder(std::uint32_t block) { return wf.readFolder(block, total, files, folders, true); }
};

std::vector<std::uint8_t> treeOf(std::vector<TreeBlock> blocks) {
  std::vector<std::uint8_t> out;
  for (auto& b : blocks) {
    auto raw = encodeTreeBlock(b);
    out.insert(out.end(), raw.begin(), raw.end());
  }
  return out;
}

std::vector<std::uint8_t> twoEntries() {
  auto e = rawEntry(0, 0, 0, 0, 1, 0x18);
  auto f = rawEntry(1, 5, 128, 2, 2, 0x08);
  e.insert(e.end(), f.begin(), f.end());
  return e;
}

TEST(WorkingFilesHostile, LoopingChainEnds) {
  TreeBlock a, b;
  a.next = 128;
  a.slots[0] = 1;
  b.next = 128;  // points at itself
  b.slots[0] = 1;
  HostileFiles self(twoEntries(), {'#', 0, 'a', 0, 'b', 0}, treeOf({a, b}));
  EXPECT_EQ(self.folder(0).size(), 2u);
  EXPECT_EQ(self.folder(128).size(), 1u);

  b.next = 0;  // and back to the start
  HostileFiles back(twoEntries(), {'#', 0, 'a', 0, 'b', 0}, treeOf({a, b}));
  EXPECT_EQ(back.folder(128).size(), 1u);
  EXPECT_EQ(back.folder(0).size(), 2u);
}

TEST(WorkingFilesHostile, ChainPastTheEndOrOffTheGridEnds) {
  TreeBlock a;
  a.next = 0x10000;
  a.slots[0] = 1;
  HostileFiles h(twoEntries(), {'#', 0, 'a', 0, 'b', 0}, treeOf({a}));
  EXPECT_EQ(h.folder(0).size(), 1u);
  EXPECT_TRUE(h.folder(64).empty());
  EXPECT_TRUE(h.folder(128).empty());
  EXPECT_TRUE(h.folder(0xFFFFFF80u).empty());
  a.next = 132;
  HostileFiles g(twoEntries(), {'#', 0, 'a', 0, 'b', 0}, treeOf({a, TreeBlock{}, TreeBlock{}}));
  EXPECT_EQ(g.folder(0).size(), 1u);
}

TEST(WorkingFilesHostile, TruncatedFiles) {
  auto entries = twoEntries();
  entries.resize(70);  // the second record is cut short
  TreeBlock a;
  a.slots = {1, 0, 1, 7, 0xFFFFFFFFu};
  auto tree = treeOf({a});
  tree.resize(100);  // and so is the only block
  HostileFiles h(entries, {'#', 0, 'a', 0, 'b', 0}, tree);
  EXPECT_TRUE(h.wf.readEntry(0));
  EXPECT_FALSE(h.wf.readEntry(1));
  EXPECT_FALSE(h.wf.readEntry(0xFFFFFFFFu));
  EXPECT_TRUE(h.folder(0).empty());

  HostileFiles empty({}, {}, {});
  EXPECT_FALSE(empty.wf.readEntry(0));
  EXPECT_TRUE(empty.folder(0).empty());

  TreeBlock full;
  full.slots = {1, 7, 0xFFFFFFFFu, 1};
  HostileFiles shortEntries(entries, {'#', 0, 'a', 0, 'b', 0}, treeOf({full}));
  EXPECT_TRUE(shortEntries.folder(0).empty());
  EXPECT_EQ(shortEntries.files + shortEntries.folders, 0u);
}

TEST(WorkingFilesHostile, NamesOutsideTheNamesFile) {
  auto entries = rawEntry(0, 0, 0, 0, 1, 0x18);
  auto past = rawEntry(1, 5, 0, 4, 2, 0x08);          // ends at byte 8, the file holds 6
  auto huge = rawEntry(2, 5, 0, 0xFFFFFFF0u, 0xFFFF, 0x10);
  auto fine = rawEntry(3, 6, 0, 2, 2, 0x08);
  for (auto* r : {&past, &huge, &fine}) entries.insert(entries.end(), r->begin(), r->end());
  TreeBlock a;
  a.slots = {1, 2, 3};
  HostileFiles h(entries, {'#', 0, 'a', 0, 'b', 0}, treeOf({a}));
  EXPECT_FALSE(h.wf.readEntry(1));
  EXPECT_FALSE(h.wf.readEntry(2));
  auto ok = h.wf.readEntry(3);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->name, u"ab");
  auto children = h.folder(0);
  ASSERT_EQ(children.size(), 1u);
  EXPECT_EQ(children[0].entryIndex, 3u);
  EXPECT_EQ(h.files, 1u);
  EXPECT_EQ(h.folders, 0u);
  EXPECT_TRUE(h.host.messages.empty());
}

}  // namespace
}  // namespace ov::ntfs
