// Recovery end to end on the committed images: each volume, processed by the processing run and by
// the Turbo Scan, lists every file and folder of its manifest where it belongs, live or deleted, and
// saves every file the disk still holds byte for byte.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/engines.h"

namespace ov::test {
namespace {

using nlohmann::json;

struct Row {
  const char* image;
  const char* fs;  // "ntfs" or "fat"
  bool turbo;
  Names names = Names::Exact;
};

std::string rowName(const ::testing::TestParamInfo<Row>& info) {
  return std::string(info.param.image) + "_" + info.param.fs + (info.param.turbo ? "_turbo" : "_walk");
}

class RecoveryOnImages : public ::testing::TestWithParam<Row> {};

template <class Engine>
void checkEveryVolume(const Row& row, std::initializer_list<const char*> fileSystems) {
  const json m = manifest(row.image);
  int listed = 0;
  for (const json& partition : partitionsOf(m, fileSystems)) {
    SCOPED_TRACE("volume at " + partition["start"].dump());
    Opened<Engine> o{std::string(row.image)};
    ASSERT_TRUE(o.process(partition["start"], row.turbo));
    const Tree tree = o.tree();
    listed += checkAgainstManifest(o.engine, o.run, tree, m, partition, {false, row.names});
    // A second file system's signature is named in a warning; no other image has one.
    std::vector<std::string> warnings;
    for (const auto& e : o.host.log)
      if (e.name.find("file system signature") != std::string::npos) warnings.push_back(e.name);
    const std::string other = m.value("other_signature", "");
    EXPECT_EQ(warnings.size(), other.empty() ? 0u : 1u);
    for (const std::string& warning : warnings) EXPECT_NE(warning.find(other), std::string::npos) << warning;
    // The log names the steps of the run.
    ASSERT_GE(o.host.log.size(), 2u);
    if (row.turbo) {
      EXPECT_TRUE(std::any_of(o.host.log.begin(), o.host.log.end(), [](const LogEntry& e) {
        return e.name.rfind("Started turbo scan of logical drive ", 0) == 0;
      }));
      EXPECT_EQ(o.host.log.back().name.rfind("Completed turbo scan of logical drive ", 0), 0u);
    } else {
      EXPECT_EQ(o.host.log.back().name, "Completed Populating Directory Structure");
    }
  }
  EXPECT_GT(listed, 3);
}

TEST_P(RecoveryOnImages, EveryFileIsListedWhereItBelongsAndSavedWhole) {
  const Row& row = GetParam();
  if (std::string(row.fs) == "ntfs") {
    checkEveryVolume<ntfs::NtfsEngine>(row, {"ntfs"});
  } else {
    checkEveryVolume<fat::FatEngine>(row, {"fat12", "fat16", "fat32"});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Images, RecoveryOnImages,
    ::testing::Values(Row{"sample", "ntfs", false}, Row{"sample", "ntfs", true}, Row{"mbr_ntfs_fat", "ntfs", false},
                      Row{"ntfs_4k", "ntfs", false}, Row{"xp_cylinders", "ntfs", false},
                      Row{"ntfs_features", "ntfs", false}, Row{"ntfs_turbo", "ntfs", true},
                      Row{"ntfs_fidelity", "ntfs", false}, Row{"ntfs_fidelity", "ntfs", true},
                      Row{"ntfs_odd_mft", "ntfs", false}, Row{"ntfs_odd_mft", "ntfs", true},
                      Row{"ntfs_4kn_gpt", "ntfs", false}, Row{"ntfs_4kn_gpt", "ntfs", true},
                      Row{"ntfs_4kn_mbr", "ntfs", false}, Row{"ntfs_4kn_mbr", "ntfs", true},
                      Row{"ntfs_ext2_signature", "ntfs", false}, Row{"ntfs_ext2_signature", "ntfs", true},
                      Row{"gpt_disk", "ntfs", false}, Row{"ntfs_volume_only", "ntfs", false},
                      Row{"fat_mbr", "fat", false, Names::FatAnyCase}, Row{"fat_mbr", "fat", true, Names::FatAnyCase},
                      Row{"mbr_ntfs_fat", "fat", false, Names::FatAnyCase},
                      Row{"mbr_ntfs_fat", "fat", true, Names::FatAnyCase},
                      Row{"fat32_backup_boot", "fat", false, Names::FatAnyCase},
                      Row{"gpt_disk", "fat", false, Names::FatAnyCase},
                      Row{"fat32_volume_only", "fat", false, Names::FatAnyCase},
                      Row{"fat12_floppy", "fat", false, Names::FatShort}, Row{"fat12_floppy", "fat", true, Names::FatShort},
                      Row{"fat_small_mbr", "fat", false, Names::FatShort}, Row{"fat_small_mbr", "fat", true, Names::FatShort},
                      Row{"fat16_volume_only", "fat", false, Names::FatShort},
                      Row{"fat16_volume_only", "fat", true, Names::FatShort}),
    rowName);

}  // namespace
}  // namespace ov::test
