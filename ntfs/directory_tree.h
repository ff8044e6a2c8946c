// Building the recovered directory tree into the working files: the MFT walk, the Turbo Scan,
// and the attachment rules that both share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk/sector_source.h"
#include "ntfs/mft.h"
#include "ntfs/working_files.h"
#include "scans/process_log.h"

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
  // Creates the "#N" folders for parents never found, and for folders whose parents lead round
  // in a loop (two folders each other's parent, a folder its own parent) a "#N" folder under
  // "#" named after the parent of the loop's lowest-numbered member, which is moved there with
  // everything below it. The caller then finishes writing.
  void finish();

 private:
  void rescueLoops();

  WorkingFiles& files_;
  std::vector<std::uint32_t> parentNode_;  // folder node -> the node its entry hangs under
};

// An entry for a listed record: the "#N" name for records without one; kEntrySizeCut when the
// record claimed more data than it can hold.
FileEntry entryFromFacts(const RecordFacts& facts, std::uint64_t recordSector);

// "name (record N)", for log lines about an entry.
std::string entryLogName(const FileEntry& entry);

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
