// Copying carved items out of the scanned disk and saving the marked ones: into a new numbered
// output folder under the destination, or packed into zip archives beside it.
//
// Every file and folder is created relative to an open folder handle, with sanitized names and
// without following links, so a save never writes outside the destination folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "carver/results.h"
#include "disk/byte_io.h"
#include "disk/host.h"
#include "disk/destination_guard.h"
#include "workbench/models/output_folder.h"
#include "workbench/models/save_account.h"

namespace ov {

// What the copy needs from the scanned disk; the scanner's disk reader adapts to it.
class CarvedDataSource {
 public:
  virtual ~CarvedDataSource() = default;
  // Reads `sectors` whole sectors from `sector` into `out`, which the caller has zero-filled.
  // Returns false for an unreadable range, which is then written as zeros. A source that has
  // gone away (disconnected disk) reports that to the user and throws AlreadyReported.
  virtual bool read(std::uint64_t sector, std::size_t sectors, std::uint8_t* out) = 0;
  virtual std::uint32_t sectorSize() const = 0;
};

inline constexpr std::size_t kCopyPieceBytes = 1048576;

// Receives the copied bytes in order; returns false when it cannot take them.
using ByteSink = std::function<bool(Bytes)>;

// Copies `item.size` bytes from the item's first sector: whole pieces of kCopyPieceBytes, then the
// rest read as whole sectors of which only the item's bytes are passed on. Returns false when the
// sink refused a piece. A disconnected source's AlreadyReported passes through.
bool copyCarvedItem(CarvedDataSource& source, const ResultNode& item, const ByteSink& sink);
// The item's bytes in memory (the text view's preview buffer).
std::vector<std::uint8_t> readCarvedItem(CarvedDataSource& source, const ResultNode& item);
// Writes the item as a new file in `folder`, named as the item or "#0" + name, "#1" + name, ...
// when that exists (the image preview's temporary file). Returns 0 or the errno of the failure.
int writeCarvedItemFile(CarvedDataSource& source, const ResultNode& item, const OutputFolder& folder,
                        std::string& usedName);

// ---- Saving ----

// Above this running total of file sizes a compressed save starts a new archive; larger files
// cannot go into an archive at all.
inline constexpr std::uint64_t kArchiveSplitBytes = 4294967296ULL;

struct SaveSettings {
  std::string destination;  // an existing folder
  bool compress = false;
  // Extensions whose marked files are left out ("doc" or ".doc"); emptied by the save.
  std::vector<std::u16string> excludedExtensions;
  // The archive split size; tests set a small one.
  std::uint64_t archiveSplitBytes = kArchiveSplitBytes;
  // A compressed save asks this about a file too large for an archive (the question text is
  // given); true keeps the file uncompressed in the destination folder. Unset: the file is kept.
  std::function<bool(const std::string& question)> askSaveUncompressed;
  // The processing dialog's "Saving recovered data to %1!s!:" line, with the text filled in.
  std::function<void(const std::string& text)> showDestination;
  // The disk being carved: a destination on it is refused before anything is created there.
  std::optional<SourceIdentity> source;
  // Told when an output file (a saved file, an archive) is opened (true) and when it is done with
  // or set aside (false), so that a program ended at once by a signal can mark it as partial.
  std::function<void(int folderFd, const std::string& name, bool open)> trackOutput;
  // Told of each file saved whole outside an archive, with the folder that holds it (still open),
  // its name there and its path below the destination (a report hashes it).
  std::function<void(const ResultNode& item, int folderFd, const std::string& name, const std::string& path)> fileSaved;
  // Names to save items under instead of their own (a burn's shortened long names).
  std::map<const ResultNode*, std::u16string> names;
  // The save is a step of something larger (a burn): its end is not announced (no completion
  // status, no end message); the caller reads the report and says how it all ended.
  bool quietEnd = false;
};

enum class SaveOutcome { Completed, Stopped, Failed };

struct SaveReport {
  SaveOutcome outcome = SaveOutcome::Failed;
  // File by file: saved, failed (and why), interrupted, never tried. A file counts as saved only
  // once all of it is written, and in a compressed save once its archive is closed properly.
  SaveAccount account;
  std::string outputFolder;  // destination + "/DataXEB<n>"; empty when it could not be created
  std::string resultFolder;  // the folder to open in the file browser; empty when nothing was made
  std::vector<std::string> archives;  // paths of the archives written, in order
  std::uint64_t itemsWritten = 0;     // folders and files created
  std::uint64_t filesWritten = 0;
  bool keptUncompressed = false;  // a compressed save left some files uncompressed
};

// Texts of the save, as the user sees them.
inline constexpr const char* kSaveCompletedText = "Saving process completed successfully.";
inline constexpr const char* kCompressedSaveCompletedText =
    "Saving operation completed successfully.\nYou need unzip tool to decompress\nrecovered archive(s).";
inline constexpr const char* kSaveAbortedText = "Saving process aborted.";
inline constexpr const char* kSaveFailedText = "Saving process failed. Not all marked files could be saved.";
inline constexpr const char* kSaveCompletedStatus = "Saving Completed";
inline constexpr const char* kArchiveCreateFailedText = "Faild to create zip file.";
inline constexpr const char* kTooLargeForArchiveText =
    " file cannot be saved in Compressed form.\nDo you want to save this in uncompressed form?";
inline constexpr const char* kOrphanFolderName = "Orphan Files";

// Unmarks every marked file whose name after its first dot equals one of `excluded` (either
// case), refreshes the folders' marks, and empties `excluded`.
void applyExclusions(ResultNode& root, std::vector<std::u16string>& excluded);
// Archive entries with these endings are stored rather than deflated: they are packed already.
bool storedInArchive(std::string_view name);
// The process-wide count of archives opened; archive N of output folder DataXEB0 is DataXEB0N.zip.
std::uint32_t archiveCounter();

// Saves the marked items under `root` (the worker of the processing dialog in saving mode).
// The caller has started `run`; Stop and Pause act through it between items. Messages, progress
// (total = marked files, done = items written) and the status go to `host`.
SaveReport saveMarkedItems(ResultNode& root, CarvedDataSource& source, SaveSettings& settings, EngineHost& host,
                           RunControl& run);

}  // namespace ov
