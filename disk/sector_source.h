// The one road by which an engine reads the disk under recovery.
//
// Reads whole sectors at 64-bit sector numbers. A failed multi-sector read is
// repeated sector by sector: unreadable sectors are logged and skipped, a busy
// device is waited out, and any other error is shown to the user and ends the
// operation (AlreadyReported). The source is never opened for writing.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "disk/backend.h"
#include "disk/host.h"

namespace ov {

// What the read policy does with an errno value.
enum class ReadErrorAction { Skip, Wait, Fail };
ReadErrorAction classifyReadError(int error);

// The text the system gives for an error code, without a trailing line break.
std::string systemErrorText(int error);

// The sector size stored at byte 444 of an image's first sector: 512 unless the value is
// non-zero and an even multiple of 512 (1024, 2048, 4096...).
std::uint16_t imageSectorSize(std::uint16_t storedValue);

class SectorSource {
 public:
  SectorSource(EngineHost& host, RunControl& run) : host_(host), run_(run) {}

  // Opens an image file or a block device, or a container (E01, VHD, VHDX, VMDK, qcow2, a split
  // raw set; see image_formats.h). A device reports its own sector size, and so does a container
  // that records one other than 512. A raw image's comes from byte 444 of its first sector (where
  // this suite's disk copies keep it); when that says nothing but 512, from the image's partition
  // table and boot sectors (detectImageSectorSize). A size set with setSectorSizeOverride wins
  // over all of them. Returns 0 or an errno value; on failure the source is closed, and a
  // container that cannot be read leaves its reason in openFailure() (and in the log).
  int openImage(const std::string& path);
  // Why the last openImage failed when the errno value alone does not say it; else empty.
  const std::string& openFailure() const { return openFailure_; }
  // The sector size the next openImage calls use whatever the source says (0: none). It stays
  // through close(); the user sets it when detection cannot decide.
  void setSectorSizeOverride(std::uint16_t bytesPerSector) { sectorSizeOverride_ = bytesPerSector; }
  std::uint16_t sectorSizeOverride() const { return sectorSizeOverride_; }
  // Opens a disk device with the sector size and sector count taken from the disk list.
  int openDevice(const std::string& path, std::uint16_t bytesPerSector, std::uint64_t totalSectors);
  // Takes any backend; used by tests, fuzz targets and the image/device openers above.
  void openBackend(std::unique_ptr<ReadBackend> backend, std::uint16_t bytesPerSector,
                   std::uint64_t totalSectors);
  void close();

  bool isOpen() const { return backend_ != nullptr; }
  const std::string& path() const { return path_; }
  std::uint16_t bytesPerSector() const { return bytesPerSector_; }
  std::uint64_t totalSectors() const { return totalSectors_; }
  ReadBackend* backend() const { return backend_.get(); }

  // One request; on failure logs "Drive access error @ sector =..." and returns the errno value.
  int readRaw(void* buffer, std::size_t byteCount, std::uint64_t lba);
  // The read every engine uses: retries sector by sector on failure (see the file comment).
  int readSectorsRetrying(void* buffer, std::size_t byteCount, std::uint64_t lba);

  // Writes an output file at its current position; any failure is reported and ends the operation.
  void writeOut(int fd, const void* buffer, std::size_t byteCount);
  // The errno of the last writeOut that failed, 0 after clearWriteError(): tells a failing
  // destination from a failing source after AlreadyReported.
  int lastWriteError() const { return lastWriteError_; }
  void clearWriteError() { lastWriteError_ = 0; }
  // Reports a failure of an output file as writeOut does (lastWriteError, the message, AlreadyReported).
  [[noreturn]] void failWrite(int error);

  // The wait after a device error; tests replace it.
  void setSleeper(std::function<void(std::chrono::milliseconds)> sleeper) { sleep_ = std::move(sleeper); }

  EngineHost& host() { return host_; }
  RunControl& run() { return run_; }

  // Sectors skipped as unreadable (read as zeros) since the source was opened; a reader that
  // bypasses readSectorsRetrying notes its own.
  std::uint64_t skippedSectors() const { return skipped_; }
  void noteSkippedSector() { ++skipped_; }

 private:
  EngineHost& host_;
  RunControl& run_;
  std::unique_ptr<ReadBackend> backend_;
  std::string path_;
  std::uint16_t bytesPerSector_ = 0;
  std::uint64_t totalSectors_ = 0;
  std::uint16_t sectorSizeOverride_ = 0;
  std::string openFailure_;
  std::function<void(std::chrono::milliseconds)> sleep_;
  int lastWriteError_ = 0;
  std::uint64_t skipped_ = 0;
};

}  // namespace ov
