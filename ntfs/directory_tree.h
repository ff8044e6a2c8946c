// Building the recovered directory tree into the working files: the MFT walk, the Turbo Scan,
// and the attachment rules that both share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk/sector_source.h"
#include "ntfs/mft.h"
#include "ntfs/working_files.h"

namespace ov::ntfs {

// Attaches listed records to their parent folders, inventing placeholder folders for parents
// that were not (yet) seen. A folder is listed once; files are listed every time they are found.
class TreeBuilder {
 public:
  explicit TreeBuilder(WorkingFiles& files) : files_(files) {}
  // Writes the entry (its entryIndex is assigned here) when it is to be listed; true if written.
  bool addFile(FileEntry entry);
  bool addFolder(FileEntry entry);
  // Lists the named data streams of a file or folder that was just written, as files
  // "<name>:<stream>" beside it (see kStreamMark).
  void addStreams(const FileEntry& owner, const std::vector<NamedStream>& streams);
  // Creates the "#N" folders for parents never found (the caller then finishes writing).
  void finish();

 private:
  WorkingFiles& files_;
};

// An entry for a listed record: the "#N" name for records without one.
FileEntry entryFromFacts(const RecordFacts& facts, std::uint64_t recordSector);

// The MFT walk into `files` (already created). False when aborted.
bool walkMft(SectorSource& source, const NtfsVolume& volume, WorkingFiles& files);

// The Turbo Scan of the whole volume into `files` (already created). False when aborted.
// Records are sought at every sector, not only at record-sized steps. The extension records
// seen are kept in volume.scannedRecords, and base records with an attribute list are listed
// after the scan, when all of them are known. The scan ends at the source's last sector,
// whatever size the volume claims.
bool scanVolume(SectorSource& source, NtfsVolume& volume, WorkingFiles& files);

// Turns the entries of a checked index record into folder entries.
void addFoldersFromIndexRecord(Bytes record, TreeBuilder& tree);

}  // namespace ov::ntfs
