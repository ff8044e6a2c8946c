// Both engines on GPT disks and single-volume images made by sfdisk, mkntfs, ntfs-3g, mkfs.fat and
// mtools: the volumes are listed where the manifests put them, with their partition names, and
// their files are recovered byte for byte; a damaged primary table falls back to the backup (and
// the log says so), and with every table gone the searches still find the volumes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <functional>
#include <map>

#include "disk/gpt.h"
#include "fat/fat_engine.h"
#include "fat/fat_extract.h"
#include "fat/fat_search.h"
#include "ntfs/extract.h"
#include "ntfs/ntfs_engine.h"
#include "tests/support/test_support.h"

namespace ov {
namespace {

using nlohmann::json;

std::vector<json> partitionsOf(const json& m, std::initializer_list<const char*> fs) {
  std::vector<json> out;
  for (const auto& p : m["partitions"])
    for (const char* f : fs)
      if (p["fs"] == f) out.push_back(p);
  return out;
}

std::uint64_t u64(const json& j) { return j.get<std::uint64_t>(); }

bool saysBackupUsed(const std::vector<LogEntry>& log) {
  for (const auto& e : log)
    if (e.name.find("backup GPT") != std::string::npos) return true;
  return false;
}

std::vector<std::uint8_t> readBack(const std::function<bool(int)>& save, int& counter) {
  auto path = test::scratchDir() / ("gpt-recovered-" + std::to_string(counter++));
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  EXPECT_GE(fd, 0);
  EXPECT_TRUE(save(fd));
  ::close(fd);
  return test::readFile(path);
}

// ---- NTFS -------------------------------------------------------------------------------------

struct NtfsOpened {
  test::RecordingHost host;
  RunControl run;
  ntfs::NtfsEngine engine{host, run};
  int counter = 0;

  explicit NtfsOpened(const std::string& image) {
    if (engine.openImage(test::image(image).string()) != 0) throw std::runtime_error("cannot open " + image);
  }

  // Path below the root ("/Documents/report.txt") to the entries listed there, live or not.
  void walk(ntfs::WorkingFiles& files, const ntfs::FileEntry& folder, const std::string& path,
            std::multimap<std::string, ntfs::FileEntry>& out, int depth) {
    ASSERT_LT(depth, 32);
    std::uint64_t total = 0;
    std::uint32_t fileCount = 0, folderCount = 0;
    for (const auto& e : files.readFolder(folder.childrenBlock, total, fileCount, folderCount, true)) {
      std::string child = path + "/" + utf16ToUtf8(e.name);
      out.emplace(child, e);
      if (e.isFolder()) walk(files, e, child, out, depth + 1);
    }
  }

  // Processes volume `index` and checks every live file of manifest partition `partition`.
  void recoverEveryLiveFile(std::size_t index, const json& m, const json& partition) {
    ASSERT_TRUE(engine.selectVolume(index));
    ASSERT_TRUE(engine.processFileSystem());
    ntfs::WorkingFiles& files = engine.workingFiles();
    auto top = files.readEntry(0);
    ASSERT_TRUE(top.has_value());
    std::multimap<std::string, ntfs::FileEntry> byPath;
    std::uint64_t total = 0;
    std::uint32_t fileCount = 0, folderCount = 0;
    for (const auto& e : files.readFolder(top->childrenBlock, total, fileCount, folderCount, true))
      if (e.entryIndex == 1) walk(files, e, "", byPath, 0);  // the root; "#N" folders are orphans
    int checked = 0;
    for (const auto& f : m["files"]) {
      if (f["partition"] != partition["index"] || f["state"] != "live") continue;
      const std::string path = f["path"];
      SCOPED_TRACE(path);
      const bool folder = f["type"] == "folder";
      const ntfs::FileEntry* found = nullptr;
      auto [first, last] = byPath.equal_range(path);
      for (auto it = first; it != last; ++it)
        if (it->second.isLive() && it->second.isFolder() == folder) found = &it->second;
      ASSERT_NE(found, nullptr) << "not listed";
      ++checked;
      if (folder) continue;
      EXPECT_EQ(found->dataSize, u64(f["size"]));
      ntfs::FileExtractor extractor(engine.source(), engine.volume());
      auto bytes = readBack([&](int fd) { return extractor.saveFileData(found->recordSector, found->dataSize, fd); },
                            counter);
      EXPECT_EQ(test::sha256Hex(bytes), f["sha256"].get<std::string>());
    }
    EXPECT_GT(checked, 2);
  }
};

void expectNtfsGptVolumes(const std::string& image, bool backup) {
  const json m = test::manifest(image);
  NtfsOpened o(image);
  ASSERT_TRUE(o.engine.readPartitionTable());
  EXPECT_EQ(o.engine.tableKind(), PartitionTableKind::Gpt);
  auto expected = partitionsOf(m, {"ntfs"});
  const auto& volumes = o.engine.volumes();
  ASSERT_EQ(volumes.size(), expected.size());
  ASSERT_EQ(volumes.size(), 2u);  // the basic data and the recovery partition
  for (std::size_t i = 0; i < volumes.size(); ++i) {
    const auto& p = expected[i];
    SCOPED_TRACE("partition " + p["index"].dump());
    EXPECT_EQ(volumes[i].startSector, u64(p["start"]));
    EXPECT_EQ(volumes[i].sectorCount, u64(p["sectors"]));
    EXPECT_EQ(volumes[i].serialNumber, std::stoull(p["serial"].get<std::string>(), nullptr, 16));
    EXPECT_EQ(volumes[i].partitionName, p["name"].get<std::string>());
    EXPECT_EQ(volumes[i].partitionType, gptTypeName(p["type"].get<std::string>()));
  }
  EXPECT_EQ(volumes[0].partitionType, "Basic data");
  EXPECT_EQ(saysBackupUsed(o.host.log), backup);
}

TEST(NtfsGptImages, ListsTheNtfsPartitionsWithTheirNames) { expectNtfsGptVolumes("gpt_disk", false); }

TEST(NtfsGptImages, DamagedPrimaryHeaderFallsBackToTheBackup) {
  expectNtfsGptVolumes("gpt_disk_primary_damaged", true);
}

TEST(NtfsGptImages, DamagedPrimaryEntriesFallBackToTheBackup) {
  expectNtfsGptVolumes("gpt_disk_entries_damaged", true);
}

TEST(NtfsGptImages, RecoversEveryLiveFileOfBothVolumes) {
  const json m = test::manifest("gpt_disk");
  NtfsOpened o("gpt_disk");
  ASSERT_TRUE(o.engine.readPartitionTable());
  auto expected = partitionsOf(m, {"ntfs"});
  ASSERT_EQ(o.engine.volumes().size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("partition " + expected[i]["index"].dump());
    o.recoverEveryLiveFile(i, m, expected[i]);
  }
}

TEST(NtfsGptImages, QuickSearchFindsTheVolumesWhenEveryTableIsGone) {
  const json m = test::manifest("gpt_disk_zeroed");
  NtfsOpened o("gpt_disk_zeroed");
  EXPECT_FALSE(o.engine.readPartitionTable());
  ASSERT_TRUE(o.engine.searchVolumes(ntfs::SearchMode::Quick, 0, o.engine.source().totalSectors()));
  auto expected = partitionsOf(m, {"ntfs"});
  const auto& volumes = o.engine.volumes();
  ASSERT_EQ(volumes.size(), expected.size());
  for (std::size_t i = 0; i < volumes.size(); ++i) {
    EXPECT_EQ(volumes[i].startSector, u64(expected[i]["start"]));
    EXPECT_EQ(volumes[i].sectorCount, u64(expected[i]["boot_total_sectors"]));
  }
}

TEST(NtfsGptImages, AVolumeImageListsItsOneVolume) {
  const json m = test::manifest("ntfs_volume_only");
  const json p = m["partitions"].at(0);
  NtfsOpened o("ntfs_volume_only");
  ASSERT_TRUE(o.engine.readPartitionTable());
  EXPECT_EQ(o.engine.tableKind(), PartitionTableKind::None);
  ASSERT_EQ(o.engine.volumes().size(), 1u);
  EXPECT_EQ(o.engine.volumes()[0].startSector, 0u);
  EXPECT_EQ(o.engine.volumes()[0].sectorCount, u64(p["boot_total_sectors"]));
  o.recoverEveryLiveFile(0, m, p);
}

TEST(NtfsGptImages, AFatVolumeImageListsNoNtfsVolume) {
  NtfsOpened o("fat32_volume_only");
  EXPECT_FALSE(o.engine.readPartitionTable());
  EXPECT_TRUE(o.engine.volumes().empty());
}

// ---- FAT --------------------------------------------------------------------------------------

bool sameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// The live entry at `path` below the root; short names are shown in capitals.
const fat::FileEntry* findLive(const fat::FatTree& tree, const std::string& path, bool folder) {
  const fat::FileEntry* at = tree.root();
  std::size_t from = 1;
  while (at && from <= path.size()) {
    std::size_t slash = path.find('/', from);
    if (slash == std::string::npos) slash = path.size();
    const std::string part = path.substr(from, slash - from);
    const bool last = slash == path.size();
    const fat::FileEntry* next = nullptr;
    for (const fat::FileEntry* c : fat::FatTree::children(*at))
      if (c->isLive() && sameIgnoringCase(utf16ToUtf8(c->name), part) && c->isFolder() == (last ? folder : true))
        next = c;
    at = next;
    from = slash + 1;
  }
  return at;
}

struct FatOpened {
  test::RecordingHost host;
  RunControl run;
  fat::FatEngine engine{host, run};
  int counter = 0;

  explicit FatOpened(const std::string& image) {
    if (engine.openImage(test::image(image).string()) != 0) throw std::runtime_error("cannot open " + image);
  }

  void recoverEveryLiveFile(std::size_t index, const json& m, const json& partition) {
    ASSERT_TRUE(engine.selectVolume(index));
    ASSERT_TRUE(engine.processFileSystem());
    int checked = 0;
    for (const auto& f : m["files"]) {
      if (f["partition"] != partition["index"] || f["state"] != "live") continue;
      const std::string path = f["path"];
      SCOPED_TRACE(path);
      const bool folder = f["type"] == "folder";
      if (!folder && f["size"] == 0) continue;  // no first cluster, so not listed
      const fat::FileEntry* e = findLive(engine.tree(), path, folder);
      ASSERT_NE(e, nullptr) << "not listed";
      ++checked;
      if (folder) continue;
      EXPECT_EQ(e->dataSize, u64(f["size"]));
      fat::FileExtractor extractor(engine.source(), engine.volume());
      run.start();
      auto bytes = readBack([&](int fd) { return extractor.saveFileData(*e, fd); }, counter);
      run.stop();
      EXPECT_EQ(test::sha256Hex(bytes), f["sha256"].get<std::string>());
    }
    EXPECT_GT(checked, 2);
  }
};

void expectFatGptVolume(const std::string& image, bool backup) {
  const json m = test::manifest(image);
  FatOpened o(image);
  ASSERT_TRUE(o.engine.readPartitionTable());
  EXPECT_EQ(o.engine.tableKind(), PartitionTableKind::Gpt);
  auto expected = partitionsOf(m, {"fat16", "fat32"});
  const auto& volumes = o.engine.volumes();
  ASSERT_EQ(volumes.size(), 1u);
  ASSERT_EQ(expected.size(), 1u);
  const json& p = expected[0];
  const fat::FatVolume& v = volumes[0];
  EXPECT_EQ(v.startSector, u64(p["start"]));
  EXPECT_EQ(v.sectorCount, u64(p["sectors"]));
  EXPECT_EQ(v.fatType, fat::kFat32);
  EXPECT_EQ(v.bootCopySector, 6u);
  EXPECT_EQ(v.foundBy, fat::kFatBootParsed);
  EXPECT_EQ(v.serialNumber, std::stoull(p["serial"].get<std::string>(), nullptr, 16));
  EXPECT_EQ(v.bytesPerCluster, p["cluster_bytes"].get<std::uint32_t>());
  EXPECT_EQ(v.reservedSectors, u64(p["reserved_sectors"]));
  EXPECT_EQ(v.fatSectors, p["fat_sectors"].get<std::uint32_t>());
  ASSERT_EQ(o.engine.partitionInfos().size(), 1u);
  EXPECT_EQ(o.engine.partitionInfos()[0].name, p["name"].get<std::string>());
  EXPECT_EQ(o.engine.partitionInfos()[0].type, "EFI system");
  EXPECT_EQ(saysBackupUsed(o.host.log), backup);
}

TEST(FatGptImages, ListsTheEfiSystemPartition) { expectFatGptVolume("gpt_disk", false); }

TEST(FatGptImages, DamagedPrimaryHeaderFallsBackToTheBackup) { expectFatGptVolume("gpt_disk_primary_damaged", true); }

TEST(FatGptImages, DamagedPrimaryEntriesFallBackToTheBackup) { expectFatGptVolume("gpt_disk_entries_damaged", true); }

TEST(FatGptImages, RecoversEveryLiveFileOfTheEfiSystemPartition) {
  const json m = test::manifest("gpt_disk");
  FatOpened o("gpt_disk");
  ASSERT_TRUE(o.engine.readPartitionTable());
  ASSERT_EQ(o.engine.volumes().size(), 1u);
  o.recoverEveryLiveFile(0, m, partitionsOf(m, {"fat32"}).at(0));
}

TEST(FatGptImages, BasicSearchFindsTheVolumeWhenEveryTableIsGone) {
  const json m = test::manifest("gpt_disk_zeroed");
  const json p = partitionsOf(m, {"fat32"}).at(0);
  FatOpened o("gpt_disk_zeroed");
  EXPECT_FALSE(o.engine.readPartitionTable());
  std::vector<fat::FatVolume> found;
  o.run.start();
  ASSERT_TRUE(fat::basicSearch(o.engine.source(), 0, o.engine.source().totalSectors(), found));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].startSector, u64(p["start"]));
  EXPECT_EQ(found[0].sectorCount, u64(p["boot_total_sectors"]));
  EXPECT_EQ(found[0].fatType, fat::kFat32);
  EXPECT_TRUE(found[0].foundBy & fat::kFatBackupSeen);
}

TEST(FatGptImages, AVolumeImageListsItsOneVolume) {
  const json m = test::manifest("fat32_volume_only");
  const json p = m["partitions"].at(0);
  FatOpened o("fat32_volume_only");
  ASSERT_TRUE(o.engine.readPartitionTable());
  EXPECT_EQ(o.engine.tableKind(), PartitionTableKind::None);
  ASSERT_EQ(o.engine.volumes().size(), 1u);
  const fat::FatVolume& v = o.engine.volumes()[0];
  EXPECT_EQ(v.startSector, 0u);
  EXPECT_EQ(v.sectorCount, u64(p["boot_total_sectors"]));
  EXPECT_EQ(v.fatType, fat::kFat32);
  EXPECT_EQ(v.bootCopySector, 6u);
  EXPECT_EQ(v.foundBy, fat::kFatBootParsed);
  EXPECT_EQ(v.serialNumber, std::stoull(p["serial"].get<std::string>(), nullptr, 16));
  ASSERT_EQ(o.engine.partitionInfos().size(), 1u);
  EXPECT_TRUE(o.engine.partitionInfos()[0].name.empty());
  o.recoverEveryLiveFile(0, m, p);
}

TEST(FatGptImages, AnNtfsVolumeImageListsNoFatVolume) {
  FatOpened o("ntfs_volume_only");
  EXPECT_FALSE(o.engine.readPartitionTable());
  EXPECT_TRUE(o.engine.volumes().empty());
}

TEST(FatGptImages, AnMbrDiskStillListsItsVolumesWithoutNames) {
  FatOpened o("fat_mbr");
  ASSERT_TRUE(o.engine.readPartitionTable());
  EXPECT_EQ(o.engine.tableKind(), PartitionTableKind::Mbr);
  EXPECT_EQ(o.engine.volumes().size(), 3u);
  ASSERT_EQ(o.engine.partitionInfos().size(), o.engine.volumes().size());
  for (const auto& info : o.engine.partitionInfos()) EXPECT_TRUE(info.name.empty() && info.type.empty());
}

}  // namespace
}  // namespace ov
