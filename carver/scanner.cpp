#include "carver/scanner.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

#include "carver/formats/registry.h"
#include "disk/byte_io.h"
#include "disk/image_formats.h"
#include "disk/image_sector_size.h"

namespace ov::carver {

std::string scanCountsText(std::uint32_t selectedTypes, std::uint64_t found) {
  return "Scanning disk for file types selected. " + std::to_string(selectedTypes) +
         " file type(s) to search.\n\nFiles found: " + std::to_string(found);
}

bool isDisconnectError(int error) {
  return error == ENODEV || error == ENXIO || error == ENOMEDIUM || error == ESHUTDOWN;
}

// ---- The disk ----

int CarverDisk::open(const std::string& path, std::uint16_t sectorSize) {
  close();
  int error = 0;
  auto backend = openSourceBackend(path, error, openFailure_);
  if (!backend) return error;
  const std::uint32_t device = backend->deviceSectorSize();
  std::uint16_t bps = sectorSize;
  if (bps == 0 && device != 0 && device <= 32768) bps = static_cast<std::uint16_t>(device);
  if (bps == 0) bps = recordedSectorSize(*backend);
  if (bps == 0) bps = detectImageSectorSize(*backend);
  if (bps == 0) bps = 512;
  const std::uint64_t total = backend->sizeBytes() / bps;
  openBackend(std::move(backend), bps, total);
  return 0;
}

void CarverDisk::openBackend(std::unique_ptr<ReadBackend> backend, std::uint16_t bytesPerSector,
                             std::uint64_t totalSectors) {
  backend_ = std::move(backend);
  bps_ = bytesPerSector;
  total_ = bps_ == 0 ? 0 : totalSectors;
}

void CarverDisk::close() {
  backend_.reset();
  bps_ = 0;
  total_ = 0;
}

int CarverDisk::readQuietly(void* buffer, std::size_t byteCount, std::uint64_t sector, std::size_t& got) {
  got = 0;
  if (!backend_ || bps_ == 0) return ENODEV;
  if (sector > std::numeric_limits<std::uint64_t>::max() / bps_) return EINVAL;
  return backend_->readAt(sector * bps_, buffer, byteCount, got);
}

int CarverDisk::ReadDiskSectors(void* buffer, std::size_t byteCount, std::uint64_t sector) {
  std::size_t got = 0;
  const int error = readQuietly(buffer, byteCount, sector, got);
  if (error != 0 && isDisconnectError(error)) host_.fail(kDisconnectedText);
  return error;
}

bool CarverDisk::readSectors(std::uint64_t lba, std::uint32_t count, MutableBytes out) {
  std::fill(out.begin(), out.end(), std::uint8_t{0});
  const std::size_t want = std::min<std::size_t>(out.size(), std::size_t{count} * bps_);
  if (ReadDiskSectors(out.data(), want, lba) != 0) std::fill(out.begin(), out.end(), std::uint8_t{0});
  return true;
}

bool CarverDisk::read(std::uint64_t sector, std::size_t sectors, std::uint8_t* out) {
  if (bps_ == 0) return false;
  // Nothing past the disk's end is asked for: that part of the buffer keeps its zeros.
  if (sector >= total_) return false;
  const std::size_t inside = static_cast<std::size_t>(std::min<std::uint64_t>(sectors, total_ - sector));
  const std::size_t bytes = inside * bps_;
  if (ReadDiskSectors(out, bytes, sector) != 0) {
    std::memset(out, 0, bytes);
    return false;
  }
  return inside == sectors;
}

// ---- The scan ----

namespace {

constexpr std::uint8_t kId[] = {'I', 'D'};

bool looksLikeMpegAudio(Bytes d) {
  if (d.size() < 2) return false;
  return (d[0] == 'I' && d[1] == 'D') || (d[0] == 'R' && d[1] == 'I') || (d[0] == 0xFF && d[1] >= 0xE0);
}

}  // namespace

// A cheap first test per group: whether any of its keys starts with the sector's first key byte
// (or two), so that most sectors cost no map lookup at all. It never turns away a key the map
// holds, so what is found stays the same.
struct CarvingScanner::GroupFilter {
  const SignatureGroup* group = nullptr;
  std::size_t offset = 0;
  std::size_t length = 0;
  std::vector<std::uint64_t> bits;
  // The "ID" entry of an MP3 row: looked up at every sector, so that MPEG audio without a tag is
  // found as well.
  const IndexEntry* forcedMp3 = nullptr;

  static std::size_t prefix(Bytes key) {
    return key.size() >= 2 ? (std::size_t{key[0]} << 8) | key[1] : key.empty() ? 0 : key[0];
  }
  bool mayMatch(Bytes sector) const {
    if (offset + length > sector.size()) return false;
    if (length == 0) return true;
    const std::size_t p = prefix(sector.subspan(offset, length));
    return (bits[p >> 6] >> (p & 63)) & 1u;
  }
  const IndexEntry* lookup(Bytes sector) const {
    if (!mayMatch(sector)) return nullptr;
    auto it = group->entries.find(sector.subspan(offset, length));
    return it == group->entries.end() ? nullptr : &it->second;
  }
};

CarvingScanner::CarvingScanner(CarverDisk& disk, EngineHost& host, RunControl& run, ResultTree& tree,
                               ScanOptions options)
    : disk_(disk), host_(host), run_(run), tree_(tree), options_(options) {
  options_.readAheadSectors = std::max(kChunkSectors, options_.readAheadSectors / kChunkSectors * kChunkSectors);
}

CarvingScanner::~CarvingScanner() = default;

void CarvingScanner::sendCounts() { host_.statusText(scanCountsText(selectedCount_, tree_.foundCount())); }

std::uint64_t CarvingScanner::AddCarvedItem(std::uint64_t sector, const SignatureRecord& record, const CarveResult* result,
                                      const std::string& extension, const std::string& category) {
  const std::uint32_t bps = disk_.bytesPerSector();
  const std::uint64_t total = disk_.totalSectors();
  CarvedFind find;
  find.category = utf8ToUtf16(category.empty() ? record.category : category);
  find.extension = utf8ToUtf16(extension);
  find.carvedSize = result != nullptr && result->accepted() ? result->size : 0;
  find.maxSize = record.maxSize;
  find.defaultSize = record.defaultSize;
  // The tree cuts a size that reaches past the last whole sector; one that ends inside the
  // sector after the disk's end would still hang over it, so it is cut here to the last byte.
  const std::uint64_t size = find.carvedSize    ? find.carvedSize
                             : find.maxSize     ? find.maxSize
                             : find.defaultSize ? find.defaultSize
                                                : kFallbackCarvedSize;
  const std::uint64_t remaining = sector < total ? total - sector : 0;
  if (bps != 0 && remaining <= std::numeric_limits<std::uint64_t>::max() / bps && size > remaining * bps)
    find.carvedSize = remaining * bps;
  ResultNode& node = tree_.addCarvedItem(sector, find, bps, total);

  CarvedItem item;
  item.node = &node;
  item.startSector = sector;
  item.extension = extension;
  item.category = category.empty() ? record.category : category;
  item.size = node.size;
  item.sizeFromFile = find.carvedSize != 0 && result != nullptr && result->accepted() && result->size != 0;
  item.sizeKnown = result != nullptr && result->accepted() && result->endFound && result->skipBytes != 0;
  // A file whose end is known is jumped over, so nothing inside it is taken for a new file.
  const std::uint64_t next = item.sizeKnown && bps != 0 ? sector + (result->skipBytes + bps - 1) / bps : sector + 1;
  items_.push_back(std::move(item));
  return next;
}

bool CarvingScanner::runRoutine(const FormatRoutine& routine, std::uint64_t sector, Bytes resident,
                                const SignatureRecord& record, CarveResult& result) {
  CarveContext ctx{disk_, sector, resident, record.defaultSize, record.maxSize, &state_, &run_};
  try {
    result = routine.findEnd(ctx);
  } catch (const AlreadyReported&) {
    throw;
  } catch (const std::exception&) {
    // A routine that fails in any other way (memory) rejects the file; the scan goes on.
    result = CarveResult{};
  }
  if (result.outcome == Outcome::ReadFailed) {
    readFailed_ = true;
    return false;
  }
  return result.accepted();
}

std::uint64_t CarvingScanner::testSector(std::uint64_t sector, Bytes data, Bytes resident) {
  for (const GroupFilter& filter : filters_) {
    // The forced lookup stands in for the sector's own key only where that key is not "ID".
    bool forced = filter.forcedMp3 != nullptr && !(data.size() >= 2 && data[0] == 'I' && data[1] == 'D');
    const IndexEntry* entry = forced ? filter.forcedMp3 : filter.lookup(data);
    while (entry != nullptr) {
      const SignatureRecord& record = entry->record;
      const std::uint32_t code = record.handlerCode;
      bool add = false;
      CarveResult result;
      bool haveResult = false;
      if (code == kHandlerAlternativesOnly) {
        add = false;
      } else if (code == kHandlerMpegAudio) {
        if (looksLikeMpegAudio(data)) {
          const FormatRoutine* routine = findRoutine(kHandlerMpegAudio);
          if (routine != nullptr) {
            add = runRoutine(*routine, sector, resident, record, result);
            haveResult = true;
          } else {
            add = true;
          }
        }
      } else if (const FormatRoutine* routine = findRoutine(static_cast<int>(code))) {
        add = runRoutine(*routine, sector, resident, record, result) || routine->addWhenRejected;
        haveResult = true;
      } else {
        add = true;
      }
      if (readFailed_) return std::numeric_limits<std::uint64_t>::max();

      if (add) {
        const std::string& extension = haveResult && !result.extension.empty() ? result.extension : record.extension;
        const std::string category = haveResult ? result.category : std::string();
        const std::uint64_t next = AddCarvedItem(sector, record, haveResult ? &result : nullptr, extension, category);
        sendCounts();
        return next;
      }
      // Alternatives step. A forced lookup never gives the "ID" row's alternatives at a sector
      // that does not begin with "ID": the sector's own key is looked up instead.
      if (forced) {
        forced = false;
        entry = filter.lookup(data);
        continue;
      }
      if (!entry->alternatives.empty()) {
        for (const std::string& alternative : entry->alternatives) AddCarvedItem(sector, record, nullptr, alternative, {});
        sendCounts();
        return sector + 1;
      }
      break;
    }
  }
  return sector + 1;
}

Bytes CarvingScanner::chunkAt(std::uint64_t position, std::uint32_t count, Bytes& resident) {
  const std::size_t bps = disk_.bytesPerSector();
  if (position >= blockStart_ && position + count <= blockStart_ + blockCount_) {
    const std::size_t at = static_cast<std::size_t>(position - blockStart_) * bps;
    const std::size_t held = static_cast<std::size_t>(blockCount_) * bps;
    resident = Bytes(block_.data() + at, held - at);
    return Bytes(block_.data() + at, std::size_t{count} * bps);
  }
  const std::uint64_t total = disk_.totalSectors();
  bool chunkwise = position < chunkwiseUntil_ || options_.readAheadSectors <= kChunkSectors;
  if (!chunkwise) {
    const auto sectors = static_cast<std::uint32_t>(std::min<std::uint64_t>(options_.readAheadSectors, total - position));
    const std::size_t bytes = std::size_t{sectors} * bps;
    std::size_t got = 0;
    const int error = disk_.readQuietly(block_.data(), bytes, position, got);
    if (error == 0 && got == bytes) {
      blockStart_ = position;
      blockCount_ = sectors;
      return chunkAt(position, count, resident);
    }
    // Some sector of the block cannot be read: read it again chunk by chunk, so that only the
    // chunk that holds the bad sector reads as zeros (and a lost disk is reported).
    chunkwiseUntil_ = position + sectors;
  }
  const std::size_t bytes = std::size_t{count} * bps;
  std::memset(block_.data(), 0, bytes);
  if (disk_.ReadDiskSectors(block_.data(), bytes, position) != 0) std::memset(block_.data(), 0, bytes);
  blockStart_ = position;
  blockCount_ = count;
  resident = Bytes(block_.data(), bytes);
  return resident;
}

void CarvingScanner::endAtNextFind() {
  const std::uint64_t bps = disk_.bytesPerSector();
  if (bps == 0 || items_.empty()) return;
  std::vector<std::uint64_t> starts;
  starts.reserve(items_.size());
  for (const CarvedItem& item : items_) starts.push_back(item.startSector);
  std::sort(starts.begin(), starts.end());
  for (CarvedItem& item : items_) {
    if (item.sizeFromFile) continue;
    const auto next = std::upper_bound(starts.begin(), starts.end(), item.startSector);
    if (next == starts.end()) continue;
    const std::uint64_t room = *next - item.startSector;
    if (room > item.size / bps) continue;
    item.size = room * bps;
    item.node->size = item.size;
  }
}

ScanReport CarvingScanner::scan(const std::vector<SignatureRecord>& selected, std::uint32_t selectedCount) {
  tree_.reset();
  items_.clear();
  // Start lists belong to one scan of one disk.
  state_ = CarveState{};
  selectedCount_ = selectedCount;
  readFailed_ = false;
  run_.start();
  blockStart_ = blockCount_ = chunkwiseUntil_ = 0;

  ScanReport report;
  const std::uint64_t total = disk_.totalSectors();
  const std::uint32_t bps = disk_.bytesPerSector();
  std::uint64_t position = 0;
  bool disconnected = false;
  bool failed = false;
  try {
    index_ = BuildIndex(selected);
    filters_.clear();
    filters_.reserve(index_.groups.size());
    for (const SignatureGroup& group : index_.groups) {
      GroupFilter f;
      f.group = &group;
      f.offset = group.signatureOffset;
      f.length = group.signatureLength;
      f.bits.assign(group.signatureLength >= 2 ? 1024 : 4, 0);
      for (const auto& [key, entry] : group.entries) {
        const std::size_t p = GroupFilter::prefix(key);
        f.bits[p >> 6] |= std::uint64_t{1} << (p & 63);
      }
      if (group.signatureLength == 2 && group.signatureOffset == 0) {
        auto it = group.entries.find(Bytes(kId));
        if (it != group.entries.end() && it->second.record.handlerCode == kHandlerMpegAudio) f.forcedMp3 = &it->second;
      }
      filters_.push_back(std::move(f));
    }
    if (bps != 0 && total != 0) block_.assign(std::size_t{options_.readAheadSectors} * bps, 0);

    while (bps != 0 && position < total && run_.proceed()) {
      host_.progress(total, position);
      // The last chunk asks only for the sectors that remain.
      const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunkSectors, total - position));
      Bytes resident;
      const Bytes chunk = chunkAt(position, count, resident);
      std::uint64_t i = 0;
      while (i < count && run_.running()) {
        const std::uint64_t sector = position + i;
        const std::uint64_t next =
            testSector(sector, chunk.subspan(static_cast<std::size_t>(i) * bps, bps),
                       resident.subspan(static_cast<std::size_t>(i) * bps));
        if (readFailed_) break;
        i = next - position;
      }
      if (readFailed_ || !run_.running()) {
        position += std::min<std::uint64_t>(i, count);
        break;
      }
      // After a find whose end lies in a later chunk, the next chunk starts just past it.
      position = i > total - position ? total : position + i;
    }
  } catch (const AlreadyReported&) {
    disconnected = true;
  } catch (const std::bad_alloc&) {
    failed = true;
  }
  filters_.clear();
  ReleaseIndex(index_);
  endAtNextFind();
  block_.clear();
  block_.shrink_to_fit();

  report.found = tree_.foundCount();
  report.nextSector = position;
  if (disconnected) report.outcome = ScanOutcome::Disconnected;
  else if (failed || readFailed_) report.outcome = ScanOutcome::Failed;
  else if (!run_.running()) report.outcome = ScanOutcome::Stopped;
  else report.outcome = ScanOutcome::Completed;

  if (report.outcome == ScanOutcome::Completed) {
    host_.statusText(kScanCompletedStatus);
    host_.progress(total, total);
    host_.showMessage("Information", kScanCompletedText, MessageIcon::Information);
  }
  host_.processingFinished(report.outcome == ScanOutcome::Completed ? 1 : 0);
  return report;
}

}  // namespace ov::carver
