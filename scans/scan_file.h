// The container shared by the scan information files: magic numbers, the 542-byte source
// block, bounded sequential reading and writing, default names and result texts.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "disk/byte_io.h"

namespace ov {

inline constexpr std::uint32_t kPartitionScanMagic = 0x01010000;  // bytes 00 00 01 01
inline constexpr std::uint32_t kDiskScanMagic = 0x00000101;       // bytes 01 01 00 00
inline constexpr std::uint32_t kScanSeparator = 0x01010101;
inline constexpr std::size_t kSourceBlockBytes = 542;
inline constexpr std::size_t kSourcePathUnits = 256;

// What a scan file keeps of the source it was made from.
struct SourceBlock {
  std::string path;  // the device or image path (UTF-8 here, UTF-16 in the file)
  std::uint32_t handle = 0;
  std::uint16_t bytesPerSector = 0;
  std::uint64_t totalSectors = 0;
  std::uint64_t reserved = 0;
  bool hasVolumes = false;  // the list head: volume records follow
  std::uint32_t tail = 0;

  bool operator==(const SourceBlock&) const = default;
};

std::array<std::uint8_t, kSourceBlockBytes> encodeSourceBlock(const SourceBlock& block);
// Nullopt when fewer than 542 bytes are given. A path without its terminator is cut at 255 units.
std::optional<SourceBlock> decodeSourceBlock(Bytes stored);
// True when the path fits in the block with its terminator (255 UTF-16 units).
bool fitsSourceBlock(const std::string& path);

// "OV NTFS Scan Info# 09-Sept-2008.ovt" and "OV NTFS Scan Information # Tue, 09-Sept-2008".
std::string partitionScanDefaultName(const std::tm& local, const std::string& engineWord);
std::string diskScanDefaultName(const std::tm& local, const std::string& engineWord);
// Appends the extension when the name does not already end with it (letters without case).
std::string withExtension(const std::string& path, const std::string& extension);

// Sequential reads from a scan file that never go past its end, so that no size read from the
// file can make the reader allocate or read more than the file holds.
class ScanFileReader {
 public:
  // Opens read-only; errno in `error` on failure.
  ScanFileReader(const std::string& path, int& error);
  ~ScanFileReader();
  ScanFileReader(const ScanFileReader&) = delete;
  ScanFileReader& operator=(const ScanFileReader&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  std::uint64_t remaining() const { return size_ - position_; }
  // False (nothing read) when fewer than `length` bytes are left or the read fails.
  bool read(std::uint8_t* out, std::size_t length);
  bool readU32(std::uint32_t& value);
  bool readU64(std::uint64_t& value);
  // Copies `length` bytes into the open file `outFd` in pieces; false on a short file or error.
  bool copyTo(int outFd, std::uint64_t length, std::size_t piece, int& error);

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::uint64_t position_ = 0;
};

// Sequential writes; the first failure is kept and every later write is skipped.
class ScanFileWriter {
 public:
  // Creates (replacing) the file; errno in `error` on failure.
  ScanFileWriter(const std::string& path, int& error);
  ~ScanFileWriter();
  ScanFileWriter(const ScanFileWriter&) = delete;
  ScanFileWriter& operator=(const ScanFileWriter&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  void write(Bytes bytes);
  void writeU32(std::uint32_t value);
  void writeU64(std::uint64_t value);
  // Appends the content of an open file, `piece` bytes at a time; returns the bytes copied.
  std::uint64_t copyFrom(int inFd, std::size_t piece);
  // Closes the file; the first error (errno) of the whole write, or 0.
  int finish();

 private:
  int fd_ = -1;
  int error_ = 0;
};

// Shared by the engines' scan information readers and writers.
class EngineHost;
class SectorSource;
inline constexpr const char* kNotValidPartitionScan = "Not a valid Partition scan information.";
inline constexpr const char* kNotValidDiskScan = "Not a valid Disk scan information";
std::string withErrorCode(const char* text, int code);
// The result entry of a scan file operation (kind 2 on success, 1 on failure; "Unknown error"
// when there is no text).
void logScanResult(EngineHost& host, bool ok, const std::string& text, const std::string& detail);
std::string scanFileName(const std::string& path);
std::string scanFolderOf(const std::string& path);
// The source block for the open source, with its path made absolute so that the scan reopens
// from any working folder.
SourceBlock sourceBlockFor(const SectorSource& source, bool hasVolumes);
// Reads and checks a source block; false on a short file or an impossible sector size.
bool readSourceBlock(ScanFileReader& reader, SourceBlock& block);
// Why a scan information file may not be written at `path` while `source` is open (it lies on
// the disk being recovered, or is the source image itself); empty when it may.
std::string scanFileDestinationConflict(const SectorSource& source, const std::string& path);
// The source path stored in a scan information file of either kind; nullopt when the file is no
// scan information file.
std::optional<std::string> scanFileSourcePath(const std::string& path);

// Reads a chain of fixed-size records until one says no other follows; a chain that never ends
// runs out of file and fails.
template <std::size_t RecordBytes, typename Record, typename Decode>
bool readRecordChain(ScanFileReader& reader, bool more, std::vector<Record>& out, Decode decode) {
  while (more) {
    std::array<std::uint8_t, RecordBytes> stored{};
    if (!reader.read(stored.data(), stored.size())) return false;
    auto record = decode(Bytes(stored.data(), stored.size()), &more);
    if (!record) return false;
    out.push_back(std::move(*record));
  }
  return true;
}

}  // namespace ov
