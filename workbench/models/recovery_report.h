// The report of a save: what the source was, and for every file tried its saved and original
// paths, record, state, size, times, SHA-256 and the extents of the source it was read from.
// DFXML (fileobject elements with byte_runs and hashdigest) for a name ending in ".xml", JSON
// lines (one object a line) otherwise.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "disk/recovery_engine.h"
#include "disk/sector_source.h"
#include "workbench/models/file_saving.h"

namespace ov {

// ISO 8601 of a time read from the disk: "2026-12-06T14:03:11.1234567Z" for NTFS (UTC, 100 ns),
// "2026-12-06T14:03:11.25" for FAT (local time, no zone; hundredths only when there are any),
// "2026-12-06" for a date without a time; empty when unknown.
std::string isoTime(const FileTime& t, bool utc);
nlohmann::json timeJson(const FileTime& t, bool utc);
// The date part alone, "2026-12-06" (null when unknown).
nlohmann::json dateOfJson(const FileTime& t);
// "good", "partly overwritten", "overwritten"; empty when unknown.
std::string recoverabilityText(Recoverability r);


struct ReportSource {
  std::string path;
  std::uint64_t bytes = 0;
  std::uint32_t sectorSize = 0;
  std::string sha256;  // empty unless asked for
};

struct ReportVolume {
  std::string fileSystem;  // "ntfs", "fat"
  std::string name;
  std::uint64_t offset = 0;  // bytes from the source's start
  std::uint32_t clusterBytes = 0;
};

struct ReportedFile {
  std::string originalPath;  // "/ Root/Documents/a.txt" as listed
  std::string savedPath;     // below the destination; empty when nothing was kept
  std::uint32_t number = 0;  // MFT record or first cluster
  bool live = false;
  std::uint64_t size = 0;     // as listed
  std::uint64_t written = 0;  // bytes saved
  FileTimes times;
  FileLayout layout;
  std::string state;        // "whole", "unreadable sectors (zeros)", "partial", "failed", "interrupted"
  std::string note;         // why, where the save says
  std::string sha256;       // of what was saved; empty when nothing was
  std::uint64_t skippedSectors = 0;
  bool carved = false;  // found by its contents: no original path, record, state or times
};

// What a save leaves for its report, kept until the next save.
struct SavedReport {
  ReportSource source;
  ReportVolume volume;
  std::string destination;
  std::vector<ReportedFile> files;
  std::uint64_t saved = 0;
  std::uint64_t failed = 0;
};

// What a report says of the source and of a volume listed on it.
ReportSource reportSource(SectorSource& source);
ReportVolume reportVolume(const VolumeRow& row, std::uint32_t bytesPerSector);
// A file about to be saved, from its entry; "not tried" until `recordSaveOutcome`.
ReportedFile reportedFile(const std::vector<std::u16string>& folders, const TreeEntry& entry, FileLayout layout);
// How the save ended for it, with the SHA-256 of what was kept.
void recordSaveOutcome(ReportedFile& file, const FileSaveOutcome& outcome);

class RecoveryReport {
 public:
  // Creates the file (replacing one there); nullopt with errno's text in `error` when it cannot.
  static std::optional<RecoveryReport> create(const std::string& path, std::string& error);
  RecoveryReport(RecoveryReport&& other) noexcept;
  RecoveryReport& operator=(RecoveryReport&& other) noexcept;
  ~RecoveryReport();

  void begin(const ReportSource& source, const ReportVolume& volume, const std::string& command);
  void add(const ReportedFile& file);
  // Writes the end and closes the file; false when any write failed.
  bool finish(std::uint64_t saved, std::uint64_t failed);

 private:
  RecoveryReport(std::FILE* file, bool xml) : file_(file), xml_(xml) {}
  std::FILE* file_ = nullptr;
  bool xml_ = false;
  bool volumeOpen_ = false;
};

// The SHA-256 of what `fd` reads from its start, as hex; empty when it cannot be read.
std::string sha256OfFile(int fd);

// The SHA-256 of the whole source (every byte its backend reads); empty when a read fails.
std::string sha256OfSource(SectorSource& source);

// The program's version, for reports.
const char* programVersion();

}  // namespace ov
