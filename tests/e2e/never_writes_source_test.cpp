// Never writes to the source: with a test image mounted read-write (ntfs-3g or vfat, over a loop
// device or the file), every command whose destination lies on the mount or the loop device is
// refused before it creates anything, and the image's bytes stay. Needs root, loop devices, FUSE.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/cli_run.h"

namespace {

namespace fs = std::filesystem;
using ov::test::shq;
using ov::test::Outcome;
using ov::test::shell;

std::set<std::string> namesIn(const fs::path& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) out.insert(fs::relative(e.path(), dir).string());
  return out;
}

// A test image mounted read-write, unmounted (and its loop device detached) at the end.
struct MountedImage {
  fs::path image, mount;
  std::string loop;  // the loop device over the volume, when one is used

  ~MountedImage() {
    if (!mount.empty()) {
      ::sync();
      ::umount2(mount.c_str(), 0) == 0 || ::umount2(mount.c_str(), MNT_DETACH) == 0;
    }
    if (!loop.empty()) shell("losetup -d " + loop);
  }
};

struct Refusal {
  const char* what;
  std::string arguments;  // SRC and MNT are replaced
  const char* expected;   // in the messages
};

std::string filled(std::string text, const std::string& source, const MountedImage& m) {
  auto replace = [&text](const std::string& key, const std::string& value) {
    for (std::size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
  };
  replace("SRC", shq(source));
  replace("MNT", m.mount.string());
  return text;
}

// The volume at `startSector` of a copy of image `name`, mounted by `how`: "ntfs-3g loop",
// "ntfs-3g file" (the image itself holds the volume) or "vfat loop". `workingFiles`: the engine
// keeps working files in TMPDIR (NTFS), which must not lie there either.
void expectEveryDestinationOnTheMountRefused(const std::string& name, std::uint64_t startSector, std::uint64_t sectors,
                                             const std::string& how, const std::string& fsOption, bool workingFiles) {
  if (!ov::test::isRoot()) GTEST_SKIP() << "not root";
  MountedImage m;
  m.image = ov::test::imageCopy(name, "mounted-" + name);
  fs::path dir = ov::test::scratchDir() / ("mnt-" + name);
  fs::create_directories(dir);
  std::string device = m.image.string();
  if (how.ends_with("loop")) {
    Outcome loop = shell("losetup --find --show -o " + std::to_string(startSector * 512) + " --sizelimit " +
                     std::to_string(sectors * 512) + " " + shq(m.image));
    if (loop.status != 0) GTEST_SKIP() << "no loop device: " << loop.err;
    m.loop = loop.out.substr(0, loop.out.find('\n'));
    device = m.loop;
  }
  Outcome mounted = how.starts_with("ntfs-3g") ? shell("ntfs-3g -o noatime " + shq(device) + " " + shq(dir))
                                            : shell("mount -t vfat -o noatime " + shq(device) + " " + shq(dir));
  if (mounted.status != 0) GTEST_SKIP() << how << " cannot mount here: " << mounted.err;
  m.mount = dir;
  std::vector<Refusal> refusals = {
      {"recover into a new folder", "recover " + fsOption + " SRC --out MNT/saved/deeper", "disk being recovered"},
      {"carve", "carve SRC --out MNT/carved", "disk being recovered"},
      {"carve into a disc image", "carve SRC --iso MNT/carved.iso", "disk being recovered"},
      {"image", "image SRC MNT/copy.ov2", "disk being recovered"},
      {"partition scan information", "ls " + fsOption + " SRC --save-scan MNT/tree", "disk being recovered"},
      {"disk scan information", "volumes SRC --save-disk-scan MNT/disk", "disk being recovered"},
      {"process log", "--log MNT/log.txt volumes SRC", "disk being recovered"},
  };
  if (workingFiles) refusals.push_back({"the temporary folder", "ls " + fsOption + " SRC", "temporary folder"});
  std::vector<std::string> sources = {m.image.string()};
  if (!m.loop.empty()) sources.push_back(m.loop);
  ::sync();
  const std::string before = ov::test::fileSha(m.image);
  const std::set<std::string> entries = namesIn(m.mount);
  for (const std::string& source : sources) {
    for (const Refusal& r : refusals) {
      SCOPED_TRACE(std::string(r.what) + " from " + source);
      std::string line = filled(r.arguments, source, m);
      // The working files go where TMPDIR says: onto the mount only in the row that tests it.
      fs::path tmp = std::string(r.what) == "the temporary folder" ? m.mount : ov::test::scratchDir() / "tmp";
      fs::create_directories(tmp);
      Outcome run = shell("TMPDIR=" + shq(tmp) + " OVRECOVER " + line);
      EXPECT_NE(run.status, 0);
      EXPECT_NE(run.err.find(r.expected), std::string::npos) << run.err;
      EXPECT_EQ(namesIn(m.mount), entries);
      ::sync();
      EXPECT_EQ(ov::test::fileSha(m.image), before);
    }
  }
  if (!m.loop.empty()) {
    // Cloning the image onto the loop device over it.
    Outcome clone = ov::test::ovrecover("clone " + shq(m.image) + " " + m.loop);
    EXPECT_EQ(clone.status, 2) << clone.err;
    ::sync();
    EXPECT_EQ(ov::test::fileSha(m.image), before);
  }
  // Destinations elsewhere are taken as before.
  auto elsewhere = ov::test::scratchDir() / ("elsewhere-" + m.image.stem().string());
  fs::remove_all(elsewhere);
  EXPECT_EQ(ov::test::ovrecover("volumes " + shq(m.image) + " --save-disk-scan " + shq(elsewhere)).status, 0);
}

TEST(NeverWritesTheSource, NtfsVolumeMountedByNtfs3gOverALoopDevice) {
  expectEveryDestinationOnTheMountRefused("sample", 2048, 40960, "ntfs-3g loop", "", true);
}

TEST(NeverWritesTheSource, NtfsImageFileMountedByNtfs3gItself) {
  expectEveryDestinationOnTheMountRefused("ntfs_volume_only", 0, 0, "ntfs-3g file", "", true);  // no loop device
}

TEST(NeverWritesTheSource, FatVolumeMountedByTheKernelOverALoopDevice) {
  expectEveryDestinationOnTheMountRefused("fat_mbr", 2048, 81920, "vfat loop", "--fs fat --volume 1", false);
}

}  // namespace
