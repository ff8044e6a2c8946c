// The tree builder's attachment rules and the extractor's limits, on synthetic data.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "ntfs/directory_tree.h"
#include "ntfs/extract.h"
#include "tests/ntfs/ntfs_builders.h"
#include "tests/support/test_support.h"

namespace ov::ntfs {
namespace {

struct TreeFixture {
  ov::test::RecordingHost host;
  WorkingFiles files{host};
  TreeFixture() { EXPECT_TRUE(files.create()); }

  FileEntry entry(const std::u16string& name, std::uint32_t record, std::uint32_t parent, bool folder) {
    FileEntry e;
    e.name = name;
    e.recordNumber = record;
    e.parentRecord = parent;
    e.attributes = folder ? 0x18 : 0x08;
    return e;
  }
  std::vector<FileEntry> folder(std::uint32_t block) {
    std::uint64_t total = 0;
    std::uint32_t f = 0, d = 0;
    return files.readFolder(block, total, f, d, true);
  }
  void done() {
    TreeBuilder(files).finish();
    files.finishWriting();
    ASSERT_TRUE(files.open());
  }
};

TEST(TreeBuilder, FilesOfAMissingParentShareOneNumberedFolderUnderTheTop) {
  TreeFixture t;
  TreeBuilder tree(t.files);
  tree.addFile(t.entry(u"a.txt", 100, 1234, false));
  tree.addFile(t.entry(u"b.txt", 101, 1234, false));
  t.done();
  auto top = t.folder(0);
  ASSERT_EQ(top.size(), 2u);
  const FileEntry& missing = top[0].name == u"#1234" ? top[0] : top[1];
  EXPECT_EQ(missing.name, u"#1234");
  EXPECT_EQ(missing.attributes, 0x10);
  EXPECT_EQ(missing.recordNumber, 1234u);
  EXPECT_EQ(t.folder(missing.childrenBlock).size(), 2u);
}

TEST(TreeBuilder, FolderFoundAfterItsChildrenTakesThemOver) {
  TreeFixture t;
  TreeBuilder tree(t.files);
  tree.addFile(t.entry(u"child.txt", 100, 70, false));
  EXPECT_TRUE(tree.addFolder(t.entry(u"Docs", 70, 5, true)));
  t.done();
  auto top = t.folder(0);
  ASSERT_EQ(top.size(), 1u);  // only " Root": no "#70"
  auto root = t.folder(top[0].childrenBlock);
  ASSERT_EQ(root.size(), 1u);
  EXPECT_EQ(root[0].name, u"Docs");
  auto docs = t.folder(root[0].childrenBlock);
  ASSERT_EQ(docs.size(), 1u);
  EXPECT_EQ(docs[0].name, u"child.txt");
}

TEST(TreeBuilder, AFolderIsListedOnceAndFilesEveryTime) {
  TreeFixture t;
  TreeBuilder tree(t.files);
  EXPECT_TRUE(tree.addFolder(t.entry(u"Docs", 70, 5, true)));
  EXPECT_FALSE(tree.addFolder(t.entry(u"Docs", 70, 5, true)));
  tree.addFile(t.entry(u"x", 80, 70, false));
  tree.addFile(t.entry(u"x", 80, 70, false));
  t.done();
  auto root = t.folder(128);
  ASSERT_EQ(root.size(), 1u);
  EXPECT_EQ(t.folder(root[0].childrenBlock).size(), 2u);
}

TEST(TreeBuilder, NamelessRecordIsShownByItsNumber) {
  RecordFacts facts;
  facts.recordNumber = 77;
  EXPECT_EQ(entryFromFacts(facts, 10).name, u"#77");
}

// A volume in memory: 4096-byte clusters at 512-byte sectors, the record at sector 8.
struct ExtractFixture {
  ov::test::RecordingHost host;
  RunControl run;
  SectorSource source{host, run};
  NtfsVolume volume;
  std::vector<std::uint8_t> disk = std::vector<std::uint8_t>(64 * 4096, 0);

  ExtractFixture() {
    auto& p = volume.params;
    p.bytesPerSector = 512;
    p.sectorsPerCluster = 8;
    p.bytesPerCluster = 4096;
    p.bytesPerMftRecord = 1024;
    p.sectorsPerMftRecord = 2;
    for (std::size_t i = 0; i < 2 * 4096; ++i) disk[10 * 4096 + i] = static_cast<std::uint8_t>(i * 7);
  }
  void putRecord(const std::vector<std::uint8_t>& record) { std::memcpy(disk.data() + 8 * 512, record.data(), 1024); }
  std::vector<std::uint8_t> save(std::uint64_t size, bool* ok = nullptr) {
    source.openBackend(std::make_unique<MemoryBackend>(disk), 512, disk.size() / 512);
    auto path = ov::test::scratchDir() / "extract.bin";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FileExtractor extractor(source, volume);
    bool saved = extractor.saveFileData(8, size, fd);
    ::close(fd);
    if (ok) *ok = saved;
    return ov::test::readFile(path);
  }
};

TEST(FileExtractor, PlainDataStopsAtTheDataSize) {
  ExtractFixture f;
  test::RecordBuilder b;
  b.standardInformation(1, 1).fileName(u"f").nonResident(0x80, 1, 8192, 5000, 5000, 2, 10);
  f.putRecord(b.finish(512, 1024));
  auto out = f.save(5000);
  ASSERT_EQ(out.size(), 5000u);
  EXPECT_EQ(0, std::memcmp(out.data(), f.disk.data() + 10 * 4096, 5000));
}

TEST(FileExtractor, EmptyResidentFileGivesAnEmptyOutput) {
  ExtractFixture f;
  test::RecordBuilder b;
  b.standardInformation(1, 1).fileName(u"f").resident(0x80, {});
  f.putRecord(b.finish(512, 1024));
  bool ok = false;
  EXPECT_TRUE(f.save(0, &ok).empty());
  EXPECT_TRUE(ok);
}

TEST(FileExtractor, InvalidRecordWritesNothing) {
  ExtractFixture f;
  bool ok = true;
  EXPECT_TRUE(f.save(100, &ok).empty());
  EXPECT_FALSE(ok);
}

TEST(FileExtractor, PreviewLimitsAndCompressedData) {
  ExtractFixture f;
  test::RecordBuilder b;
  b.standardInformation(1, 1).fileName(u"f").nonResident(0x80, 1, 8192, 5000, 5000, 2, 10);
  auto record = b.finish(512, 1024);
  f.putRecord(record);
  f.source.openBackend(std::make_unique<MemoryBackend>(f.disk), 512, f.disk.size() / 512);
  FileExtractor extractor(f.source, f.volume);
  EXPECT_FALSE(extractor.loadPreview(8, 40u << 20));
  EXPECT_FALSE(extractor.loadPreview(8, 0));
  auto preview = extractor.loadPreview(8, 5000);
  ASSERT_TRUE(preview);
  EXPECT_EQ(preview->size(), 5000u);
  // The same record marked compressed: no preview, a message instead.
  writeLe<std::uint16_t>(record, 56 + 0x60 + 0x60 + 0x0C, 0x0001);  // the data attribute's flags
  f.putRecord(record);
  f.source.openBackend(std::make_unique<MemoryBackend>(f.disk), 512, f.disk.size() / 512);
  FileExtractor compressed(f.source, f.volume);
  EXPECT_FALSE(compressed.loadPreview(8, 5000));
  ASSERT_EQ(f.host.messages.size(), 1u);
  EXPECT_EQ(f.host.messages[0].title, "Compressed data");
  EXPECT_EQ(f.host.messages[0].text, "Preview not available");
}

}  // namespace
}  // namespace ov::ntfs
