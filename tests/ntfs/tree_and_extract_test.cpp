// The NTFS extractor's limits on synthetic data. Where the tree builder attaches what the walk and
// the Turbo Scan find is checked against the manifests of the images (tests/e2e).

#include "ntfs/extract.h"
#include "tests/support/builders.h"

namespace ov::ntfs {
namespace {

// A volume in memory: 4096-byte clusters at 512-byte sectors, the record at sector 8, data at
// cluster 10.
struct ExtractFixture : test::Source {
  NtfsVolume volume;
  std::vector<std::uint8_t> disk = std::vector<std::uint8_t>(64 * 4096, 0);

  ExtractFixture() {
    volume.params = {.bytesPerMftRecord = 1024, .bytesPerCluster = 4096, .bytesPerSector = 512, .sectorsPerMftRecord = 2,
                     .sectorsPerCluster = 8};
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

TEST(FileExtractor, AnEmptyFileWritesNothingAndAnInvalidRecordFails) {
  bool ok = false;
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
