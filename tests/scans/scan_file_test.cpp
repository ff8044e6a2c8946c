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

}  // namespace
}  // namespace ov
