// The ovrecover command line on the committed images: volumes and searches, exit statuses, the
// process log, listings, saving byte for byte, images and saved scans, and its advice messages.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <set>

#include "tests/e2e/cli_run.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ov::test::ovrecover;
using ov::test::hasFlag;
using ov::test::manifestFiles;
using ov::test::shq;

std::string imageArg(const std::string& name) { return shq(ov::test::image(name)); }

std::vector<json> partitions(const std::string& image, std::initializer_list<const char*> fileSystems) {
  return ov::test::partitionsOf(ov::test::manifest(image), fileSystems);
}

TEST(OvrecoverVolumes, ListAndSearchesGiveTheManifestsVolumes) {
  auto r = ovrecover("volumes --fs ntfs --json " + imageArg("mbr_ntfs_fat"));
  ASSERT_EQ(r.status, 0);
  const json list = json::parse(r.out);
  const auto expected = partitions("mbr_ntfs_fat", {"ntfs"});
  ASSERT_EQ(list.size(), expected.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(list[i]["number"], i + 1);
    for (const auto& [ours, manifest] : std::map<std::string, std::string>{
             {"start_sector", "start"}, {"sector_count", "sectors"}, {"bytes_per_cluster", "cluster_bytes"},
             {"mft_lcn", "mft_lcn"}, {"mft_mirr_lcn", "mftmirr_lcn"}, {"mft_record_bytes", "mft_record_bytes"}})
      EXPECT_EQ(list[i][ours], expected[i][manifest]) << ours;
    EXPECT_EQ(list[i]["bytes_per_sector"], 512);
    EXPECT_EQ(list[i]["found_by"], 0);
    EXPECT_EQ(std::stoull(list[i]["serial_number"].get<std::string>(), nullptr, 16), ov::test::serialOf(expected[i]));
  }

  // Where each search places the volumes of the zeroed images is checked on the engines
  // (volumes_on_images_test.cpp); here the command's range (the failing searches: OvrecoverUsage)
  // and the process log it saves as text.
  const std::uint64_t second = partitions("mbr_ntfs_fat_zeroed", {"ntfs"})[1]["start"];
  const auto log = ov::test::scratchDir() / "search-log.txt";
  auto ranged = ovrecover("--log " + shq(log) + " search --thorough --json --from " + std::to_string(second) +
                          " --to " + std::to_string(second + 100) + " " + imageArg("mbr_ntfs_fat_zeroed"));
  ASSERT_EQ(ranged.status, 0);
  ASSERT_EQ(json::parse(ranged.out).size(), 1u);
  EXPECT_EQ(json::parse(ranged.out)[0]["start_sector"], second);
  const auto bytes = ov::test::readFile(log);
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_EQ(text.rfind("------------------------Ovelin Dodedoz Avov Ovavized (NTFS) v2\t.0.1  Process Log", 0), 0u);
  EXPECT_NE(text.find("\nSearching Logical Volumes\n\t\tSectors Range " + std::to_string(second) + " to "),
            std::string::npos);
  EXPECT_NE(text.find("\nCompleted Searching partitions\n\t\t-----------------\n\t\t"), std::string::npos);
}

TEST(OvrecoverUsage, StatusesOfChoicesAndErrors) {
  const std::vector<std::pair<std::string, int>> rows = {
      {"", 2},
      {"frobnicate x", 2},
      {"search " + imageArg("sample"), 2},  // no mode
      {"search --quick --thorough " + imageArg("sample"), 2},
      {"search --thorough --from 100 --to 50 " + imageArg("sample"), 2},
      {"volumes /nonexistent/disk.img", 1},
      {"volumes --json " + imageArg("mbr_ntfs_fat_zeroed"), 1},  // its partition table zeroed
      {"search --quick --json " + imageArg("ntfs_zeroed_boot"), 1},
      {"volumes --fs ntfs " + imageArg("fat16_not_ntfs"), 1},
      {"ls --fs ntfs --turbo --start 0 " + imageArg("fat16_not_ntfs"), 1},
      {"--help", 0},
      {"ls " + imageArg("mbr_ntfs_fat"), 2},  // five volumes: which one?
      {"ls --volume 9 " + imageArg("mbr_ntfs_fat"), 2},
      {"ls --volume 2 " + imageArg("mbr_ntfs_fat"), 0},
      {"ls --volume 5 " + imageArg("mbr_ntfs_fat"), 0},  // the FAT volume
      {"ls --start 26624 " + imageArg("mbr_ntfs_fat"), 0},
      {"ls --start 12345 " + imageArg("mbr_ntfs_fat"), 1},
      {"ls " + imageArg("ntfs_turbo"), 1},  // its MFT cannot be set up
      {"ls --turbo " + imageArg("ntfs_turbo"), 0},
      {"ls " + imageArg("sample") + " Root/NoSuchFolder", 1},
      {"volumes --sector-size 1000 " + imageArg("sample"), 2},
      {"ls --fs ntfs --search basic " + imageArg("fat12_floppy"), 2},
      // 4096-byte sectors, detected or given (where the volumes lie: volumes_on_images_test.cpp).
      {"ls -r " + imageArg("ntfs_4kn_gpt"), 0}, {"ls -r " + imageArg("ntfs_4kn_mbr"), 0},
      {"ls -r --sector-size 4096 " + imageArg("ntfs_4kn_gpt"), 0}, {"ls -r --sector-size 512 " + imageArg("ntfs_4kn_gpt"), 1},
      {"ls -r --sector-size 4096 " + imageArg("ntfs_4kn_mbr"), 0}, {"ls -r --sector-size 512 " + imageArg("ntfs_4kn_mbr"), 1},
  };
  for (const auto& [arguments, status] : rows) EXPECT_EQ(ovrecover(arguments).status, status) << arguments;
}

TEST(OvrecoverRecover, SavesEveryFileByteForByteWithPatternsAndStates) {
  // Everything, from an image of the disk made first; a second run into the same folder numbers
  // the new file.
  const fs::path dir = ov::test::freshDir("recover-all"), copy = dir / "copy.ov2", all = dir / "all";
  ASSERT_EQ(ovrecover("image " + imageArg("sample") + " " + shq(copy)).status, 0);
  EXPECT_EQ(ovrecover("image " + imageArg("sample") + " " + shq(copy)).status, 2);  // exists already
  EXPECT_EQ(ovrecover("image " + imageArg("sample") + " " + imageArg("sample")).status, 2);  // onto itself
  ASSERT_EQ(ovrecover("recover " + shq(copy) + " --out " + shq(all)).status, 0);
  for (const auto& [path, f] : manifestFiles("sample", 1))
    EXPECT_EQ(ov::test::fileSha(all / ("Root" + path)), f["sha256"]) << path;
  ASSERT_EQ(ovrecover("recover " + shq(copy) + " --out " + shq(all) + " readme.txt").status, 0);
  EXPECT_TRUE(fs::exists(all / "Root/Documents/#0readme.txt"));
  // Deleted pictures only, by patterns without case.
  const fs::path pictures = ov::test::freshDir("recover-deleted-jpg");
  ASSERT_EQ(ovrecover("recover --deleted " + imageArg("sample") + " --out " + shq(pictures) + " '*.JPG' '*.png'").status, 0);
  std::set<std::string> expected;
  for (const auto& [path, f] : manifestFiles("sample", 1))
    if ((path.ends_with(".jpg") || path.ends_with(".png")) && f["state"] == "deleted") expected.insert("Root" + path);
  EXPECT_EQ(ov::test::filesUnder(pictures), expected);
  EXPECT_EQ(ovrecover("recover " + imageArg("sample") + " --out " + shq(pictures) + " '*.none'").status, 1);
  // The Turbo Scan, on a volume without its first MFT records.
  const fs::path turbo = ov::test::freshDir("recover-turbo");
  ASSERT_EQ(ovrecover("recover --turbo --live " + imageArg("ntfs_turbo") + " --out " + shq(turbo)).status, 0);
  for (const auto& [path, f] : manifestFiles("ntfs_turbo", 1))
    if (f["state"] == "live") {
      EXPECT_EQ(ov::test::fileSha(turbo / ("Root" + path)), f["sha256"]) << path;
    }
}

TEST(OvrecoverRecover, NamedStreamsAreListedAndSavedBesideTheirFile) {
  auto r = ovrecover("ls -r --json " + imageArg("ntfs_fidelity") + " Root/Streams");
  ASSERT_EQ(r.status, 0);
  // A folder argument lists that folder only.
  std::map<std::string, json> listed;
  for (const auto& e : json::parse(r.out)) {
    EXPECT_EQ(e["path"][1], "Streams") << e["path"];
    listed[e["name"]] = e;
  }
  ASSERT_TRUE(listed.count("host.txt:secret.txt"));
  EXPECT_EQ(listed["host.txt:secret.txt"]["stream"], "secret.txt");
  EXPECT_FALSE(listed["host.txt"].contains("stream"));
  const fs::path out = ov::test::freshDir("streams-out");
  ASSERT_EQ(ovrecover("recover --out " + shq(out) + " " + imageArg("ntfs_fidelity") + " '*.txt*'").status, 0);
  int saved = 0;
  const json m = ov::test::manifest("ntfs_fidelity");
  for (const auto& f : m["files"]) {
    std::string path = f["path"];
    if (f["state"] != "live" || path.find(':') == std::string::npos) continue;
    path[path.rfind(':')] = '_';  // saved as "<file>_<stream>"
    EXPECT_EQ(ov::test::fileSha(out / "Root" / path.substr(1)), f["sha256"].get<std::string>()) << path;
    ++saved;
  }
  EXPECT_EQ(saved, 3);
}

// An image of the disk: OvrecoverRecover above.
TEST(OvrecoverScans, ASavedScanGivesWhatTheSourceGives) {
  const fs::path dir = ov::test::freshDir("scans");
  auto first = ovrecover("ls -r --json --save-scan " + shq(dir / "sample") + " " + imageArg("sample"));
  ASSERT_EQ(first.status, 0);
  auto second = ovrecover("ls -r --json --scan " + shq(dir / "sample.ovt"));
  ASSERT_EQ(second.status, 0);
  EXPECT_EQ(json::parse(second.out), json::parse(first.out));
  ASSERT_EQ(ovrecover("volumes --save-disk-scan " + shq(dir / "disk") + " " + imageArg("mbr_ntfs_fat")).status, 0);
  auto listed = ovrecover("volumes --json --disk-scan " + shq(dir / "disk.ovd"));
  ASSERT_EQ(listed.status, 0);
  EXPECT_EQ(json::parse(listed.out).size(), 4u);
  EXPECT_EQ(ovrecover("ls --scan " + shq(dir / "disk.ovd")).status, 1);  // the wrong kind
}

// ---- FAT ----

// FAT12/16/32 volumes are listed and saved against their manifests on the engine
// (recovery_on_images_test.cpp); exFAT only here: found by the partition table, by the basic
// search from the backup boot region, by the thorough search when both boot regions are gone.
TEST(OvrecoverFat, ListsAndSavesEveryFileOfTheExfatManifests) {
  for (const auto& [image, search] : std::vector<std::pair<std::string, std::string>>{
           {"exfat_card", ""}, {"exfat_card_backup", "basic"}, {"exfat_card_zeroed", "thorough"}}) {
    SCOPED_TRACE(image);
    const json p = partitions(image, {"exfat"}).at(0);
    auto volumes = ovrecover("volumes --fs fat --json " + imageArg(image));
    ASSERT_EQ(volumes.status, search.empty() ? 0 : 1);
    if (search.empty()) {
      const json listedVolumes = json::parse(volumes.out);
      ASSERT_EQ(listedVolumes.size(), 1u);
      EXPECT_EQ(listedVolumes[0]["fs"], "exfat");
      EXPECT_EQ(listedVolumes[0]["start_sector"], p["start"]);
    }
    const std::string choose = search.empty() ? "--start " + p["start"].dump() : "--search " + search + " --volume 1";
    auto ls = ovrecover("ls -r --json --fs fat " + choose + " " + imageArg(image));
    ASSERT_EQ(ls.status, 0) << ls.err;
    std::map<std::string, json> listed;
    for (const auto& e : json::parse(ls.out)) {
      std::string path;
      for (const auto& part : e["path"]) path += "/" + part.get<std::string>();
      listed[path] = e;
    }
    const fs::path out = ov::test::freshDir("exfat-" + image);
    ASSERT_EQ(ovrecover("recover --fs fat " + choose + " " + imageArg(image) + " --out " + shq(out)).status, 0);
    for (const auto& [path, f] : manifestFiles(image, 1)) {
      SCOPED_TRACE(path);
      const bool live = f["state"] == "live";
      ASSERT_TRUE(listed.count(path)) << "not listed";
      EXPECT_EQ(listed[path]["live"], live);
      EXPECT_EQ(listed[path]["size"], f["size"]);
      // exFAT keeps no chain for a deleted file: one that had one is flagged, and not compared.
      const bool chainLost = !live && hasFlag(f, "fragmented");
      EXPECT_EQ(listed[path].contains("possibly_damaged"), chainLost);
      if (chainLost) continue;
      fs::path saved = out / path.substr(1);
      // A name longer than output names may be is saved cut, its extension kept.
      if (std::error_code absent; !fs::exists(saved, absent) && saved.filename().string().size() > 200)
        for (const auto& candidate : fs::directory_iterator(saved.parent_path()))
          if (candidate.path().filename().string().compare(0, 100, saved.filename().string(), 0, 100) == 0 &&
              candidate.path().extension() == saved.extension())
            saved = candidate.path();
      EXPECT_EQ(ov::test::fileSha(saved), f["sha256"]);
    }
  }
}

TEST(OvrecoverMessages, SayWhatWasFoundOrTriedAndWhatToTryNext) {
  struct Row {
    std::string arguments;
    int status;  // what is said goes to stdout on success, to stderr on failure
    std::vector<const char*> said, notSaid;
  };
  const std::string ntfsOnly = " " + imageArg("ntfs_volume_only");
  const std::vector<Row> rows = {
      {"volumes " + imageArg("sample"), 0, {"NTFS logical drive 1", " 20.000 MB"}, {"NTFS logical drive 2"}},
      // A floppy image has no partition table; its boot sector's signature does not make one.
      {"volumes --fs fat " + imageArg("fat12_floppy"), 0, {"Partition table: none", "FAT 12 logical drive 1"}, {}},
      // --search basic is the FAT engine's quick search, for ls as for search.
      {"ls --search basic " + imageArg("fat12_floppy"), 0, {"readme.txt"}, {}},
      // No FAT volume at all: each step says what it tried and names the next one.
      {"ls --fs fat" + ntfsOnly, 1, {"no FAT volume in the partition table", "try --search basic"}, {}},
      {"ls --fs fat --search basic" + ntfsOnly, 1, {"basic search found no FAT boot sector", "try --search thorough"}, {}},
      {"ls --fs fat --search thorough" + ntfsOnly, 1, {"thorough search found no FAT volume", "carve"}, {"try --search thorough"}},
      {"search --fs fat --thorough" + ntfsOnly, 1, {"thorough search found no FAT volume"}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.arguments);
    auto r = ovrecover(row.arguments);
    EXPECT_EQ(r.status, row.status) << r.err;
    const std::string& text = row.status == 0 ? r.out : r.err;
    for (const char* said : row.said) EXPECT_NE(text.find(said), std::string::npos) << text;
    for (const char* notSaid : row.notSaid) EXPECT_EQ(text.find(notSaid), std::string::npos) << text;
  }
  // --search basic for recover too, with a start among the volumes it finds.
  const fs::path out = ov::test::freshDir("fat-small-basic");
  EXPECT_EQ(ovrecover("recover --fs fat --search basic --start 32768 " + imageArg("fat_small_mbr") + " --out " +
                      shq(out) + " notes.txt")
                .status,
            0);
  EXPECT_TRUE(fs::exists(out / "notes.txt"));
}

}  // namespace
