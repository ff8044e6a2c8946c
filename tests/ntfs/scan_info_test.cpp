// NTFS scan information: a saved scan reopens to the same volume and tree and saves every file of
// the manifest byte for byte; the layout of the file; files cut short, of the other kind or crafted
// (endless chains, huge sizes, absurd record sizes, a missing disk) are refused and leave nothing
// open; failed saves leave no file.
#include "ntfs/scan_info.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "scans/scan_file.h"
#include "tests/support/engines.h"

namespace ov::ntfs {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::NtfsOpened;

std::string lastText(const test::RecordingHost& host) { return host.log.empty() ? "" : host.log.back().name; }

// The sample volume processed and saved once per test process.
fs::path savedScan() {
  static const fs::path path = [] {
    NtfsOpened o{std::string("sample")};
    EXPECT_TRUE(o.process(2048, false));
    const fs::path p = test::scratchDir() / "sample-scan";
    EXPECT_TRUE(savePartitionScanInfo(o.engine, p.string()));
    EXPECT_EQ(lastText(o.host), "Partition scan information saved successfully.");
    return fs::path(p.string() + ".ovt");
  }();
  return path;
}

TEST(NtfsPartitionScanInfo, LayoutOfTheFile) {
  const auto bytes = test::readFile(savedScan());
  ASSERT_GT(bytes.size(), 4u + 542 + 76 + 74);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 4), (std::vector<std::uint8_t>{0, 0, 1, 1}));
  auto source = decodeSourceBlock(Bytes(bytes.data() + 4, 542));
  ASSERT_TRUE(source);
  EXPECT_TRUE(source->hasVolumes);
  EXPECT_EQ(le32(bytes, 4 + 542 + 72), 0u);  // one volume: its link is zero
  const std::size_t params = 4 + 542 + 76;
  EXPECT_NE(le32(bytes, params + 48), 0u);  // runs follow
  std::size_t at = params + 74;
  while (le32(bytes, at + 12) != 0) at += 16;
  at += 16;
  EXPECT_EQ(le32(bytes, at), 0x01010101u);
  at += 4;
  // The tree, entries and names files, each as a 64-bit size and its bytes, with separators.
  for (int file = 0; file < 3; ++file) {
    at += 8 + le64(bytes, at);
    if (file < 2) {
      EXPECT_EQ(le32(bytes, at), 0x01010101u);
      at += 4;
    }
  }
  EXPECT_EQ(at, bytes.size());
}

TEST(NtfsPartitionScanInfo, DamagedAndCraftedFilesAreRefusedAndLeaveNothingOpen) {
  const auto bytes = test::readFile(savedScan());
  std::size_t files = 4 + 542 + 76 + 74;
  while (le32(bytes, files + 12) != 0) files += 16;
  files += 16 + 4;
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
  EXPECT_EQ(lastText(o.host), "Failed to save Partition scan information. Errorcode =2");
  // Nothing processed yet: there are no working files, so the save fails and is removed.
  const auto unprocessed = test::scratchDir() / "unprocessed.ovt";
  EXPECT_FALSE(savePartitionScanInfo(o.engine, unprocessed.string()));
  EXPECT_FALSE(fs::exists(unprocessed));
}

TEST(NtfsDiskScanInfo, SavesAndReopensTheVolumeListAndRefusesTheOtherKind) {
  for (const char* image : {"mbr_ntfs_fat", "mbr_ntfs_fat_zeroed"}) {
    SCOPED_TRACE(image);
    NtfsOpened o{std::string(image)};
    o.engine.readPartitionTable();
    const auto path = test::scratchDir() / (std::string(image) + ".ovd");
    ASSERT_TRUE(saveDiskScanInfo(o.engine, path.string()));
    EXPECT_EQ(lastText(o.host), "Disk scan information saved successfully.");
    const auto bytes = test::readFile(path);
    EXPECT_EQ(bytes.size(), 4u + 542 + 76 * o.engine.volumes().size());
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 4), (std::vector<std::uint8_t>{1, 1, 0, 0}));
    EXPECT_EQ(le32(bytes, 4 + 534) != 0, !o.engine.volumes().empty());
    NtfsOpened reopened;
    ASSERT_TRUE(openDiskScanInfo(reopened.engine, path.string()));
    EXPECT_EQ(reopened.engine.volumes(), o.engine.volumes());
    EXPECT_EQ(reopened.engine.source().totalSectors(), o.engine.source().totalSectors());
  }
  NtfsOpened a, b;
  EXPECT_FALSE(openPartitionScanInfo(a.engine, (test::scratchDir() / "mbr_ntfs_fat.ovd").string()));
  EXPECT_EQ(lastText(a.host), "Not a valid Partition scan information.");
  EXPECT_FALSE(openDiskScanInfo(b.engine, savedScan().string()));
  EXPECT_EQ(lastText(b.host), "Not a valid Disk scan information");
}

}  // namespace
}  // namespace ov::ntfs
