// The NTFS partition-table walk and searches on hostile disks built in memory.

#include "ntfs/ntfs_engine.h"
#include "ntfs/volume_finder.h"
#include "tests/support/builders.h"

namespace ov::ntfs {
namespace {

using test::MemoryDisk;
using test::RecordBuilder;

std::vector<std::uint8_t> boot(std::uint64_t totalSectors, std::uint64_t serial = 0x1122334455667788ull) {
  return test::ntfsBootSector({.totalSectors = totalSectors, .serial = serial});
}

// Primary and logical volumes in table order: the image tables (mbr_ntfs_fat).
TEST(NtfsPartitionTable, ListsWhatTheTablesHoldAndNothingElse) {
  struct Row {
    const char* what;
    std::function<void(MemoryDisk&)> build;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> volumes;  // start, sectors
  };
  const std::vector<Row> rows = {
      {"a first entry of type 0",
       [](MemoryDisk& d) {
         d.entry(0, 1, 0x07, 63, 100);
         d.put(63, boot(100));
       },
       {}},
      {"an entry whose boot sector fails",
       [](MemoryDisk& d) {
         d.entry(0, 0, 0x07, 63, 100);
         d.entry(0, 1, 0x07, 300, 100);
         d.put(300, boot(100));
       },
       {{300, 100}}},
      {"no signature",
       [](MemoryDisk& d) {
         d.entry(0, 0, 0x07, 63, 100);
         d.put(63, boot(100));
         d.bytes[0x1FE] = 0;
       },
       {}},
      {"an extended chain that loops back",
       [](MemoryDisk& d) {
         d.entry(0, 0, 0x05, 1000, 100);
         d.entry(1000, 0, 0x07, 63, 50);
         d.entry(1000, 1, 0x05, 0, 100);
         d.put(1063, boot(50));
       },
       {{1063, 50}}},
      {"entries past the end of the disk",
       [](MemoryDisk& d) {
         d.entry(0, 0, 0x07, 0xFFFFFFF0u, 100);
         d.entry(0, 1, 0x05, 0xFFFFFF00u, 100);
       },
       {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    MemoryDisk d(4096);
    row.build(d);
    std::vector<LogicalVolume> volumes;
    EXPECT_EQ(readPartitionTable(d.open(), volumes), !row.volumes.empty());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> got;
    for (const auto& v : volumes) got.emplace_back(v.startSector, v.sectorCount);
    EXPECT_EQ(got, row.volumes);
  }
  test::Source closed;
  std::vector<LogicalVolume> volumes{LogicalVolume{}};
  EXPECT_FALSE(readPartitionTable(closed.source, volumes));
  EXPECT_TRUE(volumes.empty());
}

TEST(NtfsQuickSearch, ProbesCylindersTracksAndMebibytes) {
  struct Row {
    const char* what;
    std::size_t sectors;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> boots;  // sector, volume size
    std::vector<std::uint64_t> found;
  };
  const std::vector<Row> rows = {
      {"after the first track and at a cylinder", 70000, {{63, 16000}, {32130, 30000}}, {63, 32130}},
      {"at a cylinder and one track later: listed once", 40000, {{16065, 10000}, {16128, 10000}}, {16065}},
      {"at a mebibyte", 40000, {{4096, 10000}}, {4096}},
      {"larger than the disk", 20000, {{63, 20000}}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    MemoryDisk d(row.sectors);
    for (auto [sector, size] : row.boots) d.put(sector, boot(size, size));  // one serial a size
    std::vector<LogicalVolume> volumes;
    ASSERT_TRUE(quickSearch(d.open(), 0, row.sectors, volumes));
    std::vector<std::uint64_t> starts;
    for (const auto& v : volumes) {
      starts.push_back(v.startSector);
      EXPECT_EQ(v.foundBy, kFoundBootSector);
    }
    EXPECT_EQ(starts, row.found);
    EXPECT_EQ(d.host.found, row.found);
    // Every probe once, in order.
    std::vector<std::uint64_t> probed;
    for (auto [position, end] : d.host.progress) probed.push_back(position);
    probed.pop_back();  // the closing message
    EXPECT_TRUE(std::is_sorted(probed.begin(), probed.end()));
    EXPECT_EQ(std::adjacent_find(probed.begin(), probed.end()), probed.end());
  }
}

TEST(NtfsSearches, AnAbortStopsAndUnreadableSectorsAreSkipped) {
  MemoryDisk q(200000);
  q.host.onSearchProgress = [&] {
    if (q.host.progress.size() == 3) q.run.stop();
  };
  std::vector<LogicalVolume> volumes;
  EXPECT_FALSE(quickSearch(q.open(), 0, 200000, volumes));
  EXPECT_LT(q.host.progress.size(), 15u);  // far fewer probes than a whole run's
  EXPECT_EQ(q.host.progress.back().first, q.host.progress.back().second);

  MemoryDisk d(4000);
  d.put(3000, boot(1000));
  d.open();
  d.faults->failSector(10, EIO);
  EXPECT_TRUE(thoroughSearch(d.source, 0, 4000, volumes));
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_EQ(volumes[0].startSector, 3000u);
  EXPECT_EQ(d.host.log.back().name, "Drive access error @ sector =10 (Code =" + std::to_string(EIO) + ")");
  // Only the range is searched.
  EXPECT_TRUE(thoroughSearch(d.source, 0, 3000, volumes));
  EXPECT_TRUE(volumes.empty());
}

// A volume at sector 100 whose boot sector is gone: MFT at cluster 4, mirror at cluster 50,
// 4096-byte clusters, 1024-byte records.
TEST(NtfsThoroughSearch, PlacesVolumesByTheirMftAndMirrorRecords) {
  constexpr std::uint64_t kStart = 100, kMftLcn = 4, kMirrLcn = 50, kSpc = 8;
  constexpr std::uint64_t kMft = kStart + kMftLcn * kSpc, kMirr = kStart + kMirrLcn * kSpc;
  const auto record0 = RecordBuilder::firstMftRecord(u"$MFT", 7, 7, kMftLcn, kMirrLcn);
  const auto record1 = RecordBuilder::firstMftRecord(u"$MFTMirr", 7, 7, kMftLcn, kMirrLcn);
  const auto otherRecord1 = RecordBuilder::firstMftRecord(u"$MFTMirr", 8, 8, kMftLcn, kMirrLcn);
  struct Row {
    const char* what;
    std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> sectors;
    std::uint64_t mftSector;  // 0: nothing found
    std::uint8_t foundBy;
  };
  const std::vector<Row> rows = {
      {"only the mirror records", {{kMft + 2, record1}, {kMirr + 2, record1}}, kMirr, kFoundMftCopies},
      {"records 0 and 1 side by side", {{kMft, record0}, {kMft + 2, record1}}, kMft, kFoundMftMirrorPair},
      {"record 0 and the mirror's record 1", {{kMft, record0}, {kMirr + 2, record1}}, kMft, kFoundMftMirrorPair},
      {"records of different volumes", {{kMft, record0}, {kMft + 2, otherRecord1}}, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    MemoryDisk d(2000);
    for (const auto& [sector, bytes] : row.sectors) d.put(sector, bytes);
    std::vector<LogicalVolume> volumes;
    ASSERT_TRUE(thoroughSearch(d.open(), 0, 2000, volumes));
    if (row.foundBy == 0) {
      EXPECT_TRUE(volumes.empty());
      continue;
    }
    ASSERT_EQ(volumes.size(), 1u);
    const LogicalVolume& v = volumes[0];
    EXPECT_EQ(v.startSector, kStart);
    EXPECT_EQ(v.mftLcn, kMftLcn);
    EXPECT_EQ(v.mftMirrLcn, kMirrLcn);
    EXPECT_EQ(v.foundBy & row.foundBy, row.foundBy);
    EXPECT_EQ(v.mftSector, row.mftSector);
    EXPECT_EQ(v.sectorCount, 2 * kSpc * kMirrLcn);
    EXPECT_EQ(v.bytesPerCluster, 4096u);
    EXPECT_TRUE(d.host.found.empty());  // derived volumes send no found message
  }
}

}  // namespace
}  // namespace ov::ntfs
