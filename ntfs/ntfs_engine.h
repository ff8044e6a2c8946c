// The NTFS engine as a program owns it: the open source, the volume list, the selected volume
// with its MFT, and the working files of the recovered tree. One engine per program; nothing
// of it is global.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk/gpt.h"
#include "disk/host.h"
#include "disk/sector_source.h"
#include "ntfs/logical_volume.h"
#include "ntfs/mft.h"
#include "ntfs/working_files.h"

namespace ov::ntfs {

enum class SearchMode { Quick, Thorough };

class NtfsEngine {
 public:
  NtfsEngine(EngineHost& host, RunControl& run) : host_(host), run_(run), source_(host, run), files_(host) {
    files_.guardAgainst(&source_);
  }
  NtfsEngine(const NtfsEngine&) = delete;
  NtfsEngine& operator=(const NtfsEngine&) = delete;

  EngineHost& host() { return host_; }
  RunControl& run() { return run_; }
  SectorSource& source() { return source_; }
  const std::vector<LogicalVolume>& volumes() const { return volumes_; }
  std::vector<LogicalVolume>& volumes() { return volumes_; }

  // Opens an image file or a block device as the source; returns 0 or an errno value.
  int openImage(const std::string& path);
  // Closes the source and frees everything that belongs to it.
  void close();

  bool readPartitionTable();
  // The kind of table the last walk read (none for a single-volume image or no table).
  PartitionTableKind tableKind() const { return tableKind_; }
  // Runs a lost-volume search over [start, end) with its log entries; true when it completed.
  // Sets `running` for the search and clears it at the end, as the search worker does.
  bool searchVolumes(SearchMode mode, std::uint64_t start, std::uint64_t end);

  // Makes volume `index` of the list the current one and locates its MFT ("critical
  // structures"); false when the MFT cannot be set up.
  bool selectVolume(std::size_t index);
  // Takes the volume's parameters without locating the MFT (the Turbo Scan needs no MFT).
  void useVolume(const LogicalVolume& volume);
  const NtfsVolume& volume() const { return volume_; }
  // Takes the parameters and MFT runs of a saved scan.
  void restoreVolume(NtfsVolume volume) { volume_ = std::move(volume); }

  // The MFT walk into new working files, with its log lines; true when it ran to the end.
  // When the working files cannot be written the run fails: the tree is discarded (the working
  // files are then not open) and the reason is shown and logged.
  bool processFileSystem();
  // The Turbo Scan of the current volume; `volumeNumber` is the number shown to the user.
  // Working-file failures end it as they end processFileSystem().
  bool turboScan(std::uint32_t volumeNumber);

  // The recovered tree, readable after processing or a Turbo Scan.
  WorkingFiles& workingFiles() { return files_; }

 private:
  bool reopenForReading();
  void populated();
  bool createWorkingFiles();
  bool finishWorkingFiles();

  EngineHost& host_;
  RunControl& run_;
  SectorSource source_;
  std::vector<LogicalVolume> volumes_;
  PartitionTableKind tableKind_ = PartitionTableKind::None;
  NtfsVolume volume_;
  WorkingFiles files_;
};

}  // namespace ov::ntfs
