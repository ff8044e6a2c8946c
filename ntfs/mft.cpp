#include "ntfs/mft.h"

#include <algorithm>

#include "ntfs/file_record.h"

namespace ov::ntfs {
namespace {

constexpr std::size_t kMaxAttributeListBytes = 1 << 20;  // NTFS caps lists at 256 KiB

bool validAttributeType(std::uint32_t type) {
  return (type % 0x10 == 0 && type >= 0x10 && type <= 0xF0) || type == 0x100;
}

std::uint64_t lastVcn(Bytes record, const Attribute& a) { return le64(record, a.offset + 0x18); }
std::uint64_t firstVcn(Bytes record, const Attribute& a) { return le64(record, a.offset + 0x10); }
bool unnamed(Bytes record, const Attribute& a) {
  return le8(record, a.offset + 9) == 0 || le16(record, a.offset + 0x0A) == 0;
}

// Records covered by `clusters` clusters of the MFT.
std::uint64_t recordsInClusters(const VolumeParameters& p, std::uint64_t clusters) {
  if (p.sectorsPerCluster == 1) return clusters;
  return clusters * (p.sectorsPerCluster / p.sectorsPerMftRecord);
}

std::uint32_t saturate32(std::uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(v); }

bool readRecordAt(SectorSource& source, const VolumeParameters& p, std::uint64_t sector, std::vector<std::uint8_t>& record) {
  record.assign(p.bytesPerMftRecord, 0);
  source.readSectorsRetrying(record.data(), record.size(), sector);
  return checkFileRecord(record, p.bytesPerMftRecord, p.bytesPerSector);
}

// The bytes of an attribute list, resident or not.
std::vector<std::uint8_t> attributeListBytes(SectorSource& source, const VolumeParameters& p, Bytes record,
                                             const Attribute& list) {
  if (!list.nonResident) return std::vector<std::uint8_t>(list.value.begin(), list.value.end());
  std::uint64_t size = std::min<std::uint64_t>(le64(record, list.offset + 0x30), kMaxAttributeListBytes);
  std::vector<Run> runs;
  decodeAttributeRuns(record, list.offset, runs);
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint8_t> cluster(p.bytesPerCluster);
  for (const auto& run : runs) {
    for (std::uint64_t c = 0; c < run.clusters && bytes.size() < size; ++c) {
      std::fill(cluster.begin(), cluster.end(), 0);
      if (!run.sparse)
        source.readSectorsRetrying(cluster.data(), cluster.size(),
                                   p.startSector + (run.lcn + c) * p.sectorsPerCluster);
      bytes.insert(bytes.end(), cluster.begin(), cluster.end());
    }
  }
  bytes.resize(std::min<std::size_t>(bytes.size(), static_cast<std::size_t>(size)));
  return bytes;
}

// Entries of an attribute list's bytes up to one whose type is outside the valid set or above `maxType`.
std::vector<AttributeListEntry> listEntries(Bytes list, std::uint32_t maxType) {
  std::vector<AttributeListEntry> out;
  std::size_t at = 0;
  while (fits(list, at, 0x1A)) {
    std::uint32_t type = le32(list, at);
    std::uint16_t length = le16(list, at + 4);
    if (!validAttributeType(type) || type > maxType || length < 0x1A) break;
    AttributeListEntry e;
    e.type = type;
    e.startVcn = le64(list, at + 8);
    e.record = le32(list, at + 0x10);
    e.attributeId = le16(list, at + 0x18);
    std::size_t nameLength = le8(list, at + 6), nameOffset = le8(list, at + 7);
    if (nameLength != 0) {
      // A name that does not lie inside its entry still marks the entry as named.
      e.name = nameOffset + 2 * nameLength <= length && fits(list, at + nameOffset, 2 * nameLength)
                   ? readUtf16(list, at + nameOffset, nameLength)
                   : std::u16string(1, u'?');
    }
    out.push_back(std::move(e));
    at += length;
  }
  return out;
}

}  // namespace

VolumeParameters selectVolume(const LogicalVolume& v, std::uint16_t sourceBps) {
  VolumeParameters p;
  p.startSector = v.startSector;
  p.sectorCount = v.sectorCount;
  p.mftSector = v.mftSector;
  p.mftLcn = v.mftLcn;
  p.mftMirrLcn = v.mftMirrLcn;
  p.serialNumber = v.serialNumber;
  p.bytesPerSector = v.bytesPerSector != 0 ? v.bytesPerSector : sourceBps;
  p.sectorsPerMftRecord = v.sectorsPerMftRecord != 0 ? v.sectorsPerMftRecord : 2;
  p.bytesPerMftRecord = v.mftRecordBytes != 0 ? v.mftRecordBytes : std::uint32_t{p.sectorsPerMftRecord} * p.bytesPerSector;
  p.sectorsPerCluster = v.sectorsPerCluster;
  if (v.bytesPerCluster != 0) p.bytesPerCluster = v.bytesPerCluster;
  else p.bytesPerCluster = std::uint32_t{v.sectorsPerCluster == 0 ? std::uint8_t{8} : v.sectorsPerCluster} * p.bytesPerSector;
  p.sectorsPerIndexRecord = v.sectorsPerIndexRecord != 0 ? v.sectorsPerIndexRecord : 8;
  p.bytesPerIndexRecord =
      v.indexRecordBytes != 0 ? v.indexRecordBytes : std::uint32_t{p.sectorsPerIndexRecord} * p.bytesPerSector;
  return p;
}

std::array<std::uint8_t, kStoredParametersBytes> encodeParameters(const VolumeParameters& p, bool hasRuns) {
  ByteWriter w;
  w.u64(p.sectorCount);
  w.u64(p.mftSector);
  w.u64(p.mftLcn);
  w.u64(p.mftMirrLcn);
  w.u64(p.serialNumber);
  w.u64(p.startSector);
  w.u32(hasRuns ? 1u : 0u);
  w.u32(p.mftRecordCount);
  w.u32(p.bytesPerMftRecord);
  w.u32(p.bytesPerIndexRecord);
  w.u32(p.bytesPerCluster);
  w.u16(p.bytesPerSector);
  w.u8(p.sectorsPerMftRecord);
  w.u8(p.sectorsPerIndexRecord);
  w.u8(p.sectorsPerCluster);
  w.u8(p.turboScanMark);
  std::array<std::uint8_t, kStoredParametersBytes> out{};
  std::copy(w.bytes().begin(), w.bytes().end(), out.begin());
  return out;
}

std::optional<VolumeParameters> decodeParameters(Bytes stored, bool* hasRuns) {
  if (stored.size() < kStoredParametersBytes) return std::nullopt;
  ByteReader r(stored);
  VolumeParameters p;
  p.sectorCount = r.u64();
  p.mftSector = r.u64();
  p.mftLcn = r.u64();
  p.mftMirrLcn = r.u64();
  p.serialNumber = r.u64();
  p.startSector = r.u64();
  std::uint32_t link = r.u32();
  if (hasRuns) *hasRuns = link != 0;
  p.mftRecordCount = r.u32();
  p.bytesPerMftRecord = r.u32();
  p.bytesPerIndexRecord = r.u32();
  p.bytesPerCluster = r.u32();
  p.bytesPerSector = r.u16();
  p.sectorsPerMftRecord = r.u8();
  p.sectorsPerIndexRecord = r.u8();
  p.sectorsPerCluster = r.u8();
  p.turboScanMark = r.u8();
  return p;
}

std::array<std::uint8_t, kStoredRunBytes> encodeRun(const Run& run, bool hasNext) {
  ByteWriter w;
  w.u32(saturate32(run.clusters));
  w.u64(run.lcn);
  w.u32(hasNext ? 1u : 0u);
  std::array<std::uint8_t, kStoredRunBytes> out{};
  std::copy(w.bytes().begin(), w.bytes().end(), out.begin());
  return out;
}

std::optional<Run> decodeRun(Bytes stored, bool* hasNext) {
  if (stored.size() < kStoredRunBytes) return std::nullopt;
  Run run;
  run.clusters = le32(stored, 0);
  run.lcn = le64(stored, 4);
  run.sparse = run.lcn == 0;
  if (hasNext) *hasNext = le32(stored, 12) != 0;
  return run;
}

bool setupMft(SectorSource& source, NtfsVolume& volume) {
  volume.mftRuns.clear();
  VolumeParameters& p = volume.params;
  p.mftRecordCount = 0;
  if (p.mftLcn == 0 || p.bytesPerMftRecord == 0 || p.sectorsPerCluster == 0 || p.sectorsPerMftRecord == 0 ||
      p.bytesPerSector == 0)
    return false;

  std::vector<std::uint8_t> record(p.bytesPerMftRecord);
  auto isFirstAt = [&](std::uint64_t sector) {
    std::fill(record.begin(), record.end(), 0);
    source.readSectorsRetrying(record.data(), record.size(), sector);
    return isFirstMftRecord(record, p.bytesPerMftRecord, p.bytesPerSector);
  };
  if (p.mftSector == 0 || !isFirstAt(p.mftSector)) {
    // Look for record 0 sector by sector through the MFT's first cluster and the mirror's.
    std::uint64_t a = p.startSector + p.mftLcn * p.sectorsPerCluster;
    std::uint64_t b = p.startSector + p.mftMirrLcn * p.sectorsPerCluster;
    std::uint64_t aEnd = p.startSector + (p.mftLcn + 1) * p.sectorsPerCluster;
    bool found = false;
    for (; a < aEnd && source.run().proceed(); ++a, ++b) {
      if (isFirstAt(a)) { p.mftSector = a; found = true; break; }
      if (p.mftMirrLcn != 0 && isFirstAt(b)) { p.mftSector = b; found = true; break; }
    }
    if (!found) return false;
  }

  Bytes first(record.data(), record.size());
  AttributeWalk walk(first);
  auto standardInformation = walk.next();
  auto second = walk.next();
  if (!standardInformation || !second) return false;

  if (second->type != kAttrAttributeList) {
    std::optional<Attribute> data = second;
    while (data && data->type != kAttrData) {
      if (data->type == 0 || data->type > kAttrData) return false;
      data = walk.next();
    }
    if (!data || !data->nonResident) return false;
    p.mftRecordCount = saturate32(recordsInClusters(p, lastVcn(first, *data) + 1));
    decodeAttributeRuns(first, data->offset, volume.mftRuns);
    return !volume.mftRuns.empty();
  }

  // The MFT's own data is spread over extension records named by its attribute list.
  std::vector<std::uint8_t> list = attributeListBytes(source, p, first, *second);
  std::vector<std::uint8_t> extension;
  std::uint64_t recordCount = 0;
  for (const auto& entry : listEntries(list, kAttrData)) {
    if (entry.type != kAttrData) continue;
    std::uint64_t sector = p.startSector + p.mftLcn * p.sectorsPerCluster +
                           std::uint64_t{entry.record} * p.sectorsPerMftRecord;
    if (!readRecordAt(source, p, sector, extension)) continue;
    Bytes ext(extension.data(), extension.size());
    AttributeWalk extWalk(ext);
    while (auto a = extWalk.next()) {
      if (a->type != entry.type || le16(ext, a->offset + 0x0E) != entry.attributeId) continue;
      if (a->nonResident) {
        std::uint64_t firstV = firstVcn(ext, *a), lastV = lastVcn(ext, *a);
        if (lastV >= firstV) recordCount += recordsInClusters(p, lastV - firstV + 1);
        decodeAttributeRuns(ext, a->offset, volume.mftRuns);
      }
      break;
    }
  }
  p.mftRecordCount = saturate32(recordCount);
  return !volume.mftRuns.empty();
}

std::optional<std::uint64_t> recordSector(const NtfsVolume& volume, std::uint32_t n) {
  const VolumeParameters& p = volume.params;
  if (p.sectorsPerMftRecord == 0) return std::nullopt;
  std::uint64_t before = 0;
  for (const auto& run : volume.mftRuns) {
    std::uint64_t records = run.clusters * p.sectorsPerCluster / p.sectorsPerMftRecord;
    if (n < before + records) {
      if (run.sparse) return std::nullopt;
      return p.startSector + run.lcn * p.sectorsPerCluster + (n - before) * p.sectorsPerMftRecord;
    }
    before += records;
  }
  return std::nullopt;
}

bool readMftRecord(SectorSource& source, const NtfsVolume& volume, std::uint32_t n, std::vector<std::uint8_t>& record) {
  auto sector = recordSector(volume, n);
  if (!sector) return false;
  return readRecordAt(source, volume.params, *sector, record);
}

std::vector<AttributeListEntry> attributeListEntries(SectorSource& source, const VolumeParameters& p, Bytes record,
                                                     const Attribute& list, std::uint32_t maxType) {
  std::vector<std::uint8_t> bytes = attributeListBytes(source, p, record, list);
  return listEntries(Bytes(bytes.data(), bytes.size()), maxType);
}

std::u16string attributeName(Bytes record, const Attribute& a) {
  std::size_t length = le8(record, a.offset + 9);
  std::size_t offset = le16(record, a.offset + 0x0A);
  if (length == 0 || offset == 0 || offset + 2 * length > a.length) return {};
  return readUtf16(record, a.offset + offset, length);
}

namespace {

// Whether record `n`, found for the attribute list of the base record numbered `base`, belongs to
// that file: its base reference names `base`, or it is `base` itself, or (with no reference) it is
// not in use, as the extension records of a deleted file are.
bool belongsTo(Bytes record, std::uint32_t n, std::optional<std::uint32_t> base) {
  if (!base) return true;
  std::uint64_t reference = le64(record, 0x20) & 0x0000FFFFFFFFFFFFull;
  if (reference != 0) return reference == *base;
  return n == *base || (le16(record, 0x16) & 0x01) == 0;
}

}  // namespace

bool readListedRecord(SectorSource& source, const NtfsVolume& volume, Bytes base, std::uint32_t n,
                      std::vector<std::uint8_t>& record) {
  std::optional<std::uint32_t> own = headerRecordNumber(base);
  if (own && *own == n) {
    record.assign(base.begin(), base.end());
    return true;
  }
  if (auto sector = recordSector(volume, n)) {
    if (readRecordAt(source, volume.params, *sector, record) && belongsTo(record, n, own)) return true;
  }
  auto [first, last] = volume.scannedRecords.equal_range(n);
  for (auto it = first; it != last; ++it)
    if (readRecordAt(source, volume.params, it->second, record) && belongsTo(record, n, own)) return true;
  return false;
}

std::vector<NamedStream> namedStreams(SectorSource& source, const NtfsVolume& volume, Bytes record) {
  std::vector<NamedStream> out;
  auto add = [&out](std::u16string name, std::uint64_t size) {
    for (const auto& s : out)
      if (s.name == name) return;
    out.push_back({std::move(name), size});
  };
  auto sizeOf = [](Bytes r, const Attribute& a) -> std::uint64_t {
    return a.nonResident ? le64(r, a.offset + 0x30) : a.value.size();
  };
  AttributeWalk walk(record);
  while (auto a = walk.next()) {
    if (a->type == kAttrAttributeList) {
      std::vector<std::uint8_t> extension;
      for (const auto& entry : attributeListEntries(source, volume.params, record, *a, 0x100)) {
        if (entry.type != kAttrData || entry.name.empty() || entry.startVcn != 0) continue;
        if (!readListedRecord(source, volume, record, entry.record, extension)) continue;
        Bytes ext(extension.data(), extension.size());
        AttributeWalk extWalk(ext);
        while (auto e = extWalk.next()) {
          if (e->type != kAttrData || attributeName(ext, *e) != entry.name) continue;
          if (e->nonResident && le64(ext, e->offset + 0x10) != 0) continue;
          add(entry.name, sizeOf(ext, *e));
          break;
        }
      }
      return out;  // the list names every attribute, those in the base record too
    }
    if (a->type != kAttrData) continue;
    std::u16string name = attributeName(record, *a);
    if (name.empty()) continue;
    if (a->nonResident && le64(record, a->offset + 0x10) != 0) continue;
    add(std::move(name), sizeOf(record, *a));
  }
  return out;
}

std::optional<std::uint32_t> headerRecordNumber(Bytes record) {
  if (le16(record, 0x04) == 48) return le32(record, 0x2C);
  return std::nullopt;
}

namespace {

constexpr std::uint32_t kRootRecord = 5;
constexpr std::uint32_t kFirstUserRecord = 24;  // records below are reserved for metadata

bool isMetadataName(const std::u16string& name) {
  static const std::u16string kMetadata[] = {u"$MFT",    u"$MFTMirr", u"$LogFile", u"$Volume",
                                             u"$AttrDef", u"$Bitmap",  u"$Boot",    u"$BadClus",
                                             u"$Secure", u"$UpCase"};
  return std::find(std::begin(kMetadata), std::end(kMetadata), name) != std::end(kMetadata);
}

// The most a data attribute can hold: what it allocates, and for a plain (neither sparse nor
// compressed) stream no more than the volume has.
std::uint64_t dataLimit(Bytes record, std::size_t attributeOffset, const VolumeParameters& p) {
  std::uint64_t limit = le64(record, attributeOffset + 0x28);
  const std::uint16_t flags = le16(record, attributeOffset + 0x0C);
  const bool sparseOrCompressed = (flags & 0x8000) != 0 || (flags & 0x00FF) != 0;
  const std::uint64_t volumeBytes =
      p.bytesPerSector != 0 && p.sectorCount <= UINT64_MAX / p.bytesPerSector ? p.sectorCount * p.bytesPerSector
                                                                              : UINT64_MAX;
  if (!sparseOrCompressed && volumeBytes != 0) limit = std::min(limit, volumeBytes);
  return limit;
}

void takeDataSize(Bytes record, const Attribute& a, const VolumeParameters& p, RecordFacts& f) {
  if (!a.nonResident) {
    f.dataSize = a.value.size();
    return;
  }
  const std::uint64_t size = le64(record, a.offset + 0x30);
  const std::uint64_t limit = dataLimit(record, a.offset, p);
  f.dataSize = std::min(size, limit);
  f.claimedSize = size > limit ? size : 0;
}

void takeFileName(Bytes value, RecordFacts& f) {
  f.parentRecord = le32(value, 0);
  f.name = fileNameOf(value);
}

// Takes the data size of the first data attribute of an extension record; false when it has none.
bool extensionDataSize(Bytes record, const VolumeParameters& p, RecordFacts& f) {
  AttributeWalk walk(record);
  while (auto a = walk.next()) {
    if (a->type != kAttrData) continue;
    if (a->nonResident) {
      std::uint64_t size = le64(record, a->offset + 0x30);
      if (lastVcn(record, *a) == UINT64_MAX || size == 0 || firstVcn(record, *a) != 0) return false;
      takeDataSize(record, *a, p, f);
      return true;
    }
    if (a->value.empty()) return false;
    f.dataSize = a->value.size();
    return true;
  }
  return false;
}

// Follows an attribute list for the file name and data size kept in extension records.
bool factsFromAttributeList(SectorSource& source, const NtfsVolume& volume, Bytes record, const Attribute& list,
                            RecordFacts& f) {
  std::vector<std::uint8_t> extension;
  bool found = false;
  for (const auto& entry : attributeListEntries(source, volume.params, record, list, 0x100)) {
    if (entry.type == kAttrFileName) {
      if (!readListedRecord(source, volume, record, entry.record, extension)) continue;
      Bytes ext(extension.data(), extension.size());
      AttributeWalk walk(ext);
      std::optional<Attribute> last;
      while (auto a = walk.next())
        if (a->type == kAttrFileName) last = a;
      if (last) {
        takeFileName(last->value, f);
        found = true;
      }
    } else if (entry.type == kAttrData && entry.startVcn == 0 && entry.name.empty()) {
      if (!readListedRecord(source, volume, record, entry.record, extension)) continue;
      if (extensionDataSize(Bytes(extension.data(), extension.size()), volume.params, f)) return true;
    }
  }
  return found;
}

}  // namespace

bool readRecordFacts(SectorSource& source, const NtfsVolume& volume, Bytes record, RecordFacts& f,
                     std::optional<std::uint32_t> position) {
  f = RecordFacts{};
  std::uint16_t flags = le16(record, 0x16);
  AttributeWalk walk(record);
  while (auto a = walk.next()) {
    if (a->type == kAttrStandardInformation) {
      f.createdDate = fileTimeToDosDate(le64(a->value, 0x00));
      f.accessedDate = fileTimeToDosDate(le64(a->value, 0x18));
      // Bit 0x8000 (an integrity stream elsewhere, never set here) marks entries whose size was cut.
      f.attributes = static_cast<std::uint16_t>(le32(a->value, 0x20) & 0x7FFF);
      switch (flags & 3) {
        case 1: f.attributes = static_cast<std::uint16_t>((f.attributes & ~0x10) | 0x08); break;
        case 2: f.attributes = static_cast<std::uint16_t>(f.attributes | 0x10); break;
        case 3: f.attributes = static_cast<std::uint16_t>(f.attributes | 0x18); break;
        default: f.attributes = static_cast<std::uint16_t>(f.attributes & ~0x10); break;
      }
    } else if (a->type == kAttrFileName) {
      if (le8(a->value, 0x41) != 2 && a->value.size() >= 0x42) takeFileName(a->value, f);
    } else if (a->type == kAttrAttributeList) {
      bool found = factsFromAttributeList(source, volume, record, *a, f);
      if (!((flags & 0x02) && found)) break;
    } else if (a->type == kAttrData && unnamed(record, *a)) {
      takeDataSize(record, *a, volume.params, f);
      break;
    } else if (a->type == kAttrIndexRoot) {
      Bytes root = a->value;
      std::uint32_t indexLength = le32(root, 0x14);
      if (le32(root, 0) == kAttrFileName && indexLength == le32(root, 0x18) && indexLength >= 41) {
        std::size_t entry = 0x10 + std::size_t{le32(root, 0x10)};
        f.selfRecord = le32(root, entry + 0x10);
      }
      break;
    }
  }
  std::optional<std::uint32_t> own = headerRecordNumber(record);
  if (!own && f.selfRecord != 0) own = f.selfRecord;
  if (!own) own = position;
  const bool inRoot = f.parentRecord == kRootRecord;
  const bool root = inRoot && (own == kRootRecord || f.selfRecord == kRootRecord);
  const bool metadata = inRoot && isMetadataName(f.name) && (!own || *own < kFirstUserRecord);
  // A record in which no usable file name was found has parent 0 (no folder is record 0).
  const bool nameless = f.parentRecord == 0 && f.selfRecord == 0;
  if (root || metadata || nameless) {
    f.name.clear();
    return false;
  }
  if (auto number = headerRecordNumber(record)) f.recordNumber = *number;
  else f.recordNumber = f.selfRecord;
  return true;
}

bool checkIndexRecord(MutableBytes r, std::uint32_t bps, std::uint8_t sectorsPerIndexRecord) {
  Bytes b(r.data(), r.size());
  if (!fits(b, 0, 0x28) || b[0] != 'I' || b[1] != 'N' || b[2] != 'D' || b[3] != 'X') return false;
  std::uint16_t usOffset = le16(b, 0x04);
  std::uint16_t usCount = le16(b, 0x06);
  if (usOffset % 8 != 0) return false;
  // One update sequence entry per sector, or per 512 bytes (see updateSequenceStride).
  std::uint32_t stride = bps;
  if (static_cast<std::uint16_t>(usCount - 1) != sectorsPerIndexRecord) {
    if (bps <= 512 || std::uint32_t{static_cast<std::uint16_t>(usCount - 1)} != sectorsPerIndexRecord * bps / 512)
      return false;
    stride = 512;
  }
  std::uint32_t entriesOffset = le32(b, 0x18);
  std::uint32_t indexLength = le32(b, 0x1C);
  std::uint32_t allocated = le32(b, 0x20);
  if (entriesOffset % 8 != 0 || indexLength > allocated || indexLength % 8 != 0 || allocated % 8 != 0) return false;
  std::uint64_t limit = std::uint64_t{indexLength} + 24;
  if (stride > limit) return true;
  return applyFixups(r, usOffset, usCount, static_cast<std::uint32_t>(std::min<std::uint64_t>(limit, UINT32_MAX)), stride);
}

std::uint16_t fileTimeToDosDate(std::uint64_t fileTime) {
  std::int64_t days = static_cast<std::int64_t>(fileTime / 10000000ULL / 86400ULL) - 134774;  // days since 1970
  // Civil date from a day count (proleptic Gregorian calendar).
  days += 719468;
  std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  std::int64_t dayOfEra = days - era * 146097;
  std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  std::int64_t year = yearOfEra + era * 400;
  std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  std::int64_t mp = (5 * dayOfYear + 2) / 153;
  std::int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
  std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  if (month <= 2) ++year;
  if (year < 1980 || year > 2107) return 0;
  return static_cast<std::uint16_t>(day | (month << 5) | ((year - 1980) << 9));
}

}  // namespace ov::ntfs
