#include "ntfs/boot_sector.h"

#include <gtest/gtest.h>

#include "tests/ntfs/ntfs_builders.h"

namespace ov::ntfs {
namespace {

using test::BootFields;
using test::bootSector;

TEST(NtfsBootSector, AcceptsAWellFormedSector) { EXPECT_TRUE(isNtfsBootSector(bootSector())); }

TEST(NtfsBootSector, EachRuleRejects) {
  auto mutate = [](auto change) {
    auto b = bootSector();
    change(b);
    return isNtfsBootSector(b);
  };
  EXPECT_FALSE(mutate([](auto& b) { b[0] = 0; }));
  EXPECT_FALSE(mutate([](auto& b) { b[1] = 0; }));
  EXPECT_FALSE(mutate([](auto& b) { b[2] = 0x91; }));
  EXPECT_FALSE(mutate([](auto& b) { b[0x20] = 1; }));
  EXPECT_FALSE(mutate([](auto& b) { writeLe<std::uint16_t>(b, 0x24, 0x0081); }));
  EXPECT_FALSE(mutate([](auto& b) { b[0x0D] = 0; }));
  EXPECT_FALSE(mutate([](auto& b) { b[0x0D] = 3; }));
  EXPECT_FALSE(mutate([](auto& b) { b[0x40] = 0; }));
  EXPECT_FALSE(mutate([](auto& b) { b[0x44] = 0; }));
  EXPECT_FALSE(mutate([](auto& b) { writeLe<std::uint64_t>(b, 0x30, 0); }));
  EXPECT_FALSE(mutate([](auto& b) { writeLe<std::uint64_t>(b, 0x38, UINT64_MAX); }));
  EXPECT_FALSE(mutate([](auto& b) { writeLe<std::uint64_t>(b, 0x28, 0); }));
  // Neither the OEM name nor the signature is tested.
  EXPECT_TRUE(mutate([](auto& b) { b[3] = 'X'; b[0x1FE] = 0; }));
  EXPECT_FALSE(isNtfsBootSector(Bytes(bootSector().data(), 100)));
}

TEST(NtfsBootSector, SectorSizeRule) {
  for (auto [bps, ok] : std::vector<std::pair<std::uint16_t, bool>>{
           {0, true}, {512, true}, {1024, true}, {2048, true}, {3072, true}, {4096, true}, {1536, false}, {513, false}}) {
    BootFields f;
    f.bytesPerSector = bps;
    EXPECT_EQ(isNtfsBootSector(bootSector(f)), ok) << bps;
  }
}

TEST(NtfsBootSector, RecordSizeCodes) {
  EXPECT_EQ(decodeRecordSize(-10, 8, 4096, 512).bytes, 1024u);
  EXPECT_EQ(decodeRecordSize(-10, 8, 4096, 512).sectors, 2u);
  EXPECT_EQ(decodeRecordSize(2, 8, 4096, 512).bytes, 8192u);
  EXPECT_EQ(decodeRecordSize(2, 8, 4096, 512).sectors, 16u);
  EXPECT_EQ(decodeRecordSize(-128, 8, 4096, 512).bytes, 0u);  // absurd: no shift past 63
  EXPECT_EQ(decodeRecordSize(-12, 8, 4096, 0).sectors, 0u);   // no division by zero
}

TEST(NtfsBootSector, VolumeFromTheBootSector) {
  BootFields f;
  f.sectorsPerCluster = 2;
  auto v = volumeFromBootSector(bootSector(f), 2048, 20480, 512, BootSectorSize::Checked);
  EXPECT_EQ(v.startSector, 2048u);
  EXPECT_EQ(v.sectorCount, 20480u);
  EXPECT_EQ(v.mftLcn, 4u);
  EXPECT_EQ(v.mftSector, 2048u + 8);
  EXPECT_EQ(v.bytesPerCluster, 1024u);
  EXPECT_EQ(v.mftRecordBytes, 1024);
  EXPECT_EQ(v.sectorsPerMftRecord, 2);
  EXPECT_EQ(v.indexRecordBytes, 1024u);
  EXPECT_EQ(v.sectorsPerIndexRecord, 2);
  EXPECT_EQ(v.serialNumber, 0x1122334455667788ull);
}

TEST(NtfsBootSector, ZeroSectorSizeTakesTheSourceValueOrStaysAsStored) {
  BootFields f;
  f.bytesPerSector = 0;
  auto checked = volumeFromBootSector(bootSector(f), 0, 1, 4096, BootSectorSize::Checked);
  EXPECT_EQ(checked.bytesPerSector, 4096);
  auto stored = volumeFromBootSector(bootSector(f), 0, 1, 512, BootSectorSize::AsStored);
  EXPECT_EQ(stored.bytesPerSector, 0);
  EXPECT_EQ(stored.sectorsPerMftRecord, 2);  // sectors still counted in the source's unit
}

TEST(NtfsBootSector, SizeTests) {
  BootFields f;
  f.totalSectors = 1000;
  f.mftLcn = 10;
  auto b = bootSector(f);
  EXPECT_TRUE(bootSectorFits(b, 0, 1000));
  EXPECT_TRUE(bootSectorFits(b, 100, 1100));
  EXPECT_FALSE(bootSectorFits(b, 101, 1100));
  EXPECT_FALSE(bootSectorFits(b, 0, 999));
  f.mftLcn = UINT64_MAX / 4;  // would overflow position + clusters
  EXPECT_FALSE(bootSectorFits(bootSector(f), 0, 1000));
}

}  // namespace
}  // namespace ov::ntfs
