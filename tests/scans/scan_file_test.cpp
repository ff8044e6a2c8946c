// The source block at the head of every scan information file, and the names offered for the
// files the programs save.
#include "scans/scan_file.h"

#include "scans/disk_copy.h"
#include "scans/process_log.h"
#include "tests/support/builders.h"

namespace ov {
namespace {

TEST(SourceBlock, LayoutAndRoundTrip) {
  SourceBlock b;
  b.path = "/dev/sdb";
  b.hasVolumes = true;
  const std::vector<test::Field> fields = {
      {0, 2, '/'}, {2, 2, 'd'}, {16, 2, 0}, OV_FIELD(b, handle, 512, 4, 0x11223344), OV_FIELD(b, bytesPerSector, 516, 2, 4096),
      OV_FIELD(b, totalSectors, 518, 8, 0x0102030405060708ull), OV_FIELD(b, reserved, 526, 8, 0x5555), OV_FIELD(b, tail, 538, 4, 7)};
  const auto stored = encodeSourceBlock(b);
  test::expectLayout(std::vector<std::uint8_t>(stored.begin(), stored.end()), 542, fields);
  EXPECT_NE(le32(stored, 534), 0u);
  EXPECT_EQ(decodeSourceBlock(stored), b);
  EXPECT_FALSE(decodeSourceBlock(Bytes(stored.data(), 541)));
}

// The names offered for saved scans, logs and images, and the extensions added to a name typed
// without one (the save dialogs take them as they are).
TEST(FileNames, DefaultNamesAndAddedExtensions) {
  std::tm t{};
  t.tm_year = 108;
  t.tm_mon = 8;
  t.tm_mday = 9;
  t.tm_wday = 2;
  const std::pair<std::string, std::string> rows[] = {
      {partitionScanDefaultName(t, "NTFS"), "OV NTFS Scan Info# 09-Sept-2008.ovt"},
      {diskScanDefaultName(t, "FAT"), "OV FAT Scan Information # Tue, 09-Sept-2008"},
      {defaultLogFileName(t), "OV NTFS Process Log # Tue, 09-Sept-2008.txt"},
      {defaultImageName(t), "Ovelin Dodedoz Avov Ovavized (NTFS) Image # Tue, 09-Sept-2008"},
      {withExtension("scan", ".ovt"), "scan.ovt"},
      {withExtension("scan.OVT", ".ovt"), "scan.OVT"},
      {withExtension("scan.ovd", ".ovt"), "scan.ovd.ovt"},
      {withImageExtension("/back.up/disk"), "/back.up/disk.ov2"},
      {withImageExtension("/backup/disk.img"), "/backup/disk.img"},
  };
  for (const auto& [got, expected] : rows) EXPECT_EQ(got, expected);
}

}  // namespace
}  // namespace ov
