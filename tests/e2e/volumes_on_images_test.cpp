// Volumes on the committed images (some with tables or boot sectors zeroed) and on third-party ones:
// the table walk and both searches of each engine place every volume of the manifest, with its
// size, serial, geometry and partition name, and nothing else; a damaged primary GPT uses the backup.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "fat/fat_search.h"
#include "ntfs/volume_finder.h"
#include "tests/support/engines.h"

namespace ov::test {
namespace {

using nlohmann::json;

enum class How { Table, Quick, Thorough };

struct Row {
  const char* image;
  const char* fs;  // "ntfs" or "fat"
  How how;
  bool listsNothing = false;
};

std::string rowName(const ::testing::TestParamInfo<Row>& info) {
  static const char* hows[] = {"table", "quick", "thorough"};
  return std::string(info.param.image) + "_" + info.param.fs + "_" + hows[static_cast<int>(info.param.how)];
}

// Each (key, value) that the partition `p` of the manifest names.
void expectFields(const json& p, std::initializer_list<std::pair<const char*, std::uint64_t>> fields) {
  for (const auto& [key, value] : fields)
    if (p.contains(key)) {
      EXPECT_EQ(value, p[key].get<std::uint64_t>()) << key;
    }
}

void expectDetails(const ntfs::NtfsEngine& e, std::size_t i, const json& p, How how, bool) {
  const ntfs::LogicalVolume& v = e.volumes()[i];
  EXPECT_EQ(v.serialNumber, serialOf(p));
  expectFields(p, {{"cluster_bytes", v.bytesPerCluster}, {"mft_lcn", v.mftLcn}, {"mftmirr_lcn", v.mftMirrLcn},
                   {"mft_record_bytes", v.mftRecordBytes}});
  const std::uint8_t foundBy[] = {0, ntfs::kFoundBootSector, ntfs::kFoundBootSector | ntfs::kFoundMftCopies};
  EXPECT_EQ(v.foundBy & foundBy[static_cast<int>(how)], foundBy[static_cast<int>(how)]);
  if (how == How::Table) {
    EXPECT_EQ(v.foundBy, 0);
  }
}

void expectDetails(const fat::FatEngine& e, std::size_t i, const json& p, How how, bool bootZeroed) {
  const fat::FatVolume& v = e.volumes()[i];
  EXPECT_EQ(std::string(fat::fatKindName(v)), p["fs"].get<std::string>());
  EXPECT_EQ(v.serialNumber, serialOf(p));
  expectFields(p, {{"cluster_bytes", v.bytesPerCluster}, {"fat_sectors", v.fatSectors},
                   {"reserved_sectors", v.reservedSectors}, {"root_entries", v.rootEntries}});
  const bool fat32 = v.fatType == fat::kFat32;
  std::uint8_t foundBy = fat::kFatBootParsed;
  if (how == How::Table) {
    EXPECT_EQ(v.bootCopySector, fat32 ? 6u : 0u);
  } else if (fat32 && !bootZeroed) {
    // The backup at 6, and a copy that mlabel leaves of the boot sector it rewrote: each copy 6
    // sectors after the last one seen joins the volume.
    EXPECT_GE(v.bootCopySector, v.startSector + 6);
    foundBy |= fat::kFatBackupSeen;
  }
  if (how == How::Thorough) foundBy |= fat::kFatFirstFatSeen | fat::kFatSecondFatSeen;
  EXPECT_EQ(v.foundBy, foundBy);
}

template <class Engine>
void checkVolumes(const Row& row, std::initializer_list<const char*> fileSystems) {
  const json m = manifest(row.image);
  Opened<Engine> o{std::string(row.image)};
  EXPECT_EQ(o.engine.source().bytesPerSector(), m["bytes_per_sector"].template get<std::uint16_t>());
  EXPECT_EQ(o.engine.source().totalSectors(), m["total_sectors"].template get<std::uint64_t>());
  const std::uint64_t end = o.engine.source().totalSectors();
  if (row.how == How::Table) {
    EXPECT_EQ(o.engine.readPartitionTable(), !row.listsNothing);
  } else {
    o.run.start();
    ASSERT_TRUE(o.engine.searchVolumes(row.how == How::Quick ? VolumeSearch::Quick : VolumeSearch::Thorough, 0, end));
  }
  const auto expected = row.listsNothing ? std::vector<json>{} : partitionsOf(m, fileSystems);
  ASSERT_EQ(o.engine.volumeCount(), expected.size());  // nothing placed at other sectors
  const bool fromTable = row.how == How::Table && m["table"] != "none";
  std::vector<std::uint64_t> starts;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const json& p = expected[i];
    SCOPED_TRACE("partition " + p["index"].dump());
    const VolumeRow v = o.engine.volumeRow(i);
    EXPECT_EQ(v.startSector, p["start"].template get<std::uint64_t>());
    EXPECT_EQ(v.sectorCount, p[fromTable ? "sectors" : "boot_total_sectors"].template get<std::uint64_t>());
    if (fromTable && m["table"] == "gpt") {
      EXPECT_EQ(v.partitionName, p["name"].template get<std::string>());
      EXPECT_EQ(v.partitionType, gptTypeName(p["type"].template get<std::string>()));
    } else {
      EXPECT_TRUE(v.partitionName.empty() && v.partitionType.empty());
    }
    expectDetails(o.engine, i, p, row.how, m.contains("boot_sector_zeroed"));
    starts.push_back(v.startSector);
  }
  if (row.how == How::Table) {
    const std::map<std::string, PartitionTableKind> kinds = {
        {"none", PartitionTableKind::None}, {"mbr", PartitionTableKind::Mbr}, {"gpt", PartitionTableKind::Gpt}};
    if (!row.listsNothing) {
      EXPECT_EQ(o.engine.tableKind(), kinds.at(m["table"]));
    }
    bool backupUsed = false;
    for (const auto& e : o.host.log) backupUsed = backupUsed || e.name.find("backup GPT") != std::string::npos;
    EXPECT_EQ(backupUsed, m.contains("gpt_damaged"));
  } else if (!m.contains("boot_sector_zeroed")) {
    EXPECT_EQ(o.host.found, starts);  // a volume placed by its backup is reported there
  }
}

class VolumesOnImages : public ::testing::TestWithParam<Row> {};

TEST_P(VolumesOnImages, AreListedWhereTheManifestPutsThem) {
  if (std::string(GetParam().fs) == "ntfs") {
    checkVolumes<ntfs::NtfsEngine>(GetParam(), {"ntfs"});
  } else {
    checkVolumes<fat::FatEngine>(GetParam(), {"fat12", "fat16", "fat32"});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Images, VolumesOnImages,
    ::testing::Values(
        Row{"mbr_ntfs_fat", "ntfs", How::Table}, Row{"ntfs_4k", "ntfs", How::Table}, Row{"sample", "ntfs", How::Table},
        Row{"xp_cylinders", "ntfs", How::Table}, Row{"gpt_disk", "ntfs", How::Table},
        Row{"gpt_disk_primary_damaged", "ntfs", How::Table}, Row{"gpt_disk_entries_damaged", "ntfs", How::Table},
        Row{"ntfs_volume_only", "ntfs", How::Table}, Row{"ntfs_4kn_gpt", "ntfs", How::Table},
        Row{"ntfs_4kn_mbr", "ntfs", How::Table}, Row{"mbr_ntfs_fat_zeroed", "ntfs", How::Table, true},
        Row{"ntfs_zeroed_boot", "ntfs", How::Table, true}, Row{"xp_cylinders_zeroed", "ntfs", How::Table, true},
        Row{"fat32_volume_only", "ntfs", How::Table, true}, Row{"fat16_not_ntfs", "ntfs", How::Table, true},
        Row{"mbr_ntfs_fat_zeroed", "ntfs", How::Thorough}, Row{"fat16_not_ntfs", "ntfs", How::Thorough, true},
        Row{"xp_cylinders_zeroed", "ntfs", How::Quick}, Row{"mbr_ntfs_fat_zeroed", "ntfs", How::Quick},
        Row{"gpt_disk_zeroed", "ntfs", How::Quick}, Row{"ntfs_zeroed_boot", "ntfs", How::Quick, true},
        Row{"fat_mbr", "fat", How::Table}, Row{"gpt_disk", "fat", How::Table},
        Row{"gpt_disk_primary_damaged", "fat", How::Table}, Row{"gpt_disk_entries_damaged", "fat", How::Table},
        Row{"fat32_volume_only", "fat", How::Table}, Row{"fat12_floppy", "fat", How::Table},
        Row{"fat_small_mbr", "fat", How::Table}, Row{"fat16_volume_only", "fat", How::Table},
        Row{"mbr_ntfs_fat", "fat", How::Table}, Row{"fat_mbr_zeroed", "fat", How::Table, true},
        Row{"ntfs_volume_only", "fat", How::Table, true}, Row{"fat32_backup_boot", "fat", How::Table, true},
        Row{"fat_mbr", "fat", How::Quick}, Row{"fat_mbr_zeroed", "fat", How::Quick},
        Row{"gpt_disk_zeroed", "fat", How::Quick}, Row{"fat12_floppy", "fat", How::Quick},
        Row{"fat_small_mbr", "fat", How::Quick}, Row{"fat16_volume_only", "fat", How::Quick},
        Row{"fat_mbr", "fat", How::Thorough}, Row{"fat_mbr_zeroed", "fat", How::Thorough},
        Row{"fat12_floppy", "fat", How::Thorough}, Row{"fat_small_mbr", "fat", How::Thorough},
        Row{"fat16_volume_only", "fat", How::Thorough}, Row{"fat32_backup_boot", "fat", How::Thorough}),
    rowName);

TEST(VolumesOnImages, AnNtfsVolumeWhoseBootSectorsAreZeroedIsFoundThroughItsMft) {
  const json p = manifest("ntfs_zeroed_boot")["partitions"][0];
  NtfsOpened o{std::string("ntfs_zeroed_boot")};
  ASSERT_TRUE(o.engine.searchVolumes(ntfs::SearchMode::Thorough, 0, o.engine.source().totalSectors()));
  ASSERT_EQ(o.engine.volumes().size(), 1u);
  const ntfs::LogicalVolume& v = o.engine.volumes()[0];
  expectFields(p, {{"start", v.startSector}, {"mft_lcn", v.mftLcn}, {"mftmirr_lcn", v.mftMirrLcn},
                   {"cluster_bytes", v.bytesPerCluster}});
  EXPECT_EQ(v.serialNumber, 0u);
  EXPECT_EQ(v.foundBy & ntfs::kFoundMftCopies, ntfs::kFoundMftCopies);
  // Twice the mirror's offset: the mirror sits in the middle of the volume.
  EXPECT_EQ(v.sectorCount, 2ull * v.sectorsPerCluster * v.mftMirrLcn);
  EXPECT_LE(v.sectorCount, p["sectors"].get<std::uint64_t>());
}

TEST(VolumesOnImages, AFat32VolumeWithoutItsBootSectorIsListedAtItsBackupByTheBasicScan) {
  const json p = manifest("fat32_backup_boot")["partitions"][0];
  FatOpened o{std::string("fat32_backup_boot")};
  o.run.start();
  ASSERT_TRUE(o.engine.searchVolumes(VolumeSearch::Quick, 0, o.engine.source().totalSectors()));
  ASSERT_EQ(o.engine.volumes().size(), 1u);
  EXPECT_EQ(o.engine.volumes()[0].startSector, p["start"].get<std::uint64_t>() + 6);
  EXPECT_EQ(o.engine.volumes()[0].foundBy, fat::kFatBootParsed);
}

// Without its boot sector a floppy is known by its two FATs and its folders: the thorough search
// places a FAT12 reading at its first FAT with the root directory between the second FAT and the
// data area, and that reading gives back every live file.
TEST(VolumesOnImages, AFloppyWithoutItsBootSectorIsPlacedByItsFats) {
  const json m = manifest("fat12_floppy");
  const json& p = m["partitions"][0];
  auto bytes = readFile(image("fat12_floppy"));
  std::fill(bytes.begin(), bytes.begin() + 512, 0);
  FatOpened o(std::move(bytes));
  o.run.start();
  ASSERT_TRUE(o.engine.searchVolumes(VolumeSearch::Thorough, 0, o.engine.source().totalSectors()));
  ASSERT_FALSE(o.engine.volumes().empty());
  const fat::FatVolume& v = o.engine.volumes()[0];
  EXPECT_TRUE(v.fat12);
  EXPECT_EQ(v.startSector, p["reserved_sectors"].get<std::uint64_t>());
  expectFields(p, {{"fat_sectors", v.fatSectors}, {"root_entries", v.rootEntries}, {"cluster_bytes", v.bytesPerCluster}});
  EXPECT_LE(v.startSector + v.sectorCount, o.engine.source().totalSectors());
  ASSERT_TRUE(o.engine.selectVolume(0));
  ASSERT_TRUE(o.engine.processFileSystem());
  EXPECT_GT(checkAgainstManifest(o.engine, o.run, o.tree(), m, p, {true, Names::FatShort}), 3);
}

// Third-party images: NTFS made by Windows 10 (at sector 128) and Linux ntfs3, a GPT disk, and
// FAT12 and FAT16 volumes made by mkfs.fat without a partition table, with answer keys (512
// folders, each with an empty file, and /265/find_me.txt). One row each, so that they run side by side.
class ThirdPartyImages : public ::testing::TestWithParam<const char*> {};

TEST_P(ThirdPartyImages, AreListedAndFoundAndTheirAnswerKeysHold) {
  auto shared = sharedTestdataDir();
  if (!shared) GTEST_SKIP() << "../shared/testdata is absent";
  const std::string name = GetParam();
  if (name.starts_with("fat")) {
    FatOpened o(gunzipped(*shared / "dfir_ntfs" / (name + ".raw.gz")));
    ASSERT_TRUE(o.engine.readPartitionTable());
    ASSERT_EQ(o.engine.volumes().size(), 1u);
    EXPECT_EQ(o.engine.tableKind(), PartitionTableKind::None);
    EXPECT_EQ(std::string(fat::fatKindName(o.engine.volumes()[0])), name);
    std::vector<fat::FatVolume> found;
    o.run.start();
    ASSERT_TRUE(fat::thoroughSearch(o.engine.source(), 0, o.engine.source().totalSectors(), found));
    ASSERT_EQ(found.size(), 1u);  // not the readings of its folders at other sectors
    EXPECT_EQ(found[0].startSector, 0u);
    ASSERT_TRUE(o.engine.selectVolume(0));
    ASSERT_TRUE(o.engine.processFileSystem());
    const Tree tree = o.tree();
    std::ifstream key(*shared / "dfir_ntfs" / (name + "_full_test.txt"));
    int paths = 0;
    for (std::string line; std::getline(key, line);) {
      const std::string path = line.substr(0, line.find_first_of("\t "));
      if (path.empty()) continue;
      const bool folder = path.find('.') == std::string::npos;
      const TreeEntry* e = tree.find(path, true, folder);
      ASSERT_NE(e, nullptr) << path;
      ++paths;
      if (folder) continue;
      const std::string wanted = path == "/265/find_me.txt" ? std::string(8192, '\xFE') + "the end" : "";
      const auto saved = o.save(*e);
      EXPECT_EQ(std::string(saved.begin(), saved.end()), wanted) << path;
    }
    EXPECT_EQ(paths, 1025);
    return;
  }
  NtfsOpened o(gunzipped(*shared / name));
  if (name.find("gpt") != std::string::npos) {
    std::vector<GptPartition> partitions;
    bool usedBackup = true;
    ASSERT_TRUE(readGpt(o.engine.source(), partitions, usedBackup));
    EXPECT_FALSE(usedBackup);
    EXPECT_EQ(partitions.size(), 3u);
    return;
  }
  ASSERT_TRUE(o.engine.readPartitionTable());
  ASSERT_EQ(o.engine.volumes().size(), 1u);
  const ntfs::LogicalVolume listed = o.engine.volumes()[0];
  EXPECT_EQ(listed.startSector, 128u);
  ASSERT_TRUE(o.engine.searchVolumes(ntfs::SearchMode::Thorough, 0, o.engine.source().totalSectors()));
  ASSERT_FALSE(o.engine.volumes().empty());
  EXPECT_EQ(o.engine.volumes()[0].startSector, 128u);
  EXPECT_EQ(o.engine.volumes()[0].serialNumber, listed.serialNumber);
  EXPECT_EQ(o.engine.volumes()[0].mftLcn, listed.mftLcn);
}

INSTANTIATE_TEST_SUITE_P(Shared, ThirdPartyImages,
                         ::testing::Values("ntfs-samples/ntfs-ramslack.raw.gz", "ntfs-samples/ntfs-lastaccess.raw.gz",
                                           "dfir_ntfs/ntfs_index.raw.gz", "dfir_ntfs/gpt-512-3p.raw.gz", "fat12", "fat16"));

}  // namespace
}  // namespace ov::test
