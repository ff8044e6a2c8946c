// The NTFS engine as a program owns it: the open source, the volume list and (later) the
// current volume's state. One engine per program; nothing of it is global.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk/host.h"
#include "disk/sector_source.h"
#include "ntfs/logical_volume.h"

namespace ov::ntfs {

enum class SearchMode { Quick, Thorough };

class NtfsEngine {
 public:
  NtfsEngine(EngineHost& host, RunControl& run) : host_(host), run_(run), source_(host, run) {}

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
  // Runs a lost-volume search over [start, end) with its log entries; true when it completed.
  // Sets `running` for the search and clears it at the end, as the search worker does.
  bool searchVolumes(SearchMode mode, std::uint64_t start, std::uint64_t end);

 private:
  EngineHost& host_;
  RunControl& run_;
  SectorSource source_;
  std::vector<LogicalVolume> volumes_;
};

}  // namespace ov::ntfs
