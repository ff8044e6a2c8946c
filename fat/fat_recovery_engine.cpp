// The FAT engine behind the common recovery-engine interface: the searches with their log lines,
// volume rows, the in-memory tree as entries, saving and previews, and the scan information files.
#include <algorithm>
#include <cstdio>
#include <cstdint>

#include "fat/fat_engine.h"
#include "fat/fat_extract.h"
#include "fat/fat_scan_info.h"
#include "fat/fat_search.h"

namespace ov::fat {
namespace {

// A DOS date and time as a local time without a zone (kept as if UTC); unknown for a date of 0
// or an impossible date or time.
FileTime dosTime(std::uint16_t date, std::uint16_t time, std::uint8_t tenMs, bool dateOnly) {
  FileTime t;
  const unsigned day = date & 31u, month = (date >> 5) & 15u;
  const int year = 1980 + (date >> 9);
  const unsigned hour = time >> 11, minute = (time >> 5) & 63u, second = (time & 31u) * 2;
  if (date == 0 || day == 0 || month == 0 || month > 12 || hour > 23 || minute > 59 || second > 59 || tenMs > 199)
    return t;
  // Days since 1970-01-01 in the proleptic Gregorian calendar.
  const int y = year - (month <= 2 ? 1 : 0);
  const int era = y / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t days = std::int64_t{era} * 146097 + doe - 719468;
  t.seconds = days * 86400 + (dateOnly ? 0 : hour * 3600 + minute * 60 + second + tenMs / 100);
  t.nanoseconds = dateOnly ? 0 : (tenMs % 100u) * 10000000u;
  t.known = true;
  t.dateOnly = dateOnly;
  return t;
}

TreeEntry toTreeEntry(const FileEntry& e, const FileEntry* root) {
  TreeEntry t;
  t.key = reinterpret_cast<std::uintptr_t>(&e);
  t.folderKey = e.isFolder() ? t.key : 0;
  t.name = e.name;
  t.size = e.isFolder() ? 0 : e.dataSize;
  t.number = e.firstCluster;
  t.parentNumber = e.parentCluster;
  t.createdDate = e.createdDate;
  t.accessedDate = e.accessedDate;
  // A tree reopened from scan information has the two dates only.
  t.times.created = dosTime(e.createdDate, e.createdTime, e.createdTenMs, !e.timesKnown);
  if (e.timesKnown) t.times.modified = dosTime(e.modifiedDate, e.modifiedTime, e.modifiedTenMs, false);
  // FAT keeps the day of the last access only; exFAT its time too.
  t.times.accessed = dosTime(e.accessedDate, e.accessedTime, 0, e.accessedTime == 0);
  t.attributes = e.attributes;
  t.sizeCut = e.claimedSize != 0;
  t.claimedSize = e.claimedSize;
  if (!e.isFolder()) t.damageNote = damageNote(e.exFlags);
  t.isTop = &e == root;
  t.isRoot = &e == root;
  return t;
}

const FileEntry* entryOf(const TreeEntry& t) { return reinterpret_cast<const FileEntry*>(t.key); }

std::string fileSystemName(const FatVolume& v) {
  if (v.fatType == kExFat) return "exFAT";
  return v.fatType == kFat32 ? "FAT32" : v.fat12 ? "FAT12" : "FAT16";
}

// How the searches found a volume: its boot sector, its backup, its FATs; folders alone when none.
std::string foundByText(std::uint8_t flags) {
  std::string out;
  auto add = [&](std::uint8_t bit, const char* word) {
    if (!(flags & bit)) return;
    if (!out.empty()) out += ", ";
    out += word;
  };
  add(kFatBootParsed, "boot sector");
  add(kFatBackupSeen, "backup boot sector");
  add(kFatFirstFatSeen, "first FAT");
  add(kFatSecondFatSeen, "second FAT");
  return out.empty() ? "folders" : out;
}

}  // namespace

const EngineTexts& FatEngine::texts() const {
  static const EngineTexts kTexts{"FAT", "Ovelin Dodedoz Avov Ovavized (FAT)", "Basic", "Cluster", "Parent", "fat"};
  return kTexts;
}

bool FatEngine::searchVolumes(VolumeSearch kind, std::uint64_t start, std::uint64_t end) {
  host_.addLogEntry(LogEntry{"Searching Logical Volumes",
                             "Sectors Range " + std::to_string(start) + " to " + std::to_string(end),
                             LogKind::Started, {}});
  tree_.clear();
  partitionInfos_.clear();
  run_.start();
  bool completed = false;
  try {
    completed = kind == VolumeSearch::Thorough ? thoroughSearch(source_, start, end, volumes_)
                                               : basicSearch(source_, start, end, volumes_);
  } catch (const AlreadyReported&) {
    completed = false;
  }
  run_.stop();
  host_.searchFinished(completed);
  return completed;
}

VolumeRow FatEngine::volumeRow(std::size_t index) const {
  VolumeRow row;
  if (index >= volumes_.size()) return row;
  const FatVolume& v = volumes_[index];
  row.name = fatVolumeLabel(v, index + 1);
  row.startText = std::to_string(v.startSector);
  row.sizeText = fatVolumeSizeText(v);
  row.startSector = v.startSector;
  row.sectorCount = v.sectorCount;
  row.bytesPerSector = v.bytesPerSector;
  row.fileSystem = fileSystemName(v);
  if (partitionInfos_.size() == volumes_.size()) {
    row.partitionName = partitionInfos_[index].name;
    row.partitionType = partitionInfos_[index].type;
  }
  row.foundBy = v.foundBy;
  row.foundByText = foundByText(v.foundBy);
  row.clusterText = fatClusterSizeText(v);
  char serial[16];
  std::snprintf(serial, sizeof serial, "%08llX", static_cast<unsigned long long>(v.serialNumber));
  row.facts = {{"start_sector", v.startSector},       {"sector_count", v.sectorCount},
               {"bytes_per_sector", v.bytesPerSector}, {"sectors_per_cluster", v.sectorsPerCluster},
               {"bytes_per_cluster", v.bytesPerCluster}, {"cluster_count", v.clusterCount},
               {"serial_number", std::string(serial)},   {"found_by", v.foundBy}};
  if (v.fatType == kExFat) row.facts.emplace_back("root_cluster", v.rootCluster);
  return row;
}

std::optional<std::size_t> FatEngine::addVolumeAt(std::uint64_t sector) {
  for (std::size_t i = 0; i < volumes_.size(); ++i)
    if (volumes_[i].startSector == sector) return i;
  std::vector<FatVolume> found;
  try {
    basicSearch(source_, sector, std::min(sector + 1, source_.totalSectors()), found);
  } catch (const AlreadyReported&) {
    return std::nullopt;
  }
  for (const auto& v : found)
    if (v.startSector == sector) {
      if (partitionInfos_.size() == volumes_.size()) partitionInfos_.push_back({});
      volumes_.push_back(v);
      return volumes_.size() - 1;
    }
  return std::nullopt;
}

bool FatEngine::hasTree() {
  std::lock_guard lock(treeMutex_);
  return tree_.root() != nullptr;
}

std::optional<TreeEntry> FatEngine::topFolder() {
  std::lock_guard lock(treeMutex_);
  if (!tree_.root()) return std::nullopt;
  return toTreeEntry(*tree_.root(), tree_.root());
}

std::uint64_t FatEngine::treeEntryCount() {
  std::lock_guard lock(treeMutex_);
  return tree_.size();
}

std::vector<TreeEntry> FatEngine::listFolder(const TreeEntry& folder, FolderCounts* counts, bool keepFiles) {
  std::lock_guard lock(treeMutex_);
  std::vector<TreeEntry> out;
  const FileEntry* f = entryOf(folder);
  if (!f || !tree_.root() || !folder.isFolder()) return out;
  for (const FileEntry* e : FatTree::listing(*f)) {
    if (counts) {
      counts->bytes += e->isFolder() ? 0 : e->dataSize;
      ++(e->isFolder() ? counts->folders : counts->files);
    }
    if (keepFiles || e->isFolder()) out.push_back(toTreeEntry(*e, tree_.root()));
  }
  return out;
}

const ExFatBitmap* FatEngine::exFatBitmap(const FileEntry& e, bool always) {
  if (volume_.fatType != kExFat || !(always || (e.exFlags & kExChainGuessed))) return nullptr;
  // The worker's save and the window's list may both ask first; once read it is only read. The
  // verdict never waits for a save that holds the lock (its worker may be waiting for the window).
  std::unique_lock lock(bitmapMutex_, std::defer_lock);
  if (always) {
    if (!lock.try_lock()) return nullptr;
  } else {
    lock.lock();
  }
  if (!bitmap_.loaded() && volume_.bitmapCluster != 0) {
    FatReader reader(source_, volume_);
    try {
      bitmap_.load(reader, volume_.bitmapCluster);
    } catch (const AlreadyReported&) {
      bitmap_.clear();  // shown; the file is read without it
    }
  }
  return &bitmap_;
}

FileDataSaved FatEngine::saveFileData(const TreeEntry& file, int fd, const std::function<void(std::uint64_t)>& progress,
                                    const std::function<bool()>& cancel) {
  const FileEntry* e = entryOf(file);
  FileDataSaved outcome;
  if (!e) return outcome;
  FileExtractor extractor(source_, volume_);
  extractor.setBitmap(exFatBitmap(*e));
  if (progress) extractor.setProgress([&](std::uint64_t done, std::uint64_t) { progress(done); });
  if (cancel) extractor.setCancel(cancel);
  // An empty file has no data cluster; it is saved as the empty file it is.
  outcome.ok = extractor.saveFileData(*e, fd) || e->dataSize == 0;
  outcome.written = extractor.bytesWritten();
  return outcome;
}

std::optional<std::vector<std::uint8_t>> FatEngine::loadPreview(const TreeEntry& file) {
  const FileEntry* e = entryOf(file);
  if (!e) return std::nullopt;
  if (e->dataSize == 0) return std::vector<std::uint8_t>{};
  FileExtractor extractor(source_, volume_);
  extractor.setBitmap(exFatBitmap(*e));
  extractor.setQuietProgress(true);
  return extractor.loadPreview(*e);
}

FileLayout FatEngine::fileLayout(const TreeEntry& file) {
  FileLayout out;
  const FileEntry* e = entryOf(file);
  if (!e || e->isFolder()) return out;
  if (e->dataSize == 0) {
    // Nothing on the disk that another file could have taken.
    if (!e->isLive()) out.verdict = Recoverability::Good;
    return out;
  }
  const ExFatBitmap* bitmap = exFatBitmap(*e);
  FatReader reader(source_, volume_);
  std::vector<ClusterRun> runs;
  std::optional<std::uint64_t> used;
  try {
    runs = fileClusterRuns(reader, *e, bitmap);
    if (!e->isLive()) used = clustersInUse(reader, runs, exFatBitmap(*e, true));
  } catch (const AlreadyReported&) {
    return out;
  }
  const std::uint64_t sectorBytes = source_.bytesPerSector();
  std::uint64_t at = 0, total = 0;
  for (const ClusterRun& r : runs) {
    if (at >= e->dataSize) break;
    const std::uint64_t length = std::min<std::uint64_t>(std::uint64_t{r.count} * volume_.bytesPerCluster, e->dataSize - at);
    out.runs.push_back({at, clusterSector(volume_, r.first) * sectorBytes, length, false});
    at += length;
    total += r.count;
  }
  if (used && total > 0)
    out.verdict = *used == 0 ? Recoverability::Good
                  : *used >= total ? Recoverability::Overwritten
                                   : Recoverability::PartlyOverwritten;
  return out;
}

bool FatEngine::savePartitionScanInfo(const std::string& path) { return fat::savePartitionScanInfo(*this, path); }
bool FatEngine::openPartitionScanInfo(const std::string& path) { return fat::openPartitionScanInfo(*this, path); }
bool FatEngine::saveDiskScanInfo(const std::string& path) { return fat::saveDiskScanInfo(*this, path); }
bool FatEngine::openDiskScanInfo(const std::string& path) { return fat::openDiskScanInfo(*this, path); }

}  // namespace ov::fat
