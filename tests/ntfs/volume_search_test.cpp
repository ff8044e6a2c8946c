#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "disk/sector_source.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs/volume_finder.h"
#include "tests/ntfs/ntfs_builders.h"
#include "tests/support/test_support.h"

namespace ov::ntfs {
namespace {

using test::BootFields;
using test::RecordBuilder;

struct SearchFixture {
  ov::test::RecordingHost host;
  RunControl run;
  SectorSource source{host, run};
  std::vector<LogicalVolume> volumes;
  std::vector<std::uint8_t> disk;

  explicit SearchFixture(std::size_t sectors) : disk(sectors * 512, 0) {}
  void put(std::uint64_t sector, const std::vector<std::uint8_t>& bytes) {
    std::memcpy(disk.data() + sector * 512, bytes.data(), bytes.size());
  }
  void open() {
    source.openBackend(std::make_unique<MemoryBackend>(disk), 512, disk.size() / 512);
    run.start();
  }
};

TEST(QuickSearch, RangeIsRoundedToCylinders) {
  EXPECT_EQ(roundToCylinder(8000, false), 0u);
  EXPECT_EQ(roundToCylinder(24100, false), 32130u);
  EXPECT_EQ(roundToCylinder(24096, false), 16065u);  // r = 8031
  EXPECT_EQ(roundToCylinder(100, true), 16065u);
  EXPECT_EQ(roundToCylinder(16066, true), 16065u);
}

TEST(QuickSearch, FindsVolumesAtCylinderStartsAndAfterTheFirstTrack) {
  SearchFixture f(70000);
  BootFields a;
  a.totalSectors = 16000;
  f.put(63, test::bootSector(a));
  BootFields b;
  b.totalSectors = 30000;
  b.serial = 99;
  f.put(32130, test::bootSector(b));
  f.open();
  ASSERT_TRUE(quickSearch(f.source, 0, 70000, f.volumes));
  ASSERT_EQ(f.volumes.size(), 2u);
  EXPECT_EQ(f.volumes[0].startSector, 63u);
  EXPECT_EQ(f.volumes[0].sectorCount, 16000u);
  EXPECT_EQ(f.volumes[0].foundBy, kFoundBootSector);
  EXPECT_EQ(f.volumes[0].indexRecordBytes, 0u);
  EXPECT_EQ(f.volumes[0].sectorsPerIndexRecord, 8);
  EXPECT_EQ(f.volumes[1].startSector, 32130u);
  EXPECT_EQ(f.host.found, (std::vector<std::uint64_t>{63, 32130}));
  EXPECT_EQ(f.host.progress.back(), (std::pair<std::uint64_t, std::uint64_t>{64260, 64260}));
}

TEST(QuickSearch, SameVolumeAtACylinderAndOneTrackLaterIsListedOnce) {
  SearchFixture f(40000);
  BootFields a;
  a.totalSectors = 10000;
  f.put(16065, test::bootSector(a));
  f.put(16128, test::bootSector(a));
  f.open();
  quickSearch(f.source, 0, 40000, f.volumes);
  ASSERT_EQ(f.volumes.size(), 1u);
  EXPECT_EQ(f.volumes[0].startSector, 16065u);
}

TEST(QuickSearch, AlsoProbesOneMebibyteBoundariesInOrder) {
  SearchFixture f(40000);
  BootFields a;
  a.totalSectors = 10000;
  f.put(4096, test::bootSector(a));
  f.open();
  ASSERT_TRUE(quickSearch(f.source, 0, 40000, f.volumes));
  ASSERT_EQ(f.volumes.size(), 1u);
  EXPECT_EQ(f.volumes[0].startSector, 4096u);
  std::vector<std::uint64_t> probed;
  for (auto [pos, end] : f.host.progress) probed.push_back(pos);
  probed.pop_back();  // the closing message
  EXPECT_TRUE(std::is_sorted(probed.begin(), probed.end()));
  EXPECT_EQ(std::adjacent_find(probed.begin(), probed.end()), probed.end());  // each once
  EXPECT_EQ(std::count(probed.begin(), probed.end(), 0u), 1);
  EXPECT_EQ(std::count(probed.begin(), probed.end(), 16065u), 1);
  EXPECT_EQ(std::count(probed.begin(), probed.end(), 30720u), 1);
}

TEST(QuickSearch, VolumeLargerThanTheDiskIsNotListed) {
  SearchFixture f(20000);
  BootFields a;
  a.totalSectors = 20000;
  f.put(63, test::bootSector(a));
  f.open();
  quickSearch(f.source, 0, 20000, f.volumes);
  EXPECT_TRUE(f.volumes.empty());
}

TEST(QuickSearch, AbortStopsAndReportsIt) {
  struct StoppingHost : ov::test::RecordingHost {
    RunControl* run = nullptr;
    void searchProgress(std::uint64_t p, std::uint64_t e) override {
      RecordingHost::searchProgress(p, e);
      if (progress.size() == 3) run->stop();
    }
  } host;
  RunControl run;
  host.run = &run;
  SectorSource source(host, run);
  source.openBackend(std::make_unique<MemoryBackend>(std::vector<std::uint8_t>(200000 * 512)), 512, 200000);
  run.start();
  std::vector<LogicalVolume> volumes;
  EXPECT_FALSE(quickSearch(source, 0, 200000, volumes));
  // It stops after the probes of the cylinder it was in: far fewer than a whole run's.
  EXPECT_LT(host.progress.size(), 15u);
  EXPECT_EQ(host.progress.back().first, host.progress.back().second);
}

// A volume at sector 100 whose boot sector is gone: MFT at cluster 4, mirror at cluster 50,
// 4096-byte clusters (8 sectors), 1024-byte records.
constexpr std::uint64_t kStart = 100, kMftLcn = 4, kMirrLcn = 50, kSpc = 8;
constexpr std::uint64_t kMftSector = kStart + kMftLcn * kSpc, kMirrSector = kStart + kMirrLcn * kSpc;

TEST(ThoroughSearch, MftRecordAndItsCopyGiveAVolumeWithoutSerial) {
  SearchFixture f(2000);
  auto record0 = RecordBuilder::firstMftRecord(u"$MFT", 7, 7, kMftLcn, kMirrLcn);
  auto record1 = RecordBuilder::firstMftRecord(u"$MFTMirr", 7, 7, kMftLcn, kMirrLcn);
  f.put(kMftSector, record0);
  f.put(kMftSector + 2, record1);
  f.put(kMirrSector, record0);
  f.put(kMirrSector + 2, record1);
  f.open();
  ASSERT_TRUE(thoroughSearch(f.source, 0, 2000, f.volumes));
  ASSERT_EQ(f.volumes.size(), 1u);
  const auto& v = f.volumes[0];
  EXPECT_EQ(v.startSector, kStart);
  EXPECT_EQ(v.mftLcn, kMftLcn);
  EXPECT_EQ(v.mftMirrLcn, kMirrLcn);
  EXPECT_EQ(v.sectorCount, 2 * kSpc * kMirrLcn);
  EXPECT_EQ(v.mftSector, kMirrSector);
  EXPECT_EQ(v.serialNumber, 0u);
  EXPECT_EQ(v.foundBy, kFoundMftCopies);
  EXPECT_EQ(v.bytesPerCluster, 4096u);
  EXPECT_EQ(v.bytesPerSector, 512);
  EXPECT_EQ(v.sectorsPerMftRecord, 2);
  EXPECT_TRUE(f.host.found.empty());  // derived volumes send no found message
}

TEST(ThoroughSearch, OnlyTheMirrorRecordsGiveTheSameVolume) {
  SearchFixture f(2000);
  auto record1 = RecordBuilder::firstMftRecord(u"$MFTMirr", 7, 7, kMftLcn, kMirrLcn);
  f.put(kMftSector + 2, record1);
  f.put(kMirrSector + 2, record1);
  f.open();
  thoroughSearch(f.source, 0, 2000, f.volumes);
  ASSERT_EQ(f.volumes.size(), 1u);
  EXPECT_EQ(f.volumes[0].startSector, kStart);
  EXPECT_EQ(f.volumes[0].mftLcn, kMftLcn);
  EXPECT_EQ(f.volumes[0].mftSector, kMirrSector);
}

TEST(ThoroughSearch, RecordsZeroAndOneSideBySideArePairedAtTheRightStart) {
  SearchFixture f(2000);
  f.put(kMftSector, RecordBuilder::firstMftRecord(u"$MFT", 7, 7, kMftLcn, kMirrLcn));
  f.put(kMftSector + 2, RecordBuilder::firstMftRecord(u"$MFTMirr", 7, 7, kMftLcn, kMirrLcn));
  f.open();
  thoroughSearch(f.source, 0, 2000, f.volumes);
  ASSERT_EQ(f.volumes.size(), 1u);
  EXPECT_EQ(f.volumes[0].startSector, kStart);
  EXPECT_EQ(f.volumes[0].mftSector, kMftSector);
  EXPECT_EQ(f.volumes[0].foundBy, kFoundMftMirrorPair);
}

TEST(ThoroughSearch, RecordZeroPairedWithTheMirrorCopyOfRecordOne) {
  SearchFixture f(2000);
  f.put(kMftSector, RecordBuilder::firstMftRecord(u"$MFT", 7, 7, kMftLcn, kMirrLcn));
  f.put(kMirrSector + 2, RecordBuilder::firstMftRecord(u"$MFTMirr", 7, 7, kMftLcn, kMirrLcn));
  f.open();
  thoroughSearch(f.source, 0, 2000, f.volumes);
  ASSERT_EQ(f.volumes.size(), 1u);
  EXPECT_EQ(f.volumes[0].startSector, kStart);
}

TEST(ThoroughSearch, RecordsOfDifferentVolumesAreNotPaired) {
  SearchFixture f(2000);
  f.put(kMftSector, RecordBuilder::firstMftRecord(u"$MFT", 7, 7, kMftLcn, kMirrLcn));
  f.put(kMftSector + 2, RecordBuilder::firstMftRecord(u"$MFTMirr", 8, 8, kMftLcn, kMirrLcn));
  f.open();
  thoroughSearch(f.source, 0, 2000, f.volumes);
  EXPECT_TRUE(f.volumes.empty());
}

TEST(ThoroughSearch, BootSectorFoundAgainSetsItsFlagAndDerivedVolumeJoinsIt) {
  SearchFixture f(2000);
  BootFields b;
  b.totalSectors = 2 * kSpc * kMirrLcn;
  b.mftLcn = kMftLcn;
  b.mftMirrLcn = kMirrLcn;
  f.put(kStart, test::bootSector(b));
  f.put(kStart + 900, test::bootSector(b));  // a backup copy further on
  auto record0 = RecordBuilder::firstMftRecord(u"$MFT", 7, 7, kMftLcn, kMirrLcn);
  f.put(kMftSector, record0);
  f.put(kMirrSector, record0);
  f.open();
  thoroughSearch(f.source, 0, 2000, f.volumes);
  ASSERT_EQ(f.volumes.size(), 1u);
  EXPECT_EQ(f.volumes[0].startSector, kStart);
  EXPECT_EQ(f.volumes[0].serialNumber, b.serial);
  EXPECT_EQ(f.volumes[0].foundBy, kFoundBootSector | kFoundBootAgain | kFoundMftCopies);
  EXPECT_EQ(f.host.found, std::vector<std::uint64_t>{kStart});
}

TEST(ThoroughSearch, SearchesOnlyTheRange) {
  SearchFixture f(2000);
  BootFields b;
  b.totalSectors = 500;
  f.put(1200, test::bootSector(b));
  f.open();
  thoroughSearch(f.source, 0, 1200, f.volumes);
  EXPECT_TRUE(f.volumes.empty());
  thoroughSearch(f.source, 1200, 1201, f.volumes);
  EXPECT_EQ(f.volumes.size(), 1u);
}

TEST(ThoroughSearch, UnreadableSectorsAreSkipped) {
  ov::test::RecordingHost host;
  RunControl run;
  SectorSource source(host, run);
  std::vector<std::uint8_t> disk(4000 * 512, 0);
  BootFields b;
  b.totalSectors = 1000;
  auto boot = test::bootSector(b);
  std::memcpy(disk.data() + 3000 * 512, boot.data(), 512);
  auto faulty = std::make_unique<FaultBackend>(std::make_unique<MemoryBackend>(disk), 512);
  faulty->failSector(10, EIO);
  source.openBackend(std::move(faulty), 512, 4000);
  run.start();
  std::vector<LogicalVolume> volumes;
  EXPECT_TRUE(thoroughSearch(source, 0, 4000, volumes));
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_EQ(volumes[0].startSector, 3000u);
  ASSERT_FALSE(host.log.empty());
  EXPECT_EQ(host.log.back().name, "Drive access error @ sector =10 (Code =" + std::to_string(EIO) + ")");
}

TEST(EngineSearch, LogsTheRangeAndReportsTheEnd) {
  ov::test::RecordingHost host;
  RunControl run;
  NtfsEngine engine(host, run);
  engine.source().openBackend(std::make_unique<MemoryBackend>(std::vector<std::uint8_t>(1000 * 512)), 512, 1000);
  EXPECT_TRUE(engine.searchVolumes(SearchMode::Thorough, 10, 1000));
  ASSERT_EQ(host.log.size(), 1u);
  EXPECT_EQ(host.log[0].name, "Searching Logical Volumes");
  EXPECT_EQ(host.log[0].description, "Sectors Range 10 to 1000");
  EXPECT_EQ(host.finished, std::vector<bool>{true});
  EXPECT_FALSE(run.running());
}

}  // namespace
}  // namespace ov::ntfs
