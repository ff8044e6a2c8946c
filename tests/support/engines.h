// Both recovery engines on images for the tests: an engine opened on a committed image (or on
// bytes in memory), a volume processed, the tree read back through the recovery-engine interface,
// entries found by path and saved, and every file of a manifest checked against what came out.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "disk/backend.h"
#include "disk/recovery_engine.h"
#include "fat/fat_engine.h"
#include "ntfs/ntfs_engine.h"
#include "scans/scan_file.h"
#include "tests/support/test_support.h"

namespace ov::test {


// An image held in memory whose reads are counted (offset and length of each); with
// `refusePastEnd`, a device that refuses any request reaching past its end.
class CountingBackend final : public ReadBackend {
 public:
  explicit CountingBackend(std::vector<std::uint8_t> bytes, bool refusePastEnd = false)
      : inner_(std::move(bytes)), refusePastEnd_(refusePastEnd) {}
  int readAt(std::uint64_t offset, void* buffer, std::size_t length, std::size_t& got) override {
    requests.emplace_back(offset, length);
    got = 0;
    if (refusePastEnd_ && offset + length > inner_.sizeBytes()) return EINVAL;
    return inner_.readAt(offset, buffer, length, got);
  }
  std::uint64_t sizeBytes() const override { return inner_.sizeBytes(); }
  std::string path() const override { return "memory"; }
  std::vector<std::pair<std::uint64_t, std::size_t>> requests;

 private:
  MemoryBackend inner_;
  bool refusePastEnd_;
};

// How names of the manifest meet names of the tree. FAT shows a deleted entry without a long
// name with "X" for its lost first character; FAT32 images made by mtools keep some names only
// as upper-case short names.
enum class Names { Exact, FatShort, FatAnyCase };

// The tree an engine recovered. Paths are below the volume's root ("/Docs/a.txt"); entries
// outside it (NTFS "#N" folders, FAT's "Lost") are under their own names ("/#1234/a.txt").
class Tree {
 public:
  explicit Tree(RecoveryEngine& engine);
  const TreeEntry* find(const std::string& path, bool live, bool folder, Names names = Names::Exact) const&;
  // The entry would point into a tree about to be destroyed: keep the tree in a variable.
  const TreeEntry* find(const std::string&, bool, bool, Names = Names::Exact) && = delete;
  // How many entries are listed at exactly `path`.
  std::size_t count(const std::string& path) const;

 private:
  struct Node {
    TreeEntry entry;
    long parent;  // -1: below the top
  };
  void walk(RecoveryEngine& engine, const TreeEntry& folder, long parent, int depth);
  // Whether `n` and its folders upwards carry the names of `parts` and then reach the top.
  bool reaches(const Node& n, const std::vector<std::string>& parts, Names names) const;
  std::vector<Node> nodes_;
};

// Saves the file through the engine into a scratch file; what was written.
std::vector<std::uint8_t> saveEntry(RecoveryEngine& engine, RunControl& run, const TreeEntry& e);

template <class Engine>
struct Opened {
  RecordingHost host;
  RunControl run;
  Engine engine{host, run};
  CountingBackend* counter = nullptr;  // when opened on bytes

  Opened() = default;  // nothing open: for scan information files
  explicit Opened(const std::string& imageName) : Opened(image(imageName)) {}
  explicit Opened(const std::filesystem::path& path) {
    if (engine.openImage(path.string()) != 0) throw std::runtime_error("cannot open " + path.string());
  }
  explicit Opened(std::vector<std::uint8_t> bytes, std::uint16_t bytesPerSector = 512) {
    const std::uint64_t sectors = bytes.size() / bytesPerSector;
    auto backend = std::make_unique<CountingBackend>(std::move(bytes));
    counter = backend.get();
    engine.source().openBackend(std::move(backend), bytesPerSector, sectors);
  }

  std::optional<std::size_t> volumeAt(std::uint64_t start) const {
    for (std::size_t i = 0; i < engine.volumeCount(); ++i)
      if (engine.volumeRow(i).startSector == start) return i;
    return std::nullopt;
  }
  // Lists the volumes (the partition table, else a thorough search) and processes the one at
  // `start` with the processing run or the Turbo Scan; false when it fails or is not found.
  bool process(std::uint64_t start, bool turbo) {
    if (engine.volumeCount() == 0) engine.readPartitionTable();
    if (!volumeAt(start)) {
      run.start();
      engine.searchVolumes(VolumeSearch::Thorough, 0, engine.source().totalSectors());
    }
    auto index = volumeAt(start);
    if (!index) return false;
    if (turbo) {
      engine.useVolume(*index);
      return engine.turboScan(static_cast<std::uint32_t>(*index + 1));
    }
    return engine.selectVolume(*index) && engine.processFileSystem();
  }
  Tree tree() { return Tree(engine); }
  // Saves the file through the engine; what was written.
  std::vector<std::uint8_t> save(const TreeEntry& e) { return saveEntry(engine, run, e); }
};


// A scan-information file whose stored source path is changed to `path`.
inline std::vector<std::uint8_t> withSourcePath(std::vector<std::uint8_t> scan, const std::string& path) {
  SourceBlock block = *decodeSourceBlock(Bytes(scan.data() + 4, kSourceBlockBytes));
  block.path = path;
  const auto stored = encodeSourceBlock(block);
  std::copy(stored.begin(), stored.end(), scan.begin() + 4);
  return scan;
}

// Each (what, bytes) file is refused by `open` (a scan-information opener) with `text` when one is
// given, logged as aborted, and leaves nothing open: no source, no volumes, and what `closed` checks.
template <class Engine, class Open, class Closed>
void expectScanRefused(const std::vector<std::pair<std::string, std::vector<std::uint8_t>>>& files, Open open,
                       const char* text, Closed closed) {
  for (const auto& [what, bytes] : files) {
    SCOPED_TRACE(what + ", " + std::to_string(bytes.size()) + " bytes");
    const auto path = scratchDir() / "refused-scan";
    writeFile(path, bytes);
    Opened<Engine> o;
    EXPECT_FALSE(open(o.engine, path.string()));
    ASSERT_FALSE(o.host.log.empty());
    if (text) {
      EXPECT_EQ(o.host.log.back().name, text);
    }
    EXPECT_EQ(o.host.log.back().kind, LogKind::Aborted);
    EXPECT_FALSE(o.engine.source().isOpen());
    EXPECT_EQ(o.engine.volumeCount(), 0u);
    closed(o.engine);
  }
}

using NtfsOpened = Opened<ntfs::NtfsEngine>;
using FatOpened = Opened<fat::FatEngine>;

struct ManifestCheck {
  bool liveOnly = false;  // the tree was read without the folders that held the deleted entries
  Names names = Names::Exact;
  bool damageFlags = false;  // deleted fragmented files are flagged possibly damaged (exFAT keeps no chain)
};

// Every entry of the manifest's partition is listed where it belongs (live or deleted, file or
// folder, with its size and, on FAT, its first cluster), once, and every file whose bytes the
// disk still holds is saved byte for byte. Returns how many entries were listed.
int checkAgainstManifest(RecoveryEngine& engine, RunControl& run, const Tree& tree, const nlohmann::json& manifest,
                         const nlohmann::json& partition, const ManifestCheck& how = {});

}  // namespace ov::test
