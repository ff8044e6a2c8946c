// GUID partition tables: the protective MBR, the primary header at sector 1 and the backup at the
// disk's last sector, each checked with its CRC32 and that of its entry array.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk/byte_io.h"
#include "disk/sector_source.h"

namespace ov {

struct GptPartition {
  std::uint64_t firstLba = 0;
  std::uint64_t lastLba = 0;
  std::string typeGuid;  // "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"
  std::string name;      // the partition's name, UTF-8
  std::uint32_t index = 0;  // position in the entry array, from 1
};

enum class PartitionTableKind { None, Mbr, Gpt };
const char* partitionTableName(PartitionTableKind kind);

// A readable name for the common partition types ("Basic data", "EFI system", ...), else the GUID.
std::string gptTypeName(const std::string& typeGuid);

// Limits that keep a damaged header from making the reader allocate or read absurd amounts.
inline constexpr std::uint32_t kMaxGptEntries = 16384;
inline constexpr std::uint32_t kMaxGptEntryBytes = 4096;

// True when sector 0 is a protective MBR (an entry of type 0xEE).
bool hasProtectiveMbr(Bytes sector0);

// Reads the table: the primary copy when it and its entries pass their checks, else the backup
// (and `usedBackup` is set). False when neither copy is valid. Entries of type zero are left out.
bool readGpt(SectorSource& source, std::vector<GptPartition>& partitions, bool& usedBackup);

// Checks one header sector (signature, size, CRC32) and returns where its entries are.
struct GptHeader {
  std::uint64_t currentLba = 0;
  std::uint64_t entriesLba = 0;
  std::uint32_t entryCount = 0;
  std::uint32_t entryBytes = 0;
  std::uint32_t entriesCrc = 0;
};
bool parseGptHeader(Bytes sector, GptHeader& header);
// Parses an entry array whose CRC32 has been checked.
std::vector<GptPartition> parseGptEntries(Bytes entries, const GptHeader& header);

}  // namespace ov
