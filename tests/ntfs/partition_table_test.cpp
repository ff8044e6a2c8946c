#include <gtest/gtest.h>

#include "disk/sector_source.h"
#include "ntfs/volume_finder.h"
#include "tests/ntfs/ntfs_builders.h"
#include "tests/support/test_support.h"

namespace ov::ntfs {
namespace {

constexpr std::size_t kSectors = 4096;

struct Disk {
  std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kSectors * 512, 0);
  void entry(std::uint64_t table, int index, std::uint8_t type, std::uint32_t first, std::uint32_t count) {
    std::size_t at = table * 512 + 0x1BE + 16 * static_cast<std::size_t>(index);
    bytes[at + 4] = type;
    writeLe<std::uint32_t>(bytes, at + 8, first);
    writeLe<std::uint32_t>(bytes, at + 12, count);
    writeLe<std::uint16_t>(bytes, table * 512 + 0x1FE, 0xAA55);
  }
  void boot(std::uint64_t sector, test::BootFields f = {}) {
    auto b = test::bootSector(f);
    std::copy(b.begin(), b.end(), bytes.begin() + static_cast<std::ptrdiff_t>(sector * 512));
  }
};

std::vector<LogicalVolume> walk(Disk& disk, bool* result = nullptr) {
  ov::test::RecordingHost host;
  RunControl run;
  SectorSource source(host, run);
  source.openBackend(std::make_unique<MemoryBackend>(disk.bytes), 512, kSectors);
  std::vector<LogicalVolume> volumes;
  bool found = readPartitionTable(source, volumes);
  if (result) *result = found;
  return volumes;
}

TEST(PartitionTable, PrimaryAndLogicalVolumesInTableOrder) {
  Disk d;
  d.entry(0, 0, 0x07, 63, 100);
  d.entry(0, 1, 0x05, 1000, 2000);
  d.entry(0, 2, 0x07, 200, 300);
  d.boot(63);
  d.boot(200);
  // First logical: table at 1000, volume at 1000 + 63; link to the next table relative to 1000.
  d.entry(1000, 0, 0x07, 63, 400);
  d.entry(1000, 1, 0x05, 500, 600);
  d.boot(1063);
  d.entry(1500, 0, 0x07, 63, 300);
  d.boot(1563);
  bool found = false;
  auto v = walk(d, &found);
  EXPECT_TRUE(found);
  ASSERT_EQ(v.size(), 4u);
  EXPECT_EQ(v[0].startSector, 63u);
  EXPECT_EQ(v[0].sectorCount, 100u);
  EXPECT_EQ(v[1].startSector, 200u);
  EXPECT_EQ(v[2].startSector, 1063u);
  EXPECT_EQ(v[2].sectorCount, 400u);
  EXPECT_EQ(v[3].startSector, 1563u);
  for (const auto& vol : v) EXPECT_EQ(vol.foundBy, 0);
}

TEST(PartitionTable, FirstEntryOfTypeZeroYieldsNothing) {
  Disk d;
  d.entry(0, 1, 0x07, 63, 100);
  d.boot(63);
  bool found = true;
  EXPECT_TRUE(walk(d, &found).empty());
  EXPECT_FALSE(found);
}

TEST(PartitionTable, EntryWhoseBootSectorFailsIsSkipped) {
  Disk d;
  d.entry(0, 0, 0x07, 63, 100);
  d.entry(0, 1, 0x07, 300, 100);
  d.boot(300);
  auto v = walk(d);
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0].startSector, 300u);
}

TEST(PartitionTable, MissingSignatureYieldsNothing) {
  Disk d;
  d.entry(0, 0, 0x07, 63, 100);
  d.boot(63);
  d.bytes[0x1FE] = 0;
  EXPECT_TRUE(walk(d).empty());
}

TEST(PartitionTable, ExtendedChainThatLoopsBackEnds) {
  Disk d;
  d.entry(0, 0, 0x05, 1000, 100);
  d.entry(1000, 0, 0x07, 63, 50);
  d.entry(1000, 1, 0x05, 0, 100);  // links back to the first extended table
  d.boot(1063);
  auto v = walk(d);
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0].startSector, 1063u);
}

TEST(PartitionTable, EntriesPastTheEndOfTheSourceAreSkipped) {
  Disk d;
  d.entry(0, 0, 0x07, 0xFFFFFFF0u, 100);
  d.entry(0, 1, 0x05, 0xFFFFFF00u, 100);
  EXPECT_TRUE(walk(d).empty());
}

TEST(PartitionTable, EmptySourceYieldsNothing) {
  ov::test::RecordingHost host;
  RunControl run;
  SectorSource source(host, run);
  std::vector<LogicalVolume> volumes{LogicalVolume{}};
  EXPECT_FALSE(readPartitionTable(source, volumes));
  EXPECT_TRUE(volumes.empty());
}

}  // namespace
}  // namespace ov::ntfs
