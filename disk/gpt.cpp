#include "disk/gpt.h"

#include <zlib.h>

#include <cstdio>

namespace ov {
namespace {

std::uint32_t crc32Of(Bytes bytes) {
  uLong crc = crc32(0L, Z_NULL, 0);
  std::size_t at = 0;
  while (at < bytes.size()) {
    auto piece = static_cast<uInt>(std::min<std::size_t>(bytes.size() - at, 1u << 30));
    crc = crc32(crc, bytes.data() + at, piece);
    at += piece;
  }
  return static_cast<std::uint32_t>(crc);
}

std::string guidText(Bytes b) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", le32(b, 0), le16(b, 4),
                le16(b, 6), b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

bool readEntries(SectorSource& source, const GptHeader& h, std::vector<std::uint8_t>& entries) {
  std::uint16_t bps = source.bytesPerSector();
  std::uint64_t bytes = std::uint64_t{h.entryCount} * h.entryBytes;
  std::uint64_t sectors = (bytes + bps - 1) / bps;
  if (h.entriesLba >= source.totalSectors() || sectors > source.totalSectors() - h.entriesLba) return false;
  entries.assign(static_cast<std::size_t>(sectors * bps), 0);
  source.readSectorsRetrying(entries.data(), entries.size(), h.entriesLba);
  return crc32Of(Bytes(entries.data(), static_cast<std::size_t>(bytes))) == h.entriesCrc;
}

}  // namespace

const char* partitionTableName(PartitionTableKind kind) {
  switch (kind) {
    case PartitionTableKind::Mbr: return "MBR";
    case PartitionTableKind::Gpt: return "GPT";
    default: return "none";
  }
}

std::string gptTypeName(const std::string& guid) {
  static const std::pair<const char*, const char*> kKnown[] = {
      {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Basic data"},
      {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", "EFI system"},
      {"E3C9E316-0B5C-4DB8-817D-F92DF00215AE", "Microsoft reserved"},
      {"DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", "Windows recovery"},
      {"0FC63DAF-8483-4772-8E79-3D69D8477DE4", "Linux filesystem"},
      {"0657FD6D-A4AB-43C4-84E5-0933C84B4F4F", "Linux swap"},
  };
  for (const auto& [g, name] : kKnown)
    if (guid == g) return name;
  return guid;
}

bool hasProtectiveMbr(Bytes s) {
  if (s.size() < 512 || le16(s, 0x1FE) != 0xAA55) return false;
  for (std::size_t i = 0; i < 4; ++i)
    if (s[0x1BE + 16 * i + 4] == 0xEE) return true;
  return false;
}

bool parseGptHeader(Bytes s, GptHeader& h) {
  if (s.size() < 92) return false;
  static const char kSignature[] = "EFI PART";
  for (int i = 0; i < 8; ++i)
    if (s[static_cast<std::size_t>(i)] != static_cast<std::uint8_t>(kSignature[i])) return false;
  std::uint32_t headerSize = le32(s, 12);
  if (headerSize < 92 || headerSize > s.size()) return false;
  std::vector<std::uint8_t> copy(s.begin(), s.begin() + headerSize);
  writeLe<std::uint32_t>(copy, 16, 0);  // the CRC is computed with its own field zeroed
  if (crc32Of(copy) != le32(s, 16)) return false;
  h.currentLba = le64(s, 24);
  h.entriesLba = le64(s, 72);
  h.entryCount = le32(s, 80);
  h.entryBytes = le32(s, 84);
  h.entriesCrc = le32(s, 88);
  return h.entryCount <= kMaxGptEntries && h.entryBytes >= 128 && h.entryBytes <= kMaxGptEntryBytes &&
         h.entryBytes % 8 == 0;
}

std::vector<GptPartition> parseGptEntries(Bytes entries, const GptHeader& h) {
  std::vector<GptPartition> out;
  for (std::uint32_t i = 0; i < h.entryCount; ++i) {
    std::size_t at = std::size_t{i} * h.entryBytes;
    if (!fits(entries, at, 128)) break;
    Bytes e = entries.subspan(at, 128);
    bool empty = true;
    for (std::size_t k = 0; k < 16; ++k) empty = empty && e[k] == 0;
    if (empty) continue;
    GptPartition p;
    p.typeGuid = guidText(e.subspan(0, 16));
    p.firstLba = le64(e, 32);
    p.lastLba = le64(e, 40);
    std::u16string name;
    for (std::size_t k = 0; k < 36; ++k) {
      char16_t unit = le16(e, 56 + 2 * k);
      if (unit == 0) break;
      name += unit;
    }
    p.name = utf16ToUtf8(name);
    p.index = i + 1;
    if (p.lastLba >= p.firstLba) out.push_back(std::move(p));
  }
  return out;
}

bool readGpt(SectorSource& source, std::vector<GptPartition>& partitions, bool& usedBackup) {
  partitions.clear();
  usedBackup = false;
  const std::uint16_t bps = source.bytesPerSector();
  if (bps < 512 || source.totalSectors() < 3) return false;
  std::vector<std::uint8_t> sector(bps, 0);
  std::vector<std::uint8_t> entries;
  for (int copy = 0; copy < 2; ++copy) {
    std::uint64_t lba = copy == 0 ? 1 : source.totalSectors() - 1;
    std::fill(sector.begin(), sector.end(), 0);
    source.readSectorsRetrying(sector.data(), bps, lba);
    GptHeader header;
    if (!parseGptHeader(sector, header) || header.currentLba != lba) continue;
    if (!readEntries(source, header, entries)) continue;
    partitions = parseGptEntries(entries, header);
    usedBackup = copy == 1;
    return true;
  }
  return false;
}

}  // namespace ov
