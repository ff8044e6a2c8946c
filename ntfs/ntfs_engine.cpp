#include "ntfs/ntfs_engine.h"

#include "ntfs/volume_finder.h"

namespace ov::ntfs {

int NtfsEngine::openImage(const std::string& path) {
  close();
  int rc = source_.openImage(path);
  if (rc != 0) close();
  return rc;
}

void NtfsEngine::close() {
  source_.close();
  volumes_.clear();
}

bool NtfsEngine::readPartitionTable() {
  try {
    return ntfs::readPartitionTable(source_, volumes_);
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

}  // namespace ov::ntfs
