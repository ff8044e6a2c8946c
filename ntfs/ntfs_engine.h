// The NTFS engine as a program owns it: the open source, the volume list, the selected volume
// with its MFT, and the working files of the recovered tree. One engine per program; nothing
// of it is global.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk/gpt.h"
#include "disk/host.h"
#include "disk/recovery_engine.h"
#include "disk/sector_source.h"
#include "ntfs/logical_volume.h"
#include "ntfs/mft.h"
#include "ntfs/working_files.h"

namespace ov::ntfs {

enum class SearchMode { Quick, Thorough };

class NtfsEngine final : public RecoveryEngine {
 public:
  NtfsEngine(EngineHost& host, RunControl& run) : host_(host), run_(run), source_(host, run), files_(host) {
    files_.guardAgainst(&source_);
  }
  NtfsEngine(const NtfsEngine&) = delete;
  NtfsEngine& operator=(const NtfsEngine&) = delete;

  const EngineTexts& texts() const override;
  EngineHost& host() override { return host_; }
  RunControl& run() override { return run_; }
  SectorSource& source() override { return source_; }
  const std::vector<LogicalVolume>& volumes() const { return volumes_; }
  std::vector<LogicalVolume>& volumes() { return volumes_; }

  // Opens an image file or a block device as the source; returns 0 or an errno value.
  int openImage(const std::string& path) override;
  // Closes the source and frees everything that belongs to it.
  void close() override;

  bool readPartitionTable() override;
  // The kind of table the last walk read (none for a single-volume image or no table).
  PartitionTableKind tableKind() const override { return tableKind_; }
  // Runs a lost-volume search over [start, end) with its log entries; true when it completed.
  // Sets `running` for the search and clears it at the end, as the search worker does.
  bool searchVolumes(SearchMode mode, std::uint64_t start, std::uint64_t end);
  bool searchVolumes(VolumeSearch kind, std::uint64_t start, std::uint64_t end) override {
    return searchVolumes(kind == VolumeSearch::Quick ? SearchMode::Quick : SearchMode::Thorough, start, end);
  }
  std::size_t volumeCount() const override { return volumes_.size(); }
  VolumeRow volumeRow(std::size_t index) const override;
  std::optional<std::size_t> addVolumeAt(std::uint64_t sector) override;

  // Makes volume `index` of the list the current one and locates its MFT ("critical
  // structures"); false when the MFT cannot be set up.
  bool selectVolume(std::size_t index) override;
  // Takes the volume's parameters without locating the MFT (the Turbo Scan needs no MFT).
  void useVolume(const LogicalVolume& volume);
  void useVolume(std::size_t index) override {
    if (index < volumes_.size()) useVolume(volumes_[index]);
  }
  const NtfsVolume& volume() const { return volume_; }
  // Takes the parameters and MFT runs of a saved scan.
  void restoreVolume(NtfsVolume volume) { volume_ = std::move(volume); }

  // The MFT walk into new working files, with its log lines; true when it ran to the end.
  // When the working files cannot be written the run fails: the tree is discarded (the working
  // files are then not open) and the reason is shown and logged.
  bool processFileSystem() override;
  // The Turbo Scan of the current volume; `volumeNumber` is the number shown to the user.
  // Working-file failures end it as they end processFileSystem().
  bool turboScan(std::uint32_t volumeNumber) override;

  // The recovered tree, readable after processing or a Turbo Scan.
  WorkingFiles& workingFiles() { return files_; }

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
  bool reopenForReading();
  // Logs (and shows) a warning for every other file system's signature in the current volume.
  void warnOfOtherFileSystems();
  void populated();
  bool createWorkingFiles();
  bool finishWorkingFiles();
  // The times of the record at `sector` (unknown where it cannot be read or fails its check).
  FileTimes timesAt(std::uint64_t sector);
  // The volume's allocation bitmap ($Bitmap), read once per volume; nullptr when it cannot be read.
  // Only fileLayout reads it, on the thread that lists (never the saving worker).
  const std::vector<std::uint8_t>* allocationBitmap();

  EngineHost& host_;
  RunControl& run_;
  SectorSource source_;
  std::vector<LogicalVolume> volumes_;
  PartitionTableKind tableKind_ = PartitionTableKind::None;
  NtfsVolume volume_;
  WorkingFiles files_;
  std::vector<std::uint8_t> bitmap_;
  VolumeParameters bitmapOf_;  // the volume bitmap_ belongs to
  bool bitmapRead_ = false;
};

}  // namespace ov::ntfs
