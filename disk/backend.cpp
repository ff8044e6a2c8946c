#include "disk/backend.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ov {

std::unique_ptr<FileBackend> FileBackend::open(const std::string& path, int& error) {
  error = 0;
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer; it is refused below.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  std::unique_ptr<FileBackend> backend(new FileBackend());
  backend->fd_ = fd;
  backend->path_ = path;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = errno;
    return nullptr;
  }
  backend->dev_ = st.st_dev;
  backend->ino_ = st.st_ino;
  backend->rdev_ = st.st_rdev;
  if (S_ISBLK(st.st_mode)) {
    backend->isBlockDevice_ = true;
    std::uint64_t bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) {
      error = errno;
      return nullptr;
    }
    backend->size_ = bytes;
    int sectorSize = 0;
    if (::ioctl(fd, BLKSSZGET, &sectorSize) == 0 && sectorSize > 0)
      backend->deviceSectorSize_ = static_cast<std::uint32_t>(sectorSize);
  } else if (S_ISREG(st.st_mode)) {
    backend->size_ = static_cast<std::uint64_t>(st.st_size);
  } else {
    // Only files and block devices hold sectors; a FIFO, terminal or socket would stream.
    error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return nullptr;
  }
  if (::fcntl(fd, F_SETFL, 0) != 0) {
    error = errno;
    return nullptr;
  }
  return backend;
}

FileBackend::~FileBackend() {
  if (fd_ >= 0) ::close(fd_);
}

bool FileBackend::identity(std::uint64_t& dev, std::uint64_t& ino, std::uint64_t& rdev) const {
  dev = dev_;
  ino = ino_;
  rdev = rdev_;
  return true;
}

int FileBackend::readAt(std::uint64_t offset, void* buffer, std::size_t length, std::size_t& got) {
  got = 0;
  auto* out = static_cast<std::uint8_t*>(buffer);
  while (got < length) {
    if (offset + got > static_cast<std::uint64_t>(INT64_MAX)) return EINVAL;
    ssize_t n = ::pread(fd_, out + got, length - got, static_cast<off_t>(offset + got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) break;  // end of the file or device
    got += static_cast<std::size_t>(n);
  }
  return 0;
}

int MemoryBackend::readAt(std::uint64_t offset, void* buffer, std::size_t length, std::size_t& got) {
  got = 0;
  if (offset >= bytes_.size()) return 0;
  std::size_t available = static_cast<std::size_t>(bytes_.size() - offset);
  got = length < available ? length : available;
  std::memcpy(buffer, bytes_.data() + offset, got);
  return 0;
}

int FaultBackend::readAt(std::uint64_t offset, void* buffer, std::size_t length, std::size_t& got) {
  got = 0;
  ++reads_;
  if (reads_ > disappearAfter_) return ENODEV;
  if (sectorSize_ != 0 && length != 0) {
    std::uint64_t first = offset / sectorSize_;
    std::uint64_t last = (offset + length - 1) / sectorSize_;
    auto it = faults_.lower_bound(first);
    if (it != faults_.end() && it->first <= last) return it->second;
  }
  return inner_->readAt(offset, buffer, length, got);
}

}  // namespace ov
