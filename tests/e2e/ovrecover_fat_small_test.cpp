// ovrecover on FAT12, small FAT16 and exFAT images, run as a user runs it: every file of the manifests
// listed under its own name and saved byte for byte, and messages that say what was tried and
// what to try next.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include "tests/support/test_support.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

struct Result {
  int status = -1;
  std::string out, err;
};

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

Result run(const std::string& arguments) {
  static int counter = 0;
  fs::path err = ov::test::scratchDir() / ("stderr-" + std::to_string(counter++));
  std::string command = std::string(OVRECOVER_PATH) + " " + arguments + " 2>" + quoted(err);
  Result r;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return r;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) r.out.append(buffer, n);
  int status = pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream in(err);
  r.err.assign(std::istreambuf_iterator<char>(in), {});
  return r;
}

std::string imageArg(const std::string& name) { return quoted(ov::test::image(name)); }

bool hasFlag(const json& f, const char* flag) {
  for (const auto& x : f["flags"])
    if (x == flag) return true;
  return false;
}

// An 8.3 name without a long name: a deleted one has lost its first character.
bool shortNameOnly(const std::string& name) {
  std::size_t dot = name.find('.');
  std::string base = name.substr(0, dot), ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
  for (const std::string& part : {base, ext}) {
    bool lower = false, upper = false;
    for (char c : part) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
      lower = lower || std::islower(static_cast<unsigned char>(c));
      upper = upper || std::isupper(static_cast<unsigned char>(c));
    }
    if (lower && upper) return false;
  }
  return true;
}

// The listed path that stands for the manifest's path, or "".
std::string listedAs(const std::map<std::string, json>& listed, const std::string& path, bool live) {
  for (const auto& [shown, e] : listed) {
    if (e["live"] != live || shown.size() != path.size()) continue;
    bool same = true;
    std::size_t part = 0;  // start of the current name in both paths
    for (std::size_t i = 0; i <= path.size() && same; ++i) {
      if (i < path.size() && path[i] != '/') continue;
      std::string a = shown.substr(part, i - part), b = path.substr(part, i - part);
      same = a == b || (!live && shortNameOnly(b) && !a.empty() && a[0] == 'X' && a.substr(1) == b.substr(1));
      part = i + 1;
    }
    if (same) return shown;
  }
  return "";
}

TEST(OvrecoverFatSmall, ListsAndRecoversEveryFileOfTheManifests) {
  struct Row {
    std::string image;
    std::string search;  // how the volume is found when the partition table cannot say
  };
  const std::vector<Row> rows = {{"fat12_floppy", ""},        {"fat_small_mbr", ""},
                                 {"fat16_volume_only", ""},   {"exfat_card", ""},
                                 {"exfat_card_backup", "basic"}, {"exfat_card_zeroed", "thorough"}};
  for (const auto& [image, search] : rows) {
    const json m = ov::test::manifest(image);
    auto volumes = run("volumes --fs fat --json " + imageArg(image));
    ASSERT_EQ(volumes.status, search.empty() ? 0 : 1);
    const json listedVolumes = json::parse(volumes.out);
    std::size_t n = 0;
    for (const auto& p : m["partitions"]) {
      if (p["fs"] != "fat12" && p["fs"] != "fat16" && p["fs"] != "exfat") continue;
      const std::string start = std::to_string(p["start"].get<std::uint64_t>());
      SCOPED_TRACE(image + ", volume at " + start);
      if (search.empty()) {
        ASSERT_LT(n, listedVolumes.size());
        EXPECT_EQ(listedVolumes[n]["fs"], p["fs"]);
        EXPECT_EQ(listedVolumes[n++]["start_sector"], p["start"]);
      }
      const std::string choose = search.empty() ? "--start " + start : "--search " + search + " --volume 1";
      auto ls = run("ls -r --json --fs fat " + choose + " " + imageArg(image));
      ASSERT_EQ(ls.status, 0) << ls.err;
      std::map<std::string, json> listed;
      for (const auto& e : json::parse(ls.out)) {
        std::string path;
        for (const auto& part : e["path"]) path += "/" + part.get<std::string>();
        if (!e["folder"]) listed[path] = e;
      }
      const fs::path out = ov::test::scratchDir() / ("fat-small-" + image + "-" + start);
      fs::remove_all(out);
      ASSERT_EQ(run("recover --fs fat " + choose + " " + imageArg(image) + " --out " + quoted(out)).status, 0);
      for (const auto& f : m["files"]) {
        if (f["partition"] != p["index"] || f["type"] != "file") continue;
        const std::string path = f["path"];
        const bool live = f["state"] == "live";
        SCOPED_TRACE(path);
        std::string shown = listedAs(listed, path, live);
        if (shown.empty() && hasFlag(f, "overwritten")) continue;
        ASSERT_FALSE(shown.empty()) << "not listed";
        EXPECT_EQ(listed[shown]["size"], f["size"]);
        // exFAT keeps no chain for a deleted file: one that had one is flagged.
        if (p["fs"] == "exfat") {
          EXPECT_EQ(listed[shown].contains("possibly_damaged"), !live && hasFlag(f, "fragmented"));
        }
        if (hasFlag(f, "overwritten") || (!live && hasFlag(f, "fragmented"))) continue;
        // A name saved already (a live and a deleted file of one name) is saved as "#0" + name.
        fs::path saved = out / shown.substr(1);
        // A name longer than output names may be is saved cut, its extension kept.
        if (std::error_code absent; !fs::exists(saved, absent) && saved.filename().string().size() > 200)
          for (const auto& candidate : fs::directory_iterator(saved.parent_path()))
            if (candidate.path().filename().string().compare(0, 100, saved.filename().string(), 0, 100) == 0 &&
                candidate.path().extension() == saved.extension())
              saved = candidate.path();
        fs::path other = saved.parent_path() / ("#0" + saved.filename().string());
        std::string digest = ov::test::sha256Hex(ov::test::readFile(saved));
        std::error_code absent;
        if (digest != f["sha256"] && fs::exists(other, absent)) digest = ov::test::sha256Hex(ov::test::readFile(other));
        EXPECT_EQ(digest, f["sha256"]);
      }
    }
  }
}

TEST(OvrecoverFatSmall, MessagesSayWhatWasTriedAndWhatToTryNext) {
  // A floppy image has no partition table; its boot sector's signature does not make one.
  auto volumes = run("volumes --fs fat " + imageArg("fat12_floppy"));
  EXPECT_EQ(volumes.status, 0);
  EXPECT_NE(volumes.out.find("Partition table: none"), std::string::npos) << volumes.out;
  EXPECT_NE(volumes.out.find("FAT 12 logical drive 1"), std::string::npos) << volumes.out;

  // No FAT volume at all: each step says what it tried and names the next one.
  const std::string none = imageArg("ntfs_volume_only");
  auto table = run("ls --fs fat " + none);
  EXPECT_EQ(table.status, 1);
  EXPECT_NE(table.err.find("no FAT volume in the partition table"), std::string::npos) << table.err;
  EXPECT_NE(table.err.find("try --search basic"), std::string::npos) << table.err;
  auto basic = run("ls --fs fat --search basic " + none);
  EXPECT_EQ(basic.status, 1);
  EXPECT_NE(basic.err.find("basic search found no FAT boot sector"), std::string::npos) << basic.err;
  EXPECT_NE(basic.err.find("try --search thorough"), std::string::npos) << basic.err;
  auto thorough = run("ls --fs fat --search thorough " + none);
  EXPECT_EQ(thorough.status, 1);
  EXPECT_NE(thorough.err.find("thorough search found no FAT volume"), std::string::npos) << thorough.err;
  EXPECT_EQ(thorough.err.find("try --search thorough"), std::string::npos) << thorough.err;
  EXPECT_NE(thorough.err.find("carve"), std::string::npos) << thorough.err;
  auto search = run("search --fs fat --thorough " + none);
  EXPECT_EQ(search.status, 1);
  EXPECT_NE(search.err.find("thorough search found no FAT volume"), std::string::npos) << search.err;

  // --search basic is the FAT engine's quick search, for ls and recover as for search.
  auto ls = run("ls --search basic " + imageArg("fat12_floppy"));
  EXPECT_EQ(ls.status, 0) << ls.err;
  EXPECT_NE(ls.out.find("readme.txt"), std::string::npos);
  const fs::path out = ov::test::scratchDir() / "fat-small-basic";
  fs::remove_all(out);
  EXPECT_EQ(run("recover --fs fat --search basic --start 32768 " + imageArg("fat_small_mbr") + " --out " +
                quoted(out) + " notes.txt")
                .status,
            0);
  EXPECT_TRUE(fs::exists(out / "notes.txt"));
  EXPECT_EQ(run("ls --fs ntfs --search basic " + imageArg("fat12_floppy")).status, 2);
}

}  // namespace
