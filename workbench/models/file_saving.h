// Saving files of a recovered tree (NTFS or FAT) below a destination folder, file by file, with
// the rules every save keeps: folders recreated with the clash rule and never merged across
// different names, a file that could not be written whole set aside as "name.partial" (or
// removed when empty), a file stopped by the user likewise, a full or failing destination or a
// failing source ending the save, and an account of all of it. Shared by the command line and
// the desktop programs; the destination has passed the destination guard before this is called.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "disk/recovery_engine.h"
#include "disk/sector_source.h"
#include "workbench/models/output_folder.h"
#include "workbench/models/save_account.h"

namespace ov {

// One file to save: where it goes below the destination, and how its data is written.
struct PlannedFile {
  std::vector<std::u16string> folders;
  std::u16string name;
  std::uint64_t size = 0;
  // The entry claimed more than the volume can hold and `size` is what it can hold; the claim
  // when it is known (else 0).
  bool sizeCut = false;
  std::uint64_t claimedSize = 0;
  // Why the data saved may not be the file's own (TreeEntry::damageNote); empty for none.
  std::string damageNote;
  // The times read from the disk: the saved copy gets its modification and access times.
  FileTimes times;
  // Writes the data to `fd`; false when there is nothing valid to write (the file is removed).
  // May throw AlreadyReported after a failing read or write (source.lastWriteError() tells which).
  std::function<bool(int fd, std::uint64_t& written)> save;
};

// How one file ended, for a report of the save.
enum class FileSaveState { Whole, UnreadableSectors, Partial, Failed, Interrupted };
struct FileSaveOutcome {
  FileSaveState state = FileSaveState::Failed;
  std::string path;      // below the destination, as the account names it
  // What is kept below the destination: the file, or what a failed or interrupted one wrote
  // (its ".partial"); empty for nothing.
  std::string keptPath;
  int folderFd = -1;     // the folder that holds what is kept
  std::string keptName;  // its name in that folder
  std::uint64_t written = 0;
  std::uint64_t skippedSectors = 0;  // unreadable sectors written as zeros
  std::string note;                  // the account's note or reason
};

struct SaveHooks {
  // After each file that was tried, with the folder still open.
  std::function<void(const PlannedFile& file, const FileSaveOutcome& outcome)> fileDone;
  // Before each file, with the sizes of the files before it (for progress).
  std::function<void(std::uint64_t doneBefore)> beforeFile;
  // An output file is opened (true) and done with or set aside (false): a program that can be
  // ended at once (by a signal) marks the open one as partial.
  std::function<void(int folderFd, const std::string& name, bool open)> trackOutput;
};

// Seconds since 1970 UTC of a time read from the disk: NTFS times as they are, FAT local times
// taken in the zone of TZ (as The Sleuth Kit reads them); nullopt when unknown.
std::optional<std::int64_t> epochSeconds(const FileTime& t, bool utc);

// Sets the modification and access times of `name` in `folderFd` from `times` (those unknown
// are left as they are); false when the destination refuses.
bool applyFileTimes(int folderFd, const std::string& name, const FileTimes& times);

// Saves `files` below `destination`. Starts `source.run()` and stops it at the end; a stop
// (running cleared) ends the save after the current file, which is kept only as partial when
// it was not written whole.
SaveAccount saveRecoveredFiles(const OutputFolder& destination, std::vector<PlannedFile>& files, SectorSource& source,
                               const SaveHooks& hooks = {});

}  // namespace ov
