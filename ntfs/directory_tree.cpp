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
    std::uint64_t sector = p.startSector + run.lcn * p.sectorsPerCluster;
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
          FileEntry entry = entryFromFacts(facts, sector);
          if (facts.claimedSize != 0) cuts.note(entryLogName(entry), facts.claimedSize, entry.dataSize);
          if (le16(view, 0x16) & 0x02) tree.addFolder(std::move(entry));
          else tree.addFile(std::move(entry));
        }
        ++position;
        sector += p.sectorsPerMftRecord;
      }
      done += n;
    }
    if (!completed) break;
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

bool scanVolume(SectorSource& source, const NtfsVolume& volume, WorkingFiles& files) {
  const VolumeParameters& p = volume.params;
  EngineHost& host = source.host();
  TreeBuilder tree(files);
  SizeCutLog cuts(host);
  const std::uint64_t blockSectors = p.sectorsPerIndexRecord;
  const std::size_t blockBytes = p.bytesPerIndexRecord;
  const std::uint32_t recordBytes = p.bytesPerMftRecord;
  if (blockSectors == 0 || blockBytes == 0 || recordBytes == 0 || p.sectorsPerMftRecord == 0 ||
      blockBytes != blockSectors * p.bytesPerSector) {
    tree.finish();
    return source.run().running();
  }
  const std::uint64_t blocksPerRead = std::max<std::uint64_t>(1, kReadBytes / blockBytes);
  std::vector<std::uint8_t> buffer(blocksPerRead * blockBytes);
  const std::uint64_t end = p.startSector + p.sectorCount;
  std::uint32_t recordCounter = 1;

  for (std::uint64_t pos = p.startSector; pos < end && source.run().proceed();) {
    host.progress(p.sectorCount, pos - p.startSector);
    std::uint64_t blocks = std::min(blocksPerRead, (end - pos + blockSectors - 1) / blockSectors);
    std::size_t bytes = static_cast<std::size_t>(blocks * blockBytes);
    std::memset(buffer.data(), 0, bytes);
    source.readSectorsRetrying(buffer.data(), bytes, pos);
    if (!source.run().running()) break;
    for (std::uint64_t b = 0; b < blocks; ++b) {
      std::uint64_t blockSector = pos + b * blockSectors;
      MutableBytes block(buffer.data() + b * blockBytes, blockBytes);
      if (block[0] == 'I' && block[1] == 'N' && block[2] == 'D' && block[3] == 'X' &&
          checkIndexRecord(block, p.bytesPerSector, p.sectorsPerIndexRecord)) {
        addFoldersFromIndexRecord(Bytes(block.data(), block.size()), tree);
        recordCounter = 0;
        continue;
      }
      for (std::size_t slot = 0; slot + recordBytes <= blockBytes; slot += recordBytes) {
        MutableBytes record = block.subspan(slot, recordBytes);
        Bytes view(record.data(), record.size());
        RecordFacts facts;
        if (view[0] == 'F' && isBaseRecord(view) && checkFileRecord(record, recordBytes, p.bytesPerSector) &&
            readRecordFacts(source, volume, view, facts)) {
          bool folder = le16(view, 0x16) & 0x02;
          if (auto own = headerRecordNumber(view)) {
            facts.recordNumber = *own;
            recordCounter = *own;
          } else if (folder && facts.selfRecord != 0) {
            facts.recordNumber = facts.selfRecord;
            recordCounter = facts.selfRecord;
          } else {
            facts.recordNumber = recordCounter;
          }
          FileEntry entry = entryFromFacts(facts, blockSector + slot / p.bytesPerSector);
          if (facts.claimedSize != 0) cuts.note(entryLogName(entry), facts.claimedSize, entry.dataSize);
          if (folder) tree.addFolder(std::move(entry));
          else tree.addFile(std::move(entry));
        }
        ++recordCounter;
      }
    }
    pos += blocks * blockSectors;
  }
  tree.finish();
  return source.run().running();
}

}  // namespace ov::ntfs
