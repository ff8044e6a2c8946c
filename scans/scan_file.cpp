#include "scans/scan_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include <filesystem>

#include "disk/destination_guard.h"
#include "disk/host.h"
#include "disk/sector_source.h"
#include "scans/process_log.h"

namespace ov {
namespace {
constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
}

std::array<std::uint8_t, kSourceBlockBytes> encodeSourceBlock(const SourceBlock& b) {
  std::array<std::uint8_t, kSourceBlockBytes> out{};
  std::u16string path = utf8ToUtf16(b.path);
  if (path.size() > kSourcePathUnits - 1) path.resize(kSourcePathUnits - 1);
  for (std::size_t i = 0; i < path.size(); ++i) writeLe<std::uint16_t>(out, 2 * i, path[i]);
  writeLe<std::uint32_t>(out, 512, b.handle);
  writeLe<std::uint16_t>(out, 516, b.bytesPerSector);
  writeLe<std::uint64_t>(out, 518, b.totalSectors);
  writeLe<std::uint64_t>(out, 526, b.reserved);
  writeLe<std::uint32_t>(out, 534, b.hasVolumes ? 1u : 0u);
  writeLe<std::uint32_t>(out, 538, b.tail);
  return out;
}

std::optional<SourceBlock> decodeSourceBlock(Bytes stored) {
  if (stored.size() < kSourceBlockBytes) return std::nullopt;
  SourceBlock b;
  std::u16string path;
  for (std::size_t i = 0; i < kSourcePathUnits - 1; ++i) {
    char16_t unit = le16(stored, 2 * i);
    if (unit == 0) break;
    path += unit;
  }
  b.path = utf16ToUtf8(path);
  b.handle = le32(stored, 512);
  b.bytesPerSector = le16(stored, 516);
  b.totalSectors = le64(stored, 518);
  b.reserved = le64(stored, 526);
  b.hasVolumes = le32(stored, 534) != 0;
  b.tail = le32(stored, 538);
  return b;
}

bool fitsSourceBlock(const std::string& path) { return utf8ToUtf16(path).size() <= kSourcePathUnits - 1; }

std::string partitionScanDefaultName(const std::tm& t, const std::string& word) {
  char text[96];
  std::snprintf(text, sizeof text, "OV %s Scan Info# %02d-%s-%u.ovt", word.c_str(), t.tm_mday,
                monthAbbreviation(t.tm_mon).c_str(), static_cast<unsigned>(t.tm_year + 1900));
  return text;
}

std::string diskScanDefaultName(const std::tm& t, const std::string& word) {
  char text[96];
  std::snprintf(text, sizeof text, "OV %s Scan Information # %s, %02d-%s-%u", word.c_str(),
                kWeekdays[std::clamp(t.tm_wday, 0, 6)], t.tm_mday, monthAbbreviation(t.tm_mon).c_str(),
                static_cast<unsigned>(t.tm_year + 1900));
  return text;
}

std::string withExtension(const std::string& path, const std::string& extension) {
  if (path.size() >= extension.size()) {
    bool same = std::equal(extension.begin(), extension.end(), path.end() - static_cast<std::ptrdiff_t>(extension.size()),
                           [](char a, char b) { return (a | 0x20) == (b | 0x20); });
    if (same) return path;
  }
  return path + extension;
}

ScanFileReader::ScanFileReader(const std::string& path, int& error) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  error = fd_ < 0 ? errno : 0;
  if (fd_ < 0) return;
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = fd_ >= 0 && S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(fd_);
    fd_ = -1;
    return;
  }
  size_ = static_cast<std::uint64_t>(st.st_size);
}

ScanFileReader::~ScanFileReader() {
  if (fd_ >= 0) ::close(fd_);
}

bool ScanFileReader::read(std::uint8_t* out, std::size_t length) {
  if (fd_ < 0 || length > remaining()) return false;
  std::size_t done = 0;
  while (done < length) {
    ssize_t n = ::pread(fd_, out + done, length - done, static_cast<off_t>(position_ + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  position_ += length;
  return true;
}

bool ScanFileReader::readU32(std::uint32_t& value) {
  std::uint8_t b[4];
  if (!read(b, 4)) return false;
  value = le32(Bytes(b, 4), 0);
  return true;
}

bool ScanFileReader::readU64(std::uint64_t& value) {
  std::uint8_t b[8];
  if (!read(b, 8)) return false;
  value = le64(Bytes(b, 8), 0);
  return true;
}

bool ScanFileReader::copyTo(int outFd, std::uint64_t length, std::size_t piece, int& error) {
  error = 0;
  if (length > remaining() || piece == 0) return false;
  std::vector<std::uint8_t> buffer(std::max<std::size_t>(piece, 1 << 16));
  while (length > 0) {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer.size()));
    if (!read(buffer.data(), n)) return false;
    std::size_t written = 0;
    while (written < n) {
      ssize_t w = ::write(outFd, buffer.data() + written, n - written);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        error = w < 0 ? errno : ENOSPC;
        return false;
      }
      written += static_cast<std::size_t>(w);
    }
    length -= n;
  }
  return true;
}

ScanFileWriter::ScanFileWriter(const std::string& path, int& error) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  error = fd_ < 0 ? errno : 0;
}

ScanFileWriter::~ScanFileWriter() {
  if (fd_ >= 0) ::close(fd_);
}

void ScanFileWriter::write(Bytes bytes) {
  std::size_t done = 0;
  while (error_ == 0 && done < bytes.size()) {
    ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) error_ = n < 0 ? errno : ENOSPC;
    else done += static_cast<std::size_t>(n);
  }
}

void ScanFileWriter::writeU32(std::uint32_t value) {
  std::uint8_t b[4];
  writeLe<std::uint32_t>(MutableBytes(b, 4), 0, value);
  write(Bytes(b, 4));
}

void ScanFileWriter::writeU64(std::uint64_t value) {
  std::uint8_t b[8];
  writeLe<std::uint64_t>(MutableBytes(b, 8), 0, value);
  write(Bytes(b, 8));
}

std::uint64_t ScanFileWriter::copyFrom(int inFd, std::size_t piece) {
  std::vector<std::uint8_t> buffer(std::max<std::size_t>(piece, 1 << 16));
  std::uint64_t total = 0;
  while (error_ == 0) {
    ssize_t n = ::read(inFd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error_ = errno;
    if (n <= 0) break;
    write(Bytes(buffer.data(), static_cast<std::size_t>(n)));
    total += static_cast<std::uint64_t>(n);
  }
  return total;
}

int ScanFileWriter::finish() {
  if (fd_ >= 0) {
    if (::close(fd_) != 0 && error_ == 0) error_ = errno;
    fd_ = -1;
  }
  return error_;
}

std::string withErrorCode(const char* text, int code) { return std::string(text) + std::to_string(code); }

void logScanResult(EngineHost& host, bool ok, const std::string& text, const std::string& detail) {
  host.addLogEntry(LogEntry{text.empty() ? "Unknown error" : text, detail, ok ? LogKind::Completed : LogKind::Aborted, {}});
}

std::string scanFileName(const std::string& path) { return std::filesystem::path(path).filename().string(); }

std::string scanFolderOf(const std::string& path) {
  std::string folder = std::filesystem::path(path).parent_path().string();
  return folder.empty() ? "." : folder;
}

SourceBlock sourceBlockFor(const SectorSource& source, bool hasVolumes) {
  SourceBlock b;
  std::error_code ec;
  b.path = std::filesystem::absolute(source.path(), ec).string();
  if (ec) b.path = source.path();
  b.bytesPerSector = source.bytesPerSector();
  b.totalSectors = source.totalSectors();
  b.hasVolumes = hasVolumes;
  return b;
}

bool readSourceBlock(ScanFileReader& reader, SourceBlock& block) {
  std::array<std::uint8_t, kSourceBlockBytes> stored{};
  if (!reader.read(stored.data(), stored.size())) return false;
  block = *decodeSourceBlock(stored);
  return block.bytesPerSector >= 512 && block.bytesPerSector % 512 == 0 && !block.path.empty();
}

std::string scanFileDestinationConflict(const SectorSource& source, const std::string& path) {
  auto identity = identifySource(source);
  return identity ? destinationConflict(*identity, path) : std::string();
}

std::optional<std::string> scanFileSourcePath(const std::string& path) {
  int error = 0;
  ScanFileReader reader(path, error);
  std::uint32_t magic = 0;
  if (!reader.isOpen() || !reader.readU32(magic) || (magic != kPartitionScanMagic && magic != kDiskScanMagic))
    return std::nullopt;
  SourceBlock block;
  if (!readSourceBlock(reader, block)) return std::nullopt;
  return block.path;
}

}  // namespace ov
