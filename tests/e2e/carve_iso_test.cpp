// ovrecover carve --iso: the found files go into a disc image through Kestrin's burn. Whatever the end,
// nothing is left but a whole image: no staging folder, no image cut short, no existing file replaced.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "tests/e2e/cli_run.h"

namespace {

namespace fs = std::filesystem;
using ov::test::shq;

std::set<std::string> entries(const fs::path& folder) {
  std::set<std::string> out;
  for (const auto& e : fs::directory_iterator(folder)) out.insert(e.path().filename().string());
  return out;
}

TEST(CarveIso, AWholeImageOrNothingLeftBehind) {
  const fs::path carving = ov::test::carvingImage();
  struct Row {
    const char* what;
    std::uint64_t tmpfsKiB;  // 0: the scratch folder
    bool imageThere;         // a file of the image's name exists already
    int status;
    const char* message;
  };
  const Row rows[] = {
      {"room enough", 0, false, 0, "Saving data completed"},
      {"no room for the cache", 160, false, 1, "not all marked files could be written to the temporary cache"},
      {"room for the cache, not for the image", 640, false, 1, "not enough free space for the disc image"},
      {"an image already there", 0, true, 1, "exists; remove it or choose another name"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::path folder = ov::test::scratchDir() / "iso" / row.what;
    if (row.tmpfsKiB) {
      folder = ov::test::smallTmpfs("iso-tmpfs", row.tmpfsKiB * 1024);
      if (folder.empty()) GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    ov::test::Unmount unmount(row.tmpfsKiB ? folder : fs::path());
    fs::create_directories(folder);
    if (row.imageThere) ov::test::shell("echo mine > " + shq(folder / "out.iso"));
    const ov::test::Outcome r = ov::test::ovrecover("carve " + shq(carving) + " --iso " + shq(folder / "out.iso"));
    EXPECT_EQ(r.status, row.status) << r.err;
    EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
    const bool image = row.status == 0 || row.imageThere;
    EXPECT_EQ(entries(folder), image ? std::set<std::string>{"out.iso"} : std::set<std::string>{});
    if (row.imageThere) {
      EXPECT_EQ(fs::file_size(folder / "out.iso"), 5u);
    }
  }
}

}  // namespace
