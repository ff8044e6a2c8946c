// FAT recovery end to end on images written by mkfs.fat and mtools: every file of the manifests
// is listed where it belongs, live or deleted, and recovered byte for byte; the Turbo Scan finds
// the deleted folders.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cctype>

#include "fat/fat_engine.h"
#include "fat/fat_extract.h"
#include "tests/support/test_support.h"

namespace ov::fat {
namespace {

using nlohmann::json;

bool hasFlag(const json& f, const char* flag) {
  if (!f.contains("flags")) return false;
  for (const auto& x : f["flags"])
    if (x == flag) return true;
  return false;
}

std::vector<std::string> split(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t at = 1;
  while (at <= path.size()) {
    std::size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    parts.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  return parts;
}

bool sameIgnoringCase(const std::string& a, const std::string& b, std::size_t from) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = from; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// Names compared without case (exact names are checked on the FAT12 images); a deleted short
// name has lost its first character to "X".
bool nameMatches(const FileEntry& e, const std::string& wanted) {
  std::string shown = utf16ToUtf8(e.name);
  if (sameIgnoringCase(shown, wanted, 0)) return true;
  return !e.isLive() && !shown.empty() && shown[0] == 'X' && sameIgnoringCase(shown, wanted, 1);
}

// The entry at `path` below "#", with the live mark wanted for its last part.
const FileEntry* find(const FatTree& tree, const std::string& path, bool live, bool folder) {
  auto parts = split(path);
  std::vector<const FileEntry*> level{tree.root()};
  for (std::size_t i = 0; i < parts.size(); ++i) {
    std::vector<const FileEntry*> next;
    bool last = i + 1 == parts.size();
    for (const FileEntry* f : level)
      for (const FileEntry* c : FatTree::children(*f)) {
        if (!nameMatches(*c, parts[i])) continue;
        if (!last && !c->isFolder()) continue;
        if (last && (c->isLive() != live || c->isFolder() != folder)) continue;
        next.push_back(c);
      }
    level = next;
  }
  return level.empty() ? nullptr : level.front();
}

struct Processed {
  ov::test::RecordingHost host;
  RunControl run;
  FatEngine engine{host, run};
  bool completed = false;
  int counter = 0;

  Processed(const std::string& image, const json& partition, bool turbo) {
    if (engine.openImage(ov::test::image(image).string()) != 0) throw std::runtime_error("open");
    std::uint64_t start = partition["start"];
    engine.readPartitionTable();
    std::optional<std::size_t> index;
    for (std::size_t i = 0; i < engine.volumes().size(); ++i)
      if (engine.volumes()[i].startSector == start) index = i;
    if (!index) {
      // A volume whose boot sector is gone: its geometry from the backup six sectors on.
      std::vector<std::uint8_t> backup(512);
      engine.source().readSectorsRetrying(backup.data(), backup.size(), start + 6);
      Bytes b(backup.data(), backup.size());
      if (!isFat32BootSector(b)) throw std::runtime_error("volume not listed");
      FatVolume v;
      parseFat32BootSector(b, v);
      v.startSector = start;
      v.fatType = kFat32;
      v.foundBy = kFatBootParsed;
      engine.volumes().push_back(v);
      index = engine.volumes().size() - 1;
    }
    EXPECT_TRUE(engine.selectVolume(*index));
    completed = turbo ? engine.turboScan(static_cast<std::uint32_t>(*index + 1)) : engine.processFileSystem();
  }

  std::vector<std::uint8_t> recover(const FileEntry& e) {
    auto path = ov::test::scratchDir() / ("fat-recovered-" + std::to_string(counter++));
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FileExtractor extractor(engine.source(), engine.volume());
    run.start();
    EXPECT_TRUE(extractor.saveFileData(e, fd));
    run.stop();
    ::close(fd);
    return ov::test::readFile(path);
  }
};

std::vector<json> fatPartitions(const json& m) {
  std::vector<json> out;
  for (const auto& p : m["partitions"])
    if (p["fs"] == "fat16" || p["fs"] == "fat32") out.push_back(p);
  return out;
}

class FatRecoveryOnImages : public ::testing::TestWithParam<std::string> {};

TEST_P(FatRecoveryOnImages, EveryManifestEntryIsListedAndRecovered) {
  const json m = ov::test::manifest(GetParam());
  int checked = 0;
  for (const auto& partition : fatPartitions(m)) {
    SCOPED_TRACE("volume at " + std::to_string(partition["start"].get<std::uint64_t>()));
    Processed p(GetParam(), partition, false);
    ASSERT_TRUE(p.completed);
    for (const auto& f : m["files"]) {
      if (f["partition"] != partition["index"]) continue;
      std::string path = f["path"];
      bool live = f["state"] == "live";
      bool folder = f["type"] == "folder";
      SCOPED_TRACE(path + (live ? " (live)" : " (deleted)"));
      const FileEntry* e = find(p.engine.tree(), path, live, folder);
      // A deleted file marked overwritten may have lost its directory entry as well.
      if (!e && !live && hasFlag(f, "overwritten")) continue;
      ASSERT_NE(e, nullptr) << "not listed";
      ++checked;
      if (f.contains("first_cluster")) {
        EXPECT_EQ(e->firstCluster, f["first_cluster"].get<std::uint32_t>());
      }
      if (folder) continue;
      EXPECT_EQ(e->dataSize, f["size"].get<std::uint64_t>());
      if (!live && (hasFlag(f, "fragmented") || hasFlag(f, "overwritten"))) continue;
      EXPECT_EQ(ov::test::sha256Hex(p.recover(*e)), f["sha256"].get<std::string>());
    }
  }
  EXPECT_GT(checked, 3);
}

INSTANTIATE_TEST_SUITE_P(Images, FatRecoveryOnImages,
                         ::testing::Values("fat_mbr", "mbr_ntfs_fat", "fat32_backup_boot"));

class FatTurboScanOnImages : public ::testing::TestWithParam<std::string> {};

TEST_P(FatTurboScanOnImages, FindsEveryFolderAndTheFilesInThem) {
  const json m = ov::test::manifest(GetParam());
  int deletedFolders = 0;
  for (const auto& partition : fatPartitions(m)) {
    SCOPED_TRACE("volume at " + std::to_string(partition["start"].get<std::uint64_t>()));
    Processed p(GetParam(), partition, true);
    ASSERT_TRUE(p.completed);
    for (const auto& f : m["files"]) {
      if (f["partition"] != partition["index"]) continue;
      std::string path = f["path"];
      bool live = f["state"] == "live";
      bool folder = f["type"] == "folder";
      SCOPED_TRACE(path + (live ? " (live)" : " (deleted)"));
      const FileEntry* e = find(p.engine.tree(), path, live, folder);
      // A deleted file marked overwritten may have lost its directory entry as well.
      if (!e && !live && hasFlag(f, "overwritten")) continue;
      ASSERT_NE(e, nullptr) << "not listed";
      if (folder && !live) ++deletedFolders;
      if (folder || (!live && (hasFlag(f, "fragmented") || hasFlag(f, "overwritten")))) continue;
      EXPECT_EQ(ov::test::sha256Hex(p.recover(*e)), f["sha256"].get<std::string>());
    }
    std::vector<std::string> names;
    for (const auto& e : p.host.log) names.push_back(e.name);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[1].rfind("Completed turbo scan of logical drive ", 0), 0u);
  }
  if (GetParam() == "fat_mbr") {
    EXPECT_GE(deletedFolders, 3);
  }
}

INSTANTIATE_TEST_SUITE_P(Images, FatTurboScanOnImages, ::testing::Values("fat_mbr", "mbr_ntfs_fat"));

TEST(FatRecoveryOnImages, ProcessingLogsItsSteps) {
  const json m = ov::test::manifest("fat_mbr");
  Processed p("fat_mbr", fatPartitions(m)[0], false);
  std::vector<std::string> names;
  for (const auto& e : p.host.log) names.push_back(e.name);
  std::vector<std::string> expected = {"Processing Internal File System Structure...",
                                       "Completed processing Internal File System Structure",
                                       "Populating Directory Structure...", "Completed Populating Directory Structure"};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(p.engine.tree().root()->firstCluster, 1u);  // FAT16
}

}  // namespace
}  // namespace ov::fat
