// An image of a 4096-byte-sector volume without its table; the committed images are in tests/e2e.

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
