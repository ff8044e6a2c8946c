// The recovered tree of an exFAT volume: the walk down from the root directory through entry
// sets (deleted folders walked too: when their chain is gone, read as consecutive clusters, and
// continued in the free cluster that completes an entry set cut at their end), the
// allocation bitmap, and the Turbo Scan, which sweeps every cluster for entry sets and hangs the
// directory clusters that the walk did not reach into "Lost". exFAT directories name no parent,
// so nothing else can place them.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_set>
#include <vector>

#include "disk/host.h"
#include "fat/exfat_directory.h"
#include "fat/fat_tree.h"
#include "fat/fat_volume.h"
#include "scans/process_log.h"

namespace ov::fat {

// The allocation bitmap in memory: one bit per cluster from cluster 2.
class ExFatBitmap {
 public:
  // Bitmaps larger than this (volumes of more than 512 million clusters) are not loaded.
  static constexpr std::uint64_t kMaxBytes = std::uint64_t{64} << 20;
  // Reads the bitmap that starts at `cluster` (its chain, or consecutive clusters); false when
  // there is none to read.
  bool load(FatReader& reader, std::uint32_t cluster);
  bool loaded() const { return !bits_.empty(); }
  void clear() { bits_.clear(); }
  // Clusters the bitmap does not cover count as in use.
  bool inUse(std::uint32_t cluster) const;

 private:
  std::vector<std::uint8_t> bits_;
};

// Whether a deleted file of `clusters` clusters from `first` on finds one of them in use (its
// first 4,096 clusters are looked at).
bool anyInUse(const ExFatBitmap& bitmap, std::uint32_t first, std::uint64_t clusters);

class ExFatTreeBuilder {
 public:
  ExFatTreeBuilder(FatReader& reader, FatTree& tree, EngineHost& host, RunControl& run)
      : reader_(reader), tree_(tree), host_(host), run_(run), cuts_(std::make_unique<SizeCutLog>(host)) {}

  // Replaces the tree with "#" (keyed by the root's cluster) and "Lost".
  void start();
  // The processing run: the walk from the root. False when aborted.
  bool processFileSystem();
  // The Turbo Scan: the sweep, the walk from the root, then the directory clusters left over.
  bool turboScan();
  // Adds the entry sets of directory data to `folder` (its children are deleted when it is).
  void parseInto(FileEntry& folder, Bytes data);
  // Reads and parses one folder's directory data.
  void readFolder(FileEntry& folder);
  // Walks `top` and every folder below it, each first cluster once. False when aborted.
  bool walkFrom(FileEntry& top);

  // What the root's entries named: the bitmap (loaded when the walk read the root).
  const ExFatRootEntries& rootEntries() const { return rootEntries_; }
  ExFatBitmap& bitmap() { return bitmap_; }
  // Clusters found by the sweep to hold entry sets (Turbo Scan).
  const std::vector<std::uint32_t>& directoryClusters() const { return swept_; }

 private:
  std::vector<std::uint32_t> folderClusters(const FileEntry& folder);
  // A deleted folder whose chain is gone and whose data ends inside an entry set: the free
  // cluster after it whose first entries complete the set with a checksum that holds is its next
  // cluster, and so on while a set is cut.
  void followCutSets(std::vector<std::uint32_t>& clusters, std::vector<std::uint8_t>& data);
  void sweep();
  void adoptLeftovers();

  FatReader& reader_;
  FatTree& tree_;
  EngineHost& host_;
  RunControl& run_;
  std::unique_ptr<SizeCutLog> cuts_;
  ExFatRootEntries rootEntries_;
  ExFatBitmap bitmap_;
  std::unordered_set<std::uint32_t> walked_;      // first clusters of the folders read
  std::unordered_set<std::uint32_t> readAsDirectory_;  // every cluster read as directory data
  std::vector<std::uint32_t> swept_;
  std::uint64_t foldersSeen_ = 0, foldersRead_ = 0;
};

}  // namespace ov::fat
