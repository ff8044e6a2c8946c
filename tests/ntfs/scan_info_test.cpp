// NTFS scan information files cut short, of the other kind or crafted (endless chains, huge sizes,
// absurd record sizes, a missing disk) are refused and leave nothing open; failed saves leave no file.
#include "ntfs/scan_info.h"

#include "scans/scan_file.h"
#include "tests/support/engines.h"

namespace ov::ntfs {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::NtfsOpened;


// The sample volume processed and saved once per test process.
fs::path savedScan() {
  static const fs::path path = [] {
    NtfsOpened o{std::string("sample")};
    EXPECT_TRUE(o.process(2048, false));
    const fs::path p = test::scratchDir() / "sample-scan";
    EXPECT_TRUE(savePartitionScanInfo(o.engine, p.string()));
    EXPECT_EQ(o.host.lastLog(), "Partition scan information saved successfully.");
    return fs::path(p.string() + ".ovt");
  }();
  return path;
}

TEST(NtfsPartitionScanInfo, DamagedAndCraftedFilesAreRefusedAndLeaveNothingOpen) {
  const auto bytes = test::readFile(savedScan());
  std::size_t files = 4 + 542 + 76 + 74;
  while (le32(bytes, files + 12) != 0) files += 16;
  files += 16 + 4;
  // The magic and the separator the layout of these files fixes (the records' own: records_test).
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 4), (std::vector<std::uint8_t>{0, 0, 1, 1}));
  EXPECT_EQ(le32(bytes, files - 4), 0x01010101u);
  auto changed = [&](std::size_t at, std::uint64_t value, int width) {
    auto b = bytes;
    for (int i = 0; i < width; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    return b;
  };
  using Files = std::vector<std::pair<std::string, std::vector<std::uint8_t>>>;
  const Files anyText = {{"a volume chain that never ends", changed(4 + 542 + 72, 1, 4)},
                         {"an absurd record size", changed(4 + 542 + 76 + 56, 0x7FFFFFFF, 4)}};
  Files invalid = {{"a working file of 2^62 bytes", changed(files, std::uint64_t{1} << 62, 8)}};
  for (std::size_t cut : {std::size_t{0}, std::size_t{3}, std::size_t{100}, std::size_t{4 + 542 + 40},
                          std::size_t{4 + 542 + 76 + 10}, bytes.size() / 2, bytes.size() - 1})
    invalid.emplace_back("cut short", std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut)));
  auto closed = [](NtfsEngine& e) { EXPECT_FALSE(e.workingFiles().isOpen()); };
  test::expectScanRefused<NtfsEngine>(anyText, openPartitionScanInfo, nullptr, closed);
  test::expectScanRefused<NtfsEngine>(invalid, openPartitionScanInfo, "Not a valid Partition scan information.", closed);
  test::expectScanRefused<NtfsEngine>({{"a disk that is not there", test::withSourcePath(bytes, "/nonexistent/disk.img")}},
                                      openPartitionScanInfo, "Failed to open Partition scan information. Errorcode =2", closed);
}

TEST(NtfsScanInfo, FailedSavesLeaveNoFile) {
  NtfsOpened o{std::string("sample")};
  EXPECT_FALSE(savePartitionScanInfo(o.engine, (test::scratchDir() / "no-such-folder" / "scan.ovt").string()));
  EXPECT_EQ(o.host.lastLog(), "Failed to save Partition scan information. Errorcode =2");
  // Nothing processed yet: there are no working files, so the save fails and is removed.
  const auto unprocessed = test::scratchDir() / "unprocessed.ovt";
  EXPECT_FALSE(savePartitionScanInfo(o.engine, unprocessed.string()));
  EXPECT_FALSE(fs::exists(unprocessed));
}

// Saving and reopening a disk scan, and the wrong kind, are checked through ovrecover (tests/e2e);
// here a table whose volumes are all gone.
TEST(NtfsDiskScanInfo, ReopensAnEmptyVolumeListAndRefusesThePartitionKind) {
  NtfsOpened o{std::string("mbr_ntfs_fat_zeroed")};
  o.engine.readPartitionTable();
  const auto path = test::scratchDir() / "zeroed.ovd";
  ASSERT_TRUE(saveDiskScanInfo(o.engine, path.string()));
  NtfsOpened reopened, b;
  ASSERT_TRUE(openDiskScanInfo(reopened.engine, path.string()));
  EXPECT_EQ(reopened.engine.volumes(), o.engine.volumes());
  EXPECT_FALSE(openDiskScanInfo(b.engine, savedScan().string()));
  EXPECT_EQ(b.host.lastLog(), "Not a valid Disk scan information");
}

}  // namespace
}  // namespace ov::ntfs
