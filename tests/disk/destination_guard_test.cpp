// The destination guard on a mountinfo file written here; real mounts: tests/e2e/never_writes_source_test.cpp.

#include <sys/sysmacros.h>

#include "disk/destination_guard.h"
#include "tests/support/test_support.h"

namespace ov {
namespace {

namespace fs = std::filesystem;

TEST(DestinationGuard, AFolderOnAMountWhoseSourceIsTheImageIsRefusedBeforeItExists) {
  const fs::path dir = test::scratchDir() / "guard";
  fs::create_directories(dir / "mount");
  const fs::path image = dir / "disk image.img";
  std::ofstream(image) << std::string(4096, '\0');
  const fs::path other = dir / "other.img";
  std::ofstream(other) << "x";
  struct stat mounted {};
  ASSERT_EQ(::stat((dir / "mount").c_str(), &mounted), 0);
  const auto source = identifySource(image.string());
  ASSERT_TRUE(source);

  auto escaped = [](const std::string& text) {
    std::string out;
    for (char c : text) out += c == ' ' ? std::string("\\040") : std::string(1, c);
    return out;
  };
  const std::string device = std::to_string(major(mounted.st_dev)) + ":" + std::to_string(minor(mounted.st_dev));
  struct Row {
    const char* what;
    std::string mountSource;  // of the mount holding dir/mount, in the fake mountinfo
    bool refused;
  };
  const std::vector<Row> rows = {
      {"ntfs-3g on the image file", escaped(image.string()), true},
      {"ntfs-3g on another image", escaped(other.string()), false},
      {"a file system without a source path", "tmpfs", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const fs::path mountInfo = dir / "mountinfo";
    std::ofstream(mountInfo) << "22 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw\n"
                             << "71 22 " << device << " / " << escaped((dir / "mount").string())
                             << " rw,noatime shared:40 - fuseblk " << row.mountSource << " rw,user_id=0\n";
    SystemViews views;
    views.sysRoot = (dir / "no-sys").string();
    views.mountInfo = mountInfo.string();
    // Not there yet: judged by the folder it would be made in.
    const std::string missing = (dir / "mount" / "saved" / "deeper").string();
    const std::string why = destinationConflict(*source, missing, views);
    EXPECT_EQ(!why.empty(), row.refused) << why;
    EXPECT_EQ(why.find("is on the disk being recovered") != std::string::npos, row.refused);
    EXPECT_FALSE(fs::exists(dir / "mount" / "saved"));
    // The source itself, or a hard link to it, as a file destination is always refused.
    EXPECT_FALSE(destinationConflict(*source, image.string(), views).empty());
  }
}

TEST(DestinationGuard, SourcesMustBeFilesOrBlockDevices) {
  const fs::path dir = test::scratchDir() / "guard-sources";
  fs::create_directories(dir);
  const fs::path fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_NE(unusableSourceReason(fifo.string()).find("a FIFO"), std::string::npos);
  EXPECT_NE(unusableSourceReason(dir.string()).find("a folder"), std::string::npos);
  EXPECT_NE(unusableSourceReason("/dev/null").find("a character device"), std::string::npos);
  EXPECT_NE(unusableSourceReason((dir / "missing").string()).find("No such file"), std::string::npos);
  std::ofstream(dir / "image") << "x";
  EXPECT_TRUE(unusableSourceReason((dir / "image").string()).empty());
}

}  // namespace
}  // namespace ov
