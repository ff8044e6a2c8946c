// The FAT engine as a program owns it: the open source, the volume list, the current volume and
// the recovered tree, with the two runs that rebuild the tree (processing and Turbo Scan).
// One engine per program; nothing of it is global.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "disk/host.h"
#include "disk/recovery_engine.h"
#include "disk/sector_source.h"
#include "fat/exfat_tree.h"
#include "fat/fat_search.h"
#include "fat/fat_tree.h"
#include "fat/fat_volume.h"

namespace ov::fat {

// Small clusters are swept in requests of this size instead of one sector per cluster.
inline constexpr std::size_t kSweepRequestBytes = std::size_t{1} << 20;
// Clusters up to this size are swept with large requests; larger ones one sector each.
inline constexpr std::uint32_t kSweepLargeReadsUpTo = 4096;

// Finds every cluster (2 up to clusterCount) whose first sector holds "." naming that cluster
// and "..", makes it a folder "#N" and hangs it under the folder named by "..". False when
// aborted.
bool sweepDirectoryClusters(FatTreeBuilder& builder);
// The Turbo Scan without its log lines: a new tree from the sweep, then the naming walk.
// False when aborted.
bool turboScanVolume(FatTreeBuilder& builder);

class FatEngine final : public RecoveryEngine {
 public:
  FatEngine(EngineHost& host, RunControl& run) : host_(host), run_(run), source_(host, run) {}

  const EngineTexts& texts() const override;
  EngineHost& host() override { return host_; }
  RunControl& run() override { return run_; }
  SectorSource& source() override { return source_; }

  // Opens an image file or a block device as the source; returns 0 or an errno value.
  int openImage(const std::string& path) override;
  // Closes the source and frees the volume list, the current volume and the tree.
  void close() override;

  // The volume list, in the order found. The partition-table walk and the volume searches
  // (fat/fat_search.h) fill it, each replacing the whole list.
  const std::vector<FatVolume>& volumes() const { return volumes_; }
  std::vector<FatVolume>& volumes() { return volumes_; }
  void setVolumes(std::vector<FatVolume> list) { volumes_ = std::move(list); }
  // The FAT volumes of the partition table; true when one was found.
  bool readPartitionTable() override;
  // The table the last walk found, and the GPT name and type of each listed volume (parallel to
  // volumes() after the walk; empty strings for MBR volumes). A search or setVolumes() leaves
  // them as they were, so callers check that the sizes match before pairing them.
  PartitionTableKind tableKind() const override { return tableKind_; }
  const std::vector<FatPartitionInfo>& partitionInfos() const { return partitionInfos_; }
  // The Basic (quick) or Thorough search over [start, end) with its log entries; replaces the list.
  bool searchVolumes(VolumeSearch kind, std::uint64_t start, std::uint64_t end) override;
  std::size_t volumeCount() const override { return volumes_.size(); }
  VolumeRow volumeRow(std::size_t index) const override;
  std::optional<std::size_t> addVolumeAt(std::uint64_t sector) override;

  // Makes volume `index` of the list the current one; false when there is no such volume.
  bool selectVolume(std::size_t index) override;
  // Makes `v` current with the defaults for zero sector and cluster sizes.
  void useVolume(const FatVolume& v);
  void useVolume(std::size_t index) override {
    if (index < volumes_.size()) useVolume(volumes_[index]);
  }
  // Takes the current volume of a saved scan as it was stored.
  void restoreVolume(const FatVolume& v) {
    volume_ = v;
    bitmap_.clear();
  }
  const FatVolume& volume() const { return volume_; }

  // The processing run with its log lines; true when it ran to the end.
  bool processFileSystem() override;
  // The Turbo Scan of the current volume; `volumeNumber` is the number shown to the user.
  bool turboScan(std::uint32_t volumeNumber) override;

  // The recovered tree, readable after a run.
  FatTree& tree() { return tree_; }
  const FatTree& tree() const { return tree_; }

  bool hasTree() override;
  std::optional<TreeEntry> topFolder() override;
  std::uint64_t treeEntryCount() override;
  std::vector<TreeEntry> listFolder(const TreeEntry& folder, FolderCounts* counts, bool keepFiles) override;
  FileDataSaved saveFileData(const TreeEntry& file, int fd, const std::function<void(std::uint64_t)>& progress,
                           const std::function<bool()>& cancel) override;
  std::optional<std::vector<std::uint8_t>> loadPreview(const TreeEntry& file) override;
  FileLayout fileLayout(const TreeEntry& file) override;
  bool savePartitionScanInfo(const std::string& path) override;
  bool openPartitionScanInfo(const std::string& path) override;
  bool saveDiskScanInfo(const std::string& path) override;
  bool openDiskScanInfo(const std::string& path) override;

 private:
  EngineHost& host_;
  RunControl& run_;
  SectorSource source_;
  std::vector<FatVolume> volumes_;
  PartitionTableKind tableKind_ = PartitionTableKind::None;
  std::vector<FatPartitionInfo> partitionInfos_;
  FatVolume volume_;
  FatTree tree_;
  // exFAT: the current volume's allocation bitmap, read when a run or a save first needs it.
  ExFatBitmap bitmap_;
  std::mutex bitmapMutex_;  // its first reading
  // Runs the exFAT tree builder (processing or Turbo Scan) and keeps what it learnt of the volume.
  bool runExFat(bool turbo);
  // The bitmap a save of `e` needs (loaded on first use), or nullptr; `always`: also when the
  // save does not need it (exFAT volumes only).
  const ExFatBitmap* exFatBitmap(const FileEntry& e, bool always = false);
};

}  // namespace ov::fat
