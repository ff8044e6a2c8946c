// ovrecover on the fidelity images: named streams in the listing and the saved files, the sector
// size of raw images of 4096-byte-sector disks and --sector-size, and a FAT16 image that holds no
// NTFS volume.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <map>

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

TEST(OvrecoverFidelity, NamedStreamsAreListedAndSavedBesideTheirFile) {
  const json m = ov::test::manifest("ntfs_fidelity");
  auto r = ovrecover("ls -r --json " + imageArg("ntfs_fidelity") + " Root/Streams");
  ASSERT_EQ(r.status, 0);
  std::map<std::string, json> listed;
  for (const auto& e : json::parse(r.out)) listed[e["name"]] = e;
  ASSERT_TRUE(listed.count("host.txt:secret.txt"));
  EXPECT_EQ(listed["host.txt:secret.txt"]["stream"], "secret.txt");
  EXPECT_FALSE(listed["host.txt"].contains("stream"));

  auto out = ov::test::scratchDir() / "streams-out";
  ASSERT_EQ(ovrecover("recover --out '" + out.string() + "' " + imageArg("ntfs_fidelity") + " '*.txt*'").status, 0);
  int saved = 0;
  for (const auto& f : m["files"]) {
    std::string path = f["path"];
    if (f["state"] != "live" || path.find(':') == std::string::npos) continue;
    path[path.rfind(':')] = '_';  // saved as "<file>_<stream>"
    auto file = out / "Root" / path.substr(1);
    ASSERT_TRUE(std::filesystem::exists(file)) << file;
    EXPECT_EQ(ov::test::sha256Hex(ov::test::readFile(file)), f["sha256"].get<std::string>());
    ++saved;
  }
  EXPECT_EQ(saved, 3);
}

TEST(OvrecoverFidelity, SectorSizeIsDetectedOrGiven) {
  for (const char* image : {"ntfs_4kn_gpt", "ntfs_4kn_mbr"}) {
    SCOPED_TRACE(image);
    auto r = ovrecover("volumes --json --fs ntfs " + imageArg(image));
    ASSERT_EQ(r.status, 0);
    auto list = json::parse(r.out);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["start_sector"], 256);
    EXPECT_EQ(list[0]["bytes_per_sector"], 4096);
    EXPECT_EQ(ovrecover("ls -r " + imageArg(image)).status, 0);
    EXPECT_EQ(ovrecover("ls -r --sector-size 4096 " + imageArg(image)).status, 0);
    EXPECT_EQ(ovrecover("ls -r --sector-size 512 " + imageArg(image)).status, 1);
  }
  EXPECT_EQ(ovrecover("volumes --sector-size 1000 " + imageArg("sample")).status, 2);
}

TEST(OvrecoverFidelity, AFat16ImageHoldsNoNtfsVolume) {
  EXPECT_EQ(ovrecover("volumes --fs ntfs " + imageArg("fat16_not_ntfs")).status, 1);
  EXPECT_EQ(ovrecover("ls --fs ntfs --turbo --start 0 " + imageArg("fat16_not_ntfs")).status, 1);
}

}  // namespace
