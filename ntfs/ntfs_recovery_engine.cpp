// The NTFS engine behind the common recovery-engine interface: volume rows, the tree read back
// from the working files, saving and previews, and the scan information files.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "disk/byte_io.h"
#include "ntfs/boot_sector.h"
#include "ntfs/extract.h"
#include "ntfs/record_times.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs/scan_info.h"
#include "ntfs/volume_finder.h"

namespace ov::ntfs {
namespace {

TreeEntry toTreeEntry(const FileEntry& e) {
  TreeEntry t;
  t.key = e.entryIndex;
  t.folderKey = e.isFolder() ? e.childrenBlock : 0;
  t.streamName = e.streamName();
  t.sizeCut = e.sizeCut();
  t.location = e.recordSector;
  t.name = e.name;
  t.size = e.isFolder() ? 0 : e.dataSize;
  t.number = e.recordNumber;
  t.parentNumber = e.parentRecord;
  t.createdDate = e.createdDate;
  t.accessedDate = e.accessedDate;
  t.attributes = e.attributes;
  t.isTop = e.entryIndex == 0;
  t.isRoot = e.entryIndex == 1;
  return t;
}

}  // namespace

const EngineTexts& NtfsEngine::texts() const {
  static const EngineTexts kTexts{"NTFS", "Ovelin Dodedoz Avov Ovavized (NTFS)", "Quick", "Record", "Parent", "ntfs"};
  return kTexts;
}

VolumeRow NtfsEngine::volumeRow(std::size_t index) const {
  VolumeRow row;
  if (index >= volumes_.size()) return row;
  const LogicalVolume& v = volumes_[index];
  row.name = volumeLabel(index + 1);
  row.startText = std::to_string(v.startSector);
  row.sizeText = volumeSizeText(v);
  row.startSector = v.startSector;
  row.sectorCount = v.sectorCount;
  row.bytesPerSector = v.bytesPerSector;
  row.fileSystem = "NTFS";
  row.partitionName = v.partitionName;
  row.partitionType = v.partitionType;
  row.foundBy = v.foundBy;
  row.foundByText = foundByText(v.foundBy);
  char text[32];
  std::snprintf(text, sizeof text, "%3.1f KB", static_cast<double>(v.bytesPerCluster) / 1024.0);
  row.clusterText = text;
  std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(v.serialNumber));
  row.facts = {{"start_sector", v.startSector},       {"sector_count", v.sectorCount},
               {"bytes_per_sector", v.bytesPerSector}, {"sectors_per_cluster", v.sectorsPerCluster},
               {"bytes_per_cluster", v.bytesPerCluster}, {"mft_record_bytes", v.mftRecordBytes},
               {"mft_lcn", v.mftLcn},                   {"mft_mirr_lcn", v.mftMirrLcn},
               {"serial_number", std::string(text)},    {"found_by", v.foundBy}};
  return row;
}

std::optional<std::size_t> NtfsEngine::addVolumeAt(std::uint64_t sector) {
  for (std::size_t i = 0; i < volumes_.size(); ++i)
    if (volumes_[i].startSector == sector) return i;
  std::optional<LogicalVolume> found;
  try {
    found = volumeAtSector(source_, sector);
  } catch (const AlreadyReported&) {
    return std::nullopt;
  }
  if (!found) return std::nullopt;
  volumes_.push_back(*found);
  return volumes_.size() - 1;
}

bool NtfsEngine::hasTree() {
  std::lock_guard lock(treeMutex_);
  return files_.isOpen();
}

std::optional<TreeEntry> NtfsEngine::topFolder() {
  std::lock_guard lock(treeMutex_);
  auto top = files_.readEntry(0);
  if (!top) return std::nullopt;
  return toTreeEntry(*top);
}

std::uint64_t NtfsEngine::treeEntryCount() {
  std::lock_guard lock(treeMutex_);
  return files_.storedEntryCount();
}

std::vector<TreeEntry> NtfsEngine::listFolder(const TreeEntry& folder, FolderCounts* counts, bool keepFiles) {
  std::lock_guard lock(treeMutex_);
  std::vector<TreeEntry> out;
  if (!folder.isFolder()) return out;
  std::uint64_t bytes = 0;
  std::uint32_t files = 0, folders = 0;
  auto entries = files_.readFolder(static_cast<std::uint32_t>(folder.folderKey), bytes, files, folders, keepFiles);
  out.reserve(entries.size());
  for (const auto& e : entries) {
    out.push_back(toTreeEntry(e));
    if (keepFiles || e.isFolder()) out.back().times = timesAt(e.recordSector);
  }
  if (counts) {
    counts->bytes += bytes;
    counts->files += files;
    counts->folders += folders;
  }
  return out;
}

FileDataSaved NtfsEngine::saveFileData(const TreeEntry& file, int fd, const std::function<void(std::uint64_t)>& progress,
                                     const std::function<bool()>& cancel) {
  FileExtractor extractor(source_, volume_);
  if (progress) extractor.setProgress([&](std::uint64_t done, std::uint64_t) { progress(done); });
  if (cancel) extractor.setCancel(cancel);
  FileDataSaved outcome;
  outcome.ok = extractor.saveFileData(file.location, file.size, fd, file.streamName);
  outcome.written = extractor.bytesWritten();
  return outcome;
}

std::optional<std::vector<std::uint8_t>> NtfsEngine::loadPreview(const TreeEntry& file) {
  if (file.isFolder() || file.size > kMaxPreviewBytes) return std::nullopt;
  // The preview takes the saving path into memory, so that compressed, sparse and fragmented
  // files show what saving them would write.
  int fd = ::memfd_create("ov-preview", MFD_CLOEXEC);
  if (fd < 0) return std::nullopt;
  FileExtractor extractor(source_, volume_);
  extractor.setQuietProgress(true);
  bool ok = false;
  try {
    ok = extractor.saveFileData(file.location, file.size, fd, file.streamName);
  } catch (const AlreadyReported&) {
    ok = false;
  }
  std::vector<std::uint8_t> data(static_cast<std::size_t>(ok ? extractor.bytesWritten() : 0));
  std::size_t got = 0;
  while (got < data.size()) {
    ssize_t n = ::pread(fd, data.data() + got, data.size() - got, static_cast<off_t>(got));
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  data.resize(got);
  return data;
}

FileTimes NtfsEngine::timesAt(std::uint64_t sector) {
  FileTimes none;
  none.utc = true;
  const auto& p = volume_.params;
  if (sector == 0 || p.bytesPerMftRecord == 0 || p.bytesPerMftRecord > 65536 || !source_.isOpen()) return none;
  std::vector<std::uint8_t> record(p.bytesPerMftRecord, 0);
  // A quiet read: a record that cannot be read leaves the times unknown, and the listing goes on
  // (saving the file reports the sector).
  ReadBackend* backend = source_.backend();
  const std::uint64_t bps = source_.bytesPerSector();
  std::size_t got = 0;
  if (!backend || bps == 0 || sector > UINT64_MAX / bps || backend->readAt(sector * bps, record.data(), record.size(), got) != 0 ||
      got != record.size())
    return none;
  if (!checkFileRecord(record, p.bytesPerMftRecord, p.bytesPerSector)) return none;
  return recordTimes(Bytes(record.data(), record.size()));
}

const std::vector<std::uint8_t>* NtfsEngine::allocationBitmap() {
  const auto& p = volume_.params;
  if (bitmapRead_ && bitmapOf_ == p) return bitmap_.empty() ? nullptr : &bitmap_;
  bitmapRead_ = true;
  bitmapOf_ = p;
  bitmap_.clear();
  constexpr std::uint32_t kBitmapRecord = 6;
  constexpr std::uint64_t kMaxBitmapBytes = std::uint64_t{1} << 30;
  auto sector = recordSector(volume_, kBitmapRecord);
  if (!sector || p.sectorsPerCluster == 0) return nullptr;
  const std::uint64_t bytes = (p.sectorCount / p.sectorsPerCluster + 7) / 8;
  if (bytes == 0 || bytes > kMaxBitmapBytes) return nullptr;
  int fd = ::memfd_create("ov-bitmap", MFD_CLOEXEC);
  if (fd < 0) return nullptr;
  FileExtractor extractor(source_, volume_);
  extractor.setQuietProgress(true);
  bool ok = false;
  try {
    ok = extractor.saveFileData(*sector, bytes, fd);
  } catch (const AlreadyReported&) {
    ok = false;
  }
  if (ok && extractor.bytesWritten() == bytes) {
    bitmap_.resize(static_cast<std::size_t>(bytes));
    std::size_t got = 0;
    while (got < bitmap_.size()) {
      ssize_t n = ::pread(fd, bitmap_.data() + got, bitmap_.size() - got, static_cast<off_t>(got));
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (got != bitmap_.size()) bitmap_.clear();
  }
  ::close(fd);
  return bitmap_.empty() ? nullptr : &bitmap_;
}

FileLayout NtfsEngine::fileLayout(const TreeEntry& file) {
  FileLayout out;
  if (file.isFolder() || file.location == 0) return out;
  FileExtractor extractor(source_, volume_);
  extractor.setQuietProgress(true);
  std::optional<FileLayout> found;
  try {
    found = extractor.layout(file.location, file.size, file.streamName);
  } catch (const AlreadyReported&) {
    return out;
  }
  if (!found) return out;
  out = std::move(*found);
  if (file.isLive()) return out;
  if (out.resident || out.runs.empty()) {
    // The data is in the deleted record itself, which nothing has taken over.
    out.verdict = Recoverability::Good;
    return out;
  }
  const auto* bitmap = allocationBitmap();
  if (!bitmap) return out;
  const auto& p = volume_.params;
  const std::uint64_t sectorBytes = source_.bytesPerSector();
  const std::uint64_t clusterBytes = std::uint64_t{p.bytesPerCluster};
  const std::uint64_t volumeStart = p.startSector * sectorBytes;
  std::uint64_t used = 0, total = 0;
  for (const auto& run : out.runs) {
    if (run.sparse || run.diskOffset < volumeStart || clusterBytes == 0) continue;
    const std::uint64_t first = (run.diskOffset - volumeStart) / clusterBytes;
    const std::uint64_t count = (run.length + clusterBytes - 1) / clusterBytes;
    for (std::uint64_t c = first; c < first + count; ++c) {
      ++total;
      // A cluster beyond the bitmap lies beyond the volume: nothing else can use it either.
      if (c / 8 < bitmap->size() && ((*bitmap)[static_cast<std::size_t>(c / 8)] >> (c % 8)) & 1) ++used;
    }
  }
  out.verdict = used == 0 ? Recoverability::Good
                : used == total ? Recoverability::Overwritten
                                : Recoverability::PartlyOverwritten;
  return out;
}

bool NtfsEngine::savePartitionScanInfo(const std::string& path) { return ntfs::savePartitionScanInfo(*this, path); }
bool NtfsEngine::openPartitionScanInfo(const std::string& path) { return ntfs::openPartitionScanInfo(*this, path); }
bool NtfsEngine::saveDiskScanInfo(const std::string& path) { return ntfs::saveDiskScanInfo(*this, path); }
bool NtfsEngine::openDiskScanInfo(const std::string& path) { return ntfs::openDiskScanInfo(*this, path); }

}  // namespace ov::ntfs
