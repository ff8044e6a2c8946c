// The FAT partition-table walk and searches on hostile disks built in memory; the images are in tests/e2e.

#include "fat/fat_search.h"
#include "tests/support/builders.h"

namespace ov::fat {
namespace {

using test::FatBootFields;
using test::MemoryDisk;
using Buffer = std::vector<std::uint8_t>;

const FatBootFields kFloppy{512, 1, 1, 9, 2880, 0x12345678u};

Buffer fat16Start() { return {0xF8, 0xFF, 0xFF, 0xFF, 0x03, 0x00, 0xFF, 0xFF}; }
Buffer fat32Start() { return {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF}; }

// A folder's first sector: "." naming `cluster`, then "..".
Buffer directoryStart(std::uint32_t cluster) {
  return test::fatEntries({test::fatEntry(".          ", 0x10, cluster, 0, 0), test::fatEntry("..         ", 0x10, 0, 0, 0)});
}

struct Expected {
  std::uint64_t start;
  std::uint8_t type;
  std::uint64_t sectors = 0;  // 0: not checked
  int foundBy = -1;           // -1: not checked
};

void expectVolumes(const std::vector<FatVolume>& got, const std::vector<Expected>& expected) {
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE("volume " + std::to_string(i));
    EXPECT_EQ(got[i].startSector, expected[i].start);
    EXPECT_EQ(got[i].fatType, expected[i].type);
    if (expected[i].sectors) {
      EXPECT_EQ(got[i].sectorCount, expected[i].sectors);
    }
    if (expected[i].foundBy >= 0) {
      EXPECT_EQ(got[i].foundBy, expected[i].foundBy);
    }
  }
}

// A floppy or another file system at sector 0: the image tables (fat12_floppy, ntfs_volume_only).
TEST(FatPartitionTable, ListsTheVolumesTheTablesHoldByTheirBootSectors) {
  struct Row {
    const char* what;
    std::function<void(MemoryDisk&)> build;
    std::vector<Expected> volumes;
    PartitionTableKind kind = PartitionTableKind::Mbr;
  };
  const std::vector<Row> rows = {
      {"hidden types are not listed",
       [](MemoryDisk& d) {
         const std::uint8_t hidden[] = {0x11, 0x1B, 0x1C, 0x1E};
         for (int i = 0; i < 4; ++i) {
           d.entry(0, i, hidden[i], static_cast<std::uint32_t>(100 + 100 * i), 100000);
           d.put(static_cast<std::uint64_t>(100 + 100 * i), i == 3 ? test::fat16BootSector() : test::fat32BootSector());
         }
       },
       {}},
      {"a first entry of type 0",
       [](MemoryDisk& d) {
         d.entry(0, 1, 0x06, 63, 100000);
         d.put(63, test::fat16BootSector());
       },
       {}},
      {"the boot sector decides the kind, whatever the type says",
       [](MemoryDisk& d) {
         d.entry(0, 0, 0x0C, 63, 100000);
         d.put(63, test::fat16BootSector());
         d.entry(0, 1, 0x01, 300, 100000);
         d.put(300, test::fat16BootSector({512, 4, 4, 80, 60000, 1}));
         d.entry(0, 2, 0x04, 500, 100000);
         d.put(500, test::fat32BootSector());
         d.entry(0, 3, 0x06, 1000, 100000);
         d.put(1000, test::fat16BootSector(kFloppy));
       },
       {{63, kFat16}, {300, kFat16}, {500, kFat32}, {1000, kFat16}}},
      {"no signature",
       [](MemoryDisk& d) {
         d.entry(0, 0, 0x06, 63, 100000);
         d.put(63, test::fat16BootSector());
         d.bytes[0x1FE] = 0;
       },
       {}, PartitionTableKind::None},
      {"an extended chain that loops back",
       [](MemoryDisk& d) {
         d.entry(0, 0, 0x0F, 1000, 100);
         d.entry(1000, 0, 0x0B, 63, 70000);
         d.entry(1000, 1, 0x05, 0, 100);
         d.put(1063, test::fat32BootSector());
       },
       {{1063, kFat32}}},
      {"two extended tables that point at each other",
       [](MemoryDisk& d) {
         d.entry(0, 0, 0x85, 1000, 100);
         d.entry(1000, 0, 0x0B, 63, 70000);
         d.entry(1000, 1, 0x05, 500, 100);
         d.entry(1500, 0, 0x0B, 63, 70000);
         d.entry(1500, 1, 0x05, 0, 100);
         d.put(1063, test::fat32BootSector());
         d.put(1563, test::fat32BootSector());
       },
       {{1063, kFat32}, {1563, kFat32}}},
      {"an MBR without a FAT volume", [](MemoryDisk& d) { d.entry(0, 0, 0x07, 63, 1000); }, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    MemoryDisk d(4096);
    row.build(d);
    std::vector<FatVolume> volumes;
    PartitionTableKind kind = PartitionTableKind::Gpt;
    EXPECT_EQ(readFatPartitionTable(d.open(), volumes, &kind), !row.volumes.empty());
    expectVolumes(volumes, row.volumes);
    EXPECT_EQ(kind, row.kind);
  }
  // A partition smaller than its FATs has no clusters; a closed source lists nothing.
  MemoryDisk d(4096);
  d.entry(0, 0, 0x06, 63, 100);
  d.put(63, test::fat16BootSector());
  std::vector<FatVolume> volumes{FatVolume{}};
  ASSERT_TRUE(readFatPartitionTable(d.open(), volumes));
  EXPECT_EQ(volumes[0].clusterCount, 0u);
  test::Source closed;
  EXPECT_FALSE(readFatPartitionTable(closed.source, volumes));
  EXPECT_TRUE(volumes.empty());
}

TEST(FatSearches, PlaceVolumesByFatsAndFolders) {
  struct Row {
    const char* what;
    std::vector<std::pair<std::uint64_t, Buffer>> sectors;
    std::vector<Expected> volumes;
  };
  const std::vector<Row> rows = {
      {"two folders give a FAT16 and a FAT32 reading",
       {{1000, directoryStart(10)}, {1016, directoryStart(12)}},
       {{936 - 64, kFat16, 80, kFatBootParsed}, {936, kFat32, 80, kFatBootParsed}}},
      {"the FATs below place a folder volume",
       {{500, fat16Start()}, {700, fat16Start()}, {600, fat32Start()}, {1000, directoryStart(10)}, {1016, directoryStart(12)}},
       {{700, kFat16, 0, kFatBootParsed | kFatFirstFatSeen | kFatSecondFatSeen}, {600, kFat32}}},
      {"an odd distance forgets both; a cluster not larger restarts",
       {{1000, directoryStart(10)}, {1007, directoryStart(12)}, {1100, directoryStart(20)}, {1116, directoryStart(22)},
        {2000, directoryStart(10)}, {2016, directoryStart(5)}, {2032, directoryStart(7)}},
       {{1100 - 18 * 8 - 64, kFat16}, {1100 - 18 * 8, kFat32}, {2016 - 3 * 8 - 64, kFat16}, {2016 - 3 * 8, kFat32, 2032 - (2016 - 3 * 8)}}},
      {"later folders grow the estimate",
       {{1000, directoryStart(10)}, {1016, directoryStart(12)}, {1800, directoryStart(110)}, {1832, directoryStart(114)}},
       {{936 - 64, kFat16, 1832 - 936}, {936, kFat32}}},
      {"a quotient past a byte gives no cluster size", {{1000, directoryStart(10)}, {1528, directoryStart(12)}}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    MemoryDisk d(3000);
    for (const auto& [sector, bytes] : row.sectors) d.put(sector, bytes);
    std::vector<FatVolume> volumes;
    ASSERT_TRUE(thoroughSearch(d.open(), 0, 3000, volumes));
    expectVolumes(volumes, row.volumes);
    EXPECT_TRUE(d.host.found.empty());  // folder volumes are reported to no one
    EXPECT_EQ(d.host.progress.back(), (std::pair<std::uint64_t, std::uint64_t>{3000, 3000}));
  }
}

TEST(FatSearches, RangesAbortsAndFailingSectors) {
  // A range that ends inside a block: blocks of 2048 sectors, the last progress at the end.
  MemoryDisk d(5000);
  d.put(4499, test::fat16BootSector());
  d.put(4500, test::fat16BootSector());
  std::vector<FatVolume> volumes;
  basicSearch(d.open(), 10, 4500, volumes);
  expectVolumes(volumes, {{4499, kFat16}});
  EXPECT_EQ(d.host.progress,
            (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{2058, 4500}, {4106, 4500}, {4500, 4500}}));
  // A stop at the first progress: nothing found, one message.
  MemoryDisk s(10000);
  s.put(9000, test::fat16BootSector());
  s.host.onSearchProgress = [&] { s.run.stop(); };
  EXPECT_FALSE(basicSearch(s.open(), 0, 10000, volumes));
  EXPECT_EQ(s.host.progress.size(), 1u);
  EXPECT_TRUE(volumes.empty());
  // A read failure that is reported ends the scan and keeps what was found; unreadable sectors
  // are skipped without log lines.
  MemoryDisk f(6000);
  f.put(100, test::fat16BootSector());
  f.put(5000, test::fat16BootSector());
  f.open();
  f.faults->failSector(3000, EACCES);
  f.faults->failSector(10, EIO);
  EXPECT_TRUE(basicSearch(f.source, 0, 6000, volumes));
  expectVolumes(volumes, {{100, kFat16}});
  EXPECT_EQ(f.host.messages.size(), 1u);
  EXPECT_TRUE(f.host.log.empty());
}

TEST(FatSearches, FolderVolumesNeverStartBeforeSectorZero) {
  // A FAT16 root at 8 leaves no room for 32 sectors below; none at all; too many clusters for FAT16.
  std::vector<FatVolume> list = {{.dataOffset = 40, .sectorsPerCluster = 1},
                                 {.dataOffset = 20, .sectorsPerCluster = 1},
                                 {.dataOffset = 5000, .clusterCount = 70000, .sectorsPerCluster = 1}};
  settleDirectoryVolumes(list, {});
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].fatType, kFat16);
  EXPECT_EQ(list[0].startSector, 0u);
  for (std::size_t i = 1; i < 4; ++i) EXPECT_EQ(list[i].fatType, kFat32) << i;
}

TEST(FatSearches, ABackupJoinsOnlyTheSameVolume) {
  std::vector<FatVolume> list = {
      {.bootCopySector = 50, .sectorCount = 1000, .serialNumber = 7, .sectorsPerCluster = 8, .fatType = kFat32, .foundBy = kFatBootParsed}};
  FatVolume backup = list[0];
  backup.startSector = backup.bootCopySector = 56;
  const std::vector<std::function<void(FatVolume&)>> others = {
      [](FatVolume& v) { v.serialNumber = 8; }, [](FatVolume& v) { v.sectorsPerCluster = 4; },
      [](FatVolume& v) { v.startSector = v.bootCopySector = 57; }, [](FatVolume& v) { v.fatType = kFat16; }};
  for (const auto& change : others) {
    FatVolume other = backup;
    change(other);
    EXPECT_FALSE(mergeBackupBootSector(list, other));
  }
  EXPECT_TRUE(mergeBackupBootSector(list, backup));
  EXPECT_EQ(list[0].bootCopySector, 56u);
  EXPECT_EQ(list[0].foundBy, kFatBootParsed | kFatBackupSeen);
}

}  // namespace
}  // namespace ov::fat
