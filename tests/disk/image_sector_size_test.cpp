// The sector size of raw disk images, judged from their partition tables and boot sectors. The
// committed images (sfdisk on a loop device with 4096-byte sectors, mkntfs, mkfs.fat) open with
// their manifest's sector size in tests/e2e (volumes_on_images_test.cpp; ovrecover --sector-size
// in ovrecover_test.cpp); here, an image of a 4096-byte-sector volume without its table.

#include "disk/image_sector_size.h"
#include "tests/support/test_support.h"

namespace ov {
namespace {

TEST(ImageSectorSize, AVolumeWithoutItsTableIsJudgedByItsBootSector) {
  auto disk = ov::test::readFile(ov::test::image("ntfs_4kn_gpt"));
  MemoryBackend volume(std::vector<std::uint8_t>(disk.begin() + 256 * 4096, disk.end()));
  EXPECT_EQ(detectImageSectorSize(volume), 4096);
  MemoryBackend table(std::vector<std::uint8_t>(disk.begin(), disk.begin() + 64 * 4096));
  EXPECT_EQ(detectImageSectorSize(table), 4096);
}

}  // namespace
}  // namespace ov
