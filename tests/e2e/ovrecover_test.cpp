// The ovrecover command line, run as a user runs it, on the committed test images.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "tests/support/test_support.h"

namespace {

using nlohmann::json;

struct Result {
  int status = -1;
  std::string out;
};

Result ovrecover(const std::string& arguments) {
  std::string command = std::string(OVRECOVER_PATH) + " " + arguments + " 2>/dev/null";
  Result r;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return r;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) r.out.append(buffer, n);
  int status = pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::string imageArg(const std::string& name) { return "'" + ov::test::image(name).string() + "'"; }

std::vector<json> ntfsPartitions(const std::string& name) {
  std::vector<json> out;
  const json manifest = ov::test::manifest(name);
  for (const auto& p : manifest["partitions"])
    if (p["fs"] == "ntfs") out.push_back(p);
  return out;
}

TEST(OvrecoverVolumes, JsonListsThePartitionsOfTheManifest) {
  auto r = ovrecover("volumes --fs ntfs --json " + imageArg("mbr_ntfs_fat"));
  ASSERT_EQ(r.status, 0);
  json list = json::parse(r.out);
  auto expected = ntfsPartitions("mbr_ntfs_fat");
  ASSERT_EQ(list.size(), expected.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(list[i]["number"], i + 1);
    EXPECT_EQ(list[i]["start_sector"], expected[i]["start"]);
    EXPECT_EQ(list[i]["sector_count"], expected[i]["sectors"]);
    EXPECT_EQ(list[i]["bytes_per_cluster"], expected[i]["cluster_bytes"]);
    EXPECT_EQ(list[i]["mft_lcn"], expected[i]["mft_lcn"]);
    EXPECT_EQ(list[i]["mft_mirr_lcn"], expected[i]["mftmirr_lcn"]);
    EXPECT_EQ(list[i]["mft_record_bytes"], expected[i]["mft_record_bytes"]);
    EXPECT_EQ(list[i]["bytes_per_sector"], 512);
    EXPECT_EQ(list[i]["found_by"], 0);
    std::string serial = list[i]["serial_number"];
    EXPECT_EQ(std::stoull(serial, nullptr, 16), std::stoull(expected[i]["serial"].get<std::string>(), nullptr, 16));
  }
}

TEST(OvrecoverVolumes, HumanOutputHasOneRowPerVolume) {
  auto r = ovrecover("volumes " + imageArg("sample"));
  ASSERT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("NTFS logical drive 1"), std::string::npos);
  EXPECT_NE(r.out.find("2048"), std::string::npos);
  EXPECT_NE(r.out.find(" 20.000 MB"), std::string::npos);
  EXPECT_EQ(r.out.find("NTFS logical drive 2"), std::string::npos);
}

TEST(OvrecoverVolumes, NothingFoundExitsWithOne) {
  EXPECT_EQ(ovrecover("volumes " + imageArg("mbr_ntfs_fat_zeroed")).status, 1);
}

TEST(OvrecoverSearch, ThoroughFindsTheVolumesOfTheZeroedDisks) {
  for (std::string name : {"mbr_ntfs_fat_zeroed", "ntfs_zeroed_boot"}) {
    SCOPED_TRACE(name);
    auto r = ovrecover("search --thorough --json " + imageArg(name));
    ASSERT_EQ(r.status, 0);
    json list = json::parse(r.out);
    auto expected = ntfsPartitions(name);
    ASSERT_EQ(list.size(), expected.size());
    for (std::size_t i = 0; i < list.size(); ++i) EXPECT_EQ(list[i]["start_sector"], expected[i]["start"]);
  }
}

TEST(OvrecoverSearch, RangeLimitsTheSearch) {
  auto p = ntfsPartitions("mbr_ntfs_fat_zeroed");
  std::uint64_t second = p[1]["start"];
  auto r = ovrecover("search --thorough --json --from " + std::to_string(second) + " --to " +
                     std::to_string(second + 100) + " " + imageArg("mbr_ntfs_fat_zeroed"));
  ASSERT_EQ(r.status, 0);
  json list = json::parse(r.out);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["start_sector"], second);
}

TEST(OvrecoverSearch, QuickFindsTheCylinderAlignedVolumes) {
  auto r = ovrecover("search --quick --json " + imageArg("xp_cylinders_zeroed"));
  ASSERT_EQ(r.status, 0);
  json list = json::parse(r.out);
  auto expected = ntfsPartitions("xp_cylinders_zeroed");
  ASSERT_EQ(list.size(), expected.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(list[i]["start_sector"], expected[i]["start"]);
    EXPECT_EQ(list[i]["found_by"], 1);
  }
}

TEST(OvrecoverSearch, QuickSearchThatFindsNothingExitsWithOne) {
  EXPECT_EQ(ovrecover("search --quick " + imageArg("ntfs_zeroed_boot")).status, 1);
}

TEST(OvrecoverUsage, ErrorsExitWithTwoOrOne) {
  EXPECT_EQ(ovrecover("").status, 2);
  EXPECT_EQ(ovrecover("frobnicate x").status, 2);
  EXPECT_EQ(ovrecover("search " + imageArg("sample")).status, 2);  // no mode
  EXPECT_EQ(ovrecover("search --quick --thorough " + imageArg("sample")).status, 2);
  EXPECT_EQ(ovrecover("search --thorough --from 100 --to 50 " + imageArg("sample")).status, 2);
  EXPECT_EQ(ovrecover("volumes /nonexistent/disk.img").status, 1);
  EXPECT_EQ(ovrecover("--help").status, 0);
}

TEST(OvrecoverLog, SavesTheProcessLogAsText) {
  auto log = ov::test::scratchDir() / "search-log.txt";
  auto r = ovrecover("--log '" + log.string() + "' search --thorough " + imageArg("ntfs_zeroed_boot"));
  ASSERT_EQ(r.status, 0);
  auto bytes = ov::test::readFile(log);
  std::string text(bytes.begin(), bytes.end());
  EXPECT_EQ(text.rfind("------------------------Ovelin Dodedoz Avov Ovavized (NTFS) v2\t.0.1  Process Log", 0), 0u);
  EXPECT_NE(text.find("\nSearching Logical Volumes\n\t\tSectors Range 0 to "), std::string::npos);
  EXPECT_NE(text.find("\nCompleted Searching partitions\n\t\t-----------------\n\t\t"), std::string::npos);
}

}  // namespace

namespace {

std::string quoted(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

std::map<std::string, json> manifestFiles(const std::string& name, int partition) {
  std::map<std::string, json> out;
  const json m = ov::test::manifest(name);
  for (const auto& f : m["files"])
    if (f["partition"] == partition && f["type"] == "file") out[f["path"]] = f;
  return out;
}

TEST(OvrecoverLs, JsonEntriesCarryPathSizeAndState) {
  auto r = ovrecover("ls -r --json " + imageArg("sample"));
  ASSERT_EQ(r.status, 0);
  json list = json::parse(r.out);
  auto files = manifestFiles("sample", 1);
  std::size_t seen = 0;
  for (const auto& e : list) {
    ASSERT_TRUE(e["path"].is_array());
    ASSERT_EQ(e["path"].back(), e["name"]);
    if (e["path"][0] != " Root" || e["folder"]) continue;
    std::string path;
    for (std::size_t i = 1; i < e["path"].size(); ++i) path += "/" + e["path"][i].get<std::string>();
    auto it = files.find(path);
    if (it == files.end()) continue;
    if (it->second["state"] == "live" && !e["live"]) continue;  // an older deleted copy of the same name
    ++seen;
    EXPECT_EQ(e["size"], it->second["size"]) << path;
    EXPECT_EQ(e["live"], it->second["state"] == "live") << path;
    EXPECT_TRUE(e["created"].is_string());
    EXPECT_TRUE(e["record"].is_number());
  }
  EXPECT_EQ(seen, files.size());
}

TEST(OvrecoverLs, ListsOneFolderByPath) {
  auto r = ovrecover("ls --json " + imageArg("sample") + " Root/Photos/Trips");
  ASSERT_EQ(r.status, 0);
  json list = json::parse(r.out);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["name"], "mountain.jpg");
  EXPECT_EQ(list[0]["path"], json({" Root", "Photos", "Trips", "mountain.jpg"}));
  EXPECT_EQ(ovrecover("ls " + imageArg("sample") + " Root/NoSuchFolder").status, 1);
}

TEST(OvrecoverLs, VolumeChoiceErrors) {
  EXPECT_EQ(ovrecover("ls " + imageArg("mbr_ntfs_fat")).status, 2);  // four volumes: which one?
  EXPECT_EQ(ovrecover("ls --volume 9 " + imageArg("mbr_ntfs_fat")).status, 2);
  EXPECT_EQ(ovrecover("ls --volume 2 " + imageArg("mbr_ntfs_fat")).status, 0);
  EXPECT_EQ(ovrecover("ls --start 26624 " + imageArg("mbr_ntfs_fat")).status, 0);
  EXPECT_EQ(ovrecover("ls --start 12345 " + imageArg("mbr_ntfs_fat")).status, 1);
  EXPECT_EQ(ovrecover("ls " + imageArg("ntfs_turbo")).status, 1);  // its MFT cannot be set up
  EXPECT_EQ(ovrecover("ls --turbo " + imageArg("ntfs_turbo")).status, 0);
}

TEST(OvrecoverRecover, SavesEveryFileOfTheSampleByteForByte) {
  auto out = ov::test::scratchDir() / "recover-all";
  std::filesystem::remove_all(out);
  auto r = ovrecover("recover " + imageArg("sample") + " --out " + quoted(out));
  ASSERT_EQ(r.status, 0);
  for (const auto& [path, f] : manifestFiles("sample", 1)) {
    auto bytes = ov::test::readFile(out / ("Root" + path));
    EXPECT_EQ(ov::test::sha256Hex(bytes), f["sha256"]) << path;
  }
  // A second run into the same folder keeps the first files and numbers the new ones.
  ASSERT_EQ(ovrecover("recover " + imageArg("sample") + " --out " + quoted(out) + " readme.txt").status, 0);
  EXPECT_TRUE(std::filesystem::exists(out / "Root/Documents/#0readme.txt"));
}

TEST(OvrecoverRecover, PatternsAndStateFilters) {
  auto out = ov::test::scratchDir() / "recover-deleted-jpg";
  std::filesystem::remove_all(out);
  ASSERT_EQ(ovrecover("recover --deleted " + imageArg("sample") + " --out " + quoted(out) + " '*.JPG' '*.png'").status, 0);
  std::set<std::string> saved;
  for (const auto& e : std::filesystem::recursive_directory_iterator(out))
    if (e.is_regular_file()) saved.insert(std::filesystem::relative(e.path(), out).string());
  std::set<std::string> expected;
  for (const auto& [path, f] : manifestFiles("sample", 1)) {
    bool picture = path.ends_with(".jpg") || path.ends_with(".png");
    if (picture && f["state"] == "deleted") expected.insert("Root" + path);
  }
  EXPECT_EQ(saved, expected);
  EXPECT_EQ(ovrecover("recover " + imageArg("sample") + " --out " + quoted(out) + " '*.none'").status, 1);
}

TEST(OvrecoverRecover, TurboScanRecoversAVolumeWithoutItsFirstMftRecords) {
  auto out = ov::test::scratchDir() / "recover-turbo";
  std::filesystem::remove_all(out);
  ASSERT_EQ(ovrecover("recover --turbo --live " + imageArg("ntfs_turbo") + " --out " + quoted(out)).status, 0);
  for (const auto& [path, f] : manifestFiles("ntfs_turbo", 1)) {
    if (f["state"] != "live") continue;
    EXPECT_EQ(ov::test::sha256Hex(ov::test::readFile(out / ("Root" + path))), f["sha256"]) << path;
  }
}

}  // namespace

namespace {

TEST(OvrecoverImage, AnImageRecoversTheSameFilesAsItsSource) {
  auto dir = ov::test::scratchDir() / "imaging";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  auto copy = dir / "copy.ov2";
  ASSERT_EQ(ovrecover("image " + imageArg("sample") + " " + quoted(copy)).status, 0);
  EXPECT_EQ(ovrecover("image " + imageArg("sample") + " " + quoted(copy)).status, 2);  // exists already
  EXPECT_EQ(ovrecover("image " + imageArg("sample") + " " + imageArg("sample")).status, 2);  // onto itself
  auto out = dir / "recovered";
  ASSERT_EQ(ovrecover("recover " + quoted(copy) + " --out " + quoted(out)).status, 0);
  for (const auto& [path, f] : manifestFiles("sample", 1))
    EXPECT_EQ(ov::test::sha256Hex(ov::test::readFile(out / ("Root" + path))), f["sha256"]) << path;
}

TEST(OvrecoverScan, SavedScanReopensWithoutProcessing) {
  auto dir = ov::test::scratchDir() / "scans";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  auto scan = dir / "sample";
  auto first = ovrecover("ls -r --json --save-scan " + quoted(scan) + " " + imageArg("sample"));
  ASSERT_EQ(first.status, 0);
  auto second = ovrecover("ls -r --json --scan " + quoted(dir / "sample.ovt"));
  ASSERT_EQ(second.status, 0);
  EXPECT_EQ(json::parse(second.out), json::parse(first.out));
  auto disk = dir / "disk";
  ASSERT_EQ(ovrecover("volumes --save-disk-scan " + quoted(disk) + " " + imageArg("mbr_ntfs_fat")).status, 0);
  auto listed = ovrecover("volumes --json --disk-scan " + quoted(dir / "disk.ovd"));
  ASSERT_EQ(listed.status, 0);
  EXPECT_EQ(json::parse(listed.out).size(), 4u);
  EXPECT_EQ(ovrecover("ls --scan " + quoted(dir / "disk.ovd")).status, 1);  // the wrong kind
}

}  // namespace

namespace {

TEST(OvrecoverFat, ListsAndRecoversEveryLiveFileOfEachVolume) {
  const json m = ov::test::manifest("fat_mbr");
  for (const auto& p : m["partitions"]) {
    if (p["fs"] != "fat16" && p["fs"] != "fat32") continue;
    int partition = p["index"];
    std::string start = std::to_string(p["start"].get<std::uint64_t>());
    SCOPED_TRACE("volume at " + start);
    auto listed = ovrecover("ls -r --json --start " + start + " " + imageArg("fat_mbr"));
    ASSERT_EQ(listed.status, 0);
    // Paths are compared without case (names as listed are checked with the FAT12 images), and
    // the saved file is read under the name that was listed.
    auto lower = [](std::string t) {
      for (auto& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return t;
    };
    std::map<std::string, json> byPath;
    std::map<std::string, std::string> listedPath;
    for (const auto& e : json::parse(listed.out)) {
      std::string path;
      for (const auto& part : e["path"]) path += "/" + part.get<std::string>();
      if (e["live"]) {
        byPath[lower(path)] = e;
        listedPath[lower(path)] = path;
      }
    }
    auto out = ov::test::scratchDir() / ("fat-recover-" + start);
    std::filesystem::remove_all(out);
    ASSERT_EQ(ovrecover("recover --live --fs fat --start " + start + " " + imageArg("fat_mbr") + " --out " + quoted(out)).status, 0);
    for (const auto& f : m["files"]) {
      if (f["partition"] != partition || f["state"] != "live" || f["type"] != "file") continue;
      std::string path = lower(f["path"].get<std::string>());
      ASSERT_TRUE(byPath.count(path)) << path;
      EXPECT_EQ(byPath[path]["size"], f["size"]) << path;
      EXPECT_EQ(ov::test::sha256Hex(ov::test::readFile(out / listedPath[path].substr(1))), f["sha256"]) << path;
    }
  }
}

TEST(OvrecoverFat, VolumesListsBothKindsAndSearchFindsLostFatVolumes) {
  auto both = ovrecover("volumes --json " + imageArg("mbr_ntfs_fat"));
  ASSERT_EQ(both.status, 0);
  json list = json::parse(both.out);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[4]["fs"], "fat32");
  EXPECT_EQ(list[4]["number"], 5);
  auto lost = ovrecover("search --fs fat --basic --json " + imageArg("fat_mbr_zeroed"));
  ASSERT_EQ(lost.status, 0);
  EXPECT_EQ(json::parse(lost.out).size(), 3u);
  EXPECT_EQ(ovrecover("ls " + imageArg("mbr_ntfs_fat")).status, 2);  // five volumes: which one?
  EXPECT_EQ(ovrecover("ls --volume 5 " + imageArg("mbr_ntfs_fat")).status, 0);
}

}  // namespace
