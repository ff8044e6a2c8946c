// Recovery fidelity on images made for it by mkntfs, ntfs-3g, sfdisk (on a loop device with
// 4096-byte sectors), mke2fs and mkfs.fat: named data streams, a file with 40 hard links, files of
// about 300 runs, a valid data length shorter than the file, an MFT on odd sectors, disks with
// 4096-byte sectors and a second file system's signature; each checked with the MFT walk and the
// Turbo Scan against the image's manifest. Also the checks that keep a FAT boot sector and absurd
// geometry from being taken for an NTFS volume, and the end of every scan at the source's end.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>

#include "disk/byte_io.h"
#include "ntfs/boot_sector.h"
#include "ntfs/extract.h"
#include "ntfs/file_record.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs/scan_info.h"
#include "ntfs/volume_finder.h"
#include "tests/support/test_support.h"

namespace ov::ntfs {
namespace {

using nlohmann::json;

bool hasFlag(const json& f, const char* flag) {
  for (const auto& x : f["flags"])
    if (x == flag) return true;
  return false;
}

// Counts the reads that reach the image.
class CountingBackend final : public ReadBackend {
 public:
  explicit CountingBackend(std::vector<std::uint8_t> bytes) : inner_(std::move(bytes)) {}
  int readAt(std::uint64_t offset, void* buffer, std::size_t length, std::size_t& got) override {
    ++reads;
    return inner_.readAt(offset, buffer, length, got);
  }
  std::uint64_t sizeBytes() const override { return inner_.sizeBytes(); }
  std::string path() const override { return "memory"; }
  std::vector<std::uint8_t>& bytes() { return inner_.bytes(); }
  std::uint64_t reads = 0;

 private:
  MemoryBackend inner_;
};

// An image (from its file, or changed in memory), a volume of it processed by the MFT walk or
// the Turbo Scan, and the tree by path below the root.
struct Processed {
  ov::test::RecordingHost host;
  RunControl run;
  NtfsEngine engine{host, run};
  std::multimap<std::string, FileEntry> byPath;
  bool completed = false;

  explicit Processed(const std::string& image) {
    if (engine.openImage(ov::test::image(image).string()) != 0) throw std::runtime_error("open " + image);
  }
  Processed(std::vector<std::uint8_t> bytes, std::uint16_t bytesPerSector) {
    std::uint64_t sectors = bytes.size() / bytesPerSector;
    engine.source().openBackend(std::make_unique<CountingBackend>(std::move(bytes)), bytesPerSector, sectors);
  }

  void process(std::uint64_t start, bool turbo) {
    if (engine.volumes().empty()) engine.readPartitionTable();
    std::optional<std::size_t> index;
    for (std::size_t i = 0; i < engine.volumes().size(); ++i)
      if (engine.volumes()[i].startSector == start) index = i;
    if (!index) throw std::runtime_error("volume not listed");
    if (turbo) {
      engine.useVolume(engine.volumes()[*index]);
      completed = engine.turboScan(static_cast<std::uint32_t>(*index + 1));
    } else {
      if (!engine.selectVolume(*index)) throw std::runtime_error("no MFT");
      completed = engine.processFileSystem();
    }
    readTree();
  }

  void readTree() {
    byPath.clear();
    auto top = engine.workingFiles().readEntry(0);
    if (top) walk(*top, "", 0, true);
  }
  void walk(const FileEntry& folder, const std::string& path, int depth, bool top) {
    std::uint64_t total = 0;
    std::uint32_t files = 0, folders = 0;
    for (const auto& e : engine.workingFiles().readFolder(folder.childrenBlock, total, files, folders, true)) {
      std::string child = top && e.entryIndex == 1 ? "" : path + "/" + utf16ToUtf8(e.name);
      if (!(top && e.entryIndex == 1)) byPath.emplace(child, e);
      if (e.isFolder() && depth < 64) walk(e, child, depth + 1, false);
    }
  }

  const FileEntry* find(const std::string& path, bool live, bool folder) const {
    auto [first, last] = byPath.equal_range(path);
    for (auto it = first; it != last; ++it)
      if (it->second.isLive() == live && it->second.isFolder() == folder) return &it->second;
    return nullptr;
  }

  std::vector<std::uint8_t> recover(const FileEntry& e) {
    auto path = ov::test::scratchDir() / ("fidelity-" + std::to_string(counter++));
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FileExtractor extractor(engine.source(), engine.volume());
    EXPECT_TRUE(extractor.saveFileData(e.recordSector, e.dataSize, fd, e.streamName()));
    ::close(fd);
    return ov::test::readFile(path);
  }
  int counter = 0;
};

// Every file of the manifest listed where it belongs (a hard-linked file under one of its names,
// a named stream as "file:stream" beside its file) and saved byte for byte; returns how many.
int checkAgainstManifest(Processed& p, const json& m, const json& partition) {
  int checked = 0;
  for (const auto& f : m["files"]) {
    if (f["partition"] != partition["index"] || hasFlag(f, "name_lost")) continue;
    const std::string path = f["path"];
    const bool live = f["state"] == "live", folder = f["type"] == "folder";
    SCOPED_TRACE(path + (live ? " (live)" : " (deleted)"));
    const FileEntry* found = p.find(path, live, folder);
    if (!found && hasFlag(f, "hard_link")) {
      // One record, many names: it is listed once, under one of them.
      for (const auto& g : m["files"])
        if (!found && hasFlag(g, "hard_link")) found = p.find(g["path"], live, false);
    }
    if (!found) {
      ADD_FAILURE() << "not listed";
      continue;
    }
    ++checked;
    if (folder) continue;
    EXPECT_EQ(found->isStream(), hasFlag(f, "stream"));
    if (found->isStream()) {
      EXPECT_EQ(utf16ToUtf8(found->streamName()), path.substr(path.rfind(':') + 1));
    }
    EXPECT_EQ(found->dataSize, f["size"].get<std::uint64_t>());
    EXPECT_EQ(ov::test::sha256Hex(p.recover(*found)), f["sha256"].get<std::string>());
    if (hasFlag(f, "valid_length")) {
      // The preview shows zeros past the valid data length too.
      FileExtractor extractor(p.engine.source(), p.engine.volume());
      auto preview = extractor.loadPreview(found->recordSector, found->dataSize);
      EXPECT_TRUE(preview && ov::test::sha256Hex(*preview) == f["sha256"].get<std::string>());
    }
  }
  return checked;
}

TEST(NtfsFidelity, EveryFileIsListedAndSavedByTheWalkAndTheTurboScan) {
  for (const char* image : {"ntfs_fidelity", "ntfs_odd_mft", "ntfs_4kn_gpt", "ntfs_4kn_mbr", "ntfs_ext2_signature"}) {
    const json m = ov::test::manifest(image);
    for (bool turbo : {false, true}) {
      SCOPED_TRACE(std::string(image) + (turbo ? ", Turbo Scan" : ", MFT walk"));
      Processed p(image);
      EXPECT_EQ(p.engine.source().bytesPerSector(), m["bytes_per_sector"].get<std::uint16_t>());
      const json& partition = m["partitions"][0];
      p.process(partition["start"], turbo);
      EXPECT_TRUE(p.completed);
      EXPECT_GT(checkAgainstManifest(p, m, partition), 4);
      // A second file system's signature is named in a warning; no other image has one.
      std::vector<std::string> warnings;
      for (const auto& e : p.host.log)
        if (e.name.find("file system signature") != std::string::npos) warnings.push_back(e.name);
      if (m.contains("other_signature")) {
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].find(m["other_signature"].get<std::string>()), std::string::npos);
      } else {
        EXPECT_TRUE(warnings.empty());
      }
    }
  }
}

std::vector<std::uint8_t> imageBytes(const std::string& name) { return ov::test::readFile(ov::test::image(name)); }

TEST(NtfsFidelity, TurboScanFindsExtensionRecordsWhenTheMftCannotBeSetUp) {
  // $MFT records 0 and 1 and the mirror zeroed, as a damaged volume has them: the records that
  // attribute lists name are found where the scan saw them.
  const json m = ov::test::manifest("ntfs_fidelity");
  const json& partition = m["partitions"][0];
  std::vector<std::uint8_t> bytes = imageBytes("ntfs_fidelity");
  const std::uint64_t start = partition["start"];
  const std::uint64_t cluster = partition["cluster_bytes"];
  std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(start * 512 + partition["mft_lcn"].get<std::uint64_t>() * cluster),
              2048, 0);
  std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(start * 512 + partition["mftmirr_lcn"].get<std::uint64_t>() * cluster),
              cluster, 0);
  Processed p(std::move(bytes), 512);
  p.engine.readPartitionTable();
  EXPECT_FALSE(p.engine.selectVolume(0));
  p.process(start, true);
  EXPECT_TRUE(p.engine.volume().mftRuns.empty());
  EXPECT_FALSE(p.engine.volume().scannedRecords.empty());
  int checked = 0;
  for (const auto& f : m["files"]) {
    if (!hasFlag(f, "attribute_list") && !hasFlag(f, "hard_link")) continue;
    if (hasFlag(f, "name_lost") || f["state"] != "live") continue;
    const FileEntry* found = p.find(f["path"], true, false);
    if (!found && hasFlag(f, "hard_link")) continue;  // listed under another of its names
    ASSERT_NE(found, nullptr) << f["path"];
    EXPECT_EQ(found->dataSize, f["size"].get<std::uint64_t>());
    EXPECT_EQ(ov::test::sha256Hex(p.recover(*found)), f["sha256"].get<std::string>());
    ++checked;
  }
  EXPECT_EQ(checked, 2);  // runs300.bin and the linked file
}

TEST(NtfsFidelity, TurboScanTakesNoRecordCopiedIntoAnotherStructure) {
  // The log file keeps whole records as they are in memory: their sector ends hold the record's
  // own bytes, not the update sequence number. Such a copy of a live record, put where the volume
  // has free space, must not come back as a second (phantom) file.
  const json m = ov::test::manifest("sample");
  const std::uint64_t start = m["partitions"][0]["start"];
  Processed walked("sample");
  walked.process(start, false);
  const FileEntry* readme = walked.find("/Documents/readme.txt", true, false);
  ASSERT_NE(readme, nullptr);
  std::vector<std::uint8_t> bytes = imageBytes("sample");
  std::vector<std::uint8_t> record(bytes.begin() + static_cast<std::ptrdiff_t>(readme->recordSector * 512),
                                   bytes.begin() + static_cast<std::ptrdiff_t>(readme->recordSector * 512 + 1024));
  const std::uint16_t usa = le16(record, 4);
  for (std::size_t i = 1; i <= 2; ++i) {
    record[i * 512 - 2] = record[usa + 2 * i];
    record[i * 512 - 1] = record[usa + 2 * i + 1];
  }
  // Two zero sectors at an odd sector near the volume's end, where nothing was written.
  std::uint64_t at = (start + m["partitions"][0]["sectors"].get<std::uint64_t>() - 64) | 1;
  while (!std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(at * 512),
                      bytes.begin() + static_cast<std::ptrdiff_t>(at * 512 + 1024), [](std::uint8_t b) { return b == 0; }))
    at -= 2;
  std::copy(record.begin(), record.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at * 512));
  Processed scanned(std::move(bytes), 512);
  scanned.process(start, true);
  EXPECT_EQ(scanned.byPath.count("/Documents/readme.txt"), walked.byPath.count("/Documents/readme.txt"));
}

TEST(NtfsFidelity, ScansEndAtTheSourcesLastSector) {
  // A volume that claims 2^60 sectors on an 8 MiB image, and an MFT run far past its end.
  const std::vector<std::uint8_t> bytes = imageBytes("ntfs_volume_only");
  Processed p(bytes, 512);
  ASSERT_TRUE(p.engine.readPartitionTable());
  LogicalVolume huge = p.engine.volumes()[0];
  huge.sectorCount = std::uint64_t{1} << 60;
  p.engine.volumes()[0] = huge;
  auto* counter = static_cast<CountingBackend*>(p.engine.source().backend());
  p.process(0, true);
  EXPECT_TRUE(p.completed);
  EXPECT_LT(counter->reads, 64u);
  EXPECT_NE(p.find("/readme.txt", true, false), nullptr);

  ASSERT_TRUE(p.engine.selectVolume(0));
  NtfsVolume volume = p.engine.volume();
  volume.mftRuns.push_back(ntfs::Run{std::uint64_t{1} << 40, std::uint64_t{1} << 30, false});
  p.engine.restoreVolume(volume);
  counter->reads = 0;
  EXPECT_TRUE(p.engine.processFileSystem());
  EXPECT_LT(counter->reads, 64u);
}

TEST(NtfsFidelity, OnlyBootSectorsOfPossibleNtfsVolumesAreTaken) {
  // A small FAT16 volume's boot sector passes the oldest test, but is no NTFS volume.
  {
    Processed fat("fat16_not_ntfs");
    EXPECT_FALSE(fat.engine.readPartitionTable());
    EXPECT_TRUE(fat.engine.searchVolumes(SearchMode::Thorough, 0, fat.engine.source().totalSectors()));
    EXPECT_TRUE(fat.engine.volumes().empty());
    EXPECT_FALSE(volumeAtSector(fat.engine.source(), 0));
  }
  // Changes to a real boot sector (an image of one volume, 4096-byte clusters): whether the
  // partition walk takes it, and whether a search (or --start) does.
  const std::vector<std::uint8_t> original = imageBytes("ntfs_volume_only");
  struct Row {
    const char* what;
    std::function<void(MutableBytes)> change;
    bool walk, search;
  };
  const std::vector<Row> rows = {
      {"unchanged", [](MutableBytes) {}, true, true},
      {"name damaged, MFT where it says", [](MutableBytes b) { b[3] = 'X'; }, false, true},
      {"name damaged, MFT and mirror elsewhere",
       [](MutableBytes b) {
         b[3] = 'X';
         writeLe<std::uint64_t>(b, 0x30, 100);
         writeLe<std::uint64_t>(b, 0x38, 101);
       },
       false, false},
      {"3072 bytes per sector", [](MutableBytes b) { writeLe<std::uint16_t>(b, 0x0B, 3072); }, false, false},
      {"no byte offset for its size", [](MutableBytes b) { writeLe<std::uint64_t>(b, 0x28, std::uint64_t{1} << 62); }, false, false},
      {"MFT past the volume's end", [](MutableBytes b) { writeLe<std::uint64_t>(b, 0x30, 5000); }, false, false},
      {"records of 127 clusters", [](MutableBytes b) { b[0x40] = 0x7F; }, false, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::uint8_t> bytes = original;
    row.change(MutableBytes(bytes.data(), 512));
    EXPECT_EQ(isNamedNtfsBootSector(Bytes(bytes.data(), 512)), row.walk);
    Processed p(std::move(bytes), 512);
    EXPECT_EQ(p.engine.readPartitionTable(), row.walk);
    EXPECT_EQ(volumeAtSector(p.engine.source(), 0).has_value(), row.search);
  }
}

TEST(NtfsFidelity, StreamsKeepWorkingFromASavedScan) {
  const json m = ov::test::manifest("ntfs_fidelity");
  Processed p("ntfs_fidelity");
  p.process(m["partitions"][0]["start"], false);
  auto saved = (ov::test::scratchDir() / "fidelity.ovt").string();
  ASSERT_TRUE(savePartitionScanInfo(p.engine, saved));
  Processed reopened("ntfs_fidelity");
  ASSERT_TRUE(openPartitionScanInfo(reopened.engine, saved));
  reopened.readTree();
  int streams = 0;
  for (const auto& f : m["files"]) {
    if (!hasFlag(f, "stream") || f["state"] != "live") continue;
    const FileEntry* found = reopened.find(f["path"], true, false);
    ASSERT_NE(found, nullptr) << f["path"];
    EXPECT_EQ(ov::test::sha256Hex(reopened.recover(*found)), f["sha256"].get<std::string>());
    ++streams;
  }
  EXPECT_EQ(streams, 3);
}

}  // namespace
}  // namespace ov::ntfs
