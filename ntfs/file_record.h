// MFT file records: the record check with its update-sequence fixups, and the tests that
// recognise the first record of the MFT and of its mirror.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "disk/byte_io.h"

namespace ov::ntfs {

inline constexpr std::uint32_t kAttrStandardInformation = 0x10;
inline constexpr std::uint32_t kAttrAttributeList = 0x20;
inline constexpr std::uint32_t kAttrFileName = 0x30;
inline constexpr std::uint32_t kAttrData = 0x80;
inline constexpr std::uint32_t kAttrIndexRoot = 0x90;
inline constexpr std::uint32_t kAttrBitmap = 0xB0;
inline constexpr std::uint32_t kAttrEnd = 0xFFFFFFFF;

// Checks a record of `recordBytes` bytes and applies its fixups in place.
bool checkFileRecord(MutableBytes record, std::uint32_t recordBytes, std::uint32_t bytesPerSector);

// The distance between the fixed-up words of a record: the sector size when the update sequence
// has one entry per sector, else 512 when it has one per 512 bytes (NTFS protects records in
// 512-byte strides whatever the sector size: a 4096-byte record on a disk with 4096-byte
// sectors has nine entries). 0 when neither fits.
std::uint32_t updateSequenceStride(std::uint16_t sequenceCount, std::uint32_t recordBytes, std::uint32_t bytesPerSector);

// Applies the update-sequence fixups to every sector end E <= limit; false on a mismatch.
bool applyFixups(MutableBytes record, std::uint16_t sequenceOffset, std::uint16_t sequenceCount,
                 std::uint32_t limit, std::uint32_t bytesPerSector);

// One attribute of a checked record: where it starts and its common header fields.
struct Attribute {
  std::size_t offset = 0;
  std::uint32_t type = 0;
  std::uint32_t length = 0;
  bool nonResident = false;
  // Resident value (empty for non-resident attributes or a value outside the record).
  Bytes value;
};

// Walks the attributes of a record that passed checkFileRecord, up to its bytes in use.
class AttributeWalk {
 public:
  explicit AttributeWalk(Bytes record);
  // The next attribute, or nullopt at the end marker, at the bytes in use or at a bad length.
  std::optional<Attribute> next();

 private:
  Bytes record_;
  std::size_t offset_;
  std::size_t limit_;
};

// Name of a file-name attribute value, and its namespace byte.
std::u16string fileNameOf(Bytes fileNameValue);

// The first run of a non-resident attribute's run list: its cluster (0 when it has none).
std::uint64_t firstRunCluster(Bytes record, const Attribute& attribute);

// Record 0 of the MFT ("$MFT") and record 1 ("$MFTMirr"), after checkFileRecord.
bool isFirstMftRecord(MutableBytes record, std::uint32_t recordBytes, std::uint32_t bytesPerSector);
bool isFirstMirrorRecord(MutableBytes record, std::uint32_t recordBytes, std::uint32_t bytesPerSector);

}  // namespace ov::ntfs
