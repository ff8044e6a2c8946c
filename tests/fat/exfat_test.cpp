// exFAT on images written by mkfs.exfat and exfat-fuse (listed and saved as the manifests say after
// each search and pass), and hostile entry sets and directories, which must end in bounded work.

#include "fat/exfat_directory.h"
#include "fat/fat_engine.h"
#include "tests/support/engines.h"

namespace ov::fat {
namespace {

using nlohmann::json;
using ov::test::FatOpened;

enum class Find { Walk, Thorough };
enum class Pass { Processing, Turbo, Reopened };

TEST(ExFat, VolumesFoundListedAndRecovered) {
  struct Row {
    const char* image;
    Find find;
    Pass run;
  };
  // The processing run on exfat_card and on the copies found by each search is checked through
  // ovrecover (tests/e2e/ovrecover_test.cpp); here the Turbo Scan, a reopened scan, a bare volume.
  const std::vector<Row> rows = {
      {"exfat_card", Find::Walk, Pass::Turbo},             {"exfat_card", Find::Walk, Pass::Reopened},
      {"exfat_volume_only", Find::Walk, Pass::Processing}, {"exfat_card_zeroed", Find::Thorough, Pass::Turbo},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.image) + " " + std::to_string(static_cast<int>(row.find)) + "/" +
                 std::to_string(static_cast<int>(row.run)));
    const json m = ov::test::manifest(row.image);
    const json& p = m["partitions"][0];
    FatOpened o{std::string(row.image)};
    const std::uint64_t total = o.engine.source().totalSectors();
    if (row.find == Find::Walk) {
      ASSERT_TRUE(o.engine.readPartitionTable());
    } else {
      // The quick search finds nothing where both boot regions are gone.
      ASSERT_TRUE(o.engine.searchVolumes(VolumeSearch::Quick, 0, total));
      EXPECT_EQ(o.engine.volumeCount(), 0u);
      ASSERT_TRUE(o.engine.searchVolumes(VolumeSearch::Thorough, 0, total));
    }
    ASSERT_EQ(o.engine.volumeCount(), 1u);
    const VolumeRow volume = o.engine.volumeRow(0);
    EXPECT_EQ(volume.name, "exFAT logical drive 1");
    EXPECT_EQ(volume.fileSystem, "exFAT");
    const FatVolume& v = o.engine.volumes()[0];
    // Where the clusters begin, however the volume was found.
    EXPECT_EQ(v.startSector + v.dataOffset, p["start"].get<std::uint64_t>() + p["cluster_heap_offset"].get<std::uint64_t>());
    EXPECT_EQ(v.bytesPerCluster, p["cluster_bytes"]);
    EXPECT_EQ(v.rootCluster, p["root_cluster"]);
    if (row.find != Find::Thorough) {
      EXPECT_EQ(v.startSector, p["start"]);
    }
    ASSERT_TRUE(o.engine.selectVolume(0));
    if (row.run == Pass::Turbo) {
      ASSERT_TRUE(o.engine.turboScan(1));
    } else {
      ASSERT_TRUE(o.engine.processFileSystem());
    }
    if (row.run == Pass::Reopened) {
      const auto scan = ov::test::scratchDir() / "exfat.ovt";
      ASSERT_TRUE(o.engine.savePartitionScanInfo(scan.string()));
      o.engine.close();
      ASSERT_TRUE(o.engine.openPartitionScanInfo(scan.string()));
    }
    const ov::test::Tree tree = o.tree();
    EXPECT_EQ(ov::test::checkAgainstManifest(o.engine, o.run, tree, m, p, {false, ov::test::Names::Exact, true}),
              static_cast<int>(m["files"].size()));
  }
}

// Bytes of one entry set: a file entry, a stream extension and the name entries, its checksum set.
std::vector<std::uint8_t> entrySet(const std::u16string& name, bool inUse, std::uint32_t cluster, std::uint64_t size) {
  const std::size_t names = (name.size() + 14) / 15;
  std::vector<std::uint8_t> b((2 + names) * 32, 0);
  MutableBytes m(b.data(), b.size());
  b[0] = inUse ? 0x85 : 0x05;
  b[1] = static_cast<std::uint8_t>(1 + names);
  b[32] = inUse ? 0xC0 : 0x40;
  b[33] = 0x03;
  b[35] = static_cast<std::uint8_t>(name.size());
  writeLe<std::uint64_t>(m, 40, size);
  writeLe<std::uint32_t>(m, 52, cluster);
  writeLe<std::uint64_t>(m, 56, size);
  for (std::size_t k = 0; k < names; ++k) b[64 + 32 * k] = inUse ? 0xC1 : 0x41;
  for (std::size_t i = 0; i < name.size(); ++i) writeLe<std::uint16_t>(m, 64 + 32 * (i / 15) + 2 + 2 * (i % 15), name[i]);
  writeLe<std::uint16_t>(m, 2, exFatSetChecksum(Bytes(b.data(), b.size())));
  return b;
}

TEST(ExFat, HostileEntrySetsAreBounded) {
  struct Row {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> change;
    std::size_t sets;
    bool checksumOk;
  };
  const std::vector<Row> rows = {
      {"whole", [](auto&) {}, 1, true},
      {"a byte of its name changed", [](auto& b) { b[66] ^= 1; }, 1, false},
      {"more secondaries than entries", [](auto& b) { b[1] = 0xFF; }, 0, false},
      {"a name longer than its entries", [](auto& b) { b[35] = 200; }, 0, false},
      {"no stream extension", [](auto& b) { b[32] = 0xC1; }, 0, false},
      {"deleted stream in a live set", [](auto& b) { b[32] = 0x40; }, 0, false},
      {"cut short", [](auto& b) { b.resize(b.size() - 32); }, 0, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::uint8_t> b = entrySet(u"photo.jpg", true, 9, 5000);
    row.change(b);
    ExFatDirectory d = parseExFatDirectory(Bytes(b.data(), b.size()), true);
    ASSERT_EQ(d.sets.size(), row.sets);
    if (row.sets) {
      EXPECT_EQ(d.sets[0].checksumOk, row.checksumOk);
    }
  }
  // A deleted set checks against the sum it had when live; a name of 255 units in 17 entries.
  const std::u16string longName(255, u'n');
  auto deleted = entrySet(longName, false, 9, 5000);
  ExFatDirectory d = parseExFatDirectory(Bytes(deleted.data(), deleted.size()), true);
  ASSERT_EQ(d.sets.size(), 1u);
  EXPECT_TRUE(d.sets[0].checksumOk);
  EXPECT_FALSE(d.sets[0].inUse);
  EXPECT_EQ(d.sets[0].name, longName);
}

// A copy of exfat_volume_only whose folder /DATA names the root's cluster, whose /Old (a deleted
// folder) claims 2^64-1 bytes, and whose first file keeps only 100 valid bytes of its 2400: the
// walk reads each directory once and ends, and the file is saved with zeros past its valid length.
TEST(ExFat, PatchedEntrySets) {
  const json m = ov::test::manifest("exfat_volume_only");
  const json& p = m["partitions"][0];
  auto bytes = ov::test::readFile(ov::test::image("exfat_volume_only"));
  const std::size_t cluster = p["cluster_bytes"];
  const std::size_t root = p["cluster_heap_offset"].get<std::size_t>() * 512 +
                           (p["root_cluster"].get<std::size_t>() - 2) * cluster;
  int patched = 0;
  for (std::size_t at = root; at + 96 <= root + cluster; at += 32) {
    auto set = parseExFatEntrySet(Bytes(bytes.data(), bytes.size()), at);
    if (!set) continue;
    MutableBytes b(bytes.data() + at, set->entries * 32);
    if (set->name == u"DATA") writeLe<std::uint32_t>(b, 52, p["root_cluster"].get<std::uint32_t>());
    else if (set->name == u"Old") writeLe<std::uint64_t>(b, 56, UINT64_MAX);
    else if (set->name == u"A file on a bare exFAT volume.txt") writeLe<std::uint64_t>(b, 40, 100);
    else continue;
    writeLe<std::uint16_t>(b, 2, exFatSetChecksum(Bytes(b.data(), b.size())));
    ++patched;
  }
  ASSERT_EQ(patched, 3);
  FatOpened o{ov::test::writeFile(ov::test::scratchDir() / "exfat-loop.img", bytes)};
  ASSERT_TRUE(o.engine.readPartitionTable());
  ASSERT_TRUE(o.engine.selectVolume(0));
  ASSERT_TRUE(o.engine.processFileSystem());
  const ov::test::Tree tree = o.tree();
  const TreeEntry* data = tree.find("/DATA", true, true);
  ASSERT_NE(data, nullptr);
  EXPECT_TRUE(o.engine.listFolder(*data, nullptr, true).empty());  // the root is not read again below it
  EXPECT_NE(tree.find("/Old/one.txt", false, false), nullptr);
  EXPECT_LT(o.engine.treeEntryCount(), 20u);
  const TreeEntry* partly = tree.find("/A file on a bare exFAT volume.txt", true, false);
  ASSERT_NE(partly, nullptr);
  const std::uint64_t first = partly->number;
  auto saved = o.save(*partly);
  const std::size_t at = p["cluster_heap_offset"].get<std::size_t>() * 512 + (first - 2) * cluster;
  std::vector<std::uint8_t> expected(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                     bytes.begin() + static_cast<std::ptrdiff_t>(at + 100));
  expected.resize(2400, 0);
  EXPECT_EQ(saved, expected);
}

}  // namespace
}  // namespace ov::fat
