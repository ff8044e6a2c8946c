#include "fat/fat_scan_info.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <unordered_set>
#include <vector>

namespace ov::fat {
namespace {

namespace fs = std::filesystem;

const char* kNotValidPartition = kNotValidPartitionScan;
const char* kNotValidDisk = kNotValidDiskScan;
constexpr std::size_t kChunkBytes = std::size_t{1} << 16;

std::string withCode(const char* text, int code) { return withErrorCode(text, code); }
void logResult(EngineHost& host, bool ok, const std::string& text, const std::string& detail) {
  logScanResult(host, ok, text, detail);
}
std::string fileName(const std::string& path) { return scanFileName(path); }
std::string folderOf(const std::string& path) { return scanFolderOf(path); }

void writeSourceAndVolumes(ScanFileWriter& w, FatEngine& engine) {
  w.write(encodeSourceBlock(sourceBlockFor(engine.source(), !engine.volumes().empty())));
  const auto& volumes = engine.volumes();
  for (std::size_t i = 0; i < volumes.size(); ++i) w.write(encodeFatVolume(volumes[i], i + 1 < volumes.size()));
}

bool readSourceAndVolumes(ScanFileReader& r, SourceBlock& block, std::vector<FatVolume>& volumes) {
  return readSourceBlock(r, block) &&
         readRecordChain<kStoredFatVolumeBytes>(r, block.hasVolumes, volumes,
                                                [](Bytes b, bool* more) { return decodeFatVolume(b, more); });
}

// A volume whose clusters no boot sector could describe would make every later read of a
// cluster allocate whatever the file says; the engine never builds one.
bool plausible(const FatVolume& v) {
  if (v.fatType == kExFat) return v.bytesPerCluster <= (std::uint32_t{32} << 20);
  return v.bytesPerCluster <= std::uint32_t{0xFFFF} * 0xFF && v.fatType <= kFat32;
}

void putRecord(std::vector<std::uint8_t>& out, const FileEntry& e, bool hasNext, bool exFat) {
  const std::size_t units = std::min(e.name.size(), kMaxLongNameUnits);
  const std::size_t at = out.size();
  const std::size_t fixed = exFat ? kStoredExFatEntryBytes : kStoredEntryBytes;
  out.resize(at + fixed + 2 * units, 0);
  MutableBytes b(out.data() + at, fixed + 2 * units);
  // Links are only told apart as zero and non-zero; the parent and name fields are left zero.
  writeLe<std::uint64_t>(b, 0, e.dataSize);
  writeLe<std::uint32_t>(b, 8, hasNext ? 1u : 0u);
  writeLe<std::uint32_t>(b, 12, e.firstChild ? 1u : 0u);
  writeLe<std::uint32_t>(b, 20, e.firstCluster);
  writeLe<std::uint32_t>(b, 24, e.parentCluster);
  writeLe<std::uint16_t>(b, 32, e.createdDate);
  writeLe<std::uint16_t>(b, 34, e.accessedDate);
  b[36] = e.attributes;
  b[37] = static_cast<std::uint8_t>(units);
  if (exFat) {
    b[38] = e.exFlags;
    writeLe<std::uint64_t>(b, 40, e.validSize);
  }
  for (std::size_t i = 0; i < units; ++i) writeLe<std::uint16_t>(b, fixed + 2 * i, e.name[i]);
}

// Reads the tree section in large pieces instead of two system calls per record. The buffer
// never grows past what is left of the file.
class ChunkedInput {
 public:
  explicit ChunkedInput(ScanFileReader& in) : in_(in) {}
  bool take(std::uint8_t* out, std::size_t length) {
    if (buffer_.size() - start_ < length && !refill(length)) return false;
    std::copy_n(buffer_.begin() + static_cast<std::ptrdiff_t>(start_), length, out);
    start_ += length;
    return true;
  }

 private:
  bool refill(std::size_t length) {
    const std::size_t kept = buffer_.size() - start_;
    if (length - kept > in_.remaining()) return false;
    const std::uint64_t wanted = std::max(kChunkBytes, length);
    const auto more = static_cast<std::size_t>(std::min(in_.remaining(), wanted));
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
    buffer_.resize(kept + more);
    if (!in_.read(buffer_.data() + kept, more)) {
      buffer_.resize(kept);
      return false;
    }
    return true;
  }

  ScanFileReader& in_;
  std::vector<std::uint8_t> buffer_;
  std::size_t start_ = 0;
};

}  // namespace

bool writeTree(const FileEntry& folder, ScanFileWriter& out, bool exFat) {
  std::vector<std::uint8_t> buffer;
  buffer.reserve(kChunkBytes + kStoredEntryBytes + 2 * kMaxLongNameUnits);
  std::unordered_set<const FileEntry*> written{&folder};
  // Folders whose group is still to be written; the last one pushed comes next (depth first).
  std::vector<const FileEntry*> pending{&folder};
  while (!pending.empty()) {
    const FileEntry* f = pending.back();
    pending.pop_back();
    std::vector<const FileEntry*> parents;
    for (const FileEntry* c = f->firstChild; c; c = c->nextSibling) {
      if (!written.insert(c).second) return false;
      putRecord(buffer, *c, c->nextSibling != nullptr, exFat);
      if (c->firstChild) parents.push_back(c);
      if (buffer.size() >= kChunkBytes) {
        out.write(buffer);
        buffer.clear();
      }
    }
    pending.insert(pending.end(), parents.rbegin(), parents.rend());
  }
  out.write(buffer);
  return true;
}

bool readTree(FatTree& tree, FileEntry& folder, ScanFileReader& in, bool exFat) {
  ChunkedInput input(in);
  std::vector<FileEntry*> pending{&folder};
  std::array<std::uint8_t, kStoredExFatEntryBytes> record{};
  const std::size_t fixed = exFat ? kStoredExFatEntryBytes : kStoredEntryBytes;
  std::array<std::uint8_t, 2 * kMaxLongNameUnits> name{};
  while (!pending.empty()) {
    FileEntry* f = pending.back();
    pending.pop_back();
    std::vector<FileEntry*> parents;
    FileEntry* last = nullptr;
    bool more = true;
    while (more) {
      // Every record is read before anything is allocated for it, so a group that claims to go
      // on forever ends where the file does.
      if (!input.take(record.data(), fixed)) return false;
      const std::size_t units = record[37];
      if (!input.take(name.data(), 2 * units)) return false;
      FileEntry e;
      e.dataSize = le64(record, 0);
      e.firstCluster = le32(record, 20);
      e.parentCluster = le32(record, 24);
      e.createdDate = le16(record, 32);
      e.accessedDate = le16(record, 34);
      e.attributes = record[36];
      if (exFat) {
        e.exFlags = record[38];
        e.validSize = le64(record, 40);
      }
      e.name = readUtf16(Bytes(name.data(), 2 * units), 0, units);
      FileEntry& added = tree.add(e);
      added.parent = f;
      (last ? last->nextSibling : f->firstChild) = &added;
      last = &added;
      more = le32(record, 8) != 0;
      if (le32(record, 12) != 0) parents.push_back(&added);
    }
    pending.insert(pending.end(), parents.rbegin(), parents.rend());
  }
  return true;
}

bool savePartitionScanInfo(FatEngine& engine, const std::string& requested) {
  EngineHost& host = engine.host();
  const std::string path = withExtension(requested, ".ovt");
  const std::string name = fileName(path);
  const char* kFailed = "Failed to save Partition scan information. Errorcode =";
  // Without a tree there is nothing this file could bring back; and a reader always expects the
  // top folder's group, which a top folder without children ("Lost" gone) would not write.
  if (engine.tree().root() == nullptr || engine.tree().root()->firstChild == nullptr) {
    logResult(host, false, "", name);
    return false;
  }
  if (std::string why = scanFileDestinationConflict(engine.source(), path); !why.empty()) {
    logResult(host, false, why, name);
    return false;
  }
  int error = 0;
  ScanFileWriter w(path, error);
  if (!w.isOpen()) {
    logResult(host, false, withCode(kFailed, error), name);
    return false;
  }
  w.writeU32(kPartitionScanMagic);
  writeSourceAndVolumes(w, engine);
  w.write(encodeFatVolume(engine.volume(), false));
  w.writeU32(kPartitionScanMagic);
  w.writeU32(kScanSeparator);
  const bool whole = writeTree(*engine.tree().root(), w, engine.volume().fatType == kExFat);
  error = w.finish();
  if (!whole || error != 0) {
    ::unlink(path.c_str());  // a failed save leaves no partial file behind
    logResult(host, false, error != 0 ? withCode(kFailed, error) : std::string(), name);
    return false;
  }
  logResult(host, true, "Partition scan information saved successfully.", name);
  return true;
}

bool openPartitionScanInfo(FatEngine& engine, const std::string& path) {
  EngineHost& host = engine.host();
  const std::string name = fileName(path);
  const std::string where = folderOf(path);
  const char* kFailed = "Failed to open Partition scan information. Errorcode =";
  host.addLogEntry(LogEntry{"Processing Scan Info File : " + name, "Location : " + where, LogKind::Started, {}});
  engine.close();
  auto fail = [&](const std::string& text) {
    engine.close();
    logResult(host, false, text, name);
    return false;
  };

  int error = 0;
  ScanFileReader r(path, error);
  if (!r.isOpen()) return fail(withCode(kFailed, error));
  std::uint32_t magic = 0;
  if (!r.readU32(magic) || magic != kPartitionScanMagic) return fail(kNotValidPartition);
  SourceBlock block;
  std::vector<FatVolume> volumes;
  if (!readSourceAndVolumes(r, block, volumes)) return fail(kNotValidPartition);
  for (const FatVolume& v : volumes)
    if (!plausible(v)) return fail(kNotValidPartition);
  std::array<std::uint8_t, kStoredFatVolumeBytes> state{};
  if (!r.read(state.data(), state.size())) return fail(kNotValidPartition);
  const FatVolume current = *decodeFatVolume(state);
  if (!plausible(current)) return fail(kNotValidPartition);
  std::uint32_t again = 0, separator = 0;
  if (!r.readU32(again) || again != kPartitionScanMagic) return fail(kNotValidPartition);
  if (!r.readU32(separator) || separator != kScanSeparator) return fail(kNotValidPartition);

  int rc = engine.source().openDevice(block.path, block.bytesPerSector, block.totalSectors);
  if (rc != 0) return fail(withCode(kFailed, rc));

  // The top folder is not stored; it is made as a run makes it, keyed by the volume's root.
  FileEntry top;
  top.name = u"#";
  top.attributes = kEntryFolder | kEntryLive;
  top.firstCluster = rootFolderKey(current);
  top.parentCluster = top.firstCluster;
  FatTree& tree = engine.tree();
  FileEntry& root = tree.resetRoot(top);
  if (!readTree(tree, root, r, current.fatType == kExFat)) return fail(kNotValidPartition);
  // A stored size is no more trusted than one read from the disk.
  SizeCutLog cuts(host);
  for (std::vector<FileEntry*> pending{&root}; !pending.empty();) {
    FileEntry* f = pending.back();
    pending.pop_back();
    for (FileEntry* c = f->firstChild; c; c = c->nextSibling) {
      if (cutToVolume(*c, current))
        cuts.note(utf16ToUtf8(c->name) + " (cluster " + std::to_string(c->firstCluster) + ")", c->claimedSize,
                  c->dataSize);
      if (c->firstChild) pending.push_back(c);
    }
  }
  for (FileEntry* c = root.firstChild; c; c = c->nextSibling)
    if (c->isFolder() && c->name == u"Lost") {
      tree.setLost(c);
      break;
    }
  engine.volumes() = std::move(volumes);
  engine.restoreVolume(current);
  logResult(host, true, "Partition scan information opened successfully.", where + "/" + name);
  return true;
}

bool saveDiskScanInfo(FatEngine& engine, const std::string& requested) {
  EngineHost& host = engine.host();
  const std::string path = withExtension(requested, ".ovd");
  const char* kFailed = "Failed to save Disk scan information. Errorcode =";
  host.addLogEntry(
      LogEntry{"Saving Scan Info File : " + fileName(path), "To Location : " + folderOf(path), LogKind::Started, {}});
  if (std::string why = scanFileDestinationConflict(engine.source(), path); !why.empty()) {
    logResult(host, false, why, path);
    return false;
  }
  int error = 0;
  ScanFileWriter w(path, error);
  if (!w.isOpen()) {
    logResult(host, false, withCode(kFailed, error), path);
    return false;
  }
  w.writeU32(kDiskScanMagic);
  writeSourceAndVolumes(w, engine);
  error = w.finish();
  if (error != 0) {
    ::unlink(path.c_str());
    logResult(host, false, withCode(kFailed, error), path);
    return false;
  }
  logResult(host, true, "Disk scan information saved successfully.", path);
  return true;
}

bool openDiskScanInfo(FatEngine& engine, const std::string& path) {
  EngineHost& host = engine.host();
  const std::string name = fileName(path);
  const std::string where = folderOf(path);
  const char* kFailed = "Failed to open Disk scan information. Errorcode =";
  host.addLogEntry(LogEntry{"Processing Scan Info File : " + name, "Location : " + where, LogKind::Started, {}});
  engine.close();
  auto fail = [&](const std::string& text) {
    engine.close();
    logResult(host, false, text, where + "/" + name);
    return false;
  };
  int error = 0;
  ScanFileReader r(path, error);
  if (!r.isOpen()) return fail(withCode(kFailed, error));
  std::uint32_t magic = 0;
  if (!r.readU32(magic) || magic != kDiskScanMagic) return fail(kNotValidDisk);
  SourceBlock block;
  std::vector<FatVolume> volumes;
  if (!readSourceAndVolumes(r, block, volumes)) return fail(kNotValidDisk);
  for (const FatVolume& v : volumes)
    if (!plausible(v)) return fail(kNotValidDisk);
  int rc = engine.source().openDevice(block.path, block.bytesPerSector, block.totalSectors);
  if (rc != 0) return fail(withCode(kFailed, rc));
  engine.volumes() = std::move(volumes);
  logResult(host, true, "Disk scan information opened successfully.", where + "/" + name);
  return true;
}

}  // namespace ov::fat
