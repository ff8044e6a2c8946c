#include "disk/gpt.h"

#include <zlib.h>

#include "tests/support/builders.h"

namespace ov {
namespace {

std::uint32_t crc(const std::uint8_t* data, std::size_t n) {
  return static_cast<std::uint32_t>(crc32(crc32(0L, Z_NULL, 0), data, static_cast<uInt>(n)));
}

bool readsATable(const std::vector<std::uint8_t>& disk) {
  test::MemoryDisk d(disk.size() / 512);
  d.bytes = disk;
  std::vector<GptPartition> partitions;
  bool usedBackup = false;
  return readGpt(d.open(), partitions, usedBackup);
}

// The table sfdisk wrote; with either copy damaged it is read in tests/e2e/volumes_on_images_test.cpp.
TEST(Gpt, BothCopiesDamagedMeansNoTable) {
  auto disk = test::readFile(test::image("gpt_disk"));
  ASSERT_TRUE(readsATable(disk));
  disk[512 + 30] ^= 1;
  disk[disk.size() - 512 + 30] ^= 1;
  EXPECT_FALSE(readsATable(disk));
}

TEST(Gpt, AbsurdEntryCountsAreRefusedWithoutReading) {
  std::vector<std::uint8_t> h(512, 0);
  std::memcpy(h.data(), "EFI PART", 8);
  writeLe<std::uint32_t>(h, 12, 92);
  writeLe<std::uint32_t>(h, 80, 0xFFFFFFFF);
  writeLe<std::uint32_t>(h, 84, 128);
  writeLe<std::uint32_t>(h, 16, crc(h.data(), 92));
  GptHeader header;
  EXPECT_FALSE(parseGptHeader(h, header));
  writeLe<std::uint32_t>(h, 80, 4);
  writeLe<std::uint32_t>(h, 84, 0x10000000);
  writeLe<std::uint32_t>(h, 16, 0);
  writeLe<std::uint32_t>(h, 16, crc(h.data(), 92));
  EXPECT_FALSE(parseGptHeader(h, header));
}

}  // namespace
}  // namespace ov
