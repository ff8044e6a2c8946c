// NTFS volumes damaged on purpose: extension records found by the Turbo Scan, a record copy in free
// space that is no phantom file, sizes and runs past the source's end, boot sectors of no NTFS
// volume, named streams saved from a reopened scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "ntfs/boot_sector.h"
#include "ntfs/scan_info.h"
#include "ntfs/volume_finder.h"
#include "tests/support/engines.h"

namespace ov::test {
namespace {

using nlohmann::json;

TEST(NtfsFidelity, TurboScanFindsExtensionRecordsWhenTheMftCannotBeSetUp) {
  // $MFT records 0 and 1 and the mirror zeroed: the records that attribute lists name are found
  // where the scan saw them, and the volume comes back whole.
  const json m = manifest("ntfs_fidelity");
  const json& p = m["partitions"][0];
  std::vector<std::uint8_t> bytes = readFile(image("ntfs_fidelity"));
  const std::uint64_t start = p["start"], cluster = p["cluster_bytes"];
  const auto at = [&](const char* lcn) {
    return bytes.begin() + static_cast<std::ptrdiff_t>(start * 512 + p[lcn].get<std::uint64_t>() * cluster);
  };
  std::fill_n(at("mft_lcn"), 2048, 0);
  std::fill_n(at("mftmirr_lcn"), cluster, 0);
  NtfsOpened o(std::move(bytes));
  o.engine.readPartitionTable();
  EXPECT_FALSE(o.engine.selectVolume(0));
  ASSERT_TRUE(o.process(start, true));
  EXPECT_TRUE(o.engine.volume().mftRuns.empty());  // all it lists, it took from the records it found
  checkAgainstManifest(o.engine, o.run, o.tree(), m, p);
}

TEST(NtfsFidelity, TurboScanTakesNoRecordCopiedIntoAnotherStructure) {
  // The log file keeps whole records as they are in memory: their sector ends hold the record's
  // own bytes, not the update sequence number. Such a copy of a live record, put where the volume
  // has free space, must not come back as a second (phantom) file.
  const json m = manifest("sample");
  const std::uint64_t start = m["partitions"][0]["start"];
  NtfsOpened walked{std::string("sample")};
  ASSERT_TRUE(walked.process(start, false));
  const Tree walkedTree = walked.tree();
  const TreeEntry* readme = walkedTree.find("/Documents/readme.txt", true, false);
  ASSERT_NE(readme, nullptr);
  std::vector<std::uint8_t> bytes = readFile(image("sample"));
  std::vector<std::uint8_t> record(bytes.begin() + static_cast<std::ptrdiff_t>(readme->location * 512),
                                   bytes.begin() + static_cast<std::ptrdiff_t>(readme->location * 512 + 1024));
  const std::uint16_t usa = le16(record, 4);
  for (std::size_t i = 1; i <= 2; ++i) {
    record[i * 512 - 2] = record[usa + 2 * i];
    record[i * 512 - 1] = record[usa + 2 * i + 1];
  }
  // Two zero sectors at an odd sector near the volume's end, where nothing was written.
  std::uint64_t at = (start + m["partitions"][0]["sectors"].get<std::uint64_t>() - 64) | 1;
  while (!std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(at * 512),
                      bytes.begin() + static_cast<std::ptrdiff_t>(at * 512 + 1024), [](std::uint8_t b) { return b == 0; }))
    at -= 2;
  std::copy(record.begin(), record.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at * 512));
  NtfsOpened scanned(std::move(bytes));
  ASSERT_TRUE(scanned.process(start, true));
  EXPECT_EQ(scanned.tree().count("/Documents/readme.txt"), walked.tree().count("/Documents/readme.txt"));
}

TEST(NtfsFidelity, ScansEndAtTheSourcesLastSector) {
  // A volume that claims 2^60 sectors on an 8 MiB image, and an MFT run far past its end.
  NtfsOpened o(readFile(image("ntfs_volume_only")));
  ASSERT_TRUE(o.engine.readPartitionTable());
  o.engine.volumes()[0].sectorCount = std::uint64_t{1} << 60;
  ASSERT_TRUE(o.process(0, true));
  EXPECT_LT(o.counter->requests.size(), 64u);
  EXPECT_EQ(o.tree().count("/readme.txt"), 1u);
  ASSERT_TRUE(o.engine.selectVolume(0));
  ntfs::NtfsVolume volume = o.engine.volume();
  volume.mftRuns.push_back(ntfs::Run{std::uint64_t{1} << 40, std::uint64_t{1} << 30, false});
  o.engine.restoreVolume(volume);
  o.counter->requests.clear();
  EXPECT_TRUE(o.engine.processFileSystem());
  EXPECT_LT(o.counter->requests.size(), 64u);
}

TEST(NtfsFidelity, OnlyBootSectorsOfPossibleNtfsVolumesAreTaken) {
  // A small FAT16 volume's boot sector passes the oldest test, but is no NTFS volume.
  NtfsOpened fat{std::string("fat16_not_ntfs")};
  EXPECT_FALSE(ntfs::volumeAtSector(fat.engine.source(), 0));
  // Changes to a real boot sector (an image of one volume, 4096-byte clusters): whether the
  // partition walk takes it, and whether a search (or --start) does.
  const std::vector<std::uint8_t> original = readFile(image("ntfs_volume_only"));
  struct Row {
    const char* what;
    std::function<void(MutableBytes)> change;
    bool walk, search;
  };
  const std::vector<Row> rows = {
      {"unchanged", [](MutableBytes) {}, true, true},
      {"name damaged, MFT where it says", [](MutableBytes b) { b[3] = 'X'; }, false, true},
      {"name damaged, MFT and mirror elsewhere",
       [](MutableBytes b) {
         b[3] = 'X';
         writeLe<std::uint64_t>(b, 0x30, 100);
         writeLe<std::uint64_t>(b, 0x38, 101);
       },
       false, false},
      {"3072 bytes per sector", [](MutableBytes b) { writeLe<std::uint16_t>(b, 0x0B, 3072); }, false, false},
      {"no byte offset for its size", [](MutableBytes b) { writeLe<std::uint64_t>(b, 0x28, std::uint64_t{1} << 62); }, false, false},
      {"MFT past the volume's end", [](MutableBytes b) { writeLe<std::uint64_t>(b, 0x30, 5000); }, false, false},
      {"records of 127 clusters", [](MutableBytes b) { b[0x40] = 0x7F; }, false, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::uint8_t> bytes = original;
    row.change(MutableBytes(bytes.data(), 512));
    EXPECT_EQ(ntfs::isNamedNtfsBootSector(Bytes(bytes.data(), 512)), row.walk);
    NtfsOpened o(std::move(bytes));
    EXPECT_EQ(o.engine.readPartitionTable(), row.walk);
    EXPECT_EQ(ntfs::volumeAtSector(o.engine.source(), 0).has_value(), row.search);
  }
}

TEST(NtfsFidelity, StreamsKeepWorkingFromASavedScan) {
  const json m = manifest("ntfs_fidelity");
  NtfsOpened o{std::string("ntfs_fidelity")};
  ASSERT_TRUE(o.process(m["partitions"][0]["start"], false));
  const auto saved = (scratchDir() / "fidelity.ovt").string();
  ASSERT_TRUE(ntfs::savePartitionScanInfo(o.engine, saved));
  NtfsOpened reopened;
  ASSERT_TRUE(ntfs::openPartitionScanInfo(reopened.engine, saved));
  // Every entry, its named streams among them, is listed and saved as from the volume itself.
  checkAgainstManifest(reopened.engine, reopened.run, reopened.tree(), m, m["partitions"][0]);
}

}  // namespace
}  // namespace ov::test
