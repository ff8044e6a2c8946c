#include "fat/fat_engine.h"

#include <algorithm>

#include "fat/fat_search.h"

namespace ov::fat {
namespace {

const std::string kDashes35(35, '-');

// A cluster whose first sector opens a directory that names this very cluster.
void examineCluster(FatTreeBuilder& builder, Bytes sector, std::uint32_t cluster) {
  if (!startsWithDotEntries(sector) || entryCluster(sector, 0) != cluster) return;
  const FatVolume& v = builder.reader().volume();
  std::uint32_t dotdot = entryCluster(sector, 32);
  std::uint16_t created = le16(sector, 16);
  std::uint32_t parentCluster = dotdot == 0 ? rootFolderKey(v) : dotdot;
  FatTree& tree = builder.tree();

  FileEntry* folder = builder.index().find(cluster);
  if (folder == tree.root() || folder == tree.lost()) return;  // their keys are fixed
  if (folder) {
    // A placeholder made because another folder named this cluster as its parent.
    folder->createdDate = created;
    folder->parentCluster = parentCluster;
  } else {
    FileEntry found;
    found.attributes = kEntryFolder;  // deleted until the naming walk meets its live entry
    found.createdDate = created;
    found.firstCluster = cluster;
    found.parentCluster = parentCluster;
    found.name = placeholderName(cluster);
    folder = &tree.add(found);
    builder.indexFolder(*folder);
  }
  if (folder->parentCluster != kUnknownCluster) builder.attachToParent(*folder);
}

}  // namespace

bool sweepDirectoryClusters(FatTreeBuilder& builder) {
  const FatVolume& v = builder.reader().volume();
  RunControl& run = builder.run();
  EngineHost& host = builder.host();
  builder.setProgress(v.clusterCount, 0);
  if (v.bytesPerSector == 0 || v.bytesPerCluster == 0 || v.sectorsPerCluster == 0) return run.running();

  // Where clusters are small, reading whole stretches of them costs far less than a request
  // per cluster; the sectors examined are the same.
  const bool stretches = v.bytesPerCluster <= kSweepLargeReadsUpTo && v.bytesPerCluster >= v.bytesPerSector &&
                         v.bytesPerCluster % v.bytesPerSector == 0;
  const std::uint32_t perRequest =
      stretches ? std::max<std::uint32_t>(1, static_cast<std::uint32_t>(kSweepRequestBytes / v.bytesPerCluster)) : 1;
  std::vector<std::uint8_t> buffer(stretches ? std::size_t{perRequest} * v.bytesPerCluster : v.bytesPerSector);

  for (std::uint32_t c = 2; c < v.clusterCount;) {
    if (!run.proceed()) return false;
    const std::uint32_t n = std::min(perRequest, v.clusterCount - c);
    const std::size_t bytes = stretches ? std::size_t{n} * v.bytesPerCluster : v.bytesPerSector;
    std::fill(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(bytes), 0);
    host.progress(v.clusterCount, c);
    builder.reader().read(buffer.data(), bytes, clusterSector(v, c));
    for (std::uint32_t k = 0; k < n; ++k) {
      if (k > 0 && !run.proceed()) return false;
      Bytes sector(buffer.data() + std::size_t{k} * v.bytesPerCluster, v.bytesPerSector);
      examineCluster(builder, sector, c + k);
    }
    c += n;
  }
  return run.running();
}

bool turboScanVolume(FatTreeBuilder& builder) {
  builder.start();
  try {
    sweepDirectoryClusters(builder);
    builder.adoptOrphans();
    // Folders whose ".." entries lead round in a loop would be out of reach of the walk.
    builder.rescueLoops();
    builder.setProgress(0, 0);
    builder.walkFolder(*builder.tree().root(), WalkMode::Naming);
  } catch (const AlreadyReported&) {
    builder.finish();  // the folders found so far stay in the tree
    throw;
  }
  builder.finish();
  return builder.run().running();
}

int FatEngine::openImage(const std::string& path) {
  close();
  int rc = source_.openImage(path);
  if (rc != 0) close();
  return rc;
}

void FatEngine::close() {
  tree_.clear();
  source_.close();
  volumes_.clear();
  tableKind_ = PartitionTableKind::None;
  partitionInfos_.clear();
  volume_ = FatVolume{};
  bitmap_.clear();
}

bool FatEngine::readPartitionTable() {
  try {
    return readFatPartitionTable(source_, volumes_, &tableKind_, &partitionInfos_);
  } catch (const AlreadyReported&) {
    volumes_.clear();
    partitionInfos_.clear();
    return false;
  }
}

bool FatEngine::selectVolume(std::size_t index) {
  if (index >= volumes_.size()) return false;
  useVolume(volumes_[index]);
  return true;
}

void FatEngine::useVolume(const FatVolume& v) {
  volume_ = fat::selectVolume(v, source_.bytesPerSector());
  bitmap_.clear();
}

bool FatEngine::runExFat(bool turbo) {
  FatReader reader(source_, volume_);
  ExFatTreeBuilder builder(reader, tree_, host_, run_);
  bool completed = false;
  try {
    completed = turbo ? builder.turboScan() : builder.processFileSystem();
  } catch (const AlreadyReported&) {
    completed = false;  // the failure has been shown; what was read stays in the tree
  }
  if (builder.rootEntries().bitmap) volume_.bitmapCluster = builder.rootEntries().bitmapCluster;
  bitmap_ = std::move(builder.bitmap());
  return completed && run_.running();
}

bool FatEngine::processFileSystem() {
  tree_.clear();
  host_.addLogEntry(LogEntry{"Processing Internal File System Structure...", kDashes35, LogKind::Started, {}});
  run_.start();
  bool completed = false;
  if (volume_.fatType == kExFat) {
    completed = runExFat(false);
  } else {
    FatReader reader(source_, volume_);
    FatTreeBuilder builder(reader, tree_, host_, run_);
    try {
      completed = builder.processFileSystem();
    } catch (const AlreadyReported&) {
      completed = false;  // the failure has been shown; the run did not reach its end
    }
  }
  run_.stop();
  host_.addLogEntry(completed ? LogEntry{"Completed processing Internal File System Structure", kDashes35,
                                         LogKind::Completed, {}}
                              : LogEntry{"Aborted processing Internal File System Structure", kDashes35,
                                         LogKind::Aborted, {}});
  host_.statusText("Populating ");
  host_.addLogEntry(LogEntry{"Populating Directory Structure...", kDashes35, LogKind::Started, {}});
  host_.addLogEntry(LogEntry{"Completed Populating Directory Structure", kDashes35, LogKind::Completed, {}});
  host_.processingFinished(3);
  return completed;
}

bool FatEngine::turboScan(std::uint32_t volumeNumber) {
  tree_.clear();
  std::string number = std::to_string(volumeNumber);
  host_.addLogEntry(LogEntry{"Started turbo scan of logical drive " + number, kDashes35, LogKind::Started, {}});
  run_.start();
  bool completed = false;
  if (volume_.fatType == kExFat) {
    completed = runExFat(true);
  } else {
    FatReader reader(source_, volume_);
    FatTreeBuilder builder(reader, tree_, host_, run_);
    try {
      completed = turboScanVolume(builder);
    } catch (const AlreadyReported&) {
      completed = false;
    }
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
  host_.processingFinished(0);
  return completed;
}

}  // namespace ov::fat
