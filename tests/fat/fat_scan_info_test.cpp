// FAT scan information: the tree records and groups byte by byte, the partition and disk files
// around them, round trips on a processed image (same tree, same recovered bytes), and files
// that are cut short, mislabelled or hostile.
#include "fat/fat_scan_info.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>

#include "fat/fat_extract.h"
#include "scans/scan_file.h"
#include "tests/support/test_support.h"

namespace ov::fat {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::size_t kHeaderBytes = 4 + 542;  // magic and source block

fs::path writeBytes(const std::string& name, const std::vector<std::uint8_t>& bytes) {
  fs::path path = ov::test::scratchDir() / name;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
  return path;
}

std::vector<std::uint8_t> cut(const std::vector<std::uint8_t>& bytes, std::size_t length) {
  return std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

// writeTree of `folder` into a file of its own; the bytes written.
std::vector<std::uint8_t> treeBytes(const FileEntry& folder, bool* whole = nullptr) {
  auto path = ov::test::scratchDir() / "tree.bin";
  int error = 0;
  ScanFileWriter w(path.string(), error);
  EXPECT_TRUE(w.isOpen());
  bool ok = writeTree(folder, w);
  if (whole) *whole = ok;
  EXPECT_EQ(w.finish(), 0);
  return ov::test::readFile(path);
}

FileEntry& child(FatTree& tree, FileEntry& folder, const std::u16string& name, std::uint8_t attributes,
                 std::uint32_t cluster, std::uint64_t size = 0) {
  FileEntry e;
  e.name = name;
  e.attributes = attributes;
  e.firstCluster = cluster;
  e.parentCluster = folder.firstCluster;
  e.dataSize = size;
  e.createdDate = static_cast<std::uint16_t>(0x5A21 + cluster);
  e.accessedDate = static_cast<std::uint16_t>(0x5A35 + cluster);
  FileEntry& added = tree.add(e);
  FatTree::prepend(folder, added);
  return added;
}

// "#" > Lost, A (folder: a.txt, B (folder: b.bin), C (empty folder)), top.dat.
// Children are prepended, so each folder lists them in the reverse order of the calls.
struct Sample {
  FatTree tree;
  FileEntry *a, *b, *c, *top, *aFile, *bFile;
  Sample() {
    tree.reset(2);
    FileEntry& root = *tree.root();
    top = &child(tree, root, u"top.dat", 0x08 | 0x20, 40, 1234);
    a = &child(tree, root, u"A", kEntryFolder | kEntryLive, 10);
    c = &child(tree, *a, u"C", kEntryFolder | kEntryLive, 12);
    b = &child(tree, *a, u"B", kEntryFolder | kEntryLive, 11);
    aFile = &child(tree, *a, u"a.txt", kEntryLive, 20, 5000);
    bFile = &child(tree, *b, u"b\u00e9.bin", 0x00, 30, 0x123456789ull);
  }
};

// Offsets of the records in treeBytes(Sample root): groups "#", A, B.
struct RecordAt {
  std::size_t at;
  std::size_t units;
};

TEST(FatScanInfoTree, RecordFieldsSitAtTheirOffsets) {
  Sample s;
  auto bytes = treeBytes(*s.tree.root());
  // Root group: A, top.dat, Lost (list order). Then A's group: a.txt, B, C. Then B's: bé.bin.
  std::vector<RecordAt> records;
  for (std::size_t at = 0; at < bytes.size();) {
    std::size_t units = bytes[at + 37];
    records.push_back({at, units});
    at += 40 + 2 * units;
  }
  ASSERT_EQ(records.size(), 7u);
  auto nameAt = [&](std::size_t i) {
    return readUtf16(bytes, records[i].at + 40, records[i].units);
  };
  std::vector<std::u16string> names;
  for (std::size_t i = 0; i < records.size(); ++i) names.push_back(nameAt(i));
  EXPECT_EQ(names, (std::vector<std::u16string>{u"A", u"top.dat", u"Lost", u"a.txt", u"B", u"C", u"b\u00e9.bin"}));

  // The folder A: a folder with children.
  std::size_t a = records[0].at;
  EXPECT_EQ(le64(bytes, a + 0), 0u);
  EXPECT_NE(le32(bytes, a + 8), 0u);   // more of the root's group follows
  EXPECT_NE(le32(bytes, a + 12), 0u);  // its children are stored later
  EXPECT_EQ(le32(bytes, a + 16), 0u);  // parent: not interpreted, written as zero
  EXPECT_EQ(le32(bytes, a + 20), 10u);
  EXPECT_EQ(le32(bytes, a + 24), 2u);
  EXPECT_EQ(le32(bytes, a + 28), 0u);  // name pointer: not interpreted
  EXPECT_EQ(le16(bytes, a + 32), 0x5A21 + 10);
  EXPECT_EQ(le16(bytes, a + 34), 0x5A35 + 10);
  EXPECT_EQ(bytes[a + 36], kEntryFolder | kEntryLive);
  EXPECT_EQ(bytes[a + 37], 1);
  EXPECT_EQ(le16(bytes, a + 38), 0);
  EXPECT_EQ(le16(bytes, a + 40), u'A');

  // Lost ends the root's group and has no children.
  std::size_t lost = records[2].at;
  EXPECT_EQ(le32(bytes, lost + 8), 0u);
  EXPECT_EQ(le32(bytes, lost + 12), 0u);
  EXPECT_EQ(bytes[lost + 36], kEntryFolder);
  EXPECT_EQ(bytes[lost + 37], 4);

  // C is a folder without children: no link, and no group of its own.
  std::size_t c = records[5].at;
  EXPECT_EQ(le32(bytes, c + 8), 0u);
  EXPECT_EQ(le32(bytes, c + 12), 0u);

  // The last file: a 64-bit size and a name beyond ASCII.
  std::size_t b = records[6].at;
  EXPECT_EQ(le64(bytes, b), 0x123456789ull);
  EXPECT_EQ(le32(bytes, b + 8), 0u);
  EXPECT_EQ(le32(bytes, b + 20), 30u);
  EXPECT_EQ(le32(bytes, b + 24), 11u);
  EXPECT_EQ(bytes[b + 37], 6);
  EXPECT_EQ(le16(bytes, b + 40 + 2), 0x00E9);
  EXPECT_EQ(records[6].at + 40 + 12, bytes.size());
}

TEST(FatScanInfoTree, OnlyLostIsOneRecordOf48Bytes) {
  FatTree tree;
  tree.reset(1);
  auto bytes = treeBytes(*tree.root());
  ASSERT_EQ(bytes.size(), 48u);
  EXPECT_EQ(le32(bytes, 8), 0u);
  EXPECT_EQ(le32(bytes, 12), 0u);
  EXPECT_EQ(bytes[37], 4);
  EXPECT_EQ(readUtf16(bytes, 40, 4), u"Lost");
}

TEST(FatScanInfoTree, AFolderOfFilesIsOneGroupAndEmptySubfoldersNone) {
  FatTree tree;
  tree.reset(2);
  FileEntry& root = *tree.root();
  FatTree::detach(*tree.lost());
  child(tree, root, u"empty", kEntryFolder | kEntryLive, 5);
  child(tree, root, u"one", kEntryLive, 6, 1);
  child(tree, root, u"two", kEntryLive, 7, 2);
  auto bytes = treeBytes(root);
  EXPECT_EQ(bytes.size(), 3 * 40 + 2 * (3 + 3 + 5));
}

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

TEST(FatScanInfoTree, ReadingBackGivesTheSameTreeWithParentsSet) {
  Sample s;
  auto path = writeBytes("sample-tree.bin", treeBytes(*s.tree.root()));
  int error = 0;
  ScanFileReader r(path.string(), error);
  FatTree back;
  FileEntry top;
  top.name = u"#";
  FileEntry& root = back.resetRoot(top);
  ASSERT_TRUE(readTree(back, root, r));
  EXPECT_EQ(r.remaining(), 0u);
  EXPECT_EQ(rows(root), rows(*s.tree.root()));
  EXPECT_EQ(back.size(), s.tree.size());
}

TEST(FatScanInfoTree, ATreeThatLoopsIsNotWritten) {
  Sample s;
  s.c->firstChild = s.a;  // C holds its own parent
  bool whole = true;
  treeBytes(*s.tree.root(), &whole);
  EXPECT_FALSE(whole);
  Sample t;
  t.aFile->nextSibling = t.aFile;  // a sibling list that comes back to itself
  treeBytes(*t.tree.root(), &whole);
  EXPECT_FALSE(whole);
}

// ---- Partition and disk scan information files ----

struct Engine {
  ov::test::RecordingHost host;
  RunControl run;
  FatEngine engine{host, run};
  std::string lastText() const { return host.log.empty() ? "" : host.log.back().name; }

  // Extracts `e` with the engine's source and current volume.
  std::vector<std::uint8_t> recover(const FileEntry& e, const std::string& as) {
    auto path = ov::test::scratchDir() / as;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FileExtractor extractor(engine.source(), engine.volume());
    run.start();
    EXPECT_TRUE(extractor.saveFileData(e, fd));
    run.stop();
    ::close(fd);
    return ov::test::readFile(path);
  }
};

void processVolume(Engine& e, std::size_t volume, bool turbo = false) {
  ASSERT_EQ(e.engine.openImage(ov::test::image("fat_mbr").string()), 0);
  ASSERT_TRUE(e.engine.readPartitionTable());
  ASSERT_TRUE(e.engine.selectVolume(volume));
  if (turbo) {
    ASSERT_TRUE(e.engine.turboScan(static_cast<std::uint32_t>(volume + 1)));
  } else {
    ASSERT_TRUE(e.engine.processFileSystem());
  }
}

// A partition scan information file of the first volume of fat_mbr, saved once per name.
fs::path savedScan(const std::string& name) {
  static std::map<std::string, fs::path> made;
  if (made.count(name)) return made[name];
  Engine e;
  processVolume(e, 0);
  fs::path path = ov::test::scratchDir() / ("fat-" + name);
  EXPECT_TRUE(savePartitionScanInfo(e.engine, path.string()));
  EXPECT_EQ(e.lastText(), "Partition scan information saved successfully.");
  return made[name] = path.string() + ".ovt";
}

// Where the tree starts in a partition file: after the volume records, state, magic, separator.
std::size_t treeStart(const std::vector<std::uint8_t>& bytes) {
  std::size_t at = kHeaderBytes;
  if (le32(bytes, 4 + 534) != 0) {
    while (le32(bytes, at + 61) != 0) at += 78;
    at += 78;
  }
  return at + 78 + 4 + 4;
}

void expectClosed(Engine& e, const std::string& text) {
  EXPECT_EQ(e.lastText(), text);
  EXPECT_EQ(e.host.log.back().kind, LogKind::Aborted);
  EXPECT_FALSE(e.engine.source().isOpen());
  EXPECT_TRUE(e.engine.tree().empty());
  EXPECT_TRUE(e.engine.volumes().empty());
  EXPECT_EQ(e.engine.volume(), FatVolume{});
}

TEST(FatPartitionScanInfo, LayoutOfTheFile) {
  Engine e;
  processVolume(e, 0);
  auto bytes = ov::test::readFile(savedScan("layout"));
  EXPECT_EQ(cut(bytes, 4), (std::vector<std::uint8_t>{0, 0, 1, 1}));
  auto source = decodeSourceBlock(Bytes(bytes.data() + 4, 542));
  ASSERT_TRUE(source);
  EXPECT_TRUE(source->hasVolumes);
  EXPECT_EQ(source->bytesPerSector, 512);
  EXPECT_EQ(source->totalSectors, e.engine.source().totalSectors());
  EXPECT_EQ(source->path, fs::absolute(e.engine.source().path()).string());

  const auto& volumes = e.engine.volumes();
  ASSERT_EQ(volumes.size(), 3u);
  std::size_t at = kHeaderBytes;
  for (std::size_t i = 0; i < volumes.size(); ++i, at += 78) {
    bool more = false;
    EXPECT_EQ(decodeFatVolume(Bytes(bytes.data() + at, 78), &more), volumes[i]);
    EXPECT_EQ(more, i + 1 < volumes.size());
    EXPECT_EQ(le32(bytes, at + 61) != 0, i + 1 < volumes.size());
  }
  EXPECT_EQ(decodeFatVolume(Bytes(bytes.data() + at, 78)), e.engine.volume());
  at += 78;
  EXPECT_EQ(le32(bytes, at), 0x01010000u);
  EXPECT_EQ(le32(bytes, at + 4), 0x01010101u);
  at += 8;
  EXPECT_EQ(at, treeStart(bytes));
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end()),
            treeBytes(*e.engine.tree().root()));
}

TEST(FatPartitionScanInfo, ReopensTheSameTreeAndRecoversTheSameBytes) {
  const json m = ov::test::manifest("fat_mbr");
  std::map<std::string, int> digests;
  for (const auto& f : m["files"])
    if (f.contains("sha256")) ++digests[f["sha256"].get<std::string>()];
  for (std::size_t volume = 0; volume < 3; ++volume) {
    for (bool turbo : {false, true}) {
      SCOPED_TRACE("volume " + std::to_string(volume) + (turbo ? " after a Turbo Scan" : " processed"));
      Engine original;
      processVolume(original, volume, turbo);
      std::string name = "fat-roundtrip-" + std::to_string(volume) + (turbo ? "t" : "p") + ".ovt";
      fs::path path = ov::test::scratchDir() / name;
      ASSERT_TRUE(savePartitionScanInfo(original.engine, path.string()));

      Engine reopened;
      ASSERT_TRUE(openPartitionScanInfo(reopened.engine, path.string()));
      EXPECT_EQ(reopened.lastText(), "Partition scan information opened successfully.");
      EXPECT_EQ(reopened.host.log.back().kind, LogKind::Completed);
      EXPECT_EQ(reopened.host.log.front().name, "Processing Scan Info File : " + path.filename().string());
      EXPECT_EQ(reopened.host.log.back().description, path.parent_path().string() + "/" + path.filename().string());
      EXPECT_EQ(reopened.engine.volumes(), original.engine.volumes());
      EXPECT_EQ(reopened.engine.volume(), original.engine.volume());
      EXPECT_EQ(reopened.engine.source().totalSectors(), original.engine.source().totalSectors());

      const FileEntry& before = *original.engine.tree().root();
      const FileEntry& after = *reopened.engine.tree().root();
      EXPECT_EQ(after.name, before.name);
      EXPECT_EQ(after.attributes, before.attributes);
      EXPECT_EQ(after.firstCluster, before.firstCluster);
      EXPECT_EQ(after.parent, nullptr);
      auto rowsAfter = rows(after);
      ASSERT_EQ(rowsAfter, rows(before));
      EXPECT_EQ(reopened.engine.tree().size(), original.engine.tree().size());
      ASSERT_NE(reopened.engine.tree().lost(), nullptr);
      EXPECT_EQ(reopened.engine.tree().lost()->name, u"Lost");
      EXPECT_EQ(reopened.engine.tree().lost()->parent, &after);

      // The same bytes come out of both engines, and they are the manifest's.
      std::vector<const FileEntry*> a, b;
      std::vector<const FileEntry*> pa{&before}, pb{&after};
      while (!pa.empty()) {
        const FileEntry* x = pa.back();
        const FileEntry* y = pb.back();
        pa.pop_back();
        pb.pop_back();
        const FileEntry* cy = y->firstChild;
        for (const FileEntry* cx = x->firstChild; cx && cy; cx = cx->nextSibling, cy = cy->nextSibling) {
          if (cx->firstChild) {
            pa.push_back(cx);
            pb.push_back(cy);
          }
          if (!cx->isFolder() && cx->dataSize > 0 && cx->firstCluster >= 2) {
            a.push_back(cx);
            b.push_back(cy);
          }
        }
      }
      ASSERT_EQ(a.size(), b.size());
      int known = 0;
      for (std::size_t i = 0; i < a.size(); ++i) {
        auto saved = original.recover(*a[i], "fat-before.bin");
        auto restored = reopened.recover(*b[i], "fat-after.bin");
        EXPECT_EQ(restored, saved) << utf16ToUtf8(b[i]->name);
        if (digests.count(ov::test::sha256Hex(restored))) ++known;
      }
      EXPECT_GE(known, 3);
    }
  }
}

TEST(FatPartitionScanInfo, AReopenedScanCanBeProcessedAgain) {
  Engine reopened;
  ASSERT_TRUE(openPartitionScanInfo(reopened.engine, savedScan("again").string()));
  auto saved = rows(*reopened.engine.tree().root());
  ASSERT_TRUE(reopened.engine.processFileSystem());
  EXPECT_EQ(rows(*reopened.engine.tree().root()), saved);
}

TEST(FatPartitionScanInfo, TruncatedFilesAreRefusedAndLeaveNothingOpen) {
  auto bytes = ov::test::readFile(savedScan("truncate"));
  std::size_t tree = treeStart(bytes);
  for (std::size_t length : {std::size_t{0}, std::size_t{3}, std::size_t{100}, kHeaderBytes, kHeaderBytes + 40,
                             kHeaderBytes + 3 * 78 + 10, tree - 6, tree - 1, tree, tree + 20, tree + 45,
                             bytes.size() / 2, bytes.size() - 1}) {
    SCOPED_TRACE(length);
    Engine e;
    EXPECT_FALSE(openPartitionScanInfo(e.engine, writeBytes("fat-cut.ovt", cut(bytes, length)).string()));
    expectClosed(e, "Not a valid Partition scan information.");
  }
}

TEST(FatPartitionScanInfo, WrongMagicsAreRefused) {
  auto bytes = ov::test::readFile(savedScan("magic"));
  std::size_t tree = treeStart(bytes);
  for (std::size_t at : {std::size_t{0}, tree - 8, tree - 4}) {
    SCOPED_TRACE(at);
    auto bad = bytes;
    bad[at] ^= 0x40;
    Engine e;
    EXPECT_FALSE(openPartitionScanInfo(e.engine, writeBytes("fat-magic.ovt", bad).string()));
    expectClosed(e, "Not a valid Partition scan information.");
  }
}

TEST(FatPartitionScanInfo, HostileCountsAndLinksAreRefused) {
  auto bytes = ov::test::readFile(savedScan("hostile"));
  const std::size_t tree = treeStart(bytes);
  auto refused = [](const std::vector<std::uint8_t>& file, const char* name) {
    Engine e;
    EXPECT_FALSE(openPartitionScanInfo(e.engine, writeBytes(name, file).string())) << name;
    expectClosed(e, "Not a valid Partition scan information.");
  };
  // A volume list that never ends: every record says another follows.
  auto chain = cut(bytes, tree - 8 - 78);
  for (std::size_t at = kHeaderBytes; at + 78 <= chain.size(); at += 78) writeLe<std::uint32_t>(chain, at + 61, 7);
  refused(chain, "fat-chain.ovt");

  // Absurd clusters in the state block would make every later cluster read allocate gigabytes.
  auto clusters = bytes;
  writeLe<std::uint32_t>(clusters, tree - 8 - 78 + 69, 0xFFFFFFF0u);
  refused(clusters, "fat-clusters.ovt");

  // A group whose records all say another follows, to the end of the file.
  auto group = cut(bytes, tree);
  for (int i = 0; i < 1000; ++i) {
    std::vector<std::uint8_t> record(40 + 2, 0);
    writeLe<std::uint32_t>(record, 8, 1);
    record[37] = 1;
    group.insert(group.end(), record.begin(), record.end());
  }
  refused(group, "fat-group.ovt");

  // Folders that each announce children, nested without end: the file runs out first.
  auto nested = cut(bytes, tree);
  for (int i = 0; i < 1000; ++i) {
    std::vector<std::uint8_t> record(40, 0);
    writeLe<std::uint32_t>(record, 12, 1);
    record[36] = kEntryFolder;
    nested.insert(nested.end(), record.begin(), record.end());
  }
  refused(nested, "fat-nested.ovt");

  // A name length longer than what is left of the file.
  auto name = cut(bytes, tree);
  std::vector<std::uint8_t> record(40 + 100, 0);
  record[37] = 255;
  name.insert(name.end(), record.begin(), record.end());
  refused(name, "fat-name.ovt");

  // A sector size that is no sector size.
  auto sector = bytes;
  writeLe<std::uint16_t>(sector, 4 + 516, 100);
  refused(sector, "fat-sector.ovt");
}

TEST(FatPartitionScanInfo, StoredParentAndNameFieldsAreNotFollowed) {
  // Parent and name fields that point anywhere, even in a loop, leave the tree as the groups say.
  auto bytes = ov::test::readFile(savedScan("parents"));
  auto odd = bytes;
  std::size_t records = 0;
  for (std::size_t at = treeStart(bytes); at < odd.size(); at += 40 + 2 * std::size_t{odd[at + 37]}, ++records) {
    writeLe<std::uint32_t>(odd, at + 16, 0xDEADBEEF);
    writeLe<std::uint32_t>(odd, at + 28, static_cast<std::uint32_t>(at));
    writeLe<std::uint16_t>(odd, at + 38, 0xFFFF);
    if (le32(odd, at + 8) != 0) writeLe<std::uint32_t>(odd, at + 8, 0x80000000u);
    if (le32(odd, at + 12) != 0) writeLe<std::uint32_t>(odd, at + 12, 0xFFFFFFFFu);
  }
  EXPECT_GT(records, 5u);
  Engine plain, changed;
  ASSERT_TRUE(openPartitionScanInfo(plain.engine, savedScan("parents").string()));
  ASSERT_TRUE(openPartitionScanInfo(changed.engine, writeBytes("fat-parents.ovt", odd).string()));
  EXPECT_EQ(rows(*changed.engine.tree().root()), rows(*plain.engine.tree().root()));
}

TEST(FatPartitionScanInfo, MissingDiskFailsWithItsCode) {
  auto bytes = ov::test::readFile(savedScan("missing"));
  SourceBlock block = *decodeSourceBlock(Bytes(bytes.data() + 4, 542));
  block.path = "/nonexistent/disk.img";
  auto stored = encodeSourceBlock(block);
  std::copy(stored.begin(), stored.end(), bytes.begin() + 4);
  Engine e;
  EXPECT_FALSE(openPartitionScanInfo(e.engine, writeBytes("fat-gone.ovt", bytes).string()));
  expectClosed(e, "Failed to open Partition scan information. Errorcode =2");
  Engine absent;
  EXPECT_FALSE(openPartitionScanInfo(absent.engine, (ov::test::scratchDir() / "no-such.ovt").string()));
  expectClosed(absent, "Failed to open Partition scan information. Errorcode =2");
}

TEST(FatPartitionScanInfo, AFailedOpenClosesWhatWasOpen) {
  Engine e;
  processVolume(e, 0);
  auto bytes = ov::test::readFile(savedScan("reset"));
  EXPECT_FALSE(openPartitionScanInfo(e.engine, writeBytes("fat-reset.ovt", cut(bytes, bytes.size() - 2)).string()));
  expectClosed(e, "Not a valid Partition scan information.");
}

TEST(FatPartitionScanInfo, FailedSavesLeaveNoFile) {
  Engine e;
  processVolume(e, 0);
  auto path = ov::test::scratchDir() / "no-such-folder" / "scan.ovt";
  EXPECT_FALSE(savePartitionScanInfo(e.engine, path.string()));
  EXPECT_EQ(e.lastText(), "Failed to save Partition scan information. Errorcode =2");
  EXPECT_EQ(e.host.log.back().kind, LogKind::Aborted);

  // A tree that loops is not saved, and the partly written file goes.
  FileEntry* lost = e.engine.tree().lost();
  FileEntry* saved = lost->firstChild;
  lost->firstChild = e.engine.tree().root();
  auto looping = ov::test::scratchDir() / "fat-looping.ovt";
  EXPECT_FALSE(savePartitionScanInfo(e.engine, looping.string()));
  EXPECT_EQ(e.lastText(), "Unknown error");
  EXPECT_FALSE(fs::exists(looping));
  lost->firstChild = saved;

  // Nothing processed: there is no tree to save.
  Engine fresh;
  ASSERT_EQ(fresh.engine.openImage(ov::test::image("fat_mbr").string()), 0);
  auto unprocessed = ov::test::scratchDir() / "fat-unprocessed.ovt";
  EXPECT_FALSE(savePartitionScanInfo(fresh.engine, unprocessed.string()));
  EXPECT_EQ(fresh.lastText(), "Unknown error");
  EXPECT_FALSE(fs::exists(unprocessed));
}

TEST(FatPartitionScanInfo, TheExtensionIsAppendedWhenMissing) {
  Engine e;
  processVolume(e, 0);
  auto path = ov::test::scratchDir() / "Named";
  ASSERT_TRUE(savePartitionScanInfo(e.engine, path.string()));
  EXPECT_TRUE(fs::exists(path.string() + ".ovt"));
  EXPECT_EQ(e.host.log.back().description, "Named.ovt");
  auto upper = ov::test::scratchDir() / "Upper.OVT";
  ASSERT_TRUE(savePartitionScanInfo(e.engine, upper.string()));
  EXPECT_TRUE(fs::exists(upper));
}

TEST(FatDiskScanInfo, SavesAndReopensTheVolumeList) {
  Engine e;
  ASSERT_EQ(e.engine.openImage(ov::test::image("fat_mbr").string()), 0);
  ASSERT_TRUE(e.engine.readPartitionTable());
  ASSERT_EQ(e.engine.volumes().size(), 3u);
  auto path = ov::test::scratchDir() / "fat-disk";
  ASSERT_TRUE(saveDiskScanInfo(e.engine, path.string()));
  EXPECT_EQ(e.host.log[e.host.log.size() - 2].name, "Saving Scan Info File : fat-disk.ovd");
  EXPECT_EQ(e.lastText(), "Disk scan information saved successfully.");
  auto bytes = ov::test::readFile(path.string() + ".ovd");
  ASSERT_EQ(bytes.size(), kHeaderBytes + 3 * 78);
  EXPECT_EQ(cut(bytes, 4), (std::vector<std::uint8_t>{1, 1, 0, 0}));
  EXPECT_NE(le32(bytes, 4 + 534), 0u);
  EXPECT_NE(le32(bytes, kHeaderBytes + 61), 0u);
  EXPECT_NE(le32(bytes, kHeaderBytes + 78 + 61), 0u);
  EXPECT_EQ(le32(bytes, kHeaderBytes + 2 * 78 + 61), 0u);

  Engine reopened;
  ASSERT_TRUE(openDiskScanInfo(reopened.engine, path.string() + ".ovd"));
  EXPECT_EQ(reopened.lastText(), "Disk scan information opened successfully.");
  EXPECT_EQ(reopened.engine.volumes(), e.engine.volumes());
  EXPECT_EQ(reopened.engine.source().totalSectors(), e.engine.source().totalSectors());
  EXPECT_EQ(reopened.engine.source().bytesPerSector(), 512);
  EXPECT_TRUE(reopened.engine.tree().empty());
  // A volume from the reopened list is processed as usual.
  ASSERT_TRUE(reopened.engine.selectVolume(1));
  EXPECT_TRUE(reopened.engine.processFileSystem());
  EXPECT_FALSE(reopened.engine.tree().empty());
}

TEST(FatDiskScanInfo, NoVolumesMeansAZeroHead) {
  Engine e;
  ASSERT_EQ(e.engine.openImage(ov::test::image("fat_mbr").string()), 0);
  auto path = ov::test::scratchDir() / "fat-empty.ovd";
  ASSERT_TRUE(saveDiskScanInfo(e.engine, path.string()));
  auto bytes = ov::test::readFile(path);
  ASSERT_EQ(bytes.size(), kHeaderBytes);
  EXPECT_EQ(le32(bytes, 4 + 534), 0u);
  Engine reopened;
  EXPECT_TRUE(openDiskScanInfo(reopened.engine, path.string()));
  EXPECT_TRUE(reopened.engine.volumes().empty());
}

TEST(FatDiskScanInfo, DamagedFilesAndMissingDisksAreRefused) {
  Engine e;
  ASSERT_EQ(e.engine.openImage(ov::test::image("fat_mbr").string()), 0);
  ASSERT_TRUE(e.engine.readPartitionTable());
  auto path = ov::test::scratchDir() / "fat-damaged.ovd";
  ASSERT_TRUE(saveDiskScanInfo(e.engine, path.string()));
  auto bytes = ov::test::readFile(path);
  for (std::size_t length : {std::size_t{0}, std::size_t{2}, kHeaderBytes - 1, kHeaderBytes + 77, bytes.size() - 1}) {
    SCOPED_TRACE(length);
    Engine r;
    EXPECT_FALSE(openDiskScanInfo(r.engine, writeBytes("fat-cut.ovd", cut(bytes, length)).string()));
    expectClosed(r, "Not a valid Disk scan information");
  }
  auto endless = bytes;
  writeLe<std::uint32_t>(endless, kHeaderBytes + 2 * 78 + 61, 1);
  Engine r;
  EXPECT_FALSE(openDiskScanInfo(r.engine, writeBytes("fat-endless.ovd", endless).string()));
  expectClosed(r, "Not a valid Disk scan information");

  SourceBlock block = *decodeSourceBlock(Bytes(bytes.data() + 4, 542));
  block.path = "/nonexistent/disk.img";
  auto stored = encodeSourceBlock(block);
  auto gone = bytes;
  std::copy(stored.begin(), stored.end(), gone.begin() + 4);
  Engine g;
  EXPECT_FALSE(openDiskScanInfo(g.engine, writeBytes("fat-gone.ovd", gone).string()));
  expectClosed(g, "Failed to open Disk scan information. Errorcode =2");
  EXPECT_EQ(g.host.log.back().description, ov::test::scratchDir().string() + "/fat-gone.ovd");
}

TEST(FatScanInfoKinds, EachReaderRefusesTheOtherKind) {
  auto ovt = savedScan("kinds");
  Engine e;
  ASSERT_EQ(e.engine.openImage(ov::test::image("fat_mbr").string()), 0);
  e.engine.readPartitionTable();
  auto ovd = ov::test::scratchDir() / "fat-kinds.ovd";
  ASSERT_TRUE(saveDiskScanInfo(e.engine, ovd.string()));
  Engine a, b;
  EXPECT_FALSE(openPartitionScanInfo(a.engine, ovd.string()));
  expectClosed(a, "Not a valid Partition scan information.");
  EXPECT_FALSE(openDiskScanInfo(b.engine, ovt.string()));
  expectClosed(b, "Not a valid Disk scan information");
}

TEST(FatScanInfoNames, DefaultNamesNameTheFatEngine) {
  std::tm t{};
  t.tm_year = 108;
  t.tm_mon = 8;
  t.tm_mday = 9;
  t.tm_wday = 2;
  EXPECT_EQ(fatPartitionScanDefaultName(t), "OV FAT Scan Info# 09-Sept-2008.ovt");
  EXPECT_EQ(fatDiskScanDefaultName(t), "OV FAT Scan Information # Tue, 09-Sept-2008");
}

}  // namespace
}  // namespace ov::fat
