#include "ntfs/logical_volume.h"

#include <gtest/gtest.h>

namespace ov::ntfs {
namespace {

LogicalVolume sample() {
  LogicalVolume v;
  v.startSector = 0x0102030405060708ull;
  v.sectorCount = 0x1112131415161718ull;
  v.mftSector = 0x2122232425262728ull;
  v.mftLcn = 0x3132333435363738ull;
  v.mftMirrLcn = 0x4142434445464748ull;
  v.serialNumber = 0x5152535455565758ull;
  v.indexRecordBytes = 0x61626364u;
  v.bytesPerCluster = 0x71727374u;
  v.mftRecordBytes = 0x8182;
  v.bytesPerSector = 0x9192;
  v.sectorsPerCluster = 0xA1;
  v.sectorsPerMftRecord = 0xB1;
  v.sectorsPerIndexRecord = 0xC1;
  v.foundBy = 0x0D;
  return v;
}

TEST(StoredVolume, FieldsSitAtTheirOffsets) {
  auto b = encodeVolume(sample(), true);
  ASSERT_EQ(b.size(), 76u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(b[static_cast<std::size_t>(i)], 0) << i;
  EXPECT_EQ(b[8], 0x08);  EXPECT_EQ(b[15], 0x01);   // startSector
  EXPECT_EQ(b[16], 0x18); EXPECT_EQ(b[23], 0x11);   // sectorCount
  EXPECT_EQ(b[24], 0x28); EXPECT_EQ(b[31], 0x21);   // mftSector
  EXPECT_EQ(b[32], 0x38); EXPECT_EQ(b[39], 0x31);   // mftLcn
  EXPECT_EQ(b[40], 0x48); EXPECT_EQ(b[47], 0x41);   // mftMirrLcn
  EXPECT_EQ(b[48], 0x58); EXPECT_EQ(b[55], 0x51);   // serialNumber
  EXPECT_EQ(b[56], 0x64); EXPECT_EQ(b[59], 0x61);   // indexRecordBytes
  EXPECT_EQ(b[60], 0x74); EXPECT_EQ(b[63], 0x71);   // bytesPerCluster
  EXPECT_EQ(b[64], 0x82); EXPECT_EQ(b[65], 0x81);   // mftRecordBytes
  EXPECT_EQ(b[66], 0x92); EXPECT_EQ(b[67], 0x91);   // bytesPerSector
  EXPECT_EQ(b[68], 0xA1);
  EXPECT_EQ(b[69], 0xB1);
  EXPECT_EQ(b[70], 0xC1);
  EXPECT_EQ(b[71], 0x0D);
  EXPECT_NE(b[72] | b[73] | b[74] | b[75], 0);       // link: another record follows
  auto last = encodeVolume(sample(), false);
  EXPECT_EQ(last[72] | last[73] | last[74] | last[75], 0);
}

TEST(StoredVolume, RoundTrip) {
  bool hasNext = false;
  auto decoded = decodeVolume(encodeVolume(sample(), true), &hasNext);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, sample());
  EXPECT_TRUE(hasNext);
}

TEST(StoredVolume, ShortRecordIsRefused) {
  auto b = encodeVolume(sample(), false);
  EXPECT_FALSE(decodeVolume(Bytes(b.data(), 75)));
}

TEST(VolumeRows, LabelAndSizeText) {
  EXPECT_EQ(volumeLabel(10), "NTFS logical drive 10");
  LogicalVolume v;
  v.bytesPerSector = 512;
  v.sectorCount = 2047;
  EXPECT_EQ(volumeSizeText(v), "1023.500 KB");
  v.sectorCount = 2048;
  EXPECT_EQ(volumeSizeText(v), "  1.000 MB");
  v.sectorCount = 2097152;
  EXPECT_EQ(volumeSizeText(v), "  1.000 GB");
  v.sectorCount = UINT64_MAX;  // a damaged count does not wrap to a small size
  EXPECT_NE(volumeSizeText(v).find("GB"), std::string::npos);
}

}  // namespace
}  // namespace ov::ntfs
