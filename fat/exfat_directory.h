// exFAT directory data: 32-byte entries grouped into entry sets (a file entry, its stream
// extension and its file name entries, guarded by a 16-bit set checksum) beside the root's
// allocation bitmap, up-case table and volume label entries. Parsing is a single pass over the
// bytes given, so any input ends in bounded time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "disk/byte_io.h"

namespace ov::fat {

inline constexpr std::size_t kExFatEntryBytes = 32;
inline constexpr std::uint8_t kExFatInUse = 0x80;
inline constexpr std::uint8_t kExFatFileEntry = 0x85;
inline constexpr std::uint8_t kExFatStreamEntry = 0xC0;
inline constexpr std::uint8_t kExFatNameEntry = 0xC1;
inline constexpr std::uint8_t kExFatBitmapEntry = 0x81;
inline constexpr std::uint8_t kExFatUpcaseEntry = 0x82;
inline constexpr std::uint8_t kExFatLabelEntry = 0x83;
// A set holds at most 18 secondary entries: the stream extension and 17 name entries of 15
// units (255 units), or fewer names and vendor entries.
inline constexpr std::uint8_t kExFatMaxSecondaries = 18;
inline constexpr std::size_t kExFatNameUnitsPerEntry = 15;
// No exFAT directory is larger than this.
inline constexpr std::uint64_t kExFatMaxDirectoryBytes = std::uint64_t{256} << 20;

// Stream extension flags.
inline constexpr std::uint8_t kExFatAllocationPossible = 0x01;
inline constexpr std::uint8_t kExFatNoFatChain = 0x02;

// A timestamp: the DOS date in the high 16 bits and the time in the low 16 (2-second steps),
// hundredths added by `tenMs` (0 to 199, in 10 ms units) and the UTC offset (bit 7: valid;
// bits 0-6: signed quarter hours).
struct ExFatTimestamp {
  std::uint32_t dos = 0;
  std::uint8_t tenMs = 0;
  std::uint8_t utcOffset = 0;
  std::uint16_t date() const { return static_cast<std::uint16_t>(dos >> 16); }
  // Minutes east of UTC; nullopt when the offset is not recorded.
  std::optional<int> utcOffsetMinutes() const;
};

struct ExFatEntrySet {
  std::size_t offset = 0;   // of the file entry in the data parsed
  std::size_t entries = 0;  // the file entry and its secondaries
  bool inUse = false;       // false: a deleted set (every in-use bit cleared)
  bool checksumOk = false;
  std::uint16_t attributes = 0;  // 0x10 folder, as in FAT
  ExFatTimestamp created, modified, accessed;
  std::uint8_t streamFlags = 0;
  std::uint32_t firstCluster = 0;
  std::uint64_t dataLength = 0;
  std::uint64_t validDataLength = 0;
  std::u16string name;  // at most 255 units; shorter than nameLength when units were 0

  bool isFolder() const { return (attributes & 0x10) != 0; }
  bool noFatChain() const { return (streamFlags & kExFatNoFatChain) != 0; }
};

// The root directory's own entries.
struct ExFatRootEntries {
  bool bitmap = false, upcase = false, label = false;
  std::uint32_t bitmapCluster = 0;
  std::uint64_t bitmapLength = 0;
  std::uint32_t upcaseCluster = 0;
  std::uint64_t upcaseLength = 0;
  std::uint32_t upcaseChecksum = 0;
  std::u16string labelText;
};

struct ExFatDirectory {
  std::vector<ExFatEntrySet> sets;  // in the order of the data
  ExFatRootEntries root;
  bool ended = false;  // an end-of-directory entry was met (and parsing stopped there)
};

// The checksum of a set's bytes (its file entry's bytes 2-3 left out). Each entry's type is
// taken with its in-use bit set, so a deleted set checks against the sum stored when it was live.
std::uint16_t exFatSetChecksum(Bytes set);
// A checksum of 32 bits over bytes, as the up-case table's entry holds it.
std::uint32_t exFatTableChecksum(Bytes table);

// The entry set whose file entry lies at `at`; nullopt when the entries there do not form one
// (wrong types, a stream extension missing, too few name entries, a set running past the data,
// in-use bits that disagree). A set whose checksum fails is returned with checksumOk false.
std::optional<ExFatEntrySet> parseExFatEntrySet(Bytes data, std::size_t at);

// Every set in directory data, live and deleted, and the root's own entries. With `stopAtEnd`
// parsing ends at the first end-of-directory entry (type 0); without it, entries past it are
// read too (the data of a deleted folder). Sets of `maxSets` or more are not kept.
ExFatDirectory parseExFatDirectory(Bytes data, bool stopAtEnd, std::size_t maxSets = SIZE_MAX);

}  // namespace ov::fat
