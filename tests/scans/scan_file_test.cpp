// The source block at the head of every scan information file, and the scan files' names.
#include "scans/scan_file.h"

#include <gtest/gtest.h>

#include "tests/support/builders.h"

namespace ov {
namespace {

TEST(SourceBlock, LayoutAndRoundTrip) {
  SourceBlock b;
  b.path = "/dev/sdb";
  b.handle = 0x11223344;
  b.bytesPerSector = 4096;
  b.totalSectors = 0x0102030405060708ull;
  b.reserved = 0x5555;
  b.hasVolumes = true;
  b.tail = 7;
  const auto stored = encodeSourceBlock(b);
  test::expectLayout(std::vector<std::uint8_t>(stored.begin(), stored.end()), 542,
                     {{0, 2, '/'}, {2, 2, 'd'}, {16, 2, 0}, {512, 4, 0x11223344}, {516, 2, 4096},
                      {518, 8, b.totalSectors}, {526, 8, 0x5555}, {538, 4, 7}});
  EXPECT_NE(le32(stored, 534), 0u);
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

}  // namespace
}  // namespace ov
