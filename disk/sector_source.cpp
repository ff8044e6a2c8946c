#include "disk/sector_source.h"

#include "disk/image_formats.h"
#include "disk/image_sector_size.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

namespace ov {

ReadErrorAction classifyReadError(int error) {
  switch (error) {
    case 0:
    case EIO:
    case EILSEQ:
    case ENODATA:
      return ReadErrorAction::Skip;
    case EAGAIN:
    case EBUSY:
    case ETIMEDOUT:
      return ReadErrorAction::Wait;
    default:
      return ReadErrorAction::Fail;
  }
}

std::string systemErrorText(int error) {
  std::string text = std::strerror(error);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::uint16_t imageSectorSize(std::uint16_t stored) {
  if (stored == 0 || (stored / 512) % 2 == 1 || stored % 512 != 0) return 512;
  return stored;
}

int SectorSource::openImage(const std::string& path) {
  close();
  openFailure_.clear();
  int error = 0;
  std::string reason;
  auto backend = openSourceBackend(path, error, reason);
  if (!backend) {
    openFailure_ = reason;
    if (!reason.empty()) host_.addLogEntry(LogEntry{"Cannot open " + path, reason, LogKind::Aborted, {}});
    return error;
  }
  const std::string format = backend->formatName();
  const std::size_t fileCount = backend->files().size();
  openBackend(std::move(backend), 512, 0);
  std::vector<std::uint8_t> first(512, 0);
  int rc = readSectorsRetrying(first.data(), first.size(), 0);
  if (rc != 0) {
    close();
    return rc;
  }
  if (!format.empty()) {
    host_.addLogEntry(LogEntry{"Image format " + format,
                               fileCount > 1 ? "Read from " + std::to_string(fileCount) + " files" : std::string(),
                               LogKind::Started, {}});
  }
  // A disk device tells its own sector size, and so do some containers (E01, VHDX); only image
  // files carry it at byte 444, and a raw copy of a disk with larger sectors shows them in its
  // partition table and boot sectors.
  std::uint32_t deviceSectorSize = backend_->deviceSectorSize();
  if (sectorSizeOverride_ != 0) {
    bytesPerSector_ = sectorSizeOverride_;
  } else if (deviceSectorSize >= 512 && deviceSectorSize <= 32768) {
    bytesPerSector_ = static_cast<std::uint16_t>(deviceSectorSize);
  } else if (std::uint16_t recorded = recordedSectorSize(*backend_)) {
    bytesPerSector_ = recorded;
    host_.addLogEntry(LogEntry{"Sector size " + std::to_string(recorded) + " bytes",
                               "Recorded in the " + format + " image", LogKind::Started, {}});
  } else {
    bytesPerSector_ = imageSectorSize(static_cast<std::uint16_t>(first[444] | (first[445] << 8)));
    if (bytesPerSector_ == 512) {
      if (std::uint16_t detected = detectImageSectorSize(*backend_)) {
        bytesPerSector_ = detected;
        host_.addLogEntry(LogEntry{"Sector size " + std::to_string(detected) + " bytes",
                                   "Taken from the image's partition table and boot sectors", LogKind::Started, {}});
      }
    }
  }
  totalSectors_ = backend_->sizeBytes() / bytesPerSector_;
  return 0;
}

int SectorSource::openDevice(const std::string& path, std::uint16_t bytesPerSector,
                             std::uint64_t totalSectors) {
  close();
  int error = 0;
  auto backend = FileBackend::open(path, error);
  if (!backend) return error;
  if (bytesPerSector == 0) bytesPerSector = 512;
  openBackend(std::move(backend), bytesPerSector, totalSectors);
  return 0;
}

void SectorSource::openBackend(std::unique_ptr<ReadBackend> backend, std::uint16_t bytesPerSector,
                               std::uint64_t totalSectors) {
  close();
  path_ = backend->path();
  backend_ = std::move(backend);
  bytesPerSector_ = bytesPerSector == 0 ? 512 : bytesPerSector;
  totalSectors_ = totalSectors;
}

void SectorSource::close() {
  backend_.reset();
  path_.clear();
  bytesPerSector_ = 0;
  totalSectors_ = 0;
}

int SectorSource::readRaw(void* buffer, std::size_t byteCount, std::uint64_t lba) {
  int error = EBADF;
  if (backend_ && bytesPerSector_ != 0) {
    std::uint64_t offset = lba * bytesPerSector_;
    if (lba > UINT64_MAX / bytesPerSector_) {
      error = EINVAL;
    } else {
      std::size_t got = 0;
      error = backend_->readAt(offset, buffer, byteCount, got);
      // A short read at the end of the source is not an error; what was not read stays zero.
      if (error == 0 && got < byteCount) std::memset(static_cast<std::uint8_t*>(buffer) + got, 0, byteCount - got);
    }
  }
  if (error != 0) {
    host_.addLogEntry(LogEntry{"Drive access error @ sector =" + std::to_string(lba) +
                                   " (Code =" + std::to_string(error) + ")",
                               systemErrorText(error), LogKind::Aborted, {}});
  }
  return error;
}

int SectorSource::readSectorsRetrying(void* buffer, std::size_t byteCount, std::uint64_t lba) {
  int error = readRaw(buffer, byteCount, lba);
  if (error == 0 || byteCount == 0) return error;

  auto* out = static_cast<std::uint8_t*>(buffer);
  std::uint64_t sector = lba;
  std::size_t offset = 0;
  for (;;) {
    if (!run_.running()) return 0;  // being aborted: the caller checks `running` and stops
    switch (classifyReadError(error)) {
      case ReadErrorAction::Skip:
        break;
      case ReadErrorAction::Wait:
        if (sleep_) sleep_(std::chrono::milliseconds(1000));
        else std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        break;
      case ReadErrorAction::Fail:
        host_.fail(systemErrorText(error));
    }
    std::size_t piece = bytesPerSector_;
    if (piece > byteCount - offset) piece = byteCount - offset;
    error = readRaw(out + offset, piece, sector);
    if (error != 0 && classifyReadError(error) == ReadErrorAction::Skip) ++skipped_;
    offset += bytesPerSector_;
    sector += 1;
    if (offset >= byteCount) return error;
  }
}

void SectorSource::writeOut(int fd, const void* buffer, std::size_t byteCount) {
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  std::size_t done = 0;
  while (done < byteCount) {
    ssize_t n = ::write(fd, in + done, byteCount - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      failWrite(errno);
    }
    if (n == 0) failWrite(ENOSPC);
    done += static_cast<std::size_t>(n);
  }
}

void SectorSource::failWrite(int error) {
  lastWriteError_ = error;
  host_.fail(systemErrorText(error));
}

}  // namespace ov
