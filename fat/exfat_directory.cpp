#include "fat/exfat_directory.h"

#include <algorithm>

namespace ov::fat {
namespace {

bool isSecondary(std::uint8_t type) { return (type & 0x40) != 0; }

ExFatTimestamp timestampAt(Bytes e, std::size_t at, std::size_t tenMsAt, std::size_t offsetAt) {
  ExFatTimestamp t;
  t.dos = le32(e, at);
  t.tenMs = tenMsAt != 0 ? le8(e, tenMsAt) : 0;
  t.utcOffset = le8(e, offsetAt);
  return t;
}

}  // namespace

std::optional<int> ExFatTimestamp::utcOffsetMinutes() const {
  if ((utcOffset & 0x80) == 0) return std::nullopt;
  int quarters = utcOffset & 0x7F;
  if (quarters >= 0x40) quarters -= 0x80;
  return quarters * 15;
}

std::uint16_t exFatSetChecksum(Bytes set) {
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < set.size(); ++i) {
    if (i == 2 || i == 3) continue;
    std::uint8_t byte = set[i];
    if (i % kExFatEntryBytes == 0) byte |= kExFatInUse;
    sum = static_cast<std::uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + byte);
  }
  return sum;
}

std::uint32_t exFatTableChecksum(Bytes table) {
  std::uint32_t sum = 0;
  for (std::uint8_t byte : table) sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + byte;
  return sum;
}

std::optional<ExFatEntrySet> parseExFatEntrySet(Bytes data, std::size_t at) {
  if (!fits(data, at, 2 * kExFatEntryBytes)) return std::nullopt;
  const std::uint8_t type = data[at];
  if ((type & 0x7F) != (kExFatFileEntry & 0x7F)) return std::nullopt;
  const bool inUse = (type & kExFatInUse) != 0;
  const std::uint8_t secondaries = data[at + 1];
  if (secondaries < 2 || secondaries > kExFatMaxSecondaries) return std::nullopt;
  const std::size_t entries = std::size_t{secondaries} + 1;
  if (!fits(data, at, entries * kExFatEntryBytes)) return std::nullopt;
  Bytes set = data.subspan(at, entries * kExFatEntryBytes);
  auto typeOf = [&](std::size_t k) { return set[k * kExFatEntryBytes]; };
  // Every secondary must carry the file entry's in-use bit: a set half overwritten by a newer
  // one is not a set.
  for (std::size_t k = 1; k < entries; ++k) {
    const std::uint8_t t = typeOf(k);
    if (!isSecondary(t) || ((t & kExFatInUse) != 0) != inUse) return std::nullopt;
  }
  if ((typeOf(1) | kExFatInUse) != kExFatStreamEntry) return std::nullopt;
  Bytes stream = set.subspan(kExFatEntryBytes, kExFatEntryBytes);
  const std::size_t nameLength = stream[3];
  const std::size_t nameEntries = (nameLength + kExFatNameUnitsPerEntry - 1) / kExFatNameUnitsPerEntry;
  if (nameLength == 0 || nameEntries > entries - 2) return std::nullopt;
  for (std::size_t k = 0; k < nameEntries; ++k)
    if ((typeOf(2 + k) | kExFatInUse) != kExFatNameEntry) return std::nullopt;

  ExFatEntrySet s;
  s.offset = at;
  s.entries = entries;
  s.inUse = inUse;
  s.checksumOk = exFatSetChecksum(set) == le16(set, 2);
  s.attributes = le16(set, 4);
  s.created = timestampAt(set, 8, 20, 22);
  s.modified = timestampAt(set, 12, 21, 23);
  s.accessed = timestampAt(set, 16, 0, 24);
  s.streamFlags = stream[1];
  s.validDataLength = le64(stream, 8);
  s.firstCluster = le32(stream, 20);
  s.dataLength = le64(stream, 24);
  for (std::size_t k = 0; k < nameEntries && s.name.size() < nameLength; ++k) {
    const std::size_t base = (2 + k) * kExFatEntryBytes + 2;
    for (std::size_t u = 0; u < kExFatNameUnitsPerEntry && s.name.size() < nameLength; ++u) {
      const char16_t unit = le16(set, base + 2 * u);
      if (unit == 0) {
        k = nameEntries;  // the name ends early
        break;
      }
      s.name.push_back(unit);
    }
  }
  return s;
}

ExFatDirectory parseExFatDirectory(Bytes data, bool stopAtEnd, std::size_t maxSets) {
  ExFatDirectory d;
  const std::size_t length = data.size() - data.size() % kExFatEntryBytes;
  for (std::size_t at = 0; at < length;) {
    const std::uint8_t type = data[at];
    if (type == 0 && stopAtEnd) {
      d.ended = true;
      break;
    }
    Bytes e = data.subspan(at, kExFatEntryBytes);
    if ((type & 0x7F) == (kExFatFileEntry & 0x7F)) {
      if (auto set = parseExFatEntrySet(data, at)) {
        at += set->entries * kExFatEntryBytes;
        if (d.sets.size() < maxSets) d.sets.push_back(std::move(*set));
        continue;
      }
    } else if (type == kExFatBitmapEntry && !d.root.bitmap) {
      // The first bitmap entry describes the first (or only) FAT's bitmap.
      d.root.bitmap = true;
      d.root.bitmapCluster = le32(e, 20);
      d.root.bitmapLength = le64(e, 24);
    } else if (type == kExFatUpcaseEntry && !d.root.upcase) {
      d.root.upcase = true;
      d.root.upcaseChecksum = le32(e, 4);
      d.root.upcaseCluster = le32(e, 20);
      d.root.upcaseLength = le64(e, 24);
    } else if (type == kExFatLabelEntry && !d.root.label) {
      d.root.label = true;
      const std::size_t units = std::min<std::size_t>(e[1], 11);
      d.root.labelText = readUtf16(e, 2, units);
    }
    at += kExFatEntryBytes;
  }
  return d;
}

}  // namespace ov::fat
