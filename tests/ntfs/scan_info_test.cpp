#include "ntfs/scan_info.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "ntfs/extract.h"
#include "scans/scan_file.h"
#include "tests/support/test_support.h"

namespace ov::ntfs {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

TEST(SourceBlock, FieldsSitAtTheirOffsetsAndRoundTrip) {
  SourceBlock b;
  b.path = "/dev/sdb";
  b.handle = 0x11223344;
  b.bytesPerSector = 4096;
  b.totalSectors = 0x0102030405060708ull;
  b.reserved = 0x5555;
  b.hasVolumes = true;
  b.tail = 7;
  auto stored = encodeSourceBlock(b);
  ASSERT_EQ(stored.size(), 542u);
  EXPECT_EQ(le16(stored, 0), '/');
  EXPECT_EQ(le16(stored, 2), 'd');
  EXPECT_EQ(le16(stored, 16), 0);  // terminator after 8 units
  EXPECT_EQ(le32(stored, 512), 0x11223344u);
  EXPECT_EQ(le16(stored, 516), 4096);
  EXPECT_EQ(le64(stored, 518), 0x0102030405060708ull);
  EXPECT_EQ(le64(stored, 526), 0x5555u);
  EXPECT_NE(le32(stored, 534), 0u);
  EXPECT_EQ(le32(stored, 538), 7u);
  EXPECT_EQ(decodeSourceBlock(stored), b);
  EXPECT_FALSE(decodeSourceBlock(Bytes(stored.data(), 541)));
}

TEST(ScanFileNames, DefaultsAndExtensions) {
  std::tm t{};
  t.tm_year = 108;
  t.tm_mon = 8;
  t.tm_mday = 9;
  t.tm_wday = 2;
  EXPECT_EQ(partitionScanDefaultName(t, "NTFS"), "OV NTFS Scan Info# 09-Sept-2008.ovt");
  EXPECT_EQ(diskScanDefaultName(t, "NTFS"), "OV NTFS Scan Information # Tue, 09-Sept-2008");
  EXPECT_EQ(withExtension("scan", ".ovt"), "scan.ovt");
  EXPECT_EQ(withExtension("scan.OVT", ".ovt"), "scan.OVT");
  EXPECT_EQ(withExtension("scan.ovd", ".ovt"), "scan.ovd.ovt");
}

struct Engine {
  ov::test::RecordingHost host;
  RunControl run;
  NtfsEngine engine{host, run};
  std::string lastText() const { return host.log.empty() ? "" : host.log.back().name; }
};

// Every entry of the tree, in the order the folders list them.
std::vector<FileEntry> wholeTree(WorkingFiles& files) {
  std::vector<FileEntry> out;
  std::vector<std::uint32_t> blocks{0};
  while (!blocks.empty()) {
    std::uint32_t block = blocks.back();
    blocks.pop_back();
    std::uint64_t total = 0;
    std::uint32_t f = 0, d = 0;
    for (auto& e : files.readFolder(block, total, f, d, true)) {
      if (e.isFolder()) blocks.push_back(e.childrenBlock);
      out.push_back(e);
    }
  }
  return out;
}

fs::path processedScan(const std::string& name) {
  static std::map<std::string, fs::path> made;
  if (made.count(name)) return made[name];
  Engine e;
  EXPECT_EQ(e.engine.openImage(ov::test::image("sample").string()), 0);
  EXPECT_TRUE(e.engine.readPartitionTable());
  EXPECT_TRUE(e.engine.selectVolume(0));
  EXPECT_TRUE(e.engine.processFileSystem());
  fs::path path = ov::test::scratchDir() / name;
  EXPECT_TRUE(savePartitionScanInfo(e.engine, path.string()));
  EXPECT_EQ(e.lastText(), "Partition scan information saved successfully.");
  return made[name] = path.string() + ".ovt";
}

TEST(PartitionScanInfo, ReopensTheSameTreeAndRecoversTheSameBytes) {
  Engine original;
  ASSERT_EQ(original.engine.openImage(ov::test::image("sample").string()), 0);
  ASSERT_TRUE(original.engine.readPartitionTable());
  ASSERT_TRUE(original.engine.selectVolume(0));
  ASSERT_TRUE(original.engine.processFileSystem());
  fs::path path = processedScan("roundtrip");

  Engine reopened;
  ASSERT_TRUE(openPartitionScanInfo(reopened.engine, path.string()));
  EXPECT_EQ(reopened.lastText(), "Partition scan information opened successfully.");
  EXPECT_EQ(reopened.host.log.front().name, "Processing Scan Info File : roundtrip.ovt");
  EXPECT_EQ(reopened.engine.volumes(), original.engine.volumes());
  EXPECT_EQ(reopened.engine.volume().params, original.engine.volume().params);
  EXPECT_EQ(reopened.engine.volume().mftRuns, original.engine.volume().mftRuns);
  auto before = wholeTree(original.engine.workingFiles());
  auto after = wholeTree(reopened.engine.workingFiles());
  ASSERT_EQ(after, before);

  const json m = ov::test::manifest("sample");
  int checked = 0;
  for (const auto& e : after) {
    if (e.isFolder() || e.dataSize == 0) continue;
    auto out = ov::test::scratchDir() / "reopened.bin";
    int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FileExtractor extractor(reopened.engine.source(), reopened.engine.volume());
    ASSERT_TRUE(extractor.saveFileData(e.recordSector, e.dataSize, fd));
    ::close(fd);
    std::string digest = ov::test::sha256Hex(ov::test::readFile(out));
    for (const auto& f : m["files"])
      if (f.contains("sha256") && f["sha256"] == digest) ++checked;
  }
  EXPECT_GE(checked, 10);
}

TEST(PartitionScanInfo, LayoutOfTheFile) {
  auto bytes = ov::test::readFile(processedScan("layout"));
  ASSERT_GT(bytes.size(), 4u + 542 + 76 + 74);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 4), (std::vector<std::uint8_t>{0, 0, 1, 1}));
  auto source = decodeSourceBlock(Bytes(bytes.data() + 4, 542));
  ASSERT_TRUE(source);
  EXPECT_TRUE(source->hasVolumes);
  EXPECT_EQ(source->bytesPerSector, 512);
  EXPECT_EQ(le32(bytes, 4 + 542 + 72), 0u);  // one volume: its link is zero
  std::size_t params = 4 + 542 + 76;
  EXPECT_NE(le32(bytes, params + 48), 0u);  // runs follow
  std::size_t at = params + 74;
  while (le32(bytes, at + 12) != 0) at += 16;
  at += 16;
  EXPECT_EQ(le32(bytes, at), 0x01010101u);
  at += 4;
  // NST, separator, NSE, separator, NSN: sizes as 64-bit little-endian numbers.
  for (int file = 0; file < 3; ++file) {
    std::uint64_t size = le64(bytes, at);
    at += 8 + size;
    if (file < 2) {
      EXPECT_EQ(le32(bytes, at), 0x01010101u);
      at += 4;
    }
  }
  EXPECT_EQ(at, bytes.size());
}

fs::path writeBytes(const std::string& name, const std::vector<std::uint8_t>& bytes) {
  fs::path path = ov::test::scratchDir() / name;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
  return path;
}

TEST(PartitionScanInfo, TruncatedFilesAreRefusedAndLeaveNothingOpen) {
  auto bytes = ov::test::readFile(processedScan("truncate"));
  for (std::size_t cut : {std::size_t{0}, std::size_t{3}, std::size_t{100}, std::size_t{4 + 542 + 40},
                          std::size_t{4 + 542 + 76 + 10}, bytes.size() / 2, bytes.size() - 1}) {
    SCOPED_TRACE(cut);
    auto path = writeBytes("cut.ovt", std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut)));
    Engine e;
    EXPECT_FALSE(openPartitionScanInfo(e.engine, path.string()));
    EXPECT_EQ(e.lastText(), "Not a valid Partition scan information.");
    EXPECT_EQ(e.host.log.back().kind, LogKind::Aborted);
    EXPECT_FALSE(e.engine.source().isOpen());
    EXPECT_FALSE(e.engine.workingFiles().isOpen());
    EXPECT_TRUE(e.engine.volumes().empty());
  }
}

TEST(PartitionScanInfo, HostileSizesAndChainsAreRefused) {
  auto bytes = ov::test::readFile(processedScan("hostile"));
  // A volume chain that never ends: every record says another follows.
  auto chain = bytes;
  writeLe<std::uint32_t>(chain, 4 + 542 + 72, 1);
  Engine a;
  EXPECT_FALSE(openPartitionScanInfo(a.engine, writeBytes("chain.ovt", chain).string()));
  // A working file said to be 2^62 bytes long.
  std::size_t at = 4 + 542 + 76 + 74;
  while (le32(bytes, at + 12) != 0) at += 16;
  at += 16 + 4;
  auto huge = bytes;
  writeLe<std::uint64_t>(huge, at, std::uint64_t{1} << 62);
  Engine b;
  EXPECT_FALSE(openPartitionScanInfo(b.engine, writeBytes("huge.ovt", huge).string()));
  EXPECT_EQ(b.lastText(), "Not a valid Partition scan information.");
  // Absurd record size in the parameters.
  auto params = bytes;
  writeLe<std::uint32_t>(params, 4 + 542 + 76 + 56, 0x7FFFFFFF);
  Engine c;
  EXPECT_FALSE(openPartitionScanInfo(c.engine, writeBytes("params.ovt", params).string()));
}

TEST(PartitionScanInfo, MissingDiskFailsWithItsCode) {
  auto bytes = ov::test::readFile(processedScan("missing"));
  SourceBlock block = *decodeSourceBlock(Bytes(bytes.data() + 4, 542));
  block.path = "/nonexistent/disk.img";
  auto stored = encodeSourceBlock(block);
  std::copy(stored.begin(), stored.end(), bytes.begin() + 4);
  Engine e;
  EXPECT_FALSE(openPartitionScanInfo(e.engine, writeBytes("gone.ovt", bytes).string()));
  EXPECT_EQ(e.lastText(), "Failed to open Partition scan information. Errorcode =2");
}

TEST(PartitionScanInfo, FailedSaveLeavesNoFile) {
  Engine e;
  ASSERT_EQ(e.engine.openImage(ov::test::image("sample").string()), 0);
  auto path = ov::test::scratchDir() / "no-such-folder" / "scan.ovt";
  EXPECT_FALSE(savePartitionScanInfo(e.engine, path.string()));
  EXPECT_EQ(e.lastText(), "Failed to save Partition scan information. Errorcode =2");
  // Nothing processed yet: the working files are missing, so the save fails and is removed.
  auto second = ov::test::scratchDir() / "unprocessed.ovt";
  EXPECT_FALSE(savePartitionScanInfo(e.engine, second.string()));
  EXPECT_FALSE(fs::exists(second));
}

TEST(DiskScanInfo, SavesAndReopensTheVolumeList) {
  Engine e;
  ASSERT_EQ(e.engine.openImage(ov::test::image("mbr_ntfs_fat").string()), 0);
  ASSERT_TRUE(e.engine.readPartitionTable());
  auto path = ov::test::scratchDir() / "disk";
  ASSERT_TRUE(saveDiskScanInfo(e.engine, path.string()));
  EXPECT_EQ(e.lastText(), "Disk scan information saved successfully.");
  auto bytes = ov::test::readFile(path.string() + ".ovd");
  EXPECT_EQ(bytes.size(), 4u + 542 + 4 * 76);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 4), (std::vector<std::uint8_t>{1, 1, 0, 0}));
  Engine reopened;
  ASSERT_TRUE(openDiskScanInfo(reopened.engine, path.string() + ".ovd"));
  EXPECT_EQ(reopened.engine.volumes(), e.engine.volumes());
  EXPECT_EQ(reopened.engine.source().totalSectors(), e.engine.source().totalSectors());
}

TEST(ScanInfoKinds, EachReaderRefusesTheOtherKind) {
  auto ovt = processedScan("kinds");
  Engine e;
  ASSERT_EQ(e.engine.openImage(ov::test::image("sample").string()), 0);
  e.engine.readPartitionTable();
  auto ovd = ov::test::scratchDir() / "kinds.ovd";
  ASSERT_TRUE(saveDiskScanInfo(e.engine, ovd.string()));
  Engine a, b;
  EXPECT_FALSE(openPartitionScanInfo(a.engine, ovd.string()));
  EXPECT_EQ(a.lastText(), "Not a valid Partition scan information.");
  EXPECT_FALSE(openDiskScanInfo(b.engine, ovt.string()));
  EXPECT_EQ(b.lastText(), "Not a valid Disk scan information");
}

TEST(DiskScanInfo, NoVolumesMeansAZeroHead) {
  Engine e;
  ASSERT_EQ(e.engine.openImage(ov::test::image("mbr_ntfs_fat_zeroed").string()), 0);
  EXPECT_FALSE(e.engine.readPartitionTable());
  auto path = ov::test::scratchDir() / "empty.ovd";
  ASSERT_TRUE(saveDiskScanInfo(e.engine, path.string()));
  auto bytes = ov::test::readFile(path);
  ASSERT_EQ(bytes.size(), 4u + 542);
  EXPECT_EQ(le32(bytes, 4 + 534), 0u);
  Engine reopened;
  EXPECT_TRUE(openDiskScanInfo(reopened.engine, path.string()));
  EXPECT_TRUE(reopened.engine.volumes().empty());
}

}  // namespace
}  // namespace ov::ntfs
