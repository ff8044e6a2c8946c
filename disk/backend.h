// Where sectors come from: an image file or block device, memory, or a faulty device for tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ov {

// One file that a source reads from: an image file, a segment of a split set or of an E01, an
// extent of a VMDK, the parent of a differencing disk.
struct SourceFile {
  std::string path;
  std::uint64_t dev = 0, ino = 0;
};

// A raw byte store read at absolute byte offsets. Reads return 0 or an errno value; a read
// that ends at the end of the store is not an error and reports how many bytes it got.
class ReadBackend {
 public:
  virtual ~ReadBackend() = default;
  virtual int readAt(std::uint64_t offset, void* buffer, std::size_t length, std::size_t& got) = 0;
  virtual std::uint64_t sizeBytes() const = 0;
  // The device's logical sector size, or 0 for a regular file.
  virtual std::uint32_t deviceSectorSize() const { return 0; }
  virtual std::string path() const = 0;
  // Identity of the underlying file or device (st_dev, st_ino, st_rdev) where there is one.
  virtual bool identity(std::uint64_t& dev, std::uint64_t& ino, std::uint64_t& rdev) const {
    (void)dev; (void)ino; (void)rdev;
    return false;
  }
  // The sector size that a container records (E01, VHDX), or 0 when it records none.
  virtual std::uint32_t formatSectorSize() const { return 0; }
  // The container's name ("E01", "VHDX", "split raw" ...); empty for a plain file or device.
  virtual std::string formatName() const { return {}; }
  // Every file the bytes are read from, the first one included, when there is more than the one
  // file that identity() names (or a container of one file); empty otherwise.
  virtual std::vector<SourceFile> files() const { return {}; }
};

// An image file or a block device opened read-only with pread.
class FileBackend final : public ReadBackend {
 public:
  // Returns nullptr and sets `error` (an errno value) when the path cannot be opened.
  static std::unique_ptr<FileBackend> open(const std::string& path, int& error);
  ~FileBackend() override;
  FileBackend(const FileBackend&) = delete;
  FileBackend& operator=(const FileBackend&) = delete;

  int readAt(std::uint64_t offset, void* buffer, std::size_t length, std::size_t& got) override;
  std::uint64_t sizeBytes() const override { return size_; }
  std::uint32_t deviceSectorSize() const override { return deviceSectorSize_; }
  std::string path() const override { return path_; }
  bool identity(std::uint64_t& dev, std::uint64_t& ino, std::uint64_t& rdev) const override;
  bool isBlockDevice() const { return isBlockDevice_; }

 private:
  FileBackend() = default;
  int fd_ = -1;
  std::string path_;
  std::uint64_t size_ = 0;
  std::uint32_t deviceSectorSize_ = 0;
  bool isBlockDevice_ = false;
  std::uint64_t dev_ = 0, ino_ = 0, rdev_ = 0;
};

// Bytes held in memory: for tests and fuzz targets.
class MemoryBackend final : public ReadBackend {
 public:
  explicit MemoryBackend(std::vector<std::uint8_t> bytes, std::string name = "memory")
      : bytes_(std::move(bytes)), name_(std::move(name)) {}
  int readAt(std::uint64_t offset, void* buffer, std::size_t length, std::size_t& got) override;
  std::uint64_t sizeBytes() const override { return bytes_.size(); }
  std::string path() const override { return name_; }
  std::vector<std::uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::string name_;
};

// Wraps another backend and fails chosen sectors with chosen errno values, or fails every
// read with ENODEV after a number of reads (a device that disappears). Counts its reads.
class FaultBackend final : public ReadBackend {
 public:
  FaultBackend(std::unique_ptr<ReadBackend> inner, std::uint32_t sectorSize)
      : inner_(std::move(inner)), sectorSize_(sectorSize) {}
  void failSector(std::uint64_t sector, int error) { faults_[sector] = error; }
  void disappearAfterReads(std::uint64_t reads) { disappearAfter_ = reads; }
  std::uint64_t readCount() const { return reads_; }

  int readAt(std::uint64_t offset, void* buffer, std::size_t length, std::size_t& got) override;
  std::uint64_t sizeBytes() const override { return inner_->sizeBytes(); }
  std::string path() const override { return inner_->path(); }
  std::uint32_t formatSectorSize() const override { return inner_->formatSectorSize(); }
  std::string formatName() const override { return inner_->formatName(); }

 private:
  std::unique_ptr<ReadBackend> inner_;
  std::uint32_t sectorSize_;
  std::map<std::uint64_t, int> faults_;
  std::uint64_t disappearAfter_ = UINT64_MAX;
  std::uint64_t reads_ = 0;
};

}  // namespace ov
