// Copying a listed FAT file's data out of the volume: along its cluster chain when the chain
// fits the file's size, else from consecutive clusters (a deleted file's chain is gone); and
// the preview's in-memory load.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "disk/sector_source.h"
#include "fat/exfat_tree.h"
#include "fat/fat_tree.h"
#include "fat/fat_volume.h"

namespace ov::fat {

// Files larger than this are not loaded for the preview.
inline constexpr std::uint64_t kMaxPreviewBytes = 31457280;
// Clusters read in one request.
inline constexpr std::uint32_t kClustersPerRequest = 16;
// Requests never exceed this, however large a (damaged) boot sector says clusters are.
inline constexpr std::size_t kMaxRequestBytes = std::size_t{2} << 20;

// Whether a chain of `chainLength` clusters holds exactly the clusters that `dataSize` needs
// (one spare cluster is allowed when the size is a whole number of clusters). An empty chain
// fits only a size of 0.
bool chainMatchesSize(std::size_t chainLength, std::uint64_t dataSize, std::uint32_t bytesPerCluster);
// The bytes from the start of cluster `first` to the end of the volume's last cluster.
std::uint64_t bytesFromClusterToEnd(const FatVolume& v, std::uint32_t first);

// exFAT: where the first `clusters` clusters of a file lie, as runs (first cluster, count): one
// run for a file whose clusters follow each other; its chain for a live one with a chain (one
// run from its first cluster when the chain is too short); for a deleted one whose chain is gone,
// its first cluster and then the clusters the bitmap shows free (all that follow without a
// bitmap). Never past the volume's last cluster, so the runs may hold fewer clusters.
struct ClusterRun {
  std::uint32_t first = 0;
  std::uint32_t count = 0;
};
std::vector<ClusterRun> exFatClusterRuns(FatReader& reader, const FileEntry& entry, std::uint64_t clusters,
                                         const ExFatBitmap* bitmap);

// The clusters saving `entry` reads, in file order: the choice saveFileData makes (the chain
// when it fits the size, else consecutive clusters up to the volume's end; exFAT:
// exFatClusterRuns), holding the entry's size at most.
std::vector<ClusterRun> fileClusterRuns(FatReader& reader, const FileEntry& entry, const ExFatBitmap* bitmap);
// How many clusters of `runs` are in use: a FAT entry other than 0 (FAT12/16/32) or a bit set in
// exFAT's allocation bitmap. Nullopt when the FAT cannot be read or exFAT has no bitmap.
std::optional<std::uint64_t> clustersInUse(FatReader& reader, const std::vector<ClusterRun>& runs,
                                           const ExFatBitmap* bitmap);

class FileExtractor {
 public:
  FileExtractor(SectorSource& source, const FatVolume& volume) : reader_(source, volume), source_(source) {}

  // Progress of the file being saved (done, total).
  void setProgress(std::function<void(std::uint64_t, std::uint64_t)> progress) { progress_ = std::move(progress); }
  // Set while the preview saves to the temporary folder: the copy goes on although no engine
  // operation is running.
  void setQuietProgress(bool quiet) { quiet_ = quiet; }
  // Asked between reads; true stops the file where it is (a batch being aborted).
  void setCancel(std::function<bool()> cancel) { cancel_ = std::move(cancel); }
  // exFAT: the allocation bitmap, for deleted files whose chain is gone.
  void setBitmap(const ExFatBitmap* bitmap) { bitmap_ = bitmap; }

  // Writes the file's data at the output's current position, never more than dataSize bytes
  // and never more than the volume holds: along a matching chain, or consecutively from the
  // first cluster up to the volume's last cluster at most (see bytesWritten() afterwards).
  // False, with nothing written, when the entry names no data cluster; read failures other
  // than skipped sectors throw AlreadyReported.
  bool saveFileData(const FileEntry& entry, int outputFd);
  std::uint64_t bytesWritten() const { return written_; }
  // Whether the last save followed the cluster chain (else consecutive clusters).
  bool usedChain() const { return usedChain_; }

  // The whole file for the preview, read cluster by cluster; nullopt above kMaxPreviewBytes or
  // when the entry names no data cluster.
  std::optional<std::vector<std::uint8_t>> loadPreview(const FileEntry& entry);

 private:
  bool goOn() const;
  // Reads `bytes` from `sector` on in requests of at most the buffer's size and writes what the
  // file still needs.
  void copy(std::uint64_t sector, std::uint64_t bytes, std::vector<std::uint8_t>& buffer);
  void publish() const;
  // exFAT: the file's runs, with zeros past its valid data length.
  bool saveExFat(const FileEntry& entry);
  void emit(const std::uint8_t* data, std::size_t length);

  FatReader reader_;
  SectorSource& source_;
  std::function<void(std::uint64_t, std::uint64_t)> progress_;
  std::function<bool()> cancel_;
  const ExFatBitmap* bitmap_ = nullptr;
  std::vector<std::uint8_t>* memory_ = nullptr;  // the preview's copy instead of a file
  std::uint64_t validSize_ = 0;
  bool quiet_ = false;
  bool usedChain_ = false;
  int fd_ = -1;
  std::uint64_t dataSize_ = 0;
  std::uint64_t written_ = 0;
};

}  // namespace ov::fat
