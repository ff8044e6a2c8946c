// An NTFS volume found on the source, and its 76-byte stored form.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "disk/byte_io.h"

namespace ov::ntfs {

enum FoundBy : std::uint8_t {
  kFoundBootSector = 1,    // boot sector found by a search
  kFoundMftCopies = 2,     // MFT record and its copy found
  kFoundMftMirrorPair = 4, // MFT record and mirror record paired
  kFoundBootAgain = 8,     // boot sector found again by the thorough search
};

struct LogicalVolume {
  std::uint64_t startSector = 0;
  std::uint64_t sectorCount = 0;
  std::uint64_t mftSector = 0;
  std::uint64_t mftLcn = 0;
  std::uint64_t mftMirrLcn = 0;
  std::uint64_t serialNumber = 0;
  std::uint32_t indexRecordBytes = 0;
  std::uint32_t bytesPerCluster = 0;
  std::uint16_t mftRecordBytes = 0;
  std::uint16_t bytesPerSector = 0;
  std::uint8_t sectorsPerCluster = 0;
  std::uint8_t sectorsPerMftRecord = 0;
  std::uint8_t sectorsPerIndexRecord = 0;
  std::uint8_t foundBy = 0;
  // Where a GPT listed the volume: the partition's name and type. Not part of the stored form.
  std::string partitionName;
  std::string partitionType;

  bool operator==(const LogicalVolume&) const = default;
};

inline constexpr std::size_t kStoredVolumeBytes = 76;

// The stored form; `hasNext` fills the link field (non-zero when another record follows).
std::array<std::uint8_t, kStoredVolumeBytes> encodeVolume(const LogicalVolume& v, bool hasNext);
// Decodes one stored record; nullopt when fewer than 76 bytes are given.
std::optional<LogicalVolume> decodeVolume(Bytes stored, bool* hasNext = nullptr);

// The volume list's rows: "NTFS logical drive %u" and the size of sectorCount × bytesPerSector.
std::string volumeLabel(std::size_t numberFromOne);
std::string volumeSizeText(const LogicalVolume& v);
// How a volume was found, from its flags: "partition table" (none), or "boot sector", "boot sector
// again", "MFT copies", "MFT and mirror" joined by commas.
std::string foundByText(std::uint8_t flags);
// "%7.3f KB" below 1 MiB, "%7.3f MB" below 1 GiB, else "%7.3f GB".
std::string byteSizeText(std::uint64_t bytes);

}  // namespace ov::ntfs
