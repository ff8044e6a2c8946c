// ovrecover on containers (E01, VHD, VHDX, VMDK, qcow2, a split raw set): the same volumes, files and
// carving results as from the raw image; imaging a container with a map.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <map>

#include "scans/scan_file.h"
#include "tests/e2e/cli_run.h"

namespace ov::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

TEST(OvrecoverContainers, ListAndRecoverAsFromTheRawImage) {
  struct Row {
    std::vector<std::string> files;  // the first is given to ovrecover
    std::string raw;
    bool carve;
  };
  const std::vector<Row> rows = {
      {{"fat_small_mbr.E01"}, "fat_small_mbr", true},
      {{"fat_small_mbr.vhd"}, "fat_small_mbr", false},
      {{"fat_small_mbr.vhdx"}, "fat_small_mbr", false},
      {{"fat_small_mbr_snapshot.vmdk", "fat_small_mbr.vmdk", "fat_small_mbr-s001.vmdk"}, "fat_small_mbr", false},
      {{"fat_small_mbr_overlay.qcow2", "fat_small_mbr.qcow2"}, "fat_small_mbr", false},
      {{"ntfs_4kn_mbr.E01", "ntfs_4kn_mbr.E02", "ntfs_4kn_mbr.E03", "ntfs_4kn_mbr.E04"}, "ntfs_4kn_mbr", false},
      {{"split"}, "fat_small_mbr", true},
  };
  // The split set: pieces of 5 MB as split(1) makes them.
  const fs::path splitDir = freshDir("split-cli");
  ASSERT_EQ(shell("split -b 5000000 -d -a 3 --numeric-suffixes=1 " + shq(image("fat_small_mbr")) + " " +
                  shq(splitDir / "card.")).status, 0);

  for (const Row& row : rows) {
    SCOPED_TRACE(row.files.front());
    for (const std::string& f : row.files)
      if (f != "split") container(f);
    const fs::path source = row.files.front() == "split" ? splitDir / "card.001" : container(row.files.front());
    const std::string raw = shq(image(row.raw));
    Outcome volumes = ovrecover("volumes --json " + shq(source));
    ASSERT_EQ(volumes.status, 0) << volumes.err;
    EXPECT_EQ(volumes.out, ovrecover("volumes --json " + raw).out);

    const json m = manifest(row.raw);
    for (const auto& p : m["partitions"]) {
      const std::string start = std::to_string(p["start"].get<std::uint64_t>());
      const std::string fsKind = p["fs"] == "ntfs" ? "ntfs" : "fat";
      const fs::path out = scratchDir() / ("recovered-" + fs::path(row.files.front()).filename().string() + "-" + start);
      const fs::path fromRaw = scratchDir() / ("recovered-raw-" + row.raw + "-" + start);
      const std::string args = "recover --fs " + fsKind + " --start " + start + " ";
      if (!fs::exists(fromRaw)) {
        ASSERT_EQ(ovrecover(args + raw + " --out " + shq(fromRaw)).status, 0);
      }
      Outcome recovered = ovrecover(args + shq(source) + " --out " + shq(out));
      ASSERT_EQ(recovered.status, 0) << recovered.err;
      // What the raw image gives is checked against the manifests by the engine tables.
      const auto files = fileHashesUnder(out);
      EXPECT_FALSE(files.empty());
      EXPECT_EQ(files, fileHashesUnder(fromRaw));
    }
    if (row.files.front() == "split") {
      // Scan information names the set by its first piece, and reopens the whole set from it.
      const fs::path scan = scratchDir() / "split.ovt";
      Outcome saved = ovrecover("ls -r --json --fs fat --start 63 " + shq(source) + " --save-scan " + shq(scan));
      ASSERT_EQ(saved.status, 0) << saved.err;
      EXPECT_EQ(scanFileSourcePath(scan.string()), std::optional<std::string>(source.string()));
      Outcome reopened = ovrecover("ls -r --json --fs fat --scan " + shq(scan));
      ASSERT_EQ(reopened.status, 0) << reopened.err;
      // Scan information keeps FAT's dates, not the times of day.
      auto dates = [](const std::string& out) {
        json list = json::parse(out);
        for (auto& e : list)
          for (const char* key : {"modified", "created_time", "modified_time", "accessed_time"}) e.erase(key);
        return list;
      };
      EXPECT_EQ(dates(reopened.out), dates(saved.out));
    }
    if (row.carve) {
      Outcome carved = ovrecover("carve --list-only --json " + shq(source));
      ASSERT_EQ(carved.status, 0) << carved.err;
      EXPECT_EQ(carved.out, ovrecover("carve --list-only --json " + raw).out);
    }
  }
}

TEST(OvrecoverContainers, AContainerIsImagedWithAMapAndTheRunResumes) {
  const fs::path source = container("fat_small_mbr.vhdx");
  const fs::path dir = freshDir("image-map");
  const fs::path dest = dir / "card.img", map = dir / "card.map";
  Outcome first = ovrecover("image " + shq(source) + " " + shq(dest) + " --map " + shq(map));
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.out.find("bad 0 bytes, remaining 0 bytes"), std::string::npos) << first.out;
  // A byte-for-byte copy: only an image named .ov2 carries the geometry in its sector 0.
  EXPECT_TRUE(readFile(dest) == readFile(image("fat_small_mbr")));
  // Run again, the map says everything is done: nothing is read, the image stays.
  Outcome again = ovrecover("image " + shq(source) + " " + shq(dest) + " --map " + shq(map) + " --retry 1");
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.out.find("(a run continued)"), std::string::npos) << again.out;
  EXPECT_TRUE(readFile(dest) == readFile(image("fat_small_mbr")));
  // Without the map, the image is not overwritten; --retry needs a map.
  EXPECT_EQ(ovrecover("image " + shq(source) + " " + shq(dest)).status, 2);
  EXPECT_EQ(ovrecover("image " + shq(source) + " " + shq(dir / "other.img") + " --retry 2").status, 2);
  // A map that is no map, and a map of a larger disk, are refused before anything is written.
  for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
           {"hello\n", "line 1"}, {"0 +\n0 0x40000000 +\n", "another disk"}}) {
    std::ofstream(dir / "bad.map", std::ios::binary) << text;
    Outcome bad = ovrecover("image " + shq(source) + " " + shq(dir / "x.img") + " --map " + shq(dir / "bad.map"));
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find(message), std::string::npos) << bad.err;
    EXPECT_FALSE(fs::exists(dir / "x.img"));
  }
}

}  // namespace
}  // namespace ov::test
