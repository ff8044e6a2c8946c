// The sector size of raw disk images, judged from their partition tables and boot sectors, on
// images made by sfdisk (on a loop device with 4096-byte sectors), mkntfs and mkfs.fat.
#include <gtest/gtest.h>

#include "disk/image_sector_size.h"
#include "disk/sector_source.h"
#include "tests/support/test_support.h"

namespace ov {
namespace {

TEST(ImageSectorSize, ComesFromThePartitionTableAndTheBootSectors) {
  struct Row {
    const char* image;
    std::uint16_t detected;  // 0: nothing points away from 512
  };
  const Row rows[] = {{"ntfs_4kn_gpt", 4096},      {"ntfs_4kn_mbr", 4096},     {"sample", 0},
                      {"gpt_disk", 0},             {"mbr_ntfs_fat", 0},        {"ntfs_volume_only", 0},
                      {"fat32_volume_only", 0},    {"fat16_not_ntfs", 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.image);
    const auto path = ov::test::image(row.image);
    int error = 0;
    auto backend = FileBackend::open(path.string(), error);
    ASSERT_TRUE(backend);
    EXPECT_EQ(detectImageSectorSize(*backend), row.detected);

    // The source opens with it, unless the user names another size.
    test::RecordingHost host;
    RunControl run;
    SectorSource source(host, run);
    ASSERT_EQ(source.openImage(path.string()), 0);
    const auto m = ov::test::manifest(row.image);
    EXPECT_EQ(source.bytesPerSector(), m["bytes_per_sector"].get<std::uint16_t>());
    EXPECT_EQ(source.totalSectors(), m["total_sectors"].get<std::uint64_t>());
    source.setSectorSizeOverride(512);
    ASSERT_EQ(source.openImage(path.string()), 0);
    EXPECT_EQ(source.bytesPerSector(), 512);
  }

  // An image of the 4096-byte-sector volume alone: its boot sector says so.
  auto disk = ov::test::readFile(ov::test::image("ntfs_4kn_gpt"));
  MemoryBackend volume(std::vector<std::uint8_t>(disk.begin() + 256 * 4096, disk.end()));
  EXPECT_EQ(detectImageSectorSize(volume), 4096);
}

}  // namespace
}  // namespace ov
