// The volume finders on disk images written by mkntfs, ntfs-3g, mkfs.fat and sfdisk (tests/data),
// checked against the manifests written when the images were made, and on third-party images.
#include <gtest/gtest.h>

#include <fstream>

#include "ntfs/file_record.h"
#include "ntfs/ntfs_engine.h"
#include "tests/support/test_support.h"

namespace ov::ntfs {
namespace {

using nlohmann::json;

struct Opened {
  ov::test::RecordingHost host;
  RunControl run;
  NtfsEngine engine{host, run};
  explicit Opened(const std::filesystem::path& path) {
    if (engine.openImage(path.string()) != 0) throw std::runtime_error("cannot open " + path.string());
  }
};

std::vector<json> ntfsPartitions(const json& manifest) {
  std::vector<json> out;
  for (const auto& p : manifest["partitions"])
    if (p["fs"] == "ntfs") out.push_back(p);
  return out;
}

std::uint64_t serialOf(const json& p) { return std::stoull(p["serial"].get<std::string>(), nullptr, 16); }

class PartitionTableOnImages : public ::testing::TestWithParam<std::string> {};

TEST_P(PartitionTableOnImages, ListsEveryNtfsPartition) {
  json m = ov::test::manifest(GetParam());
  Opened o(ov::test::image(GetParam()));
  EXPECT_EQ(o.engine.source().totalSectors(), m["total_sectors"].get<std::uint64_t>());
  ASSERT_TRUE(o.engine.readPartitionTable());
  auto expected = ntfsPartitions(m);
  const auto& volumes = o.engine.volumes();
  ASSERT_EQ(volumes.size(), expected.size());
  for (std::size_t i = 0; i < volumes.size(); ++i) {
    const auto& p = expected[i];
    SCOPED_TRACE("partition " + p["index"].dump());
    EXPECT_EQ(volumes[i].startSector, p["start"].get<std::uint64_t>());
    EXPECT_EQ(volumes[i].sectorCount, p["sectors"].get<std::uint64_t>());
    EXPECT_EQ(volumes[i].bytesPerCluster, p["cluster_bytes"].get<std::uint32_t>());
    EXPECT_EQ(volumes[i].mftLcn, p["mft_lcn"].get<std::uint64_t>());
    EXPECT_EQ(volumes[i].mftMirrLcn, p["mftmirr_lcn"].get<std::uint64_t>());
    EXPECT_EQ(volumes[i].mftRecordBytes, p["mft_record_bytes"].get<std::uint16_t>());
    EXPECT_EQ(volumes[i].serialNumber, serialOf(p));
    EXPECT_EQ(volumes[i].foundBy, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Images, PartitionTableOnImages, ::testing::Values("mbr_ntfs_fat", "ntfs_4k", "sample", "xp_cylinders"));

TEST(PartitionTableOnImages, ZeroedTablesListNothing) {
  for (const char* name : {"mbr_ntfs_fat_zeroed", "ntfs_zeroed_boot", "xp_cylinders_zeroed"}) {
    Opened o(ov::test::image(name));
    EXPECT_FALSE(o.engine.readPartitionTable()) << name;
  }
}

TEST(ThoroughSearchOnImages, FindsEveryVolumeOfADiskWithoutPartitionTable) {
  json m = ov::test::manifest("mbr_ntfs_fat_zeroed");
  Opened o(ov::test::image("mbr_ntfs_fat_zeroed"));
  ASSERT_TRUE(o.engine.searchVolumes(SearchMode::Thorough, 0, o.engine.source().totalSectors()));
  auto expected = ntfsPartitions(m);
  const auto& volumes = o.engine.volumes();
  ASSERT_EQ(volumes.size(), expected.size());
  for (std::size_t i = 0; i < volumes.size(); ++i) {
    const auto& p = expected[i];
    SCOPED_TRACE("partition " + p["index"].dump());
    EXPECT_EQ(volumes[i].startSector, p["start"].get<std::uint64_t>());
    EXPECT_EQ(volumes[i].sectorCount, p["boot_total_sectors"].get<std::uint64_t>());
    EXPECT_EQ(volumes[i].serialNumber, serialOf(p));
    EXPECT_EQ(volumes[i].bytesPerCluster, p["cluster_bytes"].get<std::uint32_t>());
    EXPECT_TRUE(volumes[i].foundBy & kFoundBootSector);
    EXPECT_TRUE(volumes[i].foundBy & kFoundMftCopies);
  }
  EXPECT_EQ(o.host.found.size(), expected.size());
}

TEST(ThoroughSearchOnImages, FindsAVolumeWhoseBootSectorsAreZeroedThroughItsMft) {
  json m = ov::test::manifest("ntfs_zeroed_boot");
  Opened o(ov::test::image("ntfs_zeroed_boot"));
  ASSERT_TRUE(o.engine.searchVolumes(SearchMode::Thorough, 0, o.engine.source().totalSectors()));
  const json p = ntfsPartitions(m).at(0);
  ASSERT_EQ(o.engine.volumes().size(), 1u);
  const auto& v = o.engine.volumes()[0];
  EXPECT_EQ(v.startSector, p["start"].get<std::uint64_t>());
  EXPECT_EQ(v.mftLcn, p["mft_lcn"].get<std::uint64_t>());
  EXPECT_EQ(v.mftMirrLcn, p["mftmirr_lcn"].get<std::uint64_t>());
  EXPECT_EQ(v.bytesPerCluster, p["cluster_bytes"].get<std::uint32_t>());
  EXPECT_EQ(v.mftRecordBytes, p["mft_record_bytes"].get<std::uint16_t>());
  EXPECT_EQ(v.serialNumber, 0u);
  EXPECT_EQ(v.foundBy & kFoundMftCopies, kFoundMftCopies);
  // Twice the mirror's offset: the mirror sits in the middle of the volume.
  EXPECT_EQ(v.sectorCount, 2ull * v.sectorsPerCluster * v.mftMirrLcn);
  EXPECT_LE(v.sectorCount, p["sectors"].get<std::uint64_t>());
}

TEST(QuickSearchOnImages, FindsTheVolumesOfACylinderAlignedDiskWithoutTable) {
  json m = ov::test::manifest("xp_cylinders_zeroed");
  Opened o(ov::test::image("xp_cylinders_zeroed"));
  ASSERT_TRUE(o.engine.searchVolumes(SearchMode::Quick, 0, o.engine.source().totalSectors()));
  auto expected = ntfsPartitions(m);
  const auto& volumes = o.engine.volumes();
  ASSERT_EQ(volumes.size(), expected.size());
  for (std::size_t i = 0; i < volumes.size(); ++i) {
    EXPECT_EQ(volumes[i].startSector, expected[i]["start"].get<std::uint64_t>());
    EXPECT_EQ(volumes[i].sectorCount, expected[i]["boot_total_sectors"].get<std::uint64_t>());
    EXPECT_EQ(volumes[i].serialNumber, serialOf(expected[i]));
    EXPECT_EQ(volumes[i].foundBy, kFoundBootSector);
  }
  EXPECT_EQ(o.host.found.size(), expected.size());
}

TEST(QuickSearchOnImages, FindsTheMebibyteAlignedVolumesOfADiskWithoutTable) {
  json m = ov::test::manifest("mbr_ntfs_fat_zeroed");
  Opened o(ov::test::image("mbr_ntfs_fat_zeroed"));
  ASSERT_TRUE(o.engine.searchVolumes(SearchMode::Quick, 0, o.engine.source().totalSectors()));
  auto expected = ntfsPartitions(m);
  ASSERT_EQ(o.engine.volumes().size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(o.engine.volumes()[i].startSector, expected[i]["start"].get<std::uint64_t>());
    EXPECT_EQ(o.engine.volumes()[i].sectorCount, expected[i]["boot_total_sectors"].get<std::uint64_t>());
  }
}

TEST(QuickSearchOnImages, FindsNothingWhereOnlyTheMftRemains) {
  Opened o(ov::test::image("ntfs_zeroed_boot"));
  EXPECT_TRUE(o.engine.searchVolumes(SearchMode::Quick, 0, o.engine.source().totalSectors()));
  EXPECT_TRUE(o.engine.volumes().empty());
}

TEST(RecordsOnImages, FirstRecordsOfTheMftAndMirrorAreRecognised) {
  Opened o(ov::test::image("ntfs_4k"));
  ASSERT_TRUE(o.engine.readPartitionTable());
  const auto& v = o.engine.volumes()[0];
  std::vector<std::uint8_t> record(v.mftRecordBytes);
  o.engine.source().readSectorsRetrying(record.data(), record.size(), v.mftSector);
  auto copy = record;
  EXPECT_TRUE(isFirstMftRecord(record, v.mftRecordBytes, 512));
  EXPECT_FALSE(isFirstMirrorRecord(copy, v.mftRecordBytes, 512));
  o.engine.source().readSectorsRetrying(record.data(), record.size(), v.mftSector + v.sectorsPerMftRecord);
  EXPECT_TRUE(isFirstMirrorRecord(record, v.mftRecordBytes, 512));
}

// Third-party images made by Windows 10 (NTFS at sector 128) and Linux ntfs3.
class ThirdPartyImages : public ::testing::TestWithParam<std::string> {};

TEST_P(ThirdPartyImages, VolumeAtSector128IsListedAndFoundByBothWays) {
  auto shared = ov::test::sharedTestdataDir();
  if (!shared) GTEST_SKIP() << "../shared/testdata is absent";
  auto path = ov::test::gunzipped(*shared / GetParam());
  Opened o(path);
  ASSERT_TRUE(o.engine.readPartitionTable());
  ASSERT_EQ(o.engine.volumes().size(), 1u);
  LogicalVolume listed = o.engine.volumes()[0];
  EXPECT_EQ(listed.startSector, 128u);
  ASSERT_TRUE(o.engine.searchVolumes(SearchMode::Thorough, 0, o.engine.source().totalSectors()));
  ASSERT_FALSE(o.engine.volumes().empty());
  const auto& found = o.engine.volumes()[0];
  EXPECT_EQ(found.startSector, 128u);
  EXPECT_EQ(found.serialNumber, listed.serialNumber);
  EXPECT_EQ(found.mftLcn, listed.mftLcn);
}

INSTANTIATE_TEST_SUITE_P(Shared, ThirdPartyImages,
                         ::testing::Values("ntfs-samples/ntfs-ramslack.raw.gz", "ntfs-samples/ntfs-lastaccess.raw.gz",
                                           "dfir_ntfs/ntfs_index.raw.gz"));

}  // namespace
}  // namespace ov::ntfs

namespace ov::ntfs {
namespace {

TEST(SingleVolumeImages, AVolumeImageListsItsVolumeAtSectorZero) {
  json m = ov::test::manifest("sample");
  auto disk = ov::test::readFile(ov::test::image("sample"));
  std::uint64_t start = m["partitions"][0]["start"];
  auto path = ov::test::scratchDir() / "sample-volume.img";
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(disk.data() + start * 512),
              static_cast<std::streamsize>(disk.size() - start * 512));
  }
  Opened o(path);
  ASSERT_TRUE(o.engine.readPartitionTable());
  EXPECT_EQ(o.engine.tableKind(), PartitionTableKind::None);
  ASSERT_EQ(o.engine.volumes().size(), 1u);
  EXPECT_EQ(o.engine.volumes()[0].startSector, 0u);
  EXPECT_EQ(o.engine.volumes()[0].sectorCount, m["partitions"][0]["boot_total_sectors"].get<std::uint64_t>());
  EXPECT_TRUE(o.engine.selectVolume(0));
  EXPECT_TRUE(o.engine.processFileSystem());
}

TEST(GptImages, ThirdPartyGptTablesAreRead) {
  auto shared = ov::test::sharedTestdataDir();
  if (!shared) GTEST_SKIP() << "../shared/testdata is absent";
  auto path = ov::test::gunzipped(*shared / "dfir_ntfs/gpt-512-3p.raw.gz");
  Opened o(path);
  std::vector<GptPartition> partitions;
  bool usedBackup = true;
  ASSERT_TRUE(readGpt(o.engine.source(), partitions, usedBackup));
  EXPECT_FALSE(usedBackup);
  EXPECT_EQ(partitions.size(), 3u);
  o.engine.readPartitionTable();
  EXPECT_EQ(o.engine.tableKind(), PartitionTableKind::Gpt);
}

}  // namespace
}  // namespace ov::ntfs
