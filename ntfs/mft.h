// The selected volume's parameters, the MFT's run list, and the decoding of single records into
// the facts that the directory tree keeps about a file.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "disk/sector_source.h"
#include "ntfs/file_record.h"
#include "ntfs/logical_volume.h"
#include "ntfs/run_list.h"

namespace ov::ntfs {

// The current volume's parameters, with defaults filled in for fields the volume left at 0.
struct VolumeParameters {
  std::uint64_t sectorCount = 0;
  std::uint64_t mftSector = 0;
  std::uint64_t mftLcn = 0;
  std::uint64_t mftMirrLcn = 0;
  std::uint64_t serialNumber = 0;
  std::uint64_t startSector = 0;
  std::uint32_t mftRecordCount = 0;
  std::uint32_t bytesPerMftRecord = 0;
  std::uint32_t bytesPerIndexRecord = 0;
  std::uint32_t bytesPerCluster = 0;
  std::uint16_t bytesPerSector = 0;
  std::uint8_t sectorsPerMftRecord = 0;
  std::uint8_t sectorsPerIndexRecord = 0;
  std::uint8_t sectorsPerCluster = 0;
  std::uint8_t turboScanMark = 0;

  bool operator==(const VolumeParameters&) const = default;
};

VolumeParameters selectVolume(const LogicalVolume& volume, std::uint16_t sourceBytesPerSector);

inline constexpr std::size_t kStoredParametersBytes = 74;
inline constexpr std::size_t kStoredRunBytes = 16;
std::array<std::uint8_t, kStoredParametersBytes> encodeParameters(const VolumeParameters& p, bool hasRuns);
std::optional<VolumeParameters> decodeParameters(Bytes stored, bool* hasRuns = nullptr);
std::array<std::uint8_t, kStoredRunBytes> encodeRun(const Run& run, bool hasNext);
std::optional<Run> decodeRun(Bytes stored, bool* hasNext = nullptr);

// The volume being recovered: its parameters, the MFT's runs and how many records they cover.
struct NtfsVolume {
  VolumeParameters params;
  std::vector<Run> mftRuns;
  // Extension records the Turbo Scan found, by the number in their headers: where an attribute
  // list's records are looked up when the MFT's runs do not give them (the MFT is damaged, or
  // the record found lies outside it). Not saved with a scan.
  std::unordered_multimap<std::uint32_t, std::uint64_t> scannedRecords;
  std::uint32_t mftRecordCount() const { return params.mftRecordCount; }
};

// Bounds scannedRecords on hostile images.
inline constexpr std::size_t kMaxScannedRecords = 1u << 20;

// Locates the MFT (falling back to the mirror) and decodes its run list, also when the MFT is
// described by an attribute list. True when the run list is not empty.
bool setupMft(SectorSource& source, NtfsVolume& volume);

// Absolute sector of MFT record `n`, or nullopt beyond the run list.
std::optional<std::uint64_t> recordSector(const NtfsVolume& volume, std::uint32_t n);

// Reads and checks MFT record `n`; false when it cannot be read or fails the check.
bool readMftRecord(SectorSource& source, const NtfsVolume& volume, std::uint32_t n, std::vector<std::uint8_t>& record);

// Reads record `n` named by the attribute list of `base` (the base record, checked): the base
// record itself, or an extension record through the MFT's runs, else where the Turbo Scan saw
// it. A record that belongs to another file (an extension of another base record, or another
// file's live base record) is refused; false when no fitting record is found.
bool readListedRecord(SectorSource& source, const NtfsVolume& volume, Bytes base, std::uint32_t n,
                      std::vector<std::uint8_t>& record);

// One entry of an attribute list.
struct AttributeListEntry {
  std::uint32_t type = 0;
  std::uint64_t startVcn = 0;
  std::uint32_t record = 0;
  std::uint16_t attributeId = 0;
  std::u16string name;
};
// The entries of a base record's attribute list (resident or not), up to one whose type is
// outside the valid set or above `maxType`.
std::vector<AttributeListEntry> attributeListEntries(SectorSource& source, const VolumeParameters& p, Bytes record,
                                                     const Attribute& list, std::uint32_t maxType);

// The name of an attribute (empty for an unnamed one, or a name outside the attribute).
std::u16string attributeName(Bytes record, const Attribute& attribute);

// A named data stream ("alternate data stream") of a file: its name and size.
struct NamedStream {
  std::u16string name;
  std::uint64_t size = 0;
};
// The named data streams of a checked base record, also those kept in extension records, in
// the order of the record or its attribute list.
std::vector<NamedStream> namedStreams(SectorSource& source, const NtfsVolume& volume, Bytes record);

// What the tree keeps about one base record.
struct RecordFacts {
  std::uint64_t dataSize = 0;
  // The size the record claims when it is more than its data can hold (dataSize is then cut to
  // what the data attribute allocates, and for a plain file to the volume's size); else 0.
  std::uint64_t claimedSize = 0;
  std::uint32_t recordNumber = 0;
  std::uint32_t parentRecord = 0;
  std::uint32_t selfRecord = 0;
  std::u16string name;
  std::uint16_t attributes = 0;
  std::uint16_t createdDate = 0;
  std::uint16_t accessedDate = 0;
};

// Decodes a record that passed checkFileRecord; true when the record is a file or folder to list.
// Not listed: the root folder's own record and the metadata files, which are the records below
// 24 in the root (a file named "$MFT" anywhere else is an ordinary file). `position` is the
// record's place in the MFT where the caller knows it, for records that do not carry their own
// number; without either, a metadata file's name in the root decides.
bool readRecordFacts(SectorSource& source, const NtfsVolume& volume, Bytes record, RecordFacts& facts,
                     std::optional<std::uint32_t> position = std::nullopt);

// The record number a listed record carries in its header (update-sequence offset 48), if any.
std::optional<std::uint32_t> headerRecordNumber(Bytes record);

// Checks an "INDX" record and applies its fixups in place.
bool checkIndexRecord(MutableBytes record, std::uint32_t bytesPerSector, std::uint8_t sectorsPerIndexRecord);

// FILETIME (100 ns since 1601, UTC) to a DOS date; 0 outside 1980-2107.
std::uint16_t fileTimeToDosDate(std::uint64_t fileTime);

}  // namespace ov::ntfs
