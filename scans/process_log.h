// The process log: one row per event of every long operation, saved as text on request.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "disk/host.h"

namespace ov {

// "Sun Dec  6 2026 01:08:55": weekday, month, day padded to two, year, then the time.
std::string logTimeText(const std::tm& local);
// "Jan" ... "Dec", with "Sept" for September.
std::string monthAbbreviation(int monthZeroBased);
// "OV NTFS Process Log # Sun, 06-Dec-2026.txt" ("OV FAT ..." in the FAT program)
std::string defaultLogFileName(const std::tm& local, const std::string& fileSystem = "NTFS");

enum class LoggedProcess : int { DiskCloning = 0, DiskImaging = 1, InternalFileProcessing = 2 };
enum class ProcessState : int { Completed = 1, Aborted = 2, Paused = 3, Resumed = 4 };

class ProcessLog {
 public:
  // Stamps the entry with the local time (or `now` when given) and appends it.
  void add(LogEntry entry);
  void add(LogEntry entry, const std::tm& now);
  void clear() { entries_.clear(); }
  const std::vector<LogEntry>& entries() const { return entries_; }
  // The newest row is the highlighted one; -1 when the log is empty.
  int highlightedRow() const { return static_cast<int>(entries_.size()) - 1; }

  // The entry that the current run (a wizard run, an imaging or a clone) started with.
  void setRunEntry(const LogEntry& entry) { runEntry_ = entry; }
  const LogEntry& runEntry() const { return runEntry_; }
  void processState(LoggedProcess process, ProcessState state);

  // The program named in the text file's header.
  void setProgramTitle(std::string title) { programTitle_ = std::move(title); }

  // The text file; false when it cannot be created or written.
  bool saveText(const std::string& path) const;
  std::string text() const;

 private:
  std::vector<LogEntry> entries_;
  LogEntry runEntry_;
  std::string programTitle_ = "Ovelin Dodedoz Avov Ovavized (NTFS)";
};

// Log lines for entries whose sizes were cut because their metadata claims more data than the
// volume (or the entry's own allocation) can hold: the first ones one by one, then a count.
class SizeCutLog {
 public:
  explicit SizeCutLog(EngineHost& host) : host_(host) {}
  ~SizeCutLog();
  SizeCutLog(const SizeCutLog&) = delete;
  SizeCutLog& operator=(const SizeCutLog&) = delete;
  // `what` names the entry, e.g. "report.pdf (record 41)".
  void note(const std::string& what, std::uint64_t claimedSize, std::uint64_t keptSize);

 private:
  EngineHost& host_;
  std::uint64_t count_ = 0;
};

}  // namespace ov
