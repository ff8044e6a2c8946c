// The FAT volume record, the boot sector tests and parsers, the row texts, cluster addressing,
// the FAT engine's reading rules and cluster chains.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "disk/sector_source.h"
#include "fat/fat_volume.h"
#include "tests/support/test_support.h"

namespace ov::fat {
namespace {

FatVolume sample() {
  FatVolume v;
  v.bootCopySector = 0x0102030405060708ull;
  v.startSector = 0x1112131415161718ull;
  v.sectorCount = 0x2122232425262728ull;
  v.serialNumber = 0x3132333435363738ull;
  v.reservedSectors = 0x4142434445464748ull;
  v.secondFatOffset = 0x5152535455565758ull;
  v.dataOffset = 0x6162636465666768ull;
  v.fatSectors = 0x71727374u;
  v.clusterCount = 0x81828384u;
  v.bytesPerCluster = 0x91929394u;
  v.bytesPerSector = 0xA1A2;
  v.sectorsPerCluster = 0xB1;
  v.fatType = 0xC1;
  v.foundBy = 0x0D;
  return v;
}

TEST(StoredFatVolume, FieldsSitAtTheirOffsets) {
  auto b = encodeFatVolume(sample(), true);
  ASSERT_EQ(b.size(), 78u);
  EXPECT_EQ(b[0], 0);
  EXPECT_EQ(b[1], 0x08); EXPECT_EQ(b[8], 0x01);    // bootCopySector
  EXPECT_EQ(b[9], 0x18); EXPECT_EQ(b[16], 0x11);   // startSector
  EXPECT_EQ(b[17], 0x28); EXPECT_EQ(b[24], 0x21);  // sectorCount
  EXPECT_EQ(b[25], 0x38); EXPECT_EQ(b[32], 0x31);  // serialNumber
  EXPECT_EQ(b[33], 0x48); EXPECT_EQ(b[40], 0x41);  // reservedSectors
  EXPECT_EQ(b[41], 0x58); EXPECT_EQ(b[48], 0x51);  // secondFatOffset
  EXPECT_EQ(b[49], 0x68); EXPECT_EQ(b[56], 0x61);  // dataOffset
  EXPECT_EQ(b[57], 0x74); EXPECT_EQ(b[60], 0x71);  // fatSectors
  EXPECT_NE(b[61] | b[62] | b[63] | b[64], 0);      // link: another record follows
  EXPECT_EQ(b[65], 0x84); EXPECT_EQ(b[68], 0x81);  // clusterCount
  EXPECT_EQ(b[69], 0x94); EXPECT_EQ(b[72], 0x91);  // bytesPerCluster
  EXPECT_EQ(b[73], 0xA2); EXPECT_EQ(b[74], 0xA1);  // bytesPerSector
  EXPECT_EQ(b[75], 0xB1);                          // sectorsPerCluster
  EXPECT_EQ(b[76], 0xC1);                          // fatType
  EXPECT_EQ(b[77], 0x0D);                          // foundBy
  auto last = encodeFatVolume(sample(), false);
  EXPECT_EQ(last[61] | last[62] | last[63] | last[64], 0);
}

TEST(StoredFatVolume, RoundTripAndShortRecord) {
  bool hasNext = false;
  auto decoded = decodeFatVolume(encodeFatVolume(sample(), true), &hasNext);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, sample());
  EXPECT_TRUE(hasNext);
  decodeFatVolume(encodeFatVolume(sample(), false), &hasNext);
  EXPECT_FALSE(hasNext);
  auto b = encodeFatVolume(sample(), false);
  EXPECT_FALSE(decodeFatVolume(Bytes(b.data(), 77)));
}

// FAT12 and the root size of a FAT12/FAT16 volume sit in bytes that older records hold as 0:
// those read back as FAT16 with a root of 32 sectors.
TEST(StoredFatVolume, Fat12AndRootEntriesUseBytesOlderRecordsLeaveZero) {
  FatVolume v;
  v.fatType = kFat16;
  v.fat12 = true;
  v.rootEntries = 224;
  v.bytesPerSector = 512;
  auto b = encodeFatVolume(v, false);
  EXPECT_EQ(b[0], 12);
  EXPECT_EQ(le64(Bytes(b.data(), b.size()), 1), 224u);
  auto back = decodeFatVolume(Bytes(b.data(), b.size()));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, v);
  EXPECT_EQ(rootDirSectors(*back), 14u);
  // A record written before: byte 0 and bootCopySector are 0.
  b[0] = 0;
  writeLe<std::uint64_t>(MutableBytes(b.data(), b.size()), 1, 0);
  back = decodeFatVolume(Bytes(b.data(), b.size()));
  ASSERT_TRUE(back);
  EXPECT_FALSE(back->fat12);
  EXPECT_EQ(rootDirSectors(*back), kFat16RootSectors);
  // No root directory holds more than 65,535 entries.
  writeLe<std::uint64_t>(MutableBytes(b.data(), b.size()), 1, 0x10000);
  EXPECT_FALSE(decodeFatVolume(Bytes(b.data(), b.size())));
  // FAT32 keeps its bootCopySector there.
  FatVolume w;
  w.fatType = kFat32;
  w.bootCopySector = 0x123456789ull;
  auto c = encodeFatVolume(w, false);
  EXPECT_EQ(c[0], 0);
  EXPECT_EQ(decodeFatVolume(Bytes(c.data(), c.size()))->bootCopySector, 0x123456789ull);
}

// A FAT16 boot sector as mkfs.fat writes it for 81,920 sectors.
std::vector<std::uint8_t> fat16Boot() {
  std::vector<std::uint8_t> b(512, 0);
  b[0] = 0xEB; b[1] = 0x3C; b[2] = 0x90;
  writeLe<std::uint16_t>(b, 11, 512);
  b[13] = 4;
  writeLe<std::uint16_t>(b, 14, 4);
  b[16] = 2;
  writeLe<std::uint16_t>(b, 17, 512);
  writeLe<std::uint16_t>(b, 22, 80);
  writeLe<std::uint32_t>(b, 32, 81920);
  writeLe<std::uint32_t>(b, 39, 0x5EED1601u);
  std::memcpy(b.data() + 54, "FAT16   ", 8);
  b[510] = 0x55; b[511] = 0xAA;
  return b;
}

std::vector<std::uint8_t> fat32Boot() {
  std::vector<std::uint8_t> b(512, 0);
  b[0] = 0xEB; b[1] = 0x58; b[2] = 0x90;
  writeLe<std::uint16_t>(b, 11, 512);
  b[13] = 1;
  writeLe<std::uint16_t>(b, 14, 32);
  b[16] = 2;
  writeLe<std::uint32_t>(b, 32, 81920);
  writeLe<std::uint32_t>(b, 36, 630);
  writeLe<std::uint32_t>(b, 44, 2);
  writeLe<std::uint16_t>(b, 48, 1);
  writeLe<std::uint16_t>(b, 50, 6);
  writeLe<std::uint32_t>(b, 67, 0x5EED1602u);
  std::memcpy(b.data() + 82, "FAT32   ", 8);
  b[510] = 0x55; b[511] = 0xAA;
  return b;
}

using Edit = void (*)(std::vector<std::uint8_t>&);

TEST(BootSectorTests, SharedRules) {
  for (auto make : {fat16Boot, fat32Boot}) {
    auto test = [&](Edit edit) {
      auto b = make();
      edit(b);
      return make == fat16Boot ? isFat12or16BootSector(b) : isFat32BootSector(b);
    };
    EXPECT_TRUE(test([](std::vector<std::uint8_t>&) {}));
    EXPECT_FALSE(test([](std::vector<std::uint8_t>& b) { b[0] = 0; }));
    EXPECT_FALSE(test([](std::vector<std::uint8_t>& b) { b[1] = 0; }));
    EXPECT_FALSE(test([](std::vector<std::uint8_t>& b) { b[2] = 0x91; }));
    for (std::uint16_t bps : std::initializer_list<std::uint16_t>{0, 512, 1024, 2048, 4096}) {
      auto b = make();
      writeLe<std::uint16_t>(b, 11, bps);
      EXPECT_TRUE(make == fat16Boot ? isFat12or16BootSector(b) : isFat32BootSector(b)) << bps;
    }
    for (std::uint16_t bps : std::initializer_list<std::uint16_t>{1536, 700, 256}) {
      auto b = make();
      writeLe<std::uint16_t>(b, 11, bps);
      EXPECT_FALSE(make == fat16Boot ? isFat12or16BootSector(b) : isFat32BootSector(b)) << bps;
    }
    EXPECT_FALSE(test([](std::vector<std::uint8_t>& b) { b[16] = 1; }));
    EXPECT_FALSE(test([](std::vector<std::uint8_t>& b) { b[16] = 3; }));
    EXPECT_FALSE(test([](std::vector<std::uint8_t>& b) { b[13] = 0; }));
    EXPECT_FALSE(test([](std::vector<std::uint8_t>& b) { b[13] = 3; }));
    EXPECT_TRUE(test([](std::vector<std::uint8_t>& b) { b[13] = 1; }));
    EXPECT_TRUE(test([](std::vector<std::uint8_t>& b) { b[13] = 64; }));
    auto b = make();
    EXPECT_FALSE(isFat12or16BootSector(Bytes(b.data(), 100)));
    EXPECT_FALSE(isFat32BootSector(Bytes(b.data(), 100)));
  }
}

// The cluster count decides between FAT12 and FAT16 (the 16-bit total when it is not 0); the
// volume's size does not matter.
TEST(BootSectorTests, Fat12AndFat16Rules) {
  EXPECT_FALSE(isFat32BootSector(fat16Boot()));
  struct Row {
    const char* what;
    void (*edit)(std::vector<std::uint8_t>&);
    bool accepted;
    bool fat12;
  };
  const Row rows[] = {
      {"mkfs.fat FAT16, 81,920 sectors", [](std::vector<std::uint8_t>&) {}, true, false},
      {"FAT16 below 65,536 sectors", [](std::vector<std::uint8_t>& b) {
         writeLe<std::uint32_t>(b, 32, 0);
         writeLe<std::uint16_t>(b, 19, 60000);
       }, true, false},
      {"1.44 MB floppy", [](std::vector<std::uint8_t>& b) {
         writeLe<std::uint32_t>(b, 32, 0);
         writeLe<std::uint16_t>(b, 19, 2880);
         b[13] = 1;
         writeLe<std::uint16_t>(b, 14, 1);
         writeLe<std::uint16_t>(b, 17, 224);
         writeLe<std::uint16_t>(b, 22, 9);
         b[21] = 0xF0;
       }, true, true},
      // reserved 4 + FATs 160 + root 32 = 196 sectors before 4,084 or 4,085 clusters of 4.
      {"4,084 clusters", [](std::vector<std::uint8_t>& b) {
         writeLe<std::uint32_t>(b, 32, 196 + 4084 * 4 + 3);
       }, true, true},
      {"4,085 clusters", [](std::vector<std::uint8_t>& b) { writeLe<std::uint32_t>(b, 32, 196 + 4085 * 4); }, true, false},
      {"16-bit total wins", [](std::vector<std::uint8_t>& b) { writeLe<std::uint16_t>(b, 19, 196 + 100 * 4); }, true, true},
      {"no file system name", [](std::vector<std::uint8_t>& b) { writeLe<std::uint32_t>(b, 57, 0); }, false, false},
      {"no root entries", [](std::vector<std::uint8_t>& b) { writeLe<std::uint16_t>(b, 17, 0); }, false, false},
      {"no reserved sector", [](std::vector<std::uint8_t>& b) { writeLe<std::uint16_t>(b, 14, 0); }, false, false},
      {"no 16-bit FAT size", [](std::vector<std::uint8_t>& b) { writeLe<std::uint16_t>(b, 22, 0); }, false, false},
      {"no size at all", [](std::vector<std::uint8_t>& b) { writeLe<std::uint32_t>(b, 32, 0); }, false, false},
      {"no room for a cluster", [](std::vector<std::uint8_t>& b) { writeLe<std::uint32_t>(b, 32, 199); }, false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto b = fat16Boot();
    row.edit(b);
    EXPECT_EQ(isFat12or16BootSector(b), row.accepted);
    if (!row.accepted) continue;
    FatVolume v;
    parseFat12or16BootSector(b, v);
    EXPECT_EQ(v.fatType, kFat16);
    EXPECT_EQ(v.fat12, row.fat12);
    EXPECT_EQ(v.rootEntries, le16(b, 17));
    EXPECT_EQ(fatEntryBits(v), row.fat12 ? 12u : 16u);
    EXPECT_EQ(std::string(fatKindName(v)), row.fat12 ? "fat12" : "fat16");
  }
}

TEST(BootSectorTests, Fat32Rules) {
  EXPECT_FALSE(isFat12or16BootSector(fat32Boot()));
  auto b = fat32Boot();
  writeLe<std::uint32_t>(b, 44, 3);
  EXPECT_FALSE(isFat32BootSector(b));
  b = fat32Boot();
  writeLe<std::uint16_t>(b, 50, 0);
  EXPECT_FALSE(isFat32BootSector(b));
  b = fat32Boot();
  writeLe<std::uint16_t>(b, 48, 2);
  EXPECT_FALSE(isFat32BootSector(b));
}

TEST(BootSectorParse, Fat16Fields) {
  FatVolume v;
  parseFat12or16BootSector(fat16Boot(), v);
  EXPECT_EQ(v.bytesPerSector, 512);
  EXPECT_EQ(v.sectorsPerCluster, 4);
  EXPECT_EQ(v.bytesPerCluster, 2048u);
  EXPECT_EQ(v.serialNumber, 0x5EED1601u);
  EXPECT_EQ(v.fatType, kFat16);
  EXPECT_EQ(v.fatSectors, 80u);
  EXPECT_EQ(v.sectorCount, 81920u);
  EXPECT_EQ(v.reservedSectors, 4u);
  EXPECT_EQ(v.secondFatOffset, 84u);
  EXPECT_EQ(v.dataOffset, 164u);
  EXPECT_EQ(v.clusterCount, (81920u - 164u) / 4u);  // the root's 32 sectors count as data
  auto b = fat16Boot();
  writeLe<std::uint16_t>(b, 19, 40000);  // the 16-bit total wins when it is set
  parseFat12or16BootSector(b, v);
  EXPECT_EQ(v.sectorCount, 40000u);
}

TEST(BootSectorParse, Fat32Fields) {
  FatVolume v;
  parseFat32BootSector(fat32Boot(), v);
  EXPECT_EQ(v.bytesPerSector, 512);
  EXPECT_EQ(v.sectorsPerCluster, 1);
  EXPECT_EQ(v.bytesPerCluster, 512u);
  EXPECT_EQ(v.serialNumber, 0x5EED1602u);
  EXPECT_EQ(v.fatType, kFat32);
  EXPECT_EQ(v.fatSectors, 630u);
  EXPECT_EQ(v.sectorCount, 81920u);
  EXPECT_EQ(v.secondFatOffset, 662u);
  EXPECT_EQ(v.dataOffset, 1292u);
  EXPECT_EQ(v.clusterCount, 81920u - 1292u);
  EXPECT_EQ(v.bootCopySector, 0u);
  EXPECT_EQ(v.foundBy, 0);
}

TEST(BootSectorParse, VolumeSmallerThanItsFatsHasNoClusters) {
  auto b = fat32Boot();
  writeLe<std::uint32_t>(b, 32, 1000);  // less than reserved + 2 FATs
  FatVolume v;
  parseFat32BootSector(b, v);
  EXPECT_EQ(v.clusterCount, 0u);
  auto s = fat16Boot();
  writeLe<std::uint16_t>(s, 19, 100);
  parseFat12or16BootSector(s, v);
  EXPECT_EQ(v.clusterCount, 0u);
}

TEST(SelectVolume, ZeroSizesTakeDefaults) {
  FatVolume v;
  v.startSector = 7;
  FatVolume c = selectVolume(v, 4096);
  EXPECT_EQ(c.bytesPerSector, 4096);
  EXPECT_EQ(c.sectorsPerCluster, 8);
  EXPECT_EQ(c.bytesPerCluster, 32768u);
  EXPECT_EQ(c.startSector, 7u);
  v.bytesPerSector = 512;
  v.sectorsPerCluster = 2;
  v.bytesPerCluster = 999;  // kept when set
  c = selectVolume(v, 4096);
  EXPECT_EQ(c.bytesPerSector, 512);
  EXPECT_EQ(c.bytesPerCluster, 999u);
  // A parsed boot sector with bytes-per-sector 0 is usable once selected.
  auto b = fat16Boot();
  writeLe<std::uint16_t>(b, 11, 0);
  ASSERT_TRUE(isFat12or16BootSector(b));
  FatVolume p;
  parseFat12or16BootSector(b, p);
  EXPECT_EQ(selectVolume(p, 512).bytesPerCluster, 2048u);
}

TEST(ClusterAddressing, Fat16RootComesFirst) {
  FatVolume v;
  v.startSector = 2048;
  v.dataOffset = 164;
  v.sectorsPerCluster = 4;
  v.fatType = kFat16;
  EXPECT_EQ(fat16RootSector(v), 2212u);
  EXPECT_EQ(clusterSector(v, 2), 2244u);
  EXPECT_EQ(clusterSector(v, 5), 2256u);
  EXPECT_EQ(rootFolderKey(v), 1u);
  // A floppy's root of 224 entries is 14 sectors; 512 entries of 4,096-byte sectors are 4.
  v.rootEntries = 224;
  v.bytesPerSector = 512;
  EXPECT_EQ(clusterSector(v, 2), 2212u + 14u);
  v.rootEntries = 512;
  v.bytesPerSector = 4096;
  EXPECT_EQ(clusterSector(v, 2), 2212u + 4u);
  v.fatType = kFat32;
  v.dataOffset = 1292;
  v.sectorsPerCluster = 1;
  EXPECT_EQ(clusterSector(v, 2), 3340u);
  EXPECT_EQ(clusterSector(v, 10), 3348u);
  EXPECT_EQ(rootFolderKey(v), 2u);
}

TEST(RowTexts, LabelSizeClusterAndStart) {
  FatVolume v;
  v.fatType = kFat16;
  EXPECT_EQ(fatVolumeLabel(v, 1), "FAT 16 logical drive 1");
  v.fat12 = true;
  EXPECT_EQ(fatVolumeLabel(v, 4), "FAT 12 logical drive 4");
  v.fat12 = false;
  v.fatType = kFat32;
  EXPECT_EQ(fatVolumeLabel(v, 3), "FAT 32 logical drive 3");
  v.fatType = kFatUnknown;
  EXPECT_EQ(fatVolumeLabel(v, 2), "FAT 32 logical drive 2");
  v.bytesPerSector = 512;
  v.sectorCount = 100;
  EXPECT_EQ(fatVolumeSizeText(v), " 50.000 KB");
  v.sectorCount = 81920;
  EXPECT_EQ(fatVolumeSizeText(v), " 40.000 MB");
  v.sectorCount = 3u * 1024 * 1024 * 2;
  EXPECT_EQ(fatVolumeSizeText(v), "  3.000 GB");
  v.sectorCount = UINT64_MAX;  // no wrap to a small size
  EXPECT_NE(fatVolumeSizeText(v).find("GB"), std::string::npos);
  v.bytesPerCluster = 2048;
  EXPECT_EQ(fatClusterSizeText(v), "2.0 KB");
  v.bytesPerCluster = 512;
  EXPECT_EQ(fatClusterSizeText(v), "0.5 KB");
  v.bytesPerCluster = 32768;
  EXPECT_EQ(fatClusterSizeText(v), "32.0 KB");
  v.startSector = 0x100000800ull;
  EXPECT_EQ(fatVolumeStartText(v), "2048");
}

// ---- Reading ----

struct ReadFixture {
  ov::test::RecordingHost host;
  RunControl run;
  SectorSource source{host, run};
  std::vector<std::uint8_t> disk;
  FaultBackend* faults = nullptr;
  explicit ReadFixture(std::size_t sectors) : disk(sectors * 512) {
    for (std::size_t i = 0; i < disk.size(); ++i) disk[i] = static_cast<std::uint8_t>(i / 512 + i % 7);
  }
  void open() {
    auto f = std::make_unique<FaultBackend>(std::make_unique<MemoryBackend>(disk), 512);
    faults = f.get();
    source.openBackend(std::move(f), 512, disk.size() / 512);
    run.start();
  }
};

TEST(FatReader, SkippedSectorsReadAsZerosAndAreNotLogged) {
  ReadFixture f(64);
  f.open();
  f.faults->failSector(12, EIO);
  FatVolume none;
  FatReader reader(f.source, none);
  std::vector<std::uint8_t> buffer(8 * 512, 0xEE);
  EXPECT_TRUE(reader.read(buffer.data(), buffer.size(), 10));
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    std::uint8_t want = (i / 512 == 2) ? 0 : f.disk[10 * 512 + i];
    ASSERT_EQ(buffer[i], want) << i;
  }
  EXPECT_TRUE(f.host.log.empty());
  EXPECT_TRUE(f.host.messages.empty());
}

TEST(FatReader, DeviceErrorsWaitHalfASecondPerSector) {
  ReadFixture f(64);
  f.open();
  for (std::uint64_t s = 0; s < 4; ++s) f.faults->failSector(s, EBUSY);
  FatVolume none;
  FatReader reader(f.source, none);
  std::vector<std::chrono::milliseconds> waits;
  reader.setSleeper([&](std::chrono::milliseconds ms) { waits.push_back(ms); });
  std::vector<std::uint8_t> buffer(4 * 512);
  EXPECT_TRUE(reader.read(buffer.data(), buffer.size(), 0));
  ASSERT_EQ(waits.size(), 4u);
  for (auto w : waits) EXPECT_EQ(w.count(), 500);
}

TEST(FatReader, OtherErrorsAreReportedAndEndTheOperation) {
  ReadFixture f(64);
  f.open();
  f.faults->failSector(3, EACCES);
  FatVolume none;
  FatReader reader(f.source, none);
  std::vector<std::uint8_t> buffer(8 * 512);
  EXPECT_THROW(reader.read(buffer.data(), buffer.size(), 0), AlreadyReported);
  ASSERT_EQ(f.host.messages.size(), 1u);
  EXPECT_EQ(f.host.messages[0].title, "Error");
  EXPECT_EQ(f.host.messages[0].text, systemErrorText(EACCES));
}

TEST(FatReader, AFailureOnTheLastPieceIsStillReported) {
  ReadFixture f(64);
  f.open();
  f.faults->failSector(1, ENODEV);
  FatVolume none;
  FatReader reader(f.source, none);
  std::vector<std::uint8_t> buffer(2 * 512);
  f.faults->failSector(0, EIO);
  EXPECT_THROW(reader.read(buffer.data(), buffer.size(), 0), AlreadyReported);
}

TEST(FatReader, AbortDuringTheRetryReturnsFalse) {
  ReadFixture f(64);
  f.open();
  f.faults->failSector(5, EIO);
  f.run.stop();
  FatVolume none;
  FatReader reader(f.source, none);
  std::vector<std::uint8_t> buffer(8 * 512);
  EXPECT_FALSE(reader.read(buffer.data(), buffer.size(), 0));
  EXPECT_TRUE(reader.read(buffer.data(), 512, 0));  // a clean read does not look at `running`
}

TEST(FatReader, RetryStepIsTheVolumeSectorAndPiecesLineUpWithTheWholeRead) {
  ReadFixture f(64);
  f.open();
  f.faults->failSector(12, EIO);  // inside the second 1024-byte piece
  FatVolume v;
  v.bytesPerSector = 1024;
  FatReader reader(f.source, v);
  std::vector<std::uint8_t> buffer(4096, 0xEE);
  EXPECT_TRUE(reader.read(buffer.data(), buffer.size(), 10));
  // Four reads for the pieces plus the failed whole read; the failed piece is all zeros.
  EXPECT_EQ(f.faults->readCount(), 5u);
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    std::uint8_t want = (i / 1024 == 1) ? 0 : f.disk[10 * 512 + i];
    ASSERT_EQ(buffer[i], want) << i;
  }
}

TEST(FatReader, ReadPastTheEndGivesZeros) {
  ReadFixture f(4);
  f.open();
  FatVolume none;
  FatReader reader(f.source, none);
  std::vector<std::uint8_t> buffer(1024, 0xEE);
  EXPECT_TRUE(reader.read(buffer.data(), buffer.size(), 3));
  EXPECT_EQ(buffer[0], f.disk[3 * 512]);
  EXPECT_EQ(buffer[600], 0);
}

// ---- Cluster chains ----

struct ChainFixture {
  ov::test::RecordingHost host;
  RunControl run;
  SectorSource source{host, run};
  std::vector<std::uint8_t> disk;
  FatVolume v;
  // A volume at sector 10 with 4 reserved sectors and FATs of `fatSectors` sectors.
  ChainFixture(std::uint8_t type, std::uint32_t fatSectors) : disk((16 + 2 * fatSectors) * 512, 0) {
    v.startSector = 10;
    v.reservedSectors = 0;
    v.fatSectors = fatSectors;
    v.bytesPerSector = 512;
    v.sectorsPerCluster = 1;
    v.fatType = type;
  }
  void set(std::uint32_t cluster, std::uint32_t value, std::uint64_t fatOffset = 0) {
    if (v.fat12) {  // two entries in three bytes, the even one in the low 12 bits
      std::size_t at = (v.startSector + fatOffset) * 512 + cluster + cluster / 2;
      std::uint16_t pair = le16(disk, at);
      pair = cluster % 2 == 0 ? static_cast<std::uint16_t>((pair & 0xF000) | value)
                              : static_cast<std::uint16_t>((pair & 0x000F) | (value << 4));
      writeLe<std::uint16_t>(disk, at, pair);
      return;
    }
    std::size_t at = (v.startSector + fatOffset) * 512 + static_cast<std::size_t>(cluster) * 2u * v.fatType;
    if (v.fatType == kFat16) writeLe<std::uint16_t>(disk, at, static_cast<std::uint16_t>(value));
    else writeLe<std::uint32_t>(disk, at, value);
  }
  std::vector<std::uint32_t> chain(std::uint32_t first) {
    source.openBackend(std::make_unique<MemoryBackend>(disk), 512, disk.size() / 512);
    run.start();
    FatReader reader(source, v);
    return buildClusterChain(reader, first);
  }
};

using Chain = std::vector<std::uint32_t>;

TEST(ClusterChain, Fat16FollowsToTheEndMarker) {
  ChainFixture f(kFat16, 4);
  f.set(2, 3);
  f.set(3, 7);
  f.set(7, 300);  // in the FAT's second sector
  f.set(300, 0xFFFF);
  EXPECT_EQ(f.chain(2), (Chain{2, 3, 7, 300}));
}

// Two 12-bit entries share three bytes; entry 341 straddles the FAT's first two sectors.
TEST(ClusterChain, Fat12EntriesOfBothHalvesAndAcrossASectorBoundary) {
  ChainFixture f(kFat16, 4);
  f.v.fat12 = true;
  f.set(2, 3);
  f.set(3, 340);
  f.set(340, 341);
  f.set(341, 342);
  f.set(342, 0xFFF);
  f.set(4, 0xABC);  // a neighbour of 3 and 5 that must not leak into them
  f.set(5, 0x123);
  EXPECT_EQ(f.chain(2), (Chain{2, 3, 340, 341, 342}));
  f.set(342, 0xFF7);  // bad cluster
  EXPECT_EQ(f.chain(341), (Chain{341, 342}));
  f.set(342, 0xFF8);
  EXPECT_EQ(f.chain(340), (Chain{340, 341, 342}));
  f.set(342, 1);
  EXPECT_EQ(f.chain(342), (Chain{342}));
  // The longest chain a FAT12 volume can hold is kept; one longer is garbage.
  ChainFixture g(kFat16, 12);
  g.v.fat12 = true;
  for (std::uint32_t c = 2; c < kMaxFat12Clusters + 2; ++c) g.set(c, c + 1);
  g.set(kMaxFat12Clusters + 1, 0xFFF);
  EXPECT_EQ(g.chain(2).size(), kMaxFat12Clusters);
  g.set(kMaxFat12Clusters + 1, kMaxFat12Clusters + 2);
  g.set(kMaxFat12Clusters + 2, 0xFFF);
  EXPECT_TRUE(g.chain(2).empty());
}

TEST(ClusterChain, ClusterOneIsTheFat16RootAndHasNoChain) {
  ChainFixture f(kFat16, 4);
  f.set(1, 5);
  EXPECT_TRUE(f.chain(1).empty());
}

TEST(ClusterChain, Fat16BadClusterMarkEndsTheChain) {
  ChainFixture f(kFat16, 4);
  f.set(2, 4);
  f.set(4, 0xFFF7);
  EXPECT_EQ(f.chain(2), (Chain{2, 4}));
  ChainFixture g(kFat16, 4);
  g.set(2, 0xFFF0);
  EXPECT_EQ(g.chain(2), (Chain{2}));
  ChainFixture h(kFat16, 4);
  h.set(2, 0);  // free: the chain ends
  EXPECT_EQ(h.chain(2), (Chain{2}));
  ChainFixture k(kFat16, 4);
  k.set(2, 1);
  EXPECT_EQ(k.chain(2), (Chain{2}));
}

TEST(ClusterChain, Fat32MaskedEndMarkerEndsTheChain) {
  ChainFixture f(kFat32, 4);
  f.set(5, 6);
  f.set(6, 0xFFFFFFF8u);
  EXPECT_EQ(f.chain(5), (Chain{5, 6}));
  ChainFixture g(kFat32, 4);
  g.set(5, 0x0FFFFFF7u);  // bad cluster
  EXPECT_EQ(g.chain(5), (Chain{5}));
  ChainFixture h(kFat32, 4);
  h.set(5, 0xF0000009u);  // the top four bits are not part of the cluster number
  h.set(9, 0x0FFFFFFFu);
  EXPECT_EQ(h.chain(5), (Chain{5, 9}));
}

TEST(ClusterChain, SelfPointingEntryEndsTheChain) {
  ChainFixture f(kFat16, 4);
  f.set(2, 3);
  f.set(3, 3);
  EXPECT_EQ(f.chain(2), (Chain{2, 3}));
  ChainFixture g(kFat32, 4);
  g.set(4, 4);
  EXPECT_EQ(g.chain(4), (Chain{4}));
}

TEST(ClusterChain, ChainThatLoopsBackToAnEarlierClusterEnds) {
  ChainFixture f(kFat16, 4);
  f.set(2, 3);
  f.set(3, 4);
  f.set(4, 5);
  f.set(5, 3);
  EXPECT_EQ(f.chain(2), (Chain{2, 3, 4, 5}));
  // A long loop, past the point where the chain switches to its bitmap of held clusters.
  ChainFixture g(kFat32, 8);
  for (std::uint32_t c = 2; c < 900; ++c) g.set(c, c + 1);
  g.set(900, 100);
  auto chain = g.chain(2);
  ASSERT_EQ(chain.size(), 899u);
  EXPECT_EQ(chain.back(), 900u);
}

TEST(ClusterChain, ReadsTheSecondFatWhenItIsSet) {
  ChainFixture f(kFat16, 4);
  f.v.secondFatOffset = 4;
  f.set(2, 0xFFFF);       // first FAT: ends at once
  f.set(2, 8, 4);         // second FAT: goes on
  f.set(8, 0xFFFF, 4);
  EXPECT_EQ(f.chain(2), (Chain{2, 8}));
}

TEST(ClusterChain, LongestPossibleFat16ChainIsKeptWhole) {
  // Every cluster number from 2 to 0xFFEF once: 65,518 clusters, below the 65,525 limit; with
  // the loop guard no FAT16 chain can reach the limit.
  ChainFixture f(kFat16, 256);
  for (std::uint32_t c = 2; c < 0xFFEF; ++c) f.set(c, c + 1);
  f.set(0xFFEF, 0xFFFF);
  auto chain = f.chain(2);
  ASSERT_EQ(chain.size(), 65518u);
  EXPECT_EQ(chain.front(), 2u);
  EXPECT_EQ(chain.back(), 0xFFEFu);
}

TEST(ClusterChain, VolumeWithoutTypeOrSectorSizeHasNoChain) {
  ChainFixture f(kFatUnknown, 4);
  EXPECT_TRUE(f.chain(2).empty());
  ChainFixture g(kFat32, 4);
  g.v.bytesPerSector = 0;
  EXPECT_TRUE(g.chain(2).empty());
}

TEST(ClusterChain, AbortKeepsWhatWasFollowed) {
  ov::test::RecordingHost host;
  RunControl run;
  SectorSource source(host, run);
  std::vector<std::uint8_t> disk(64 * 512, 0);
  writeLe<std::uint16_t>(disk, 10 * 512 + 4, 300);  // cluster 2 -> 300, in the next FAT sector
  auto faulty = std::make_unique<FaultBackend>(std::make_unique<MemoryBackend>(disk), 512);
  faulty->failSector(11, EIO);
  source.openBackend(std::move(faulty), 512, 64);
  FatVolume v;
  v.startSector = 10;
  v.bytesPerSector = 512;
  v.fatType = kFat16;
  FatReader reader(source, v);
  run.stop();
  EXPECT_EQ(buildClusterChain(reader, 2), (Chain{2, 300}));
}

}  // namespace
}  // namespace ov::fat
