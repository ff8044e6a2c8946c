#include "ntfs/ntfs_engine.h"

#include "disk/fs_signatures.h"
#include "ntfs/directory_tree.h"
#include "ntfs/volume_finder.h"

namespace ov::ntfs {
namespace {
const std::string kDashes35(35, '-');
const char* kSupportingFiles = "Supporting Files couldn't be opened";
}  // namespace

int NtfsEngine::openImage(const std::string& path) {
  close();
  int rc = source_.openImage(path);
  if (rc != 0) close();
  return rc;
}

void NtfsEngine::close() {
  files_.close();
  source_.close();
  volumes_.clear();
  volume_ = NtfsVolume{};
}

bool NtfsEngine::readPartitionTable() {
  try {
    return ntfs::readPartitionTable(source_, volumes_, &tableKind_);
  } catch (const AlreadyReported&) {
    volumes_.clear();
    return false;
  }
}

bool NtfsEngine::searchVolumes(SearchMode mode, std::uint64_t start, std::uint64_t end) {
  host_.addLogEntry(LogEntry{"Searching Logical Volumes",
                             "Sectors Range " + std::to_string(start) + " to " + std::to_string(end),
                             LogKind::Started, {}});
  run_.start();
  bool completed = false;
  try {
    completed = mode == SearchMode::Quick ? quickSearch(source_, start, end, volumes_)
                                          : thoroughSearch(source_, start, end, volumes_);
  } catch (const AlreadyReported&) {
    completed = false;
  }
  run_.stop();
  host_.searchFinished(completed);
  return completed;
}

void NtfsEngine::useVolume(const LogicalVolume& v) {
  volume_ = NtfsVolume{};
  volume_.params = ntfs::selectVolume(v, source_.bytesPerSector());
}

bool NtfsEngine::selectVolume(std::size_t index) {
  if (index >= volumes_.size()) return false;
  useVolume(volumes_[index]);
  run_.start();
  bool ok = false;
  try {
    ok = setupMft(source_, volume_);
  } catch (const AlreadyReported&) {
    ok = false;
  }
  run_.stop();
  return ok;
}

bool NtfsEngine::reopenForReading() {
  if (files_.open()) return true;
  host_.addLogEntry(LogEntry{kSupportingFiles, kDashes35, LogKind::Completed, {}});
  return false;
}

void NtfsEngine::warnOfOtherFileSystems() {
  std::vector<std::string> others;
  try {
    others = foreignFileSystemsAt(source_, volume_.params.startSector, "NTFS");
  } catch (const AlreadyReported&) {
    return;
  }
  for (const auto& name : others) {
    std::string text = "The volume also holds a " + name + " file system signature";
    host_.addLogEntry(LogEntry{text, "Starting Sector " + std::to_string(volume_.params.startSector) +
                                         "; it is read as NTFS",
                               LogKind::Aborted, {}});
    host_.showMessage("Warning", text + "; it is read as NTFS.", MessageIcon::Warning);
  }
}

void NtfsEngine::populated() {
  host_.statusText("Populating ");
  host_.addLogEntry(LogEntry{"Populating Directory Structure...", kDashes35, LogKind::Started, {}});
  host_.addLogEntry(LogEntry{"Completed Populating Directory Structure", kDashes35, LogKind::Completed, {}});
}

bool NtfsEngine::createWorkingFiles() {
  bool created = false, shown = false;
  try {
    created = files_.create();
  } catch (const AlreadyReported&) {
    shown = true;
  }
  if (created) return true;
  const std::string why = files_.writeFailure();
  files_.discard();
  host_.addLogEntry(LogEntry{kSupportingFiles, why.empty() ? kDashes35 : why, LogKind::Aborted, {}});
  if (!why.empty() && !shown) host_.showMessage("Error", why, MessageIcon::Error);
  return false;
}

// Puts the tree on disk and opens it for reading; a tree that could not be written whole is
// discarded, since listing or saving from it would silently leave out what was lost.
bool NtfsEngine::finishWorkingFiles() {
  try {
    files_.finishWriting();
  } catch (const AlreadyReported&) {
  }
  if (!files_.writeFailure().empty()) {
    host_.addLogEntry(LogEntry{kSupportingFiles, files_.writeFailure(), LogKind::Aborted, {}});
    files_.discard();
    return false;
  }
  return reopenForReading();
}

bool NtfsEngine::processFileSystem() {
  host_.addLogEntry(LogEntry{"Processing Internal File System Structure...", kDashes35, LogKind::Started, {}});
  files_.close();
  if (!createWorkingFiles()) return false;
  warnOfOtherFileSystems();
  run_.start();
  bool completed = false;
  try {
    completed = walkMft(source_, volume_, files_);
  } catch (const AlreadyReported&) {
    completed = false;
  }
  run_.stop();
  host_.addLogEntry(completed ? LogEntry{"Completed processing Internal File System Structure", kDashes35,
                                         LogKind::Completed, {}}
                              : LogEntry{"Aborted processing Internal File System Structure", kDashes35,
                                         LogKind::Aborted, {}});
  if (!finishWorkingFiles()) return false;
  populated();
  host_.processingFinished(3);
  return completed;
}

bool NtfsEngine::turboScan(std::uint32_t volumeNumber) {
  files_.close();
  std::string number = std::to_string(volumeNumber);
  host_.addLogEntry(LogEntry{"Started turbo scan of logical drive " + number, kDashes35, LogKind::Started, {}});
  if (!createWorkingFiles()) return false;
  volume_.params.turboScanMark = 1;
  warnOfOtherFileSystems();
  run_.start();
  bool completed = false;
  try {
    // The scan does not need the MFT, but where its first record can still be found, its runs
    // lead to the extension records of files with attribute lists (for the scan and for saving).
    if (volume_.mftRuns.empty() && !setupMft(source_, volume_)) volume_.mftRuns.clear();
    completed = scanVolume(source_, volume_, files_);
  } catch (const AlreadyReported&) {
    completed = false;
  }
  run_.stop();
  if (completed) {
    host_.addLogEntry(LogEntry{"Completed turbo scan of logical drive " + number, kDashes35, LogKind::Completed, {}});
    host_.progress(1, 1);
    host_.showMessage("Information", "Turbo Scan Completed", MessageIcon::Information);
  } else {
    host_.addLogEntry(LogEntry{"Aborted turbo scan of logical drive " + number, kDashes35, LogKind::Aborted, {}});
    host_.showMessage("Information", "Turbo Scan aborted", MessageIcon::Information);
  }
  if (!finishWorkingFiles()) return false;
  host_.processingFinished(0);
  return completed;
}

}  // namespace ov::ntfs
