// Disk imaging and cloning: a whole source copied sector by sector to an ".ov2" image file or
// onto another disk, with the copy's geometry stamped into sector 0.
//
// The copy runs on the worker and talks to its owner only through EngineHost (progress, log
// lines of unreadable sectors, error reports) and RunControl (stop, pause gate). The process
// log belongs to the owner: it adds the run's entry before the copy and turns the outcome into
// the log's process state afterwards (the helpers at the end of this file).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "disk/destination_guard.h"
#include "disk/host.h"
#include "disk/sector_source.h"
#include "scans/process_log.h"
#include "scans/rescue_map.h"

namespace ov {

// The numbering matches LoggedProcess, so a kind is also the process of the log's pause rows.
enum class CopyKind : int { Cloning = 0, Imaging = 1 };
enum class CopyOutcome { Completed, Aborted, Refused };

inline constexpr std::uint32_t kCopyChunkSectors = 256;
// Where sector 0 of an image (or of a cloned disk) holds the copy's geometry.
inline constexpr std::size_t kCopyTotalSectorsOffset = 432;    // 8 bytes, little-endian
inline constexpr std::size_t kCopyBytesPerSectorOffset = 444;  // 2 bytes, little-endian

struct CopyOptions {
  CopyKind kind = CopyKind::Imaging;
  // Imaging only: replace an existing file instead of refusing it.
  bool overwrite = false;
  // Flush the destination before reporting "completed", so that a clone that says it is done
  // can be unplugged at once.
  bool flush = true;
  // Imaging only: keep a map of the run in GNU ddrescue's mapfile format at this path, and
  // continue the run that an existing map describes (one this program or ddrescue wrote). With
  // a map the image is a byte-for-byte copy; only an image named ".ov2" gets the geometry in
  // its sector 0. Areas are copied in chunks first; a chunk that fails is left for later
  // ('*'), then read sector by sector, so that a failing area is not hammered before the rest
  // of the disk is safe.
  std::string mapPath;
  // With a map: passes over the bad sectors ('-') after everything else was tried.
  std::uint32_t retryPasses = 0;
  // With a map: how often the image is flushed and the map saved.
  std::chrono::milliseconds mapSaveInterval{5000};
};

struct CopyResult {
  CopyOutcome outcome = CopyOutcome::Refused;
  // Why the destination was refused, or the error that ended the copy; empty after a stop.
  std::string error;
  // Sectors that could not be read and hold zeros in the copy, ascending.
  std::vector<std::uint64_t> unreadableSectors;
  // Source sectors written to the destination.
  std::uint64_t sectorsCopied = 0;
  // With a map: the bytes its blocks hold at the end, by status.
  std::uint64_t bytesRescued = 0, bytesBad = 0, bytesRemaining = 0;
  // With a map: an existing map was continued.
  bool resumed = false;
};

class DiskCopy {
 public:
  // `source` must be open; its bytes per sector and total sectors are those of the copy.
  DiskCopy(EngineHost& host, RunControl& run, SectorSource& source, std::string destination,
           CopyOptions options = {});
  ~DiskCopy();
  DiskCopy(const DiskCopy&) = delete;
  DiskCopy& operator=(const DiskCopy&) = delete;

  // Opens the destination and checks it against the source; writes nothing. Returns an empty
  // text when the copy may go ahead, else why not (a file created here is removed again).
  std::string openDestination();
  // The copy loop. Opens the destination first when openDestination has not been called.
  // Sets `running` while it copies and clears it at the end.
  CopyResult run();

  const std::string& destination() const { return destination_; }
  CopyKind kind() const { return options_.kind; }
  // With a map, after openDestination: the map as loaded (or new).
  const std::optional<RescueMap>& map() const { return map_; }

 private:
  std::string openMap();
  CopyResult runWithMap();
  void saveMap(bool flushImage);
  bool readChunk(std::uint8_t* buffer, std::uint64_t lba, std::uint32_t sectors, SectorSource& reader,
                 CopyResult& result);
  void writeChunk(const std::uint8_t* buffer, std::uint64_t lba, std::uint64_t sectors);
  void closeDestination();
  [[noreturn]] void fail(const std::string& text);

  EngineHost& host_;
  RunControl& run_;
  SectorSource& source_;
  std::string destination_;
  CopyOptions options_;
  int fd_ = -1;
  std::optional<RescueMap> map_;
  bool mapExisted_ = false;
  std::vector<std::uint64_t> failedReads_;
  std::string lastError_;
};

// Opens the destination and copies; the same as DiskCopy(...).run().
CopyResult copyDisk(EngineHost& host, RunControl& run, SectorSource& source, const std::string& destination,
                    const CopyOptions& options = {});

// The progress line of an imaging run with a map: "rescued 1.50 GiB, bad 4.00 KiB, remaining
// 10.0 GiB, 85.2 MiB/s".
std::string rescueStatusText(std::uint64_t rescued, std::uint64_t bad, std::uint64_t remaining, double bytesPerSecond);

// The free-space check of the imaging page, made before the copy starts.
enum class FreeSpaceVerdict { Enough, NotEnough, Unknown };
struct FreeSpaceCheck {
  FreeSpaceVerdict verdict = FreeSpaceVerdict::Unknown;
  std::uint64_t required = 0;   // bytes per sector x total sectors
  std::uint64_t available = 0;  // free bytes available to the user in the destination's folder
};
FreeSpaceCheck checkImageFreeSpace(const std::string& imagePath, std::uint16_t bytesPerSector,
                                   std::uint64_t totalSectors);

// Texts of the checks and of the end of a copy.
inline constexpr const char* kCopyMessageCaption = "Dodedoz Avov Ovavized (NTFS)";
inline constexpr const char* kImageSpaceUnknownText = "Destination does not have enough space to save disk image";
inline constexpr const char* kImageSpaceQuestionText =
    "Destination disk does not have enough space to save disk image.\nDo you still want to proceed?";
inline constexpr const char* kStopQuestionText = "Do you want to stop process?";
// "Disk Imaging Completed", "Disk Cloning Aborted", ...
std::string copyEndMessage(CopyKind kind, bool completed);
// "Imaging" or "Cloning": the word of the sector label "%s sector %u of %u".
std::string copySectorWord(CopyKind kind);

// The default file name of a new image: "Ovelin Dodedoz Avov Ovavized (NTFS) Image # Sun, 06-Dec-2026.ov2".
std::string defaultImageName(const std::tm& local);
// A file name without an extension gets ".ov2".
std::string withImageExtension(const std::string& path);

// The run's log entry, added (and made the run entry) before the copy starts.
LogEntry imagingRunEntry(const std::string& device, const std::string& model, const std::string& serial,
                         const std::string& imagePath);
LogEntry cloningRunEntry(const std::string& device, const std::string& model, const std::string& serial,
                         const std::string& destinationPath);

// The owner's side of pause, resume and the end of a copy, in the process log. Call them on the
// thread that owns the log.
LoggedProcess loggedProcess(CopyKind kind);
void pauseCopy(RunControl& run, ProcessLog& log, CopyKind kind);
void resumeCopy(RunControl& run, ProcessLog& log, CopyKind kind);
// "Completed %s" or "Aborted %s" around the run's entry; nothing for a refused destination,
// since such a copy never started.
void finishCopyLog(ProcessLog& log, CopyKind kind, const CopyResult& result);

}  // namespace ov
