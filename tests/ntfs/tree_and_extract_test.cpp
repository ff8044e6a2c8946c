// The NTFS tree builder's attachment rules and the extractor's limits, on synthetic data.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "ntfs/directory_tree.h"
#include "ntfs/extract.h"
#include "tests/support/builders.h"

namespace ov::ntfs {
namespace {

FileEntry entry(const std::u16string& name, std::uint32_t record, std::uint32_t parent, bool folder) {
  FileEntry e;
  e.name = name;
  e.recordNumber = record;
  e.parentRecord = parent;
  e.attributes = folder ? 0x18 : 0x08;
  return e;
}

TEST(TreeBuilder, AttachesChildrenToTheirFoldersWhateverTheOrder) {
  test::RecordingHost host;
  WorkingFiles files(host);
  ASSERT_TRUE(files.create());
  TreeBuilder tree(files);
  // Files of a missing parent share one numbered folder under the top.
  tree.addFile(entry(u"a.txt", 100, 1234, false));
  tree.addFile(entry(u"b.txt", 101, 1234, false));
  // A folder found after its children takes them over; a folder is listed once, files each time.
  tree.addFile(entry(u"child.txt", 102, 70, false));
  EXPECT_TRUE(tree.addFolder(entry(u"Docs", 70, 5, true)));
  EXPECT_FALSE(tree.addFolder(entry(u"Docs", 70, 5, true)));
  tree.addFile(entry(u"x", 80, 70, false));
  tree.addFile(entry(u"x", 80, 70, false));
  tree.finish();
  files.finishWriting();
  ASSERT_TRUE(files.open());
  auto folder = [&](std::uint32_t block) {
    std::uint64_t total = 0;
    std::uint32_t f = 0, d = 0;
    return files.readFolder(block, total, f, d, true);
  };
  auto top = folder(0);
  ASSERT_EQ(top.size(), 2u);  // " Root" and "#1234", no "#70"
  const FileEntry& missing = top[0].name == u"#1234" ? top[0] : top[1];
  EXPECT_EQ(missing.name, u"#1234");
  EXPECT_EQ(missing.attributes, 0x10);
  EXPECT_EQ(folder(missing.childrenBlock).size(), 2u);
  auto root = folder(128);
  ASSERT_EQ(root.size(), 1u);
  EXPECT_EQ(root[0].name, u"Docs");
  EXPECT_EQ(folder(root[0].childrenBlock).size(), 3u);
  // A record without a name is shown by its number.
  RecordFacts facts;
  facts.recordNumber = 77;
  EXPECT_EQ(entryFromFacts(facts, 10).name, u"#77");
}

// A volume in memory: 4096-byte clusters at 512-byte sectors, the record at sector 8, data at
// cluster 10.
struct ExtractFixture {
  test::RecordingHost host;
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
  void open(const std::vector<std::uint8_t>& record) {
    std::copy(record.begin(), record.end(), disk.begin() + 8 * 512);
    source.openBackend(std::make_unique<MemoryBackend>(disk), 512, disk.size() / 512);
  }
  std::vector<std::uint8_t> save(std::uint64_t size, bool& ok) {
    auto path = test::scratchDir() / "extract.bin";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FileExtractor extractor(source, volume);
    ok = extractor.saveFileData(8, size, fd);
    ::close(fd);
    return test::readFile(path);
  }
};

std::vector<std::uint8_t> fileRecord(std::uint16_t dataFlags = 0) {
  auto r = test::RecordBuilder()
               .standardInformation(1, 1)
               .fileName(u"f")
               .nonResident(0x80, 1, 8192, 5000, 5000, 2, 10)
               .finish(512, 1024);
  writeLe<std::uint16_t>(r, 56 + 0x60 + 0x60 + 0x0C, dataFlags);  // the data attribute's flags
  return r;
}

TEST(FileExtractor, WritesTheDataSizeAndNothingForAnInvalidRecord) {
  bool ok = false;
  ExtractFixture plain;
  plain.open(fileRecord());
  auto out = plain.save(5000, ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(out, std::vector<std::uint8_t>(plain.disk.begin() + 10 * 4096, plain.disk.begin() + 10 * 4096 + 5000));

  ExtractFixture empty;
  empty.open(test::RecordBuilder().standardInformation(1, 1).fileName(u"f").resident(0x80, {}).finish(512, 1024));
  EXPECT_TRUE(empty.save(0, ok).empty());
  EXPECT_TRUE(ok);

  ExtractFixture invalid;
  invalid.open(std::vector<std::uint8_t>(1024, 0));
  EXPECT_TRUE(invalid.save(100, ok).empty());
  EXPECT_FALSE(ok);
}

TEST(FileExtractor, PreviewsAreBoundedAndCompressedDataIsNotPreviewed) {
  ExtractFixture f;
  f.open(fileRecord());
  FileExtractor extractor(f.source, f.volume);
  EXPECT_FALSE(extractor.loadPreview(8, 40u << 20));
  EXPECT_FALSE(extractor.loadPreview(8, 0));
  auto preview = extractor.loadPreview(8, 5000);
  ASSERT_TRUE(preview);
  EXPECT_EQ(preview->size(), 5000u);
  ExtractFixture c;
  c.open(fileRecord(0x0001));
  FileExtractor compressed(c.source, c.volume);
  EXPECT_FALSE(compressed.loadPreview(8, 5000));
  ASSERT_EQ(c.host.messages.size(), 1u);
  EXPECT_EQ(c.host.messages[0].title, "Compressed data");
  EXPECT_EQ(c.host.messages[0].text, "Preview not available");
}

}  // namespace
}  // namespace ov::ntfs
