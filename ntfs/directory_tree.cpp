#include "ntfs/directory_tree.h"

#include <algorithm>
#include <cstring>

#include "ntfs/file_record.h"

namespace ov::ntfs {
namespace {

constexpr std::size_t kReadBytes = 1 << 20;  // large sequential requests, examined in memory

std::u16string numberName(std::uint32_t number) {
  std::string text = "#" + std::to_string(number);
  return std::u16string(text.begin(), text.end());
}

bool isBaseRecord(Bytes record) { return le64(record, 0x20) == 0; }
bool isFolderRecord(Bytes record) { return (le16(record, 0x16) & 0x02) != 0; }

bool hasAttributeList(Bytes record) {
  AttributeWalk walk(record);
  while (auto a = walk.next())
    if (a->type == kAttrAttributeList) return true;
  return false;
}

// The end of a scan: the volume's end, but never past the source's last sector.
std::uint64_t scanEnd(const SectorSource& source, std::uint64_t start, std::uint64_t count) {
  std::uint64_t end = count > UINT64_MAX - start ? UINT64_MAX : start + count;
  if (source.totalSectors() != 0) end = std::min(end, source.totalSectors());
  return end;
}

// Lists a base record that readRecordFacts accepted, and its named data streams beside it.
void addRecord(TreeBuilder& tree, SectorSource& source, const NtfsVolume& volume, Bytes record,
               const RecordFacts& facts, std::uint64_t sector, SizeCutLog& cuts) {
  FileEntry entry = entryFromFacts(facts, sector);
  if (facts.claimedSize != 0) cuts.note(entryLogName(entry), facts.claimedSize, entry.dataSize);
  bool written = isFolderRecord(record) ? tree.addFolder(entry) : tree.addFile(entry);
  if (!written) return;
  std::vector<NamedStream> streams = namedStreams(source, volume, record);
  if (!streams.empty()) tree.addStreams(entry, streams);
}

// A record as it lies on disk carries the update sequence number at the end of its first stride
// (it replaced the bytes kept in the update sequence array). A record copied into another
// structure (the log file keeps whole records) has its own bytes there, and is not taken.
bool writtenAsRecord(Bytes record, std::uint32_t recordBytes, std::uint32_t bytesPerSector) {
  std::uint32_t stride = updateSequenceStride(le16(record, 0x06), recordBytes, bytesPerSector);
  if (stride < 2 || record.size() < stride) return false;
  return le16(record, stride - 2) == le16(record, le16(record, 0x04));
}

}  // namespace

bool TreeBuilder::addFile(FileEntry e) {
  e.childrenBlock = 0;
  e.entryIndex = files_.nextEntryIndex();
  files_.writeEntry(e);
  bool inserted = false;
  std::uint32_t parent = files_.findOrInsertFolder(e.parentRecord, true, inserted);
  files_.appendChild(parent, e.entryIndex);
  return true;
}

bool TreeBuilder::addFolder(FileEntry e) {
  bool inserted = false;
  std::uint32_t parent = files_.findOrInsertFolder(e.parentRecord, true, inserted);
  std::uint32_t own = files_.findOrInsertFolder(e.recordNumber, false, inserted);
  FolderNode& node = files_.folder(own);
  if (!inserted && !node.placeholder) return false;  // this folder is listed already
  node.placeholder = 0;
  e.entryIndex = files_.nextEntryIndex();
  node.entryIndex = e.entryIndex;
  e.childrenBlock = node.childrenBlock;
  files_.appendChild(parent, e.entryIndex);
  files_.writeEntry(e);
  if (parentNode_.size() <= own) parentNode_.resize(std::size_t{own} + 1, kNoNode);
  parentNode_[own] = parent;
  return true;
}

void TreeBuilder::addStreams(const FileEntry& owner, const std::vector<NamedStream>& streams) {
  if (owner.name.size() >= 0x8000) return;
  for (const auto& stream : streams) {
    FileEntry e = owner;
    e.dataSize = stream.size;
    e.attributes = static_cast<std::uint16_t>(owner.attributes & ~kEntryFolder);
    e.name = owner.name + u":" + stream.name;
    if (e.name.size() > 0xFFFF) continue;
    e.entryIndex = files_.nextEntryIndex();
    e.childrenBlock = kStreamMark | static_cast<std::uint32_t>(owner.name.size());
    files_.writeEntry(e);
    bool inserted = false;
    files_.appendChild(files_.findOrInsertFolder(e.parentRecord, true, inserted), e.entryIndex);
  }
}

void TreeBuilder::rescueLoops() {
  const FolderIndex& index = files_.folders();
  const std::uint32_t count = index.size();
  parentNode_.resize(count, kNoNode);
  // 0: not seen, 1: on the current climb, 2: known to reach "#".
  std::vector<std::uint8_t> state(count, 0);
  std::vector<std::uint32_t> climb;
  for (std::uint32_t start = 0; start < count; ++start) {
    climb.clear();
    std::uint32_t x = start;
    while (state[x] == 0) {
      // "#", " Root" and the folders known only as parents (they go under "#") reach the top.
      if (parentNode_[x] == kNoNode || index.node(x).placeholder) break;
      state[x] = 1;
      climb.push_back(x);
      x = parentNode_[x];
    }
    if (state[x] == 1) {
      // The climb came round to x: x and the folders climbed after it form a loop.
      auto loopStart = std::find(climb.begin(), climb.end(), x);
      std::uint32_t cut = x;
      for (auto it = loopStart; it != climb.end(); ++it)
        if (index.node(*it).key < index.node(cut).key) cut = *it;
      const std::uint32_t parent = parentNode_[cut];
      files_.removeChild(parent, index.node(cut).entryIndex);
      files_.addRescueFolder(index.node(parent).key, index.node(cut).entryIndex);
      parentNode_[cut] = kNoNode;
    }
    state[x] = 2;
    for (std::uint32_t c : climb) state[c] = 2;
  }
}

void TreeBuilder::finish() {
  rescueLoops();
  files_.addMissingParentFolders();
}

FileEntry entryFromFacts(const RecordFacts& f, std::uint64_t recordSector) {
  FileEntry e;
  e.dataSize = f.dataSize;
  e.recordSector = recordSector;
  e.recordNumber = f.recordNumber;
  e.parentRecord = f.parentRecord;
  e.name = f.name.empty() ? numberName(f.recordNumber) : f.name;
  e.attributes = f.attributes;
  if (f.claimedSize != 0) e.attributes = static_cast<std::uint16_t>(e.attributes | kEntrySizeCut);
  e.createdDate = f.createdDate;
  e.accessedDate = f.accessedDate;
  return e;
}

std::string entryLogName(const FileEntry& e) {
  return utf16ToUtf8(e.name) + " (record " + std::to_string(e.recordNumber) + ")";
}

bool walkMft(SectorSource& source, const NtfsVolume& volume, WorkingFiles& files) {
  const VolumeParameters& p = volume.params;
  EngineHost& host = source.host();
  if (p.bytesPerMftRecord == 0 || p.bytesPerSector == 0 || p.sectorsPerMftRecord == 0) return true;
  const std::uint32_t recordBytes = p.bytesPerMftRecord;
  const std::uint64_t recordsPerRead = std::max<std::uint64_t>(1, kReadBytes / recordBytes);
  std::vector<std::uint8_t> buffer(recordsPerRead * recordBytes);
  TreeBuilder tree(files);
  SizeCutLog cuts(host);
  std::uint64_t position = 0;
  bool completed = true;

  for (const auto& run : volume.mftRuns) {
    std::uint64_t records = run.clusters * p.sectorsPerCluster / p.sectorsPerMftRecord;
    if (run.sparse) {
      position += records;
      continue;
    }
    // Records past the source's last sector cannot be read: a damaged run ends there.
    const std::uint64_t sourceEnd = scanEnd(source, 0, UINT64_MAX);
    const bool inside = run.lcn <= (sourceEnd - std::min(sourceEnd, p.startSector)) / std::max<std::uint64_t>(p.sectorsPerCluster, 1);
    std::uint64_t sector = inside ? p.startSector + run.lcn * p.sectorsPerCluster : sourceEnd;
    const std::uint64_t readable =
        sector >= sourceEnd ? 0 : std::min<std::uint64_t>(records, (sourceEnd - sector) / p.sectorsPerMftRecord);
    const std::uint64_t unreadable = records - readable;
    records = readable;
    for (std::uint64_t done = 0; done < records;) {
      if (!source.run().proceed()) {
        completed = false;
        break;
      }
      host.progress(p.mftRecordCount, position);
      std::uint64_t n = std::min(recordsPerRead, records - done);
      std::size_t bytes = static_cast<std::size_t>(n * recordBytes);
      std::memset(buffer.data(), 0, bytes);
      source.readSectorsRetrying(buffer.data(), bytes, sector);
      for (std::uint64_t i = 0; i < n; ++i) {
        MutableBytes record(buffer.data() + i * recordBytes, recordBytes);
        Bytes view(record.data(), record.size());
        RecordFacts facts;
        if (isBaseRecord(view) && checkFileRecord(record, recordBytes, p.bytesPerSector) &&
            readRecordFacts(source, volume, view, facts, static_cast<std::uint32_t>(position))) {
          if (!headerRecordNumber(view) && facts.selfRecord == 0)
            facts.recordNumber = static_cast<std::uint32_t>(position);
          addRecord(tree, source, volume, view, facts, sector, cuts);
        }
        ++position;
        sector += p.sectorsPerMftRecord;
      }
      done += n;
    }
    if (!completed) break;
    position += unreadable;
  }
  tree.finish();
  return completed;
}

void addFoldersFromIndexRecord(Bytes r, TreeBuilder& tree) {
  std::size_t at = 0x18 + std::size_t{le32(r, 0x18)};
  std::size_t end = std::min<std::size_t>(0x18 + std::size_t{le32(r, 0x1C)}, r.size());
  while (at + 16 <= end) {
    std::uint16_t length = le16(r, at + 8);
    if (length == 16 || length < 67 || le8(r, at + 12) == 2) break;
    if (!fits(r, at, length)) break;
    Bytes value = r.subspan(at + 16, length - 16);
    std::uint32_t nameFlags = le32(value, 0x38);
    if ((nameFlags & 0x10000000) && le8(value, 0x41) != 2 && value.size() >= 0x42) {
      FileEntry e;
      e.recordNumber = le32(r, at);
      e.parentRecord = le32(value, 0);
      e.createdDate = fileTimeToDosDate(le64(value, 0x08));
      e.accessedDate = fileTimeToDosDate(le64(value, 0x20));
      e.attributes = static_cast<std::uint16_t>(((nameFlags | 6u) * 4u) & 0xFFFFu);
      e.name = fileNameOf(value);
      if (e.name.empty()) e.name = numberName(e.recordNumber);
      // The root's own entry ("." in its own index) is " Root"; any other folder is listed,
      // also one that names itself as its parent (finish() rescues it).
      if (e.recordNumber != kRootFolderKey) tree.addFolder(std::move(e));
    }
    at += length;
  }
}

namespace {

// A base record with an attribute list, listed once the whole volume has been scanned.
struct DeferredRecord {
  std::vector<std::uint8_t> record;  // checked, fixups applied
  std::uint64_t sector;
  std::uint32_t counter;             // the record counter at its place
};
constexpr std::size_t kMaxDeferredRecords = 16384;  // beyond it, records are listed as found

}  // namespace

bool scanVolume(SectorSource& source, NtfsVolume& volume, WorkingFiles& files) {
  const VolumeParameters& p = volume.params;
  EngineHost& host = source.host();
  TreeBuilder tree(files);
  volume.scannedRecords.clear();
  SizeCutLog cuts(host);
  // Positions count in the source's sectors; records keep their own sector size for fixups.
  const std::uint32_t unit = source.bytesPerSector();
  const std::uint32_t recordBytes = p.bytesPerMftRecord;
  const std::uint32_t indexBytes = p.bytesPerIndexRecord;
  if (unit == 0 || p.bytesPerSector == 0 || recordBytes < unit || recordBytes % unit != 0 || indexBytes < unit ||
      indexBytes % unit != 0 || p.sectorsPerIndexRecord == 0) {
    tree.finish();
    return source.run().running();
  }
  const std::uint64_t recordSpan = recordBytes / unit;
  const std::uint64_t indexSpan = indexBytes / unit;
  // Sectors kept from one read to the next, so that a record may start in the last sectors read.
  const std::uint64_t tail = std::max(recordSpan, indexSpan) - 1;
  const std::uint64_t readSectors = std::max<std::uint64_t>(kReadBytes / unit, 2 * (tail + 1));
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>((2 * tail + readSectors) * unit), 0);
  std::vector<std::uint8_t> scratch(std::max(recordBytes, indexBytes));
  const std::uint64_t start = p.startSector;
  const std::uint64_t end = scanEnd(source, start, p.sectorCount);

  // Records without their own number in the header are numbered by their distance from the last
  // record that had one (or from the start, or from the end of the last index record).
  std::uint64_t anchorSector = start;
  std::uint64_t anchorCounter = 1;
  auto counterAt = [&](std::uint64_t sector) {
    return static_cast<std::uint32_t>(anchorCounter + (sector - anchorSector) / recordSpan);
  };
  std::vector<DeferredRecord> deferred;

  // Handles a record that starts at `sector`; true when it is a valid record (its sectors are used).
  auto takeRecord = [&](const std::uint8_t* at, std::uint64_t sector) {
    std::memcpy(scratch.data(), at, recordBytes);
    MutableBytes record(scratch.data(), recordBytes);
    Bytes view(record.data(), record.size());
    if (!writtenAsRecord(view, recordBytes, p.bytesPerSector) || !checkFileRecord(record, recordBytes, p.bytesPerSector))
      return false;
    if (!isBaseRecord(view)) {
      auto own = headerRecordNumber(view);
      if (own && volume.scannedRecords.size() < kMaxScannedRecords) volume.scannedRecords.emplace(*own, sector);
      return true;
    }
    RecordFacts facts;
    bool listed = readRecordFacts(source, volume, view, facts);
    std::uint32_t counter = counterAt(sector);
    if (auto own = headerRecordNumber(view)) {
      anchorSector = sector;
      anchorCounter = counter = *own;
    } else if (listed && isFolderRecord(view) && facts.selfRecord != 0) {
      anchorSector = sector;
      anchorCounter = counter = facts.selfRecord;
    }
    // With an attribute list, the name and size may lie in extension records not seen yet.
    if (hasAttributeList(view) && deferred.size() < kMaxDeferredRecords) {
      deferred.push_back({std::vector<std::uint8_t>(view.begin(), view.end()), sector, counter});
      return true;
    }
    if (!listed) return true;
    facts.recordNumber = counter;
    addRecord(tree, source, volume, view, facts, sector, cuts);
    return true;
  };
  auto takeIndex = [&](const std::uint8_t* at) {
    std::memcpy(scratch.data(), at, indexBytes);
    MutableBytes block(scratch.data(), indexBytes);
    if (!checkIndexRecord(block, p.bytesPerSector, p.sectorsPerIndexRecord)) return false;
    addFoldersFromIndexRecord(Bytes(block.data(), block.size()), tree);
    return true;
  };

  // The buffer holds sectors [bufferStart, bufferStart + held); every sector from `next` on is
  // tested as the start of an "INDX" or "FILE" record.
  std::uint64_t bufferStart = start, held = 0, next = start;
  while (next < end && source.run().proceed()) {
    host.progress(end - start, next - start);
    const std::uint64_t keep = bufferStart + held - next;
    std::memmove(buffer.data(), buffer.data() + (next - bufferStart) * unit, static_cast<std::size_t>(keep * unit));
    bufferStart = next;
    held = keep;
    const std::uint64_t readAt = bufferStart + held;
    const std::uint64_t count = std::min(readSectors, end - readAt);
    std::memset(buffer.data() + held * unit, 0, buffer.size() - static_cast<std::size_t>(held * unit));
    if (count > 0) source.readSectorsRetrying(buffer.data() + held * unit, static_cast<std::size_t>(count * unit), readAt);
    if (!source.run().running()) break;
    held += count;
    const bool last = bufferStart + held >= end;
    const std::uint64_t limit = last ? end : bufferStart + held - tail;
    std::uint64_t sector = next;
    while (sector < limit) {
      const std::uint8_t* at = buffer.data() + (sector - bufferStart) * unit;
      if (at[0] == 'I' && at[1] == 'N' && at[2] == 'D' && at[3] == 'X' && takeIndex(at)) {
        sector += indexSpan;
        anchorSector = sector;
        anchorCounter = 0;
      } else if (at[0] == 'F' && at[1] == 'I' && at[2] == 'L' && at[3] == 'E' && takeRecord(at, sector)) {
        sector += recordSpan;
      } else {
        ++sector;
      }
    }
    next = std::min(sector, end);
  }

  // Base records with attribute lists, now that the extension records they name are known.
  for (auto& d : deferred) {
    Bytes view(d.record.data(), d.record.size());
    RecordFacts facts;
    if (!readRecordFacts(source, volume, view, facts)) continue;
    if (auto own = headerRecordNumber(view)) facts.recordNumber = *own;
    else if (isFolderRecord(view) && facts.selfRecord != 0) facts.recordNumber = facts.selfRecord;
    else facts.recordNumber = d.counter;
    addRecord(tree, source, volume, view, facts, d.sector, cuts);
  }
  tree.finish();
  return source.run().running();
}

}  // namespace ov::ntfs
