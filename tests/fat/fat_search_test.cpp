// The FAT partition-table walk and the Basic and Thorough Scans, on synthetic disks and on the
// images made by mkfs.fat, mtools and sfdisk (tests/data), checked against their manifests.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <openssl/sha.h>

#include "disk/sector_source.h"
#include "fat/fat_search.h"
#include "fat/fat_volume.h"
#include "tests/support/test_support.h"
#include "workbench/models/volume_search_dialog.h"

namespace ov::fat {
namespace {

using nlohmann::json;

struct BootFields {
  std::uint16_t bytesPerSector = 512;
  std::uint8_t sectorsPerCluster = 4;
  std::uint16_t reserved = 4;
  std::uint32_t fatSectors = 80;
  std::uint32_t totalSectors = 81920;
  std::uint32_t serial = 0x12345678u;
};

std::vector<std::uint8_t> fat16Boot(BootFields f = {}) {
  std::vector<std::uint8_t> b(512, 0);
  b[0] = 0xEB; b[1] = 0x3C; b[2] = 0x90;
  writeLe<std::uint16_t>(b, 11, f.bytesPerSector);
  b[13] = f.sectorsPerCluster;
  writeLe<std::uint16_t>(b, 14, f.reserved);
  b[16] = 2;
  writeLe<std::uint16_t>(b, 17, 512);
  writeLe<std::uint16_t>(b, 22, static_cast<std::uint16_t>(f.fatSectors));
  writeLe<std::uint32_t>(b, 32, f.totalSectors);
  writeLe<std::uint32_t>(b, 39, f.serial);
  std::memcpy(b.data() + 54, "FAT16   ", 8);
  b[510] = 0x55; b[511] = 0xAA;
  return b;
}

std::vector<std::uint8_t> fat32Boot(BootFields f = {}) {
  std::vector<std::uint8_t> b(512, 0);
  b[0] = 0xEB; b[1] = 0x58; b[2] = 0x90;
  writeLe<std::uint16_t>(b, 11, f.bytesPerSector);
  b[13] = f.sectorsPerCluster;
  writeLe<std::uint16_t>(b, 14, f.reserved);
  b[16] = 2;
  writeLe<std::uint32_t>(b, 32, f.totalSectors);
  writeLe<std::uint32_t>(b, 36, f.fatSectors);
  writeLe<std::uint32_t>(b, 44, 2);
  writeLe<std::uint16_t>(b, 48, 1);
  writeLe<std::uint16_t>(b, 50, 6);
  writeLe<std::uint32_t>(b, 67, f.serial);
  std::memcpy(b.data() + 82, "FAT32   ", 8);
  b[510] = 0x55; b[511] = 0xAA;
  return b;
}

std::vector<std::uint8_t> fat16Start() { return {0xF8, 0xFF, 0xFF, 0xFF, 0x03, 0x00, 0xFF, 0xFF}; }
std::vector<std::uint8_t> fat32Start() { return {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF}; }

std::vector<std::uint8_t> directoryStart(std::uint32_t cluster) {
  std::vector<std::uint8_t> b(512, 0);
  std::memcpy(b.data(), ".          ", 11);
  b[11] = 0x10;
  writeLe<std::uint16_t>(b, 20, static_cast<std::uint16_t>(cluster >> 16));
  writeLe<std::uint16_t>(b, 26, static_cast<std::uint16_t>(cluster));
  std::memcpy(b.data() + 32, "..         ", 11);
  b[43] = 0x10;
  return b;
}

struct Disk {
  ov::test::RecordingHost host;
  RunControl run;
  SectorSource source{host, run};
  std::vector<FatVolume> volumes;
  std::vector<std::uint8_t> bytes;
  FaultBackend* faults = nullptr;

  explicit Disk(std::size_t sectors) : bytes(sectors * 512, 0) {}
  void put(std::uint64_t sector, const std::vector<std::uint8_t>& b) {
    std::memcpy(bytes.data() + sector * 512, b.data(), b.size());
  }
  void entry(std::uint64_t table, int index, std::uint8_t type, std::uint32_t first, std::uint32_t count) {
    std::size_t at = table * 512 + 0x1BE + 16 * static_cast<std::size_t>(index);
    bytes[at + 4] = type;
    writeLe<std::uint32_t>(bytes, at + 8, first);
    writeLe<std::uint32_t>(bytes, at + 12, count);
    writeLe<std::uint16_t>(bytes, table * 512 + 0x1FE, 0xAA55);
  }
  void open() {
    auto f = std::make_unique<FaultBackend>(std::make_unique<MemoryBackend>(bytes), 512);
    faults = f.get();
    source.openBackend(std::move(f), 512, bytes.size() / 512);
    run.start();
  }
  bool walk() {
    open();
    return readFatPartitionTable(source, volumes);
  }
};

// ---- Partition table ----

TEST(FatPartitionTable, PrimaryAndLogicalVolumesInTableOrder) {
  Disk d(4096);
  d.entry(0, 0, 0x06, 63, 100000);
  d.entry(0, 1, 0x05, 1000, 2000);
  d.entry(0, 2, 0x0C, 200, 90000);
  d.put(63, fat16Boot());
  BootFields f32;
  f32.sectorsPerCluster = 1;
  f32.reserved = 32;
  f32.fatSectors = 600;
  f32.serial = 0xAABBCCDDu;
  d.put(200, fat32Boot(f32));
  // First logical: table at 1000, volume at 1000 + 63; the link is relative to the first table.
  d.entry(1000, 0, 0x0B, 63, 70000);
  d.entry(1000, 1, 0x05, 500, 600);
  d.put(1063, fat32Boot(f32));
  d.entry(1500, 0, 0x0E, 63, 80000);
  d.put(1563, fat16Boot());
  ASSERT_TRUE(d.walk());
  ASSERT_EQ(d.volumes.size(), 4u);
  const auto& a = d.volumes[0];
  EXPECT_EQ(a.startSector, 63u);
  EXPECT_EQ(a.sectorCount, 100000u);  // the table's count, not the boot sector's
  EXPECT_EQ(a.fatType, kFat16);
  EXPECT_EQ(a.foundBy, kFatBootParsed);
  EXPECT_EQ(a.bootCopySector, 0u);
  EXPECT_EQ(a.clusterCount, (100000u - 2 * 80 - 4) / 4);
  EXPECT_EQ(a.dataOffset, 164u);
  EXPECT_EQ(a.serialNumber, 0x12345678u);
  const auto& b = d.volumes[1];
  EXPECT_EQ(b.startSector, 200u);
  EXPECT_EQ(b.fatType, kFat32);
  EXPECT_EQ(b.bootCopySector, 6u);
  EXPECT_EQ(b.sectorCount, 90000u);
  EXPECT_EQ(b.clusterCount, 90000u - 1200 - 32);
  EXPECT_EQ(b.serialNumber, 0xAABBCCDDu);
  EXPECT_EQ(d.volumes[2].startSector, 1063u);
  EXPECT_EQ(d.volumes[2].sectorCount, 70000u);
  EXPECT_EQ(d.volumes[3].startSector, 1563u);
  EXPECT_EQ(d.volumes[3].fatType, kFat16);
}

TEST(FatPartitionTable, HiddenTypesAreIgnored) {
  Disk e(4096);
  for (int i = 0; i < 4; ++i) {
    const std::uint8_t hidden[] = {0x11, 0x1B, 0x1C, 0x1E};
    e.entry(0, i, hidden[i], static_cast<std::uint32_t>(100 + 100 * i), 100000);
    e.put(static_cast<std::uint64_t>(100 + 100 * i), i == 3 ? fat16Boot() : fat32Boot());
  }
  EXPECT_FALSE(e.walk());
}

TEST(FatPartitionTable, FirstEntryOfTypeZeroYieldsNothing) {
  Disk d(4096);
  d.entry(0, 1, 0x06, 63, 100000);
  d.put(63, fat16Boot());
  EXPECT_FALSE(d.walk());
  EXPECT_TRUE(d.volumes.empty());
}

// Any FAT type (FAT12 0x01, FAT16 0x04/0x06/0x0E, FAT32 0x0B/0x0C) is taken by its boot sector,
// whichever kind the type names, and a FAT16 volume of fewer than 65,536 sectors is taken.
TEST(FatPartitionTable, TheBootSectorDecidesTheKindOrMissingSignature) {
  Disk d(4096);
  d.entry(0, 0, 0x0C, 63, 100000);
  d.put(63, fat16Boot());  // a FAT16 boot sector under a FAT32 type
  d.entry(0, 1, 0x01, 300, 100000);
  BootFields small;
  small.totalSectors = 60000;
  d.put(300, fat16Boot(small));
  d.entry(0, 2, 0x04, 500, 100000);
  d.put(500, fat32Boot());
  d.entry(0, 3, 0x06, 1000, 100000);
  BootFields floppy;  // 2,880 sectors: FAT12
  floppy.sectorsPerCluster = 1;
  floppy.reserved = 1;
  floppy.fatSectors = 9;
  floppy.totalSectors = 2880;
  d.put(1000, fat16Boot(floppy));
  ASSERT_TRUE(d.walk());
  ASSERT_EQ(d.volumes.size(), 4u);
  EXPECT_EQ(d.volumes[0].fatType, kFat16);
  EXPECT_EQ(d.volumes[1].startSector, 300u);
  EXPECT_EQ(d.volumes[1].fatType, kFat16);
  EXPECT_FALSE(d.volumes[1].fat12);
  EXPECT_EQ(d.volumes[2].fatType, kFat32);
  EXPECT_TRUE(d.volumes[3].fat12);
  Disk e(4096);
  e.entry(0, 0, 0x06, 63, 100000);
  e.put(63, fat16Boot());
  e.bytes[0x1FE] = 0;
  EXPECT_FALSE(e.walk());
}

// A boot sector carries the partition table's signature too: a volume's boot sector at sector 0
// is no table, even when the volume is of another kind.
TEST(FatPartitionTable, ABootSectorAtSectorZeroIsNoPartitionTable) {
  Disk d(4096);
  BootFields floppy;
  floppy.sectorsPerCluster = 1;
  floppy.reserved = 1;
  floppy.fatSectors = 9;
  floppy.totalSectors = 2880;
  d.put(0, fat16Boot(floppy));
  d.open();
  PartitionTableKind kind = PartitionTableKind::Mbr;
  ASSERT_TRUE(readFatPartitionTable(d.source, d.volumes, &kind));
  EXPECT_EQ(kind, PartitionTableKind::None);
  ASSERT_EQ(d.volumes.size(), 1u);
  EXPECT_TRUE(d.volumes[0].fat12);
  Disk n(4096);  // another file system's boot sector
  auto other = fat32Boot();
  std::memcpy(other.data() + 3, "NTFS    ", 8);
  other[13] = 8;
  writeLe<std::uint32_t>(other, 44, 0);
  n.put(0, other);
  n.open();
  EXPECT_FALSE(readFatPartitionTable(n.source, n.volumes, &kind));
  EXPECT_EQ(kind, PartitionTableKind::None);
  Disk m(4096);  // an MBR without a FAT volume is still a table
  m.entry(0, 0, 0x07, 63, 1000);
  m.open();
  EXPECT_FALSE(readFatPartitionTable(m.source, m.volumes, &kind));
  EXPECT_EQ(kind, PartitionTableKind::Mbr);
}

TEST(FatPartitionTable, ExtendedChainThatLoopsBackEnds) {
  Disk d(4096);
  d.entry(0, 0, 0x0F, 1000, 100);
  d.entry(1000, 0, 0x0B, 63, 70000);
  d.entry(1000, 1, 0x05, 0, 100);  // links back to the first extended table
  d.put(1063, fat32Boot());
  ASSERT_TRUE(d.walk());
  ASSERT_EQ(d.volumes.size(), 1u);
  EXPECT_EQ(d.volumes[0].startSector, 1063u);
  Disk e(4096);  // two tables that point at each other
  e.entry(0, 0, 0x85, 1000, 100);
  e.entry(1000, 0, 0x0B, 63, 70000);
  e.entry(1000, 1, 0x05, 500, 100);
  e.entry(1500, 0, 0x0B, 63, 70000);
  e.entry(1500, 1, 0x05, 0, 100);
  e.put(1063, fat32Boot());
  e.put(1563, fat32Boot());
  ASSERT_TRUE(e.walk());
  EXPECT_EQ(e.volumes.size(), 2u);
}

TEST(FatPartitionTable, PartitionSmallerThanItsFatsHasNoClusters) {
  Disk d(4096);
  d.entry(0, 0, 0x06, 63, 100);
  d.put(63, fat16Boot());
  ASSERT_TRUE(d.walk());
  EXPECT_EQ(d.volumes[0].clusterCount, 0u);
}

TEST(FatPartitionTable, ClosedSourceYieldsNothing) {
  ov::test::RecordingHost host;
  RunControl run;
  SectorSource source(host, run);
  std::vector<FatVolume> volumes{FatVolume{}};
  EXPECT_FALSE(readFatPartitionTable(source, volumes));
  EXPECT_TRUE(volumes.empty());
}

// ---- Sector tests of the Thorough Scan ----

TEST(FatStartMarks, KindsOfFatStart) {
  EXPECT_EQ(fatStartKind(fat16Start()), kFat16);
  EXPECT_EQ(fatStartKind(fat32Start()), kFat32);
  // As mkfs.fat writes them (entry 1 0x0FFFFFFF), and with the clean-shutdown bit cleared.
  EXPECT_EQ(fatStartKind(std::vector<std::uint8_t>{0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F}), kFat32);
  EXPECT_EQ(fatStartKind(std::vector<std::uint8_t>{0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x07}), kFat32);
  EXPECT_EQ(fatStartKind(std::vector<std::uint8_t>{0xF8, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0}), kFat16);
  // FAT12: the media byte (0xF0 for floppies) and entry 1 at 0xFFF.
  EXPECT_EQ(fatStartKind(std::vector<std::uint8_t>{0xF0, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}), kFat12Mark);
  EXPECT_EQ(fatStartKind(std::vector<std::uint8_t>{0xF8, 0xFF, 0xFF, 0x0F, 0, 0, 0, 0}), kFat12Mark);
  EXPECT_EQ(fatStartKind(std::vector<std::uint8_t>{0xF1, 0xFF, 0xFF, 0x0F, 0, 0, 0, 0}), 0);
  EXPECT_EQ(fatStartKind(std::vector<std::uint8_t>{0xF8, 0xFF, 0x7F, 0x0F, 0, 0, 0, 0}), 0);
  EXPECT_EQ(fatStartKind(std::vector<std::uint8_t>(512, 0)), 0);
}

TEST(FatStartMarks, DirectoryStart) {
  std::uint32_t c = 0;
  EXPECT_TRUE(isDirectoryStart(directoryStart(0x00012345u), c));
  EXPECT_EQ(c, 0x00012345u);
  auto b = directoryStart(5);
  b[5] = 'X';
  EXPECT_FALSE(isDirectoryStart(b, c));
  b = directoryStart(5);
  b[34] = 'X';
  EXPECT_FALSE(isDirectoryStart(b, c));
}

// ---- The searches on synthetic disks ----

TEST(BasicScan, FindsBootSectorsOfBothKinds) {
  Disk d(3000);
  d.put(100, fat16Boot());
  BootFields f;
  f.sectorsPerCluster = 8;
  f.reserved = 32;
  f.fatSectors = 500;
  f.serial = 0x0BADF00Du;
  d.put(1500, fat32Boot(f));
  d.put(2000, fat16Start());  // noted by the Thorough Scan only
  d.put(2100, directoryStart(10));
  d.put(2116, directoryStart(12));
  d.open();
  ASSERT_TRUE(basicSearch(d.source, 0, 3000, d.volumes));
  ASSERT_EQ(d.volumes.size(), 2u);
  EXPECT_EQ(d.volumes[0].startSector, 100u);
  EXPECT_EQ(d.volumes[0].fatType, kFat16);
  EXPECT_EQ(d.volumes[0].foundBy, kFatBootParsed);
  EXPECT_EQ(d.volumes[0].sectorCount, 81920u);
  EXPECT_EQ(d.volumes[1].startSector, 1500u);
  EXPECT_EQ(d.volumes[1].bootCopySector, 1500u);
  EXPECT_EQ(d.volumes[1].fatType, kFat32);
  EXPECT_EQ(d.volumes[1].serialNumber, 0x0BADF00Du);
  EXPECT_EQ(d.host.found, (std::vector<std::uint64_t>{100, 1500}));
  EXPECT_EQ(d.host.progress.back(), (std::pair<std::uint64_t, std::uint64_t>{3000, 3000}));
}

TEST(BasicScan, BackupBootSectorJoinsItsVolume) {
  Disk d(3000);
  d.put(100, fat32Boot());
  d.put(106, fat32Boot());
  BootFields other;
  other.serial = 1;
  d.put(206, fat32Boot(other));  // another volume's sector: not a backup of the one at 100/200
  d.open();
  basicSearch(d.source, 0, 3000, d.volumes);
  ASSERT_EQ(d.volumes.size(), 2u);
  EXPECT_EQ(d.volumes[0].startSector, 100u);
  EXPECT_EQ(d.volumes[0].bootCopySector, 106u);
  EXPECT_EQ(d.volumes[0].foundBy, kFatBootParsed | kFatBackupSeen);
  EXPECT_EQ(d.volumes[1].startSector, 206u);
  EXPECT_EQ(d.host.found, (std::vector<std::uint64_t>{100, 206}));
}

TEST(BasicScan, RangeEndInsideABlock) {
  Disk d(5000);
  d.put(4499, fat16Boot());
  d.put(4500, fat16Boot());
  d.open();
  basicSearch(d.source, 10, 4500, d.volumes);
  ASSERT_EQ(d.volumes.size(), 1u);
  EXPECT_EQ(d.volumes[0].startSector, 4499u);
  // Two blocks: 2048 sectors each (1 MiB) and the rest; the last progress carries the end.
  EXPECT_EQ(d.host.progress,
            (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{2058, 4500}, {4106, 4500}, {4500, 4500}}));
}

TEST(BasicScan, AbortStopsAndReportsIt) {
  struct StoppingHost : ov::test::RecordingHost {
    RunControl* run = nullptr;
    void searchProgress(std::uint64_t p, std::uint64_t e) override {
      RecordingHost::searchProgress(p, e);
      run->stop();
    }
  } host;
  RunControl run;
  host.run = &run;
  SectorSource source(host, run);
  std::vector<std::uint8_t> disk(10000 * 512, 0);
  auto boot = fat16Boot();
  std::memcpy(disk.data() + 9000 * 512, boot.data(), 512);
  source.openBackend(std::make_unique<MemoryBackend>(disk), 512, 10000);
  run.start();
  std::vector<FatVolume> volumes;
  EXPECT_FALSE(basicSearch(source, 0, 10000, volumes));
  EXPECT_EQ(host.progress.size(), 1u);
  EXPECT_TRUE(volumes.empty());
}

TEST(BasicScan, ReportedReadFailureEndsTheScanButKeepsWhatWasFound) {
  Disk d(6000);
  d.put(100, fat16Boot());
  d.put(5000, fat16Boot());
  d.open();
  d.faults->failSector(3000, EACCES);
  EXPECT_TRUE(basicSearch(d.source, 0, 6000, d.volumes));  // not aborted by the user
  ASSERT_EQ(d.volumes.size(), 1u);
  EXPECT_EQ(d.volumes[0].startSector, 100u);
  EXPECT_EQ(d.host.messages.size(), 1u);
}

TEST(BasicScan, UnreadableSectorsAreSkippedWithoutLogLines) {
  Disk d(3000);
  d.put(2500, fat16Boot());
  d.open();
  d.faults->failSector(10, EIO);
  EXPECT_TRUE(basicSearch(d.source, 0, 3000, d.volumes));
  ASSERT_EQ(d.volumes.size(), 1u);
  EXPECT_TRUE(d.host.log.empty());
}

TEST(ThoroughScan, TwoDirectoriesGiveAFat16AndAFat32Reading) {
  Disk d(2000);
  d.put(1000, directoryStart(10));
  d.put(1016, directoryStart(12));
  d.open();
  ASSERT_TRUE(thoroughSearch(d.source, 0, 2000, d.volumes));
  ASSERT_EQ(d.volumes.size(), 2u);
  const auto& a = d.volumes[0];
  EXPECT_EQ(a.fatType, kFat16);
  EXPECT_EQ(a.foundBy, kFatBootParsed);
  EXPECT_EQ(a.sectorsPerCluster, 8);
  EXPECT_EQ(a.bytesPerCluster, 4096u);
  EXPECT_EQ(a.sectorCount, 80u);
  EXPECT_EQ(a.clusterCount, 10u);
  EXPECT_EQ(a.startSector, 936u - 64);
  EXPECT_EQ(a.dataOffset, 32u);
  EXPECT_EQ(a.reservedSectors, 0u);
  EXPECT_EQ(a.secondFatOffset, 0u);
  EXPECT_EQ(clusterSector(a, 10), 1000u);
  const auto& b = d.volumes[1];
  EXPECT_EQ(b.fatType, kFat32);
  EXPECT_EQ(b.foundBy, kFatBootParsed);
  EXPECT_EQ(b.startSector, 936u);
  EXPECT_EQ(b.dataOffset, 0u);
  EXPECT_EQ(b.sectorCount, 80u);
  EXPECT_EQ(clusterSector(b, 12), 1016u);
  EXPECT_TRUE(d.host.found.empty());  // derived volumes send no found message
}

TEST(ThoroughScan, DirectoryVolumeIsPlacedByTheFatsBelowIt) {
  Disk d(2000);
  d.put(500, fat16Start());
  d.put(700, fat16Start());  // the second FAT: the last one below the root
  d.put(600, fat32Start());
  d.put(1000, directoryStart(10));
  d.put(1016, directoryStart(12));
  d.open();
  thoroughSearch(d.source, 0, 2000, d.volumes);
  ASSERT_EQ(d.volumes.size(), 2u);
  EXPECT_EQ(d.volumes[0].startSector, 700u);
  EXPECT_EQ(d.volumes[0].dataOffset, 904u - 700u);
  EXPECT_EQ(fat16RootSector(d.volumes[0]), 904u);
  EXPECT_EQ(d.volumes[0].foundBy, kFatBootParsed | kFatFirstFatSeen | kFatSecondFatSeen);
  EXPECT_EQ(d.volumes[1].startSector, 600u);
  EXPECT_EQ(d.volumes[1].dataOffset, 336u);
  EXPECT_EQ(clusterSector(d.volumes[1], 10), 1000u);
}

TEST(ThoroughScan, OddDistanceForgetsBothAndSmallerClusterRestarts) {
  Disk d(3000);
  d.put(1000, directoryStart(10));
  d.put(1007, directoryStart(12));  // 7 sectors apart: nothing, both forgotten
  d.put(1100, directoryStart(20));
  d.put(1116, directoryStart(22));
  d.put(2000, directoryStart(10));
  d.put(2016, directoryStart(5));   // not larger: replaces the first
  d.put(2032, directoryStart(7));
  d.open();
  thoroughSearch(d.source, 0, 3000, d.volumes);
  ASSERT_EQ(d.volumes.size(), 4u);
  EXPECT_EQ(d.volumes[1].startSector, 1100u - 18 * 8);
  EXPECT_EQ(d.volumes[3].startSector, 2016u - 3 * 8);
  EXPECT_EQ(d.volumes[3].sectorCount, 2032u - (2016u - 3 * 8));
}

TEST(ThoroughScan, LaterDirectoriesGrowTheEstimate) {
  Disk d(3000);
  d.put(1000, directoryStart(10));
  d.put(1016, directoryStart(12));
  d.put(1800, directoryStart(110));
  d.put(1832, directoryStart(114));
  d.open();
  thoroughSearch(d.source, 0, 3000, d.volumes);
  ASSERT_EQ(d.volumes.size(), 2u);
  EXPECT_EQ(d.volumes[0].sectorCount, 1832u - 936u);
  EXPECT_EQ(d.volumes[0].clusterCount, (1832u - 936u) / 8);
}

TEST(ThoroughScan, QuotientPastAByteGivesNoClusterSize) {
  Disk d(3000);
  d.put(1000, directoryStart(10));
  d.put(1528, directoryStart(12));  // 528 / 2 = 264 sectors a cluster: no such size
  d.open();
  thoroughSearch(d.source, 0, 3000, d.volumes);
  EXPECT_TRUE(d.volumes.empty());
}

TEST(ThoroughScan, DirectoriesOfAListedVolumeAddNothing) {
  Disk d(3000);
  BootFields f;
  f.sectorsPerCluster = 8;
  f.reserved = 32;
  f.fatSectors = 100;
  d.put(100, fat32Boot(f));  // data area at 100 + 232 = 332
  d.put(332 + 8 * 8, directoryStart(10));
  d.put(332 + 8 * 20, directoryStart(22));
  d.open();
  thoroughSearch(d.source, 0, 3000, d.volumes);
  ASSERT_EQ(d.volumes.size(), 1u);
  EXPECT_EQ(d.volumes[0].startSector, 100u);
}

TEST(ThoroughScan, BootSectorBackupAndBothFatsSetEveryFlag) {
  Disk d(3000);
  BootFields f;
  f.sectorsPerCluster = 1;
  f.reserved = 32;
  f.fatSectors = 100;
  d.put(100, fat32Boot(f));
  d.put(106, fat32Boot(f));
  d.put(132, fat32Start());
  d.put(232, fat32Start());
  d.open();
  thoroughSearch(d.source, 0, 3000, d.volumes);
  ASSERT_EQ(d.volumes.size(), 1u);
  EXPECT_EQ(d.volumes[0].startSector, 100u);
  EXPECT_EQ(d.volumes[0].bootCopySector, 106u);
  EXPECT_EQ(d.volumes[0].foundBy, kFatBootParsed | kFatBackupSeen | kFatFirstFatSeen | kFatSecondFatSeen);
  EXPECT_EQ(d.host.found, std::vector<std::uint64_t>{100});
}

TEST(ThoroughScan, VolumeListedAtItsBackupMovesToItsStart) {
  Disk d(3000);
  BootFields f;
  f.sectorsPerCluster = 1;
  f.reserved = 32;
  f.fatSectors = 100;
  d.put(106, fat32Boot(f));  // the primary at 100 is gone
  d.put(132, fat32Start());
  d.put(232, fat32Start());
  d.open();
  thoroughSearch(d.source, 0, 3000, d.volumes);
  ASSERT_EQ(d.volumes.size(), 1u);
  EXPECT_EQ(d.volumes[0].startSector, 100u);
  EXPECT_EQ(d.volumes[0].bootCopySector, 106u);
  EXPECT_EQ(d.volumes[0].foundBy, kFatBootParsed | kFatFirstFatSeen | kFatSecondFatSeen);
  // The Basic Scan sees no FATs and leaves it at the backup.
  basicSearch(d.source, 0, 3000, d.volumes);
  EXPECT_EQ(d.volumes[0].startSector, 106u);
}

// ---- The steps on their own ----

TEST(SearchSteps, MergeBackupBootSectorNeedsTheSameVolume) {
  std::vector<FatVolume> list(1);
  list[0].fatType = kFat32;
  list[0].serialNumber = 7;
  list[0].sectorCount = 1000;
  list[0].sectorsPerCluster = 8;
  list[0].bootCopySector = 50;
  list[0].foundBy = kFatBootParsed;
  FatVolume n = list[0];
  n.startSector = n.bootCopySector = 56;
  FatVolume wrong = n;
  wrong.serialNumber = 8;
  EXPECT_FALSE(mergeBackupBootSector(list, wrong));
  wrong = n;
  wrong.sectorsPerCluster = 4;
  EXPECT_FALSE(mergeBackupBootSector(list, wrong));
  wrong = n;
  wrong.startSector = wrong.bootCopySector = 57;
  EXPECT_FALSE(mergeBackupBootSector(list, wrong));
  wrong = n;
  wrong.fatType = kFat16;
  EXPECT_FALSE(mergeBackupBootSector(list, wrong));
  EXPECT_TRUE(mergeBackupBootSector(list, n));
  EXPECT_EQ(list[0].bootCopySector, 56u);
  EXPECT_EQ(list[0].foundBy, kFatBootParsed | kFatBackupSeen);
}

TEST(SearchSteps, FindVolumeByDataStartAlsoMatchesAFat16Root) {
  std::vector<FatVolume> list(2);
  list[0].startSector = 100;
  list[0].dataOffset = 164;  // FAT16 root at 264, data at 296
  list[0].sectorsPerCluster = 4;
  list[1].startSector = 500;
  list[1].sectorsPerCluster = 8;
  FatVolume r;
  r.sectorsPerCluster = 4;
  r.dataOffset = 296;
  EXPECT_EQ(findVolumeByDataStart(list, r), &list[0]);
  r.dataOffset = 264;
  EXPECT_EQ(findVolumeByDataStart(list, r), &list[0]);
  r.sectorsPerCluster = 8;
  EXPECT_EQ(findVolumeByDataStart(list, r), nullptr);
  r.dataOffset = 500;
  EXPECT_EQ(findVolumeByDataStart(list, r), &list[1]);
  r.dataOffset = 10;
  EXPECT_EQ(findVolumeByDataStart(list, r), nullptr);
}

TEST(SearchSteps, LargeDirectoryVolumeIsReadAsFat32Only) {
  std::vector<FatVolume> list(1);
  list[0].dataOffset = 5000;
  list[0].sectorsPerCluster = 1;
  list[0].clusterCount = 70000;
  settleDirectoryVolumes(list, {});
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].fatType, kFat32);
  EXPECT_EQ(list[0].startSector, 5000u);
}

TEST(SearchSteps, DirectoryVolumeNearSectorZeroDoesNotStartBeforeIt) {
  std::vector<FatVolume> list(2);
  list[0].dataOffset = 40;  // the FAT16 root would be at 8: no room for 32 more sectors below
  list[0].sectorsPerCluster = 1;
  list[1].dataOffset = 20;  // no room for the FAT16 root at all
  list[1].sectorsPerCluster = 1;
  settleDirectoryVolumes(list, {});
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].fatType, kFat16);
  EXPECT_EQ(list[0].startSector, 0u);
  EXPECT_EQ(fat16RootSector(list[0]), 8u);
  EXPECT_EQ(list[1].fatType, kFat32);
  EXPECT_EQ(list[2].fatType, kFat32);
  EXPECT_EQ(list[2].startSector, 20u);
}

TEST(SearchSteps, FindFatStartBelowTakesTheLastOfTheRightKind) {
  std::vector<FatStartMark> marks{{10, kFat16}, {20, kFat32}, {30, kFat16}, {50, kFat16}};
  FatVolume v;
  v.fatType = kFat16;
  v.dataOffset = 40;
  EXPECT_EQ(findFatStartBelow(v, marks), 30u);
  v.fatType = kFat32;
  EXPECT_EQ(findFatStartBelow(v, marks), 20u);
  v.dataOffset = 10;
  EXPECT_FALSE(findFatStartBelow(v, marks));
}

// ---- The search dialog's rows ----

TEST(FatSearchDialog, BasicScanWordsAndRows) {
  auto words = searchDialogWords("FAT", false, true);
  EXPECT_EQ(words.modeTitle, "Basic Scan");
  EXPECT_EQ(words.statusText, "Basic scan in progress");
  Disk d(3000);
  d.put(100, fat16Boot());
  d.put(2000, fat32Boot());
  d.open();
  basicSearch(d.source, 0, 3000, d.volumes);
  VolumeSearchDialogModel model(words);
  for (auto s : d.host.found) model.onVolumeFound(s);
  ASSERT_EQ(model.rows().size(), 2u);
  EXPECT_EQ(model.rows()[0].name, "FAT logical drive #1");
  EXPECT_EQ(model.rows()[0].startLocation, "100");
  EXPECT_EQ(model.rows()[1].name, "FAT logical drive #2");
  EXPECT_EQ(model.rows()[1].startLocation, "2000");
  EXPECT_EQ(model.onFinished(true).text, "Basic scan of drives completed.");
  EXPECT_EQ(searchDialogWords("FAT", true, true).modeTitle, "Thorough Scan");
}

// ---- The images ----

struct Image {
  ov::test::RecordingHost host;
  RunControl run;
  SectorSource source{host, run};
  std::vector<FatVolume> volumes;
  json manifest;
  explicit Image(const std::string& name) : manifest(ov::test::manifest(name)) {
    if (source.openImage(ov::test::image(name).string()) != 0) throw std::runtime_error("cannot open " + name);
    run.start();
  }
  std::uint64_t end() const { return source.totalSectors(); }
};

std::vector<json> fatPartitions(const json& m) {
  std::vector<json> out;
  for (const auto& p : m["partitions"])
    if (p["fs"] == "fat16" || p["fs"] == "fat32") out.push_back(p);
  return out;
}

std::uint64_t serialOf(const json& p) { return std::stoull(p["serial"].get<std::string>(), nullptr, 16); }

// The fields the boot sector gives, whichever way the volume was found.
void expectBootFields(const FatVolume& v, const json& p) {
  SCOPED_TRACE("partition " + p["index"].dump());
  EXPECT_EQ(v.startSector, p["start"].get<std::uint64_t>());
  EXPECT_EQ(v.fatType, p["fs"] == "fat16" ? kFat16 : kFat32);
  EXPECT_EQ(v.bytesPerCluster, p["cluster_bytes"].get<std::uint32_t>());
  EXPECT_EQ(v.serialNumber, serialOf(p));
  EXPECT_EQ(v.reservedSectors, p["reserved_sectors"].get<std::uint64_t>());
  EXPECT_EQ(v.fatSectors, p["fat_sectors"].get<std::uint32_t>());
  EXPECT_EQ(v.bootCopySector == 0, p["fs"] == "fat16");
}

TEST(FatImages, PartitionTableListsEveryFatVolume) {
  Image img("fat_mbr");
  ASSERT_TRUE(readFatPartitionTable(img.source, img.volumes));
  auto expected = fatPartitions(img.manifest);
  ASSERT_EQ(img.volumes.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    expectBootFields(img.volumes[i], expected[i]);
    EXPECT_EQ(img.volumes[i].sectorCount, expected[i]["sectors"].get<std::uint64_t>());
    EXPECT_EQ(img.volumes[i].foundBy, kFatBootParsed);
    if (img.volumes[i].fatType == kFat32) {
      EXPECT_EQ(img.volumes[i].bootCopySector, 6u);
      EXPECT_GE(img.volumes[i].clusterCount, 65525u);
    }
  }
  EXPECT_EQ(fatVolumeLabel(img.volumes[0], 1), "FAT 16 logical drive 1");
  EXPECT_EQ(fatVolumeLabel(img.volumes[2], 3), "FAT 32 logical drive 3");
  EXPECT_EQ(fatVolumeSizeText(img.volumes[0]), " 40.000 MB");
  EXPECT_EQ(fatClusterSizeText(img.volumes[0]), "2.0 KB");
  EXPECT_EQ(fatVolumeStartText(img.volumes[2]), "167936");
}

TEST(FatImages, ZeroedTablesListNothing) {
  for (const char* name : {"fat_mbr_zeroed"}) {
    Image img(name);
    EXPECT_FALSE(readFatPartitionTable(img.source, img.volumes)) << name;
  }
}

class FatSearchOnImages : public ::testing::TestWithParam<std::tuple<std::string, bool>> {};

TEST_P(FatSearchOnImages, FindsEveryVolumeByItsBootSector) {
  const auto& [name, thorough] = GetParam();
  Image img(name);
  ASSERT_TRUE(thorough ? thoroughSearch(img.source, 0, img.end(), img.volumes)
                       : basicSearch(img.source, 0, img.end(), img.volumes));
  auto expected = fatPartitions(img.manifest);
  ASSERT_EQ(img.volumes.size(), expected.size());
  std::vector<std::uint64_t> starts;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto& v = img.volumes[i];
    const auto& p = expected[i];
    expectBootFields(v, p);
    starts.push_back(p["start"].get<std::uint64_t>());
    EXPECT_EQ(v.sectorCount, p["boot_total_sectors"].get<std::uint64_t>());
    std::uint8_t want = kFatBootParsed;
    if (v.fatType == kFat32) {
      // The backup at 6, and a copy at 12 that mlabel leaves of the boot sector it rewrote:
      // each copy 6 sectors after the last one seen joins the volume.
      want |= kFatBackupSeen;
      EXPECT_EQ(v.bootCopySector, v.startSector + 12);
    }
    if (thorough) want |= kFatFirstFatSeen | kFatSecondFatSeen;
    EXPECT_EQ(v.foundBy, want) << i;
  }
  EXPECT_EQ(img.host.found, starts);
  EXPECT_EQ(img.host.progress.back(), (std::pair<std::uint64_t, std::uint64_t>{img.end(), img.end()}));
}

INSTANTIATE_TEST_SUITE_P(Images, FatSearchOnImages,
                         ::testing::Combine(::testing::Values("fat_mbr", "fat_mbr_zeroed"), ::testing::Bool()));

TEST(FatImages, BackupBootVolumeIsPlacedByTheThoroughScan) {
  Image img("fat32_backup_boot");
  const json p = fatPartitions(img.manifest).at(0);
  const std::uint64_t start = p["start"].get<std::uint64_t>();
  EXPECT_FALSE(readFatPartitionTable(img.source, img.volumes));  // its boot sector is gone
  ASSERT_TRUE(basicSearch(img.source, 0, img.end(), img.volumes));
  ASSERT_EQ(img.volumes.size(), 1u);
  EXPECT_EQ(img.volumes[0].startSector, start + 6);
  EXPECT_EQ(img.volumes[0].foundBy, kFatBootParsed);
  ASSERT_TRUE(thoroughSearch(img.source, 0, img.end(), img.volumes));
  ASSERT_EQ(img.volumes.size(), 1u);
  expectBootFields(img.volumes[0], p);
  EXPECT_EQ(img.volumes[0].bootCopySector, start + 6);
  EXPECT_EQ(img.volumes[0].foundBy, kFatBootParsed | kFatFirstFatSeen | kFatSecondFatSeen);
}

std::string sha256(const std::vector<std::uint8_t>& bytes) { return ov::test::sha256Hex(bytes); }

// Every live file read through its cluster chain gives the recorded bytes, fragmented ones too.
TEST(FatImages, ClusterChainsReadBackEveryLiveFile) {
  Image img("fat_mbr");
  ASSERT_TRUE(readFatPartitionTable(img.source, img.volumes));
  auto parts = fatPartitions(img.manifest);
  int files = 0, fragmented = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    FatVolume current = selectVolume(img.volumes[i], img.source.bytesPerSector());
    FatReader reader(img.source, current);
    for (const auto& e : img.manifest["files"]) {
      if (e["partition"] != parts[i]["index"] || e["state"] != "live" || e["type"] != "file") continue;
      const auto size = e["size"].get<std::size_t>();
      const auto first = e["first_cluster"].get<std::uint32_t>();
      SCOPED_TRACE(e["path"].get<std::string>());
      if (size == 0) {
        EXPECT_EQ(first, 0u);
        continue;
      }
      auto chain = buildClusterChain(reader, first);
      ASSERT_EQ(chain.size(), (size + current.bytesPerCluster - 1) / current.bytesPerCluster);
      std::vector<std::uint8_t> data;
      std::vector<std::uint8_t> cluster(current.bytesPerCluster);
      bool contiguous = true;
      for (std::size_t k = 0; k < chain.size(); ++k) {
        if (k > 0 && chain[k] != chain[k - 1] + 1) contiguous = false;
        ASSERT_TRUE(reader.read(cluster.data(), cluster.size(), clusterSector(current, chain[k])));
        data.insert(data.end(), cluster.begin(), cluster.end());
      }
      data.resize(size);
      EXPECT_EQ(sha256(data), e["sha256"].get<std::string>());
      bool flagged = false;
      for (const auto& f : e["flags"]) flagged = flagged || f == "fragmented";
      EXPECT_EQ(!contiguous, flagged);
      fragmented += flagged ? 1 : 0;
      ++files;
    }
  }
  EXPECT_GT(files, 15);
  EXPECT_EQ(fragmented, 2);
}

}  // namespace
}  // namespace ov::fat
