// FAT12 and small FAT16 volumes end to end, on images made by mkfs.fat, mtools and sfdisk (and
// on third-party ones when ../shared/testdata is there): the walk and both searches place every
// volume where it is, and the processing run and the Turbo Scan list every file of the manifest
// under its own name (lower-case 8.3 names, long names of deleted files, empty files, a volume
// label that holds data) and save it byte for byte.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <set>

#include "disk/backend.h"
#include "fat/fat_engine.h"
#include "fat/fat_extract.h"
#include "fat/fat_search.h"
#include "tests/support/test_support.h"

namespace ov::fat {
namespace {

using nlohmann::json;

bool hasFlag(const json& f, const char* flag) {
  for (const auto& x : f["flags"])
    if (x == flag) return true;
  return false;
}

std::vector<std::string> split(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t at = 1;
  while (at <= path.size()) {
    std::size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    parts.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  return parts;
}

// A name that an 8.3 entry holds alone (no long name): at most 8 + 3 characters, each part in
// one case.
bool shortNameOnly(const std::string& name) {
  std::size_t dot = name.find('.');
  std::string base = name.substr(0, dot), ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3 || ext.find('.') != std::string::npos) return false;
  for (const std::string& part : {base, ext}) {
    bool lower = false, upper = false;
    for (char c : part) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '~' && c != '-') return false;
      lower = lower || std::islower(static_cast<unsigned char>(c));
      upper = upper || std::isupper(static_cast<unsigned char>(c));
    }
    if (lower && upper) return false;
  }
  return true;
}

// Names are shown as they were written; only a deleted entry without a long name has lost its
// first character (shown as "X").
bool nameMatches(const FileEntry& e, const std::string& wanted) {
  std::string shown = utf16ToUtf8(e.name);
  if (shown == wanted) return true;
  return !e.isLive() && shortNameOnly(wanted) && shown.size() == wanted.size() && shown[0] == 'X' &&
         shown.compare(1, std::string::npos, wanted, 1) == 0;
}

const FileEntry* find(const FatTree& tree, const std::string& path, bool live, bool folder) {
  auto parts = split(path);
  std::vector<const FileEntry*> level{tree.root()};
  for (std::size_t i = 0; i < parts.size(); ++i) {
    std::vector<const FileEntry*> next;
    bool last = i + 1 == parts.size();
    for (const FileEntry* f : level)
      for (const FileEntry* c : FatTree::children(*f)) {
        if (!nameMatches(*c, parts[i]) || (!last && !c->isFolder())) continue;
        if (last && (c->isLive() != live || c->isFolder() != folder)) continue;
        next.push_back(c);
      }
    level = next;
  }
  return level.empty() ? nullptr : level.front();
}

struct Opened {
  ov::test::RecordingHost host;
  RunControl run;
  FatEngine engine{host, run};
  int counter = 0;

  explicit Opened(const std::string& path) {
    if (engine.openImage(path) != 0) throw std::runtime_error("open " + path);
  }
  explicit Opened(std::vector<std::uint8_t> bytes) {
    const std::uint64_t sectors = bytes.size() / 512;
    engine.source().openBackend(std::make_unique<MemoryBackend>(std::move(bytes)), 512, sectors);
  }
  std::vector<std::uint8_t> save(const FileEntry& e) {
    auto path = ov::test::scratchDir() / ("fat-small-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FileExtractor extractor(engine.source(), engine.volume());
    run.start();
    EXPECT_TRUE(extractor.saveFileData(e, fd) || e.dataSize == 0);
    run.stop();
    ::close(fd);
    return ov::test::readFile(path);
  }
  std::optional<std::size_t> volumeAt(std::uint64_t start) const {
    for (std::size_t i = 0; i < engine.volumes().size(); ++i)
      if (engine.volumes()[i].startSector == start) return i;
    return std::nullopt;
  }
};

// Every file and folder of the partition in the manifest is listed once, where it belongs, and
// every file the disk still holds is saved byte for byte. `liveOnly` leaves out deleted entries
// (a tree read without the directories that held them).
void checkTree(Opened& o, const json& m, int partition, bool liveOnly = false) {
  std::set<const FileEntry*> seen;
  int files = 0;
  for (const auto& f : m["files"]) {
    if (f["partition"] != partition) continue;
    const std::string path = f["path"];
    const bool live = f["state"] == "live", folder = f["type"] == "folder";
    if (liveOnly && !live) continue;
    SCOPED_TRACE(path + (live ? " (live)" : " (deleted)"));
    const FileEntry* e = find(o.engine.tree(), path, live, folder);
    // A deleted entry whose clusters were taken may have lost its directory slot as well.
    if (!e && hasFlag(f, "overwritten")) continue;
    ASSERT_NE(e, nullptr) << "not listed";
    EXPECT_TRUE(seen.insert(e).second) << "listed for another entry too";
    if (folder) continue;
    ++files;
    EXPECT_EQ(e->dataSize, f["size"].get<std::uint64_t>());
    if (f["size"] == 0) {
      EXPECT_EQ(e->firstCluster, 0u);
    }
    if (hasFlag(f, "overwritten") || (!live && hasFlag(f, "fragmented"))) continue;
    EXPECT_EQ(ov::test::sha256Hex(o.save(*e)), f["sha256"].get<std::string>());
  }
  EXPECT_GT(files, 3);
}

class FatSmallVolumes : public ::testing::TestWithParam<std::string> {};

TEST_P(FatSmallVolumes, TheWalkAndBothSearchesPlaceEveryVolumeWithItsKind) {
  const json m = ov::test::manifest(GetParam());
  Opened o(ov::test::image(GetParam()).string());
  std::vector<json> wanted;
  for (const auto& p : m["partitions"])
    if (p["fs"] == "fat12" || p["fs"] == "fat16") wanted.push_back(p);
  auto check = [&](const std::vector<FatVolume>& list, const char* how) {
    SCOPED_TRACE(how);
    ASSERT_EQ(list.size(), wanted.size());  // nothing placed at other sectors
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      const FatVolume& v = list[i];
      EXPECT_EQ(v.startSector, wanted[i]["start"].get<std::uint64_t>());
      EXPECT_EQ(std::string(fatKindName(v)), wanted[i]["fs"].get<std::string>());
      EXPECT_EQ(v.rootEntries, wanted[i]["root_entries"].get<std::uint16_t>());
      EXPECT_EQ(v.bytesPerCluster, wanted[i]["cluster_bytes"].get<std::uint32_t>());
      EXPECT_EQ(v.fatSectors, wanted[i]["fat_sectors"].get<std::uint32_t>());
      EXPECT_EQ(v.serialNumber, std::stoull(wanted[i]["serial"].get<std::string>(), nullptr, 16));
    }
  };
  ASSERT_TRUE(o.engine.readPartitionTable());
  check(o.engine.volumes(), "partition table");
  EXPECT_EQ(partitionTableName(o.engine.tableKind()), std::string(m["table"] == "none" ? "none" : "MBR"));
  std::vector<FatVolume> found;
  const std::uint64_t total = o.engine.source().totalSectors();
  o.run.start();
  ASSERT_TRUE(basicSearch(o.engine.source(), 0, total, found));
  check(found, "basic search");
  o.run.start();
  ASSERT_TRUE(thoroughSearch(o.engine.source(), 0, total, found));
  check(found, "thorough search");
  for (const auto& v : found) EXPECT_TRUE(v.foundBy & kFatFirstFatSeen);
}

TEST_P(FatSmallVolumes, ProcessingAndTurboScanListAndSaveEveryFile) {
  const json m = ov::test::manifest(GetParam());
  for (bool turbo : {false, true}) {
    for (const auto& p : m["partitions"]) {
      if (p["fs"] != "fat12" && p["fs"] != "fat16") continue;
      SCOPED_TRACE(std::string(turbo ? "Turbo Scan" : "processing") + " of the volume at " +
                   std::to_string(p["start"].get<std::uint64_t>()));
      Opened o(ov::test::image(GetParam()).string());
      o.engine.readPartitionTable();
      auto index = o.volumeAt(p["start"]);
      ASSERT_TRUE(index);
      ASSERT_TRUE(o.engine.selectVolume(*index));
      ASSERT_TRUE(turbo ? o.engine.turboScan(1) : o.engine.processFileSystem());
      checkTree(o, m, p["index"]);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Images, FatSmallVolumes,
                         ::testing::Values("fat12_floppy", "fat_small_mbr", "fat16_volume_only"));

// Without its boot sector a floppy is known by its two FATs and its folders: the thorough
// search places a FAT12 reading at its first FAT with the root directory between the second FAT
// and the data area, and that reading gives back every live file.
TEST(FatSmallVolumes, AFloppyWithoutItsBootSectorIsPlacedByItsFats) {
  const json m = ov::test::manifest("fat12_floppy");
  const json& p = m["partitions"][0];
  auto bytes = ov::test::readFile(ov::test::image("fat12_floppy"));
  std::fill(bytes.begin(), bytes.begin() + 512, 0);
  Opened o(std::move(bytes));
  o.run.start();
  std::vector<FatVolume> found;
  ASSERT_TRUE(thoroughSearch(o.engine.source(), 0, o.engine.source().totalSectors(), found));
  ASSERT_FALSE(found.empty());
  const FatVolume& v = found[0];
  EXPECT_TRUE(v.fat12);
  EXPECT_EQ(v.startSector, p["reserved_sectors"].get<std::uint64_t>());
  EXPECT_EQ(v.fatSectors, p["fat_sectors"].get<std::uint32_t>());
  EXPECT_EQ(v.rootEntries, p["root_entries"].get<std::uint16_t>());
  EXPECT_EQ(v.bytesPerCluster, p["cluster_bytes"].get<std::uint32_t>());
  EXPECT_LE(v.startSector + v.sectorCount, o.engine.source().totalSectors());
  o.engine.setVolumes(found);
  ASSERT_TRUE(o.engine.selectVolume(0));
  ASSERT_TRUE(o.engine.processFileSystem());
  checkTree(o, m, 1, true);
}

// Third-party images (mkfs.fat, FAT12 of 4 MiB and FAT16 of 12 MiB without a partition table)
// with answer keys: 512 folders, each with an empty file, and /265/find_me.txt.
class FatThirdPartyImages : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(FatThirdPartyImages, EveryPathOfTheAnswerKeyIsListed) {
  auto shared = ov::test::sharedTestdataDir();
  if (!shared) GTEST_SKIP() << "../shared/testdata is absent";
  const auto [name, kind] = GetParam();
  Opened o(ov::test::gunzipped(*shared / "dfir_ntfs" / (std::string(name) + ".raw.gz")).string());
  ASSERT_TRUE(o.engine.readPartitionTable());
  ASSERT_EQ(o.engine.volumes().size(), 1u);
  EXPECT_EQ(o.engine.tableKind(), PartitionTableKind::None);
  EXPECT_EQ(std::string(fatKindName(o.engine.volumes()[0])), kind);
  std::vector<FatVolume> found;
  o.run.start();
  ASSERT_TRUE(thoroughSearch(o.engine.source(), 0, o.engine.source().totalSectors(), found));
  ASSERT_EQ(found.size(), 1u);  // not the readings of its folders at other sectors
  EXPECT_EQ(found[0].startSector, 0u);

  ASSERT_TRUE(o.engine.selectVolume(0));
  ASSERT_TRUE(o.engine.processFileSystem());
  std::ifstream key(*shared / "dfir_ntfs" / (std::string(name) + "_full_test.txt"));
  std::string line;
  int paths = 0;
  while (std::getline(key, line)) {
    std::string path = line.substr(0, line.find_first_of("\t "));
    if (path.empty()) continue;
    const bool folder = path.find('.') == std::string::npos;
    SCOPED_TRACE(path);
    const FileEntry* e = find(o.engine.tree(), path, true, folder);
    ASSERT_NE(e, nullptr);
    ++paths;
    if (folder) continue;
    std::vector<std::uint8_t> wanted;
    if (path == "/265/find_me.txt") {
      wanted.assign(8192, 0xFE);
      for (char c : std::string("the end")) wanted.push_back(static_cast<std::uint8_t>(c));
    }
    EXPECT_EQ(o.save(*e), wanted);
  }
  EXPECT_EQ(paths, 1025);
}

INSTANTIATE_TEST_SUITE_P(Shared, FatThirdPartyImages,
                         ::testing::Values(std::make_pair("fat12", "fat12"), std::make_pair("fat16", "fat16")));

}  // namespace
}  // namespace ov::fat
