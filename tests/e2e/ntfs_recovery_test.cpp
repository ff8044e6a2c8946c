// Recovery end to end on images written by mkntfs and ntfs-3g: every file of the manifests is
// listed where it belongs, with its size and live mark, and recovered byte for byte.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <map>

#include "ntfs/extract.h"
#include "ntfs/ntfs_engine.h"
#include "tests/support/test_support.h"

namespace ov::ntfs {
namespace {

using nlohmann::json;

struct Tree {
  // Path below the volume's root ("/Photos/a.jpg") to the entries listed there.
  std::multimap<std::string, FileEntry> byPath;
  std::vector<FileEntry> orphans;  // entries below "#N" folders
};

void walk(WorkingFiles& files, const FileEntry& folder, const std::string& path, Tree& tree, bool orphan, int depth) {
  ASSERT_LT(depth, 64);
  std::uint64_t total = 0;
  std::uint32_t fileCount = 0, folderCount = 0;
  for (const auto& e : files.readFolder(folder.childrenBlock, total, fileCount, folderCount, true)) {
    std::string child = path + "/" + utf16ToUtf8(e.name);
    tree.byPath.emplace(child, e);
    if (orphan) tree.orphans.push_back(e);
    if (e.isFolder()) walk(files, e, child, tree, orphan, depth + 1);
  }
}

struct Processed {
  ov::test::RecordingHost host;
  RunControl run;
  NtfsEngine engine{host, run};
  Tree tree;

  Processed(const std::string& image, std::uint64_t start, bool turbo) {
    if (engine.openImage(ov::test::image(image).string()) != 0) throw std::runtime_error("open");
    engine.readPartitionTable();
    std::optional<std::size_t> index;
    for (std::size_t i = 0; i < engine.volumes().size(); ++i)
      if (engine.volumes()[i].startSector == start) index = i;
    if (!index) throw std::runtime_error("volume not listed");
    if (turbo) {
      engine.useVolume(engine.volumes()[*index]);
      completed = engine.turboScan(static_cast<std::uint32_t>(*index + 1));
    } else {
      if (!engine.selectVolume(*index)) throw std::runtime_error("no MFT");
      completed = engine.processFileSystem();
    }
    WorkingFiles& files = engine.workingFiles();
    auto top = files.readEntry(0);
    std::uint64_t total = 0;
    std::uint32_t fileCount = 0, folderCount = 0;
    for (const auto& e : files.readFolder(top->childrenBlock, total, fileCount, folderCount, true)) {
      if (e.entryIndex == 1) walk(files, e, "", tree, false, 0);
      else walk(files, e, "/" + utf16ToUtf8(e.name), tree, true, 0);
    }
  }

  std::vector<std::uint8_t> recover(const FileEntry& e) {
    auto path = ov::test::scratchDir() / ("recovered-" + std::to_string(counter++));
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FileExtractor extractor(engine.source(), engine.volume());
    bool ok = extractor.saveFileData(e.recordSector, e.dataSize, fd);
    ::close(fd);
    EXPECT_TRUE(ok);
    return ov::test::readFile(path);
  }

  bool completed = false;
  int counter = 0;
};

std::vector<json> ntfsPartitions(const json& m) {
  std::vector<json> out;
  for (const auto& p : m["partitions"])
    if (p["fs"] == "ntfs") out.push_back(p);
  return out;
}

bool hasFlag(const json& f, const char* flag) {
  if (!f.contains("flags")) return false;
  for (const auto& x : f["flags"])
    if (x == flag) return true;
  return false;
}

class RecoveryOnImages : public ::testing::TestWithParam<std::string> {};

TEST_P(RecoveryOnImages, EveryManifestEntryIsListedAndRecovered) {
  const json m = ov::test::manifest(GetParam());
  int checked = 0;
  for (const auto& partition : ntfsPartitions(m)) {
    std::uint64_t start = partition["start"];
    SCOPED_TRACE("volume at " + std::to_string(start));
    Processed p(GetParam(), start, false);
    ASSERT_TRUE(p.completed);
    for (const auto& f : m["files"]) {
      if (f["partition"] != partition["index"]) continue;
      std::string path = f["path"];
      bool live = f["state"] == "live";
      SCOPED_TRACE(path + (live ? " (live)" : " (deleted)"));
      if (hasFlag(f, "record_reused")) continue;  // its record now holds another file
      auto [first, last] = p.tree.byPath.equal_range(path);
      const FileEntry* found = nullptr;
      for (auto it = first; it != last; ++it)
        if (it->second.isLive() == live && it->second.isFolder() == (f["type"] == "folder")) found = &it->second;
      if (hasFlag(f, "parent_reused")) {
        // Its folder's record now holds a file: it is listed under "#N", N the old folder's record.
        EXPECT_EQ(found, nullptr);
        std::string orphanPath = "/#" + std::to_string(f["parent_record"].get<std::uint32_t>()) +
                                 path.substr(path.rfind('/'));
        auto it = p.tree.byPath.find(orphanPath);
        found = it == p.tree.byPath.end() ? nullptr : &it->second;
      }
      ASSERT_NE(found, nullptr) << "not listed";
      ++checked;
      if (f["type"] == "folder") continue;
      EXPECT_EQ(found->dataSize, f["size"].get<std::uint64_t>());
      if (hasFlag(f, "overwritten")) continue;
      EXPECT_EQ(ov::test::sha256Hex(p.recover(*found)), f["sha256"].get<std::string>());
    }
  }
  EXPECT_GT(checked, 3);
}

INSTANTIATE_TEST_SUITE_P(Images, RecoveryOnImages,
                         ::testing::Values("sample", "mbr_ntfs_fat", "ntfs_4k", "xp_cylinders", "ntfs_features"));

TEST(RecoveryOnImages, ProcessingLogsItsSteps) {
  Processed p("sample", 2048, false);
  std::vector<std::string> names;
  for (const auto& e : p.host.log) names.push_back(e.name);
  std::vector<std::string> expected = {"Processing Internal File System Structure...",
                                       "Completed processing Internal File System Structure",
                                       "Populating Directory Structure...", "Completed Populating Directory Structure"};
  EXPECT_EQ(names, expected);
}

TEST(RecoveryOnImages, TopFolderHoldsRootFirst) {
  Processed p("sample", 2048, false);
  auto top = p.engine.workingFiles().readEntry(0);
  ASSERT_TRUE(top);
  EXPECT_EQ(top->name, u"#");
  EXPECT_EQ(top->attributes, 0x18);
  auto root = p.engine.workingFiles().readEntry(1);
  ASSERT_TRUE(root);
  EXPECT_EQ(root->name, u" Root");
  EXPECT_EQ(root->recordNumber, 5u);
}

class TurboScanOnImages : public ::testing::TestWithParam<std::string> {};

TEST_P(TurboScanOnImages, FindsAndRecoversEveryFile) {
  const json m = ov::test::manifest(GetParam());
  Processed p(GetParam(), 2048, true);
  ASSERT_TRUE(p.completed);
  int checked = 0;
  for (const auto& f : m["files"]) {
    if (f["type"] != "file") continue;
    std::string path = f["path"];
    bool live = f["state"] == "live";
    SCOPED_TRACE(path);
    auto [first, last] = p.tree.byPath.equal_range(path);
    const FileEntry* found = nullptr;
    for (auto it = first; it != last; ++it)
      if (it->second.isLive() == live) found = &it->second;
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->dataSize, f["size"].get<std::uint64_t>());
    EXPECT_EQ(ov::test::sha256Hex(p.recover(*found)), f["sha256"].get<std::string>());
    ++checked;
  }
  EXPECT_GT(checked, 5);
  std::vector<std::string> names;
  for (const auto& e : p.host.log) names.push_back(e.name);
  EXPECT_EQ(names.front(), "Started turbo scan of logical drive 1");
  EXPECT_EQ(names.back(), "Completed turbo scan of logical drive 1");
}

INSTANTIATE_TEST_SUITE_P(Images, TurboScanOnImages, ::testing::Values("sample", "ntfs_turbo"));

TEST(TurboScanOnImages, IsNeededWhenTheFirstMftRecordsAreGone) {
  ov::test::RecordingHost host;
  RunControl run;
  NtfsEngine engine(host, run);
  ASSERT_EQ(engine.openImage(ov::test::image("ntfs_turbo").string()), 0);
  ASSERT_TRUE(engine.readPartitionTable());
  EXPECT_FALSE(engine.selectVolume(0));
}

}  // namespace
}  // namespace ov::ntfs
