// The common part of the container backends (one file per library, since the libyal headers do
// not mix in one translation unit): the lock, the bounds, the error mapping and the files.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "disk/backend.h"

namespace ov::detail {

class ContainerBackend : public ReadBackend {
 public:
  int readAt(std::uint64_t offset, void* buffer, std::size_t length, std::size_t& got) final;
  std::uint64_t sizeBytes() const final { return size_; }
  std::string path() const final { return path_; }
  bool identity(std::uint64_t& dev, std::uint64_t& ino, std::uint64_t& rdev) const final;
  std::uint32_t formatSectorSize() const final { return sectorSize_; }
  std::string formatName() const final { return format_; }
  std::vector<SourceFile> files() const final { return files_; }
  // The library's reason for the last failed read (for tests and the log).
  std::string lastReadFailure() const;

 protected:
  // Reads within the virtual disk under the lock: the bytes read (fewer only at its end) or -1
  // with the library's reason in `why`.
  virtual std::int64_t readLocked(std::uint64_t offset, void* buffer, std::size_t length, std::string& why) = 0;
  // Called after a successful read under the lock: whether the range holds sectors the container
  // marks as bad (an E01's checksum and acquiry errors).
  virtual bool rangeMarkedBad(std::uint64_t offset, std::size_t length) {
    (void)offset;
    (void)length;
    return false;
  }
  // Adds a file the bytes come from; false when it cannot be examined.
  bool addFile(const std::string& file);

  std::string path_;
  std::string format_;
  std::uint64_t size_ = 0;
  std::uint32_t sectorSize_ = 0;
  std::vector<SourceFile> files_;

 private:
  bool filesStillThere() const;
  mutable std::mutex mutex_;
  std::string lastFailure_;
};

// The folder of a path ("." for a bare name) and a name resolved against it.
std::string folderOf(const std::string& path);
std::string besideFile(const std::string& path, const std::string& name);

// The factories, one per library. Each returns nullptr with `reason` set when the library
// refuses the file or a file it needs is missing.
std::unique_ptr<ReadBackend> openEwf(const std::string& path, std::string& reason);
std::unique_ptr<ReadBackend> openVhdi(const std::string& path, std::string& reason);
std::unique_ptr<ReadBackend> openVmdk(const std::string& path, std::string& reason);
std::unique_ptr<ReadBackend> openQcow(const std::string& path, std::string& reason);

// Text of a libyal error chain: its messages joined, without the trailing line breaks.
std::string joinLibraryMessages(const char* text);

}  // namespace ov::detail
