// Damaged containers are refused with a reason or read around their damage; every file of a
// container counts as the source for the destination guard.
#include "disk/image_formats.h"

#include "disk/destination_guard.h"
#include "disk/sector_source.h"
#include "tests/support/builders.h"

namespace ov {
namespace {

namespace fs = std::filesystem;

// Pieces of `raw` named NAME.001, NAME.002, ... as split(1) makes them.
fs::path splitSet(const fs::path& raw, const std::string& name, const std::string& pieceSize) {
  fs::path dir = test::scratchDir() / ("split-" + name);
  fs::create_directories(dir);
  std::string cmd = "split -b " + pieceSize + " -d -a 3 --numeric-suffixes=1 '" + raw.string() + "' '" +
                    (dir / (name + ".")).string() + "'";
  EXPECT_EQ(std::system(cmd.c_str()), 0);
  return dir / (name + ".001");
}

TEST(ImageFormats, DamagedContainersAreRefusedOrReadAroundTheirDamage) {
  const fs::path dir = test::scratchDir() / "damaged";
  fs::create_directories(dir);
  auto copyOf = [&](const std::vector<std::string>& names, const std::string& tag) {
    fs::path to = dir / tag;
    fs::create_directories(to);
    for (const std::string& n : names) fs::copy_file(test::container(n), to / n, fs::copy_options::overwrite_existing);
    return to / names.front();
  };
  auto patch = [](const fs::path& file, std::uint64_t offset, std::vector<std::uint8_t> bytes) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return file;
  };
  auto cut = [](const fs::path& file, std::uintmax_t size) {
    fs::resize_file(file, size);
    return file;
  };
  struct Row {
    std::string what;
    std::function<fs::path()> make;
    std::string reasonHas;  // the refusal names this
  };
  const std::vector<Row> rows = {
      {"E01 cut in half",
       [&] {
         const fs::path p = copyOf({"fat_small_mbr.E01"}, "e01-cut");
         return cut(p, fs::file_size(p) / 2);
       },
       "E01"},
      {"E01 set without its last segment",
       [&] { return copyOf({"ntfs_4kn_mbr.E01", "ntfs_4kn_mbr.E02", "ntfs_4kn_mbr.E03"}, "e01-short"); }, "E01"},
      {"VHDX cut to its headers", [&] { return cut(copyOf({"fat_small_mbr.vhdx"}, "vhdx-cut"), 65536); }, "VHDX"},
      {"VHD with a damaged dynamic header",
       [&] { return patch(copyOf({"fat_small_mbr.vhd"}, "vhd-header"), 512, std::vector<std::uint8_t>(64, 0xEE)); }, "VHD"},
      {"VMDK without its extent file", [&] { return copyOf({"fat_small_mbr.vmdk"}, "vmdk-alone"); }, "VMDK"},
      {"qcow2 overlay without its backing file", [&] { return copyOf({"fat_small_mbr_overlay.qcow2"}, "qcow-alone"); },
       "backing file"},
      {"qcow2 encrypted with AES", [&] { return patch(copyOf({"fat_small_mbr.qcow2"}, "qcow-encrypted"), 32, {0, 0, 0, 1}); },
       "encrypted"},
      {"qcow2 of version 9", [&] { return patch(copyOf({"fat_small_mbr.qcow2"}, "qcow-header"), 4, {0, 0, 0, 9}); }, "qcow2"},
      {"split set with a piece missing",
       [&] {
         fs::path first = splitSet(test::image("fat_small_mbr"), "gap", "4M");
         fs::remove(first.parent_path() / "gap.003");
         return first;
       },
       "missing"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const fs::path path = row.make();
    int error = 0;
    std::string reason;
    auto backend = openSourceBackend(path, error, reason);
    EXPECT_FALSE(backend);
    EXPECT_NE(error, 0);
    EXPECT_NE(reason.find(row.reasonHas), std::string::npos) << reason;
    // The engines' opener reports the same reason.
    test::Source s;
    EXPECT_NE(s.source.openImage(path), 0);
    EXPECT_EQ(s.source.openFailure(), reason);
  }

  // A damaged chunk in the middle of an E01: its sectors are unreadable, logged and skipped; the
  // rest reads as the raw image.
  const fs::path p = copyOf({"fat_small_mbr.E01"}, "e01-chunk");
  patch(p, fs::file_size(p) / 2, std::vector<std::uint8_t>(200, 0x5A));
  test::Source disk;
  SectorSource& source = disk.source;
  disk.run.start();
  ASSERT_EQ(source.openImage(p), 0) << source.openFailure();
  const std::vector<std::uint8_t> raw = test::readFile(test::image("fat_small_mbr"));
  std::vector<std::uint8_t> read(raw.size());
  ASSERT_EQ(source.totalSectors() * 512, raw.size());
  for (std::uint64_t lba = 0; lba < source.totalSectors(); lba += 2048)
    source.readSectorsRetrying(read.data() + lba * 512, 2048 * 512, lba);
  std::size_t unreadable = 0;
  for (const LogEntry& e : disk.host.log) unreadable += e.name.rfind("Drive access error", 0) == 0 && e.name.find("(Code =5)") != std::string::npos;
  std::size_t differentSectors = 0;
  for (std::size_t s = 0; s < raw.size() / 512; ++s)
    differentSectors += !std::equal(raw.begin() + static_cast<long>(s * 512), raw.begin() + static_cast<long>(s * 512 + 512),
                                    read.begin() + static_cast<long>(s * 512));
  EXPECT_GT(unreadable, 0u);
  // One chunk of 64 sectors (the sector-by-sector retry logs each of them, after the large read).
  EXPECT_LE(differentSectors, 64u);
  EXPECT_LE(unreadable, 64u + 2u);
}

TEST(ImageFormats, EveryFileOfAContainerIsTheSource) {
  for (const char* n : {"ntfs_4kn_mbr.E01", "ntfs_4kn_mbr.E02", "ntfs_4kn_mbr.E03", "ntfs_4kn_mbr.E04",
                               "fat_small_mbr_snapshot.vmdk", "fat_small_mbr.vmdk", "fat_small_mbr-s001.vmdk"})
    test::container(n, "guard");
  const fs::path dir = test::scratchDir() / "guard";
  struct Row {
    std::string source, destination;
    bool conflict;
  };
  const std::vector<Row> rows = {
      {"ntfs_4kn_mbr.E01", "ntfs_4kn_mbr.E03", true},
      {"ntfs_4kn_mbr.E01", "ntfs_4kn_mbr.E01", true},
      {"ntfs_4kn_mbr.E01", "new.img", false},
      {"fat_small_mbr_snapshot.vmdk", "fat_small_mbr-s001.vmdk", true},  // the parent's extent
      {"fat_small_mbr_snapshot.vmdk", "fat_small_mbr.vmdk", true},
      {"fat_small_mbr.vmdk", "fat_small_mbr_snapshot.vmdk", false},  // a child is no part of its parent
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.source + " -> " + row.destination);
    auto identity = identifySource((dir / row.source).string());
    ASSERT_TRUE(identity);
    EXPECT_EQ(!destinationConflict(*identity, (dir / row.destination).string()).empty(), row.conflict);
    // The same from an open source.
    test::Source s;
    ASSERT_EQ(s.source.openImage(dir / row.source), 0);
    auto open = identifySource(s.source);
    ASSERT_TRUE(open);
    EXPECT_EQ(!destinationConflict(*open, (dir / row.destination).string()).empty(), row.conflict);
  }
}

}  // namespace
}  // namespace ov
