#include "scans/disk_copy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include "disk/byte_io.h"

namespace ov {
namespace fs = std::filesystem;

namespace {

std::uint64_t saturatingProduct(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
  return a * b;
}

std::string conflictWithSource(const SectorSource& source, const StorageNode& destination,
                               const std::string& destinationPath) {
  auto identity = identifySource(source);
  if (!identity) return {};  // memory and test backends: nothing to compare
  return storageConflict(*identity, destination, destinationPath);
}

// Forwards to the owner's host and keeps the text of the last error report for the result.
class NotingHost final : public EngineHost {
 public:
  explicit NotingHost(EngineHost& inner) : inner_(inner) {}
  void addLogEntry(const LogEntry& entry) override { inner_.addLogEntry(entry); }
  void showMessage(const std::string& title, const std::string& text, MessageIcon icon) override {
    if (icon == MessageIcon::Error) lastError = text;
    inner_.showMessage(title, text, icon);
  }
  void progress(std::uint64_t total, std::uint64_t done) override { inner_.progress(total, done); }
  void statusText(const std::string& text) override { inner_.statusText(text); }
  std::string lastError;

 private:
  EngineHost& inner_;
};

// Reads through the caller's backend and notes the single-sector reads that fail: those are
// the sectors the retry policy skipped, which the copy holds as zeros.
class WatchedBackend final : public ReadBackend {
 public:
  WatchedBackend(ReadBackend& inner, std::uint32_t sectorSize, std::vector<std::uint64_t>& failed)
      : inner_(inner), sectorSize_(sectorSize), failed_(failed) {}
  int readAt(std::uint64_t offset, void* buffer, std::size_t length, std::size_t& got) override {
    int error = inner_.readAt(offset, buffer, length, got);
    if (error != 0 && length <= sectorSize_) failed_.push_back(offset / sectorSize_);
    return error;
  }
  std::uint64_t sizeBytes() const override { return inner_.sizeBytes(); }
  std::uint32_t deviceSectorSize() const override { return inner_.deviceSectorSize(); }
  std::string path() const override { return inner_.path(); }
  bool identity(std::uint64_t& dev, std::uint64_t& ino, std::uint64_t& rdev) const override {
    return inner_.identity(dev, ino, rdev);
  }
  std::uint32_t formatSectorSize() const override { return inner_.formatSectorSize(); }
  std::string formatName() const override { return inner_.formatName(); }
  std::vector<SourceFile> files() const override { return inner_.files(); }

 private:
  ReadBackend& inner_;
  std::uint32_t sectorSize_;
  std::vector<std::uint64_t>& failed_;
};

}  // namespace

DiskCopy::DiskCopy(EngineHost& host, RunControl& run, SectorSource& source, std::string destination,
                   CopyOptions options)
    : host_(host), run_(run), source_(source), destination_(std::move(destination)), options_(options) {}

DiskCopy::~DiskCopy() {
  if (fd_ >= 0) ::close(fd_);
}

void DiskCopy::closeDestination() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::string DiskCopy::openDestination() {
  closeDestination();
  if (!source_.isOpen() || source_.bytesPerSector() == 0) return "no source is open";
  const std::string& path = destination_;
  std::uint64_t sourceBytes = saturatingProduct(source_.bytesPerSector(), source_.totalSectors());

  if (options_.kind == CopyKind::Imaging) {
    map_.reset();
    mapExisted_ = false;
    if (!options_.mapPath.empty()) {
      if (std::string why = openMap(); !why.empty()) return why;
    }
    // A map being continued goes with the image it describes, which is written into as it is.
    const bool resume = mapExisted_;
    struct stat existing {};
    bool exists = ::stat(path.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) return "destination " + path + " is a folder";
    if (!exists && resume && map_->bytesWith('+') > 0)
      return "the map " + options_.mapPath + " says " + std::to_string(map_->bytesWith('+')) +
             " bytes were copied into " + path + ", but there is no such file";
    if (!exists) {
      // Refuse a folder on the source disk before anything is created there.
      fs::path folder = fs::path(path).parent_path();
      if (folder.empty()) folder = ".";
      struct stat st {};
      if (::stat(folder.c_str(), &st) != 0)
        return "cannot create " + path + ": " + systemErrorText(errno);
      if (S_ISDIR(st.st_mode)) {
        if (auto identity = identifySource(source_)) {
          if (std::string why = destinationConflict(*identity, path); !why.empty()) return why;
        }
      }
    }
    bool created = true;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) {
      if (!options_.overwrite && !resume)
        return "destination " + path + " already exists; it is not overwritten" +
               (options_.mapPath.empty() ? "" : " (a run is continued only with the map it was started with)");
      created = false;
      // Not truncated yet: it might be the source under another name.
      fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    }
    if (fd < 0) return "cannot create " + path + ": " + systemErrorText(errno);
    auto refuse = [&](const std::string& why) {
      ::close(fd);
      if (created) ::unlink(path.c_str());
      return why;
    };
    struct stat st {};
    if (::fstat(fd, &st) != 0) return refuse("cannot create " + path + ": " + systemErrorText(errno));
    if (!S_ISREG(st.st_mode)) return refuse("destination " + path + " is not a regular file");
    if (std::string why = conflictWithSource(source_, storageNodeOf(st), path); !why.empty()) return refuse(why);
    if (!created && (::fcntl(fd, F_SETFL, 0) != 0 || (!resume && ::ftruncate(fd, 0) != 0)))
      return refuse("cannot overwrite " + path + ": " + systemErrorText(errno));
    fd_ = fd;
    return {};
  }

  // A clone goes onto an existing disk (or file); a disk is claimed exclusively, which the
  // kernel refuses while it or one of its partitions is mounted.
  struct stat before {};
  if (::stat(path.c_str(), &before) != 0) return "cannot open " + path + ": " + systemErrorText(errno);
  int flags = O_WRONLY | O_CLOEXEC | O_NONBLOCK;
  if (S_ISBLK(before.st_mode)) flags |= O_EXCL;
  int fd = ::open(path.c_str(), flags);
  if (fd < 0) {
    if (errno == EBUSY) return "destination " + path + " is in use (mounted, or held by another program)";
    return "cannot open " + path + ": " + systemErrorText(errno);
  }
  auto refuse = [&](const std::string& why) {
    ::close(fd);
    return why;
  };
  struct stat st {};
  if (::fstat(fd, &st) != 0) return refuse("cannot open " + path + ": " + systemErrorText(errno));
  std::uint64_t size = 0;
  if (S_ISBLK(st.st_mode)) {
    if (::ioctl(fd, BLKGETSIZE64, &size) != 0) return refuse("cannot size " + path + ": " + systemErrorText(errno));
  } else if (S_ISREG(st.st_mode)) {
    size = static_cast<std::uint64_t>(st.st_size);
  } else {
    return refuse("destination " + path + " is neither a disk nor a file");
  }
  if (std::string why = conflictWithSource(source_, storageNodeOf(st), path); !why.empty()) return refuse(why);
  if (size < sourceBytes)
    return refuse("destination " + path + " (" + std::to_string(size) + " bytes) is smaller than the source " +
                  source_.path() + " (" + std::to_string(sourceBytes) + " bytes)");
  if (::fcntl(fd, F_SETFL, 0) != 0) return refuse("cannot open " + path + ": " + systemErrorText(errno));
  fd_ = fd;
  return {};
}

bool DiskCopy::readChunk(std::uint8_t* buffer, std::uint64_t lba, std::uint32_t sectors, SectorSource& reader,
                         CopyResult& result) {
  const std::uint32_t bps = source_.bytesPerSector();
  failedReads_.clear();
  // No clearing beforehand: a good read fills the whole buffer (a short read at the end is
  // zero-filled by the reader), and the sectors that fail are cleared below.
  int error = reader.readSectorsRetrying(buffer, std::size_t{sectors} * bps, lba);
  // Stopped during the sector-by-sector retry: the chunk is incomplete and is not written.
  if (!run_.running()) return false;
  // The retry returns the code of its last single-sector read without judging it.
  if (error != 0 && classifyReadError(error) == ReadErrorAction::Fail) fail(systemErrorText(error));
  for (std::uint64_t sector : failedReads_) {
    if (sector < lba || sector >= lba + sectors) continue;
    std::memset(buffer + (sector - lba) * bps, 0, bps);
    if (result.unreadableSectors.empty() || result.unreadableSectors.back() < sector)
      result.unreadableSectors.push_back(sector);
  }
  return true;
}

void DiskCopy::fail(const std::string& text) {
  lastError_ = text;
  host_.fail(text);
}

void DiskCopy::writeChunk(const std::uint8_t* buffer, std::uint64_t lba, std::uint64_t sectors) {
  const std::uint64_t bps = source_.bytesPerSector();
  std::size_t length = static_cast<std::size_t>(sectors * bps);
  std::uint64_t offset = lba * bps;
  std::size_t done = 0;
  while (done < length) {
    ssize_t n = ::pwrite(fd_, buffer + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(systemErrorText(errno));
    }
    if (n == 0) fail(systemErrorText(ENOSPC));
    done += static_cast<std::size_t>(n);
  }
}

CopyResult DiskCopy::run() {
  if (!options_.mapPath.empty() && options_.kind == CopyKind::Imaging) return runWithMap();
  CopyResult result;
  lastError_.clear();
  if (fd_ < 0) {
    result.error = openDestination();
    if (!result.error.empty()) return result;
  }
  const std::uint32_t bps = source_.bytesPerSector();
  const std::uint64_t total = source_.totalSectors();
  const std::uint32_t chunk = kCopyChunkSectors;
  const std::uint64_t fullEnd = total - total % chunk;
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[std::size_t{chunk} * bps]());

  NotingHost noting(host_);
  SectorSource reader(noting, run_);
  reader.openBackend(std::make_unique<WatchedBackend>(*source_.backend(), bps, failedReads_), source_.bytesPerSector(),
                     total);

  run_.start();
  bool completed = false;
  std::uint64_t position = 0;
  try {
    bool read = readChunk(buffer.get(), 0, chunk, reader, result);
    if (read) {
      MutableBytes first(buffer.get(), std::size_t{chunk} * bps);
      writeLe<std::uint64_t>(first, kCopyTotalSectorsOffset, total);
      writeLe<std::uint16_t>(first, kCopyBytesPerSectorOffset, static_cast<std::uint16_t>(bps));
      // An image of a disk smaller than a chunk is one whole chunk; a clone writes no further
      // than the source reaches, since its disk may end right there.
      std::uint64_t firstSectors = options_.kind == CopyKind::Imaging || total >= chunk ? chunk : total;
      writeChunk(buffer.get(), 0, firstSectors);
      position = chunk;
      while (position < fullEnd) {
        host_.progress(total, position);
        if (!run_.proceed()) break;
        if (!readChunk(buffer.get(), position, chunk, reader, result)) break;
        writeChunk(buffer.get(), position, chunk);
        position += chunk;
      }
      while (position < total && run_.proceed()) {
        if (!readChunk(buffer.get(), position, 1, reader, result)) break;
        writeChunk(buffer.get(), position, 1);
        position += 1;
      }
    }
    host_.progress(total, position < total ? position : total);
    completed = read && run_.running();
    if (completed && options_.flush && ::fsync(fd_) != 0) fail(systemErrorText(errno));
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && completed) fail(systemErrorText(errno));
  } catch (const AlreadyReported&) {
    completed = false;
    result.error = noting.lastError.empty() ? lastError_ : noting.lastError;
  }
  closeDestination();
  reader.close();
  run_.stop();
  result.sectorsCopied = position < total ? position : total;
  result.outcome = completed ? CopyOutcome::Completed : CopyOutcome::Aborted;
  return result;
}

std::string DiskCopy::openMap() {
  const std::string& mapPath = options_.mapPath;
  if (auto identity = identifySource(source_)) {
    if (std::string why = destinationConflict(*identity, mapPath); !why.empty()) return why;
  }
  const std::uint64_t bytes = saturatingProduct(source_.bytesPerSector(), source_.totalSectors());
  struct stat st {};
  if (::stat(mapPath.c_str(), &st) != 0) {
    if (errno != ENOENT) return "cannot read the map " + mapPath + ": " + systemErrorText(errno);
    if (fs::path(mapPath).lexically_normal() == fs::path(destination_).lexically_normal())
      return "the map and the image cannot be the same file (" + mapPath + ")";
    map_ = RescueMap(bytes);
    return {};
  }
  if (!S_ISREG(st.st_mode)) return "the map " + mapPath + " is not a file";
  struct stat image {};
  if (::stat(destination_.c_str(), &image) == 0 && image.st_dev == st.st_dev && image.st_ino == st.st_ino)
    return "the map and the image cannot be the same file (" + mapPath + ")";
  // A map holds a line per block; even a disk in pieces gives a few megabytes.
  constexpr off_t kMaxMapBytes = off_t{256} << 20;
  if (st.st_size > kMaxMapBytes) return "the map " + mapPath + " is too large to be a mapfile";
  std::ifstream in(mapPath, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) return "cannot read the map " + mapPath;
  std::string error;
  auto parsed = RescueMap::parse(text, error);
  if (!parsed) return "the map " + mapPath + " cannot be continued: " + error;
  if (parsed->size() > bytes)
    return "the map " + mapPath + " covers " + std::to_string(parsed->size()) + " bytes, more than the " +
           std::to_string(bytes) + " bytes of the source " + source_.path() + ": it is the map of another disk";
  parsed->resize(bytes);
  map_ = std::move(parsed);
  mapExisted_ = true;
  return {};
}

void DiskCopy::saveMap(bool flushImage) {
  // The image's bytes reach the disk before a map that calls them copied.
  if (flushImage && fd_ >= 0 && ::fdatasync(fd_) != 0) fail(systemErrorText(errno));
  const std::string& mapPath = options_.mapPath;
  const std::string partial = mapPath + ".partial";
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char when[64];
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
  const char* phase = map_->currentStatus == '?'   ? "Copying non-tried blocks"
                      : map_->currentStatus == '*' ? "Trimming failed blocks"
                      : map_->currentStatus == '/' ? "Scraping failed blocks"
                      : map_->currentStatus == '-' ? "Retrying bad sectors"
                                                   : "Finished";
  std::string text = map_->format(std::string("Mapfile. Created by ovrecover\nSource: ") + source_.path() +
                                  "\nImage: " + destination_ + "\nCurrent time: " + when + "\n" + phase);
  int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fail("cannot write the map " + mapPath + ": " + systemErrorText(errno));
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int e = n < 0 ? errno : ENOSPC;
      ::close(fd);
      ::unlink(partial.c_str());
      fail("cannot write the map " + mapPath + ": " + systemErrorText(e));
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(partial.c_str(), mapPath.c_str()) != 0) {
    int e = errno;
    ::unlink(partial.c_str());
    fail("cannot write the map " + mapPath + ": " + systemErrorText(e));
  }
}

std::string rescueStatusText(std::uint64_t rescued, std::uint64_t bad, std::uint64_t remaining, double bytesPerSecond) {
  auto size = [](double bytes) {
    static const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB"};
    int unit = 0;
    while (bytes >= 1024.0 && unit < 5) {
      bytes /= 1024.0;
      ++unit;
    }
    char text[48];
    if (unit == 0) std::snprintf(text, sizeof text, "%.0f %s", bytes, units[unit]);
    else std::snprintf(text, sizeof text, "%.*f %s", bytes < 10.0 ? 2 : bytes < 100.0 ? 1 : 0, bytes, units[unit]);
    return std::string(text);
  };
  return "rescued " + size(static_cast<double>(rescued)) + ", bad " + size(static_cast<double>(bad)) + ", remaining " +
         size(static_cast<double>(remaining)) + ", " + size(bytesPerSecond) + "/s";
}

CopyResult DiskCopy::runWithMap() {
  CopyResult result;
  lastError_.clear();
  if (fd_ < 0 || !map_) {
    result.error = openDestination();
    if (!result.error.empty()) return result;
  }
  result.resumed = mapExisted_;
  RescueMap& map = *map_;
  const std::uint32_t bps = source_.bytesPerSector();
  const std::uint64_t total = source_.totalSectors();
  const std::uint64_t bytes = total * bps;
  const std::uint32_t chunk = kCopyChunkSectors;
  std::string lower = destination_;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  const bool stamp = lower.size() >= 4 && lower.compare(lower.size() - 4, 4, ".ov2") == 0;
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[std::size_t{chunk} * bps]());

  NotingHost noting(host_);
  SectorSource reader(noting, run_);
  reader.openBackend(std::make_unique<WatchedBackend>(*source_.backend(), bps, failedReads_), source_.bytesPerSector(),
                     total);

  using Clock = std::chrono::steady_clock;
  const Clock::time_point started = Clock::now();
  Clock::time_point lastSave = started, lastStatus = started - std::chrono::seconds(1);
  std::uint64_t readThisRun = 0;
  // The position on every step (as the plain copy reports it); the counts once a second.
  auto report = [&](bool force) {
    host_.progress(total, force ? (map.bytesWith('+') + map.bytesWith('-')) / bps : map.currentPosition / bps);
    const Clock::time_point now = Clock::now();
    if (!force && now - lastStatus < std::chrono::seconds(1)) return;
    lastStatus = now;
    const std::uint64_t rescued = map.bytesWith('+'), bad = map.bytesWith('-');
    const std::uint64_t remaining = bytes - rescued - bad;
    const double seconds = std::chrono::duration<double>(now - started).count();
    host_.statusText(rescueStatusText(rescued, bad, remaining, seconds > 0 ? static_cast<double>(readThisRun) / seconds : 0.0));
  };
  auto maybeSave = [&] {
    if (Clock::now() - lastSave < options_.mapSaveInterval) return;
    saveMap(true);
    lastSave = Clock::now();
  };
  auto write = [&](std::uint64_t lba, std::uint64_t sectors) {
    if (lba == 0 && stamp) {
      MutableBytes first(buffer.get(), std::size_t{bps});
      writeLe<std::uint64_t>(first, kCopyTotalSectorsOffset, total);
      writeLe<std::uint16_t>(first, kCopyBytesPerSectorOffset, static_cast<std::uint16_t>(bps));
    }
    writeChunk(buffer.get(), lba, sectors);
  };
  // One read: 0 (read and written), or the errno of an unreadable area. A busy device is waited
  // out; any other failure ends the run (the map is saved on the way out).
  auto readAndWrite = [&](std::uint64_t lba, std::uint64_t sectors) -> int {
    for (;;) {
      failedReads_.clear();
      int error = reader.readRaw(buffer.get(), static_cast<std::size_t>(sectors * bps), lba);
      switch (classifyReadError(error)) {
        case ReadErrorAction::Skip:
          if (error != 0) return error;
          write(lba, sectors);
          readThisRun += sectors * bps;
          return 0;
        case ReadErrorAction::Wait:
          std::this_thread::sleep_for(std::chrono::milliseconds(1000));
          if (!run_.proceed()) return -1;
          continue;
        case ReadErrorAction::Fail:
          fail(systemErrorText(error));
      }
    }
  };

  run_.start();
  bool completed = false;
  try {
    // The not-tried areas in chunks, from where the run stopped to the end, then from the start.
    const std::uint64_t resumeAt = map.currentStatus == '?' && map.currentPosition < bytes ? map.currentPosition : 0;
    map.currentStatus = '?';
    bool stopped = false;
    for (int round = 0; round < 2 && !stopped; ++round) {
      std::uint64_t at = round == 0 ? resumeAt : 0;
      const std::uint64_t end = round == 0 ? bytes : resumeAt;
      while (auto block = map.next(at, '?')) {
        if (block->start >= end) break;
        report(false);
        maybeSave();
        if (!run_.proceed()) {
          stopped = true;
          break;
        }
        const std::uint64_t lba = block->start / bps;
        const std::uint64_t blockEnd = std::min(block->start + block->size, end);
        const std::uint64_t endLba = std::min<std::uint64_t>((blockEnd + bps - 1) / bps, total);
        // Chunks keep to multiples of the chunk size from the disk's start.
        const std::uint64_t sectors = std::min<std::uint64_t>(endLba - lba, chunk - lba % chunk);
        map.currentPosition = lba * bps;
        int error = readAndWrite(lba, sectors);
        if (error < 0) {
          stopped = true;
          break;
        }
        map.set(lba * bps, (lba + sectors) * bps, error == 0 ? '+' : '*');
        at = (lba + sectors) * bps;
      }
    }
    // The areas left by failed chunks, then the bad sectors again: one sector at a time.
    auto sectorPass = [&](char status, char phase) {
      map.currentStatus = phase;
      std::uint64_t at = 0;
      while (auto block = map.next(at, status)) {
        report(false);
        maybeSave();
        if (!run_.proceed()) return false;
        const std::uint64_t lba = block->start / bps;
        if (lba >= total) break;
        map.currentPosition = lba * bps;
        int error = readAndWrite(lba, 1);
        if (error < 0) return false;
        map.set(lba * bps, (lba + 1) * bps, error == 0 ? '+' : '-');
        at = (lba + 1) * bps;
      }
      return true;
    };
    if (!stopped) stopped = !sectorPass('*', '*') || !sectorPass('/', '/');
    for (std::uint32_t pass = 1; pass <= options_.retryPasses && !stopped; ++pass) {
      map.currentPass = pass;
      stopped = !sectorPass('-', '-');
    }
    if (!stopped && map.bytesWith('?') + map.bytesWith('*') + map.bytesWith('/') == 0) {
      // The image has the source's size even where its last sectors could not be read.
      struct stat st {};
      if (::fstat(fd_, &st) == 0 && static_cast<std::uint64_t>(st.st_size) < bytes &&
          ::ftruncate(fd_, static_cast<off_t>(bytes)) != 0)
        fail(systemErrorText(errno));
      if (stamp && map.statusAt(0) != '+' && bps >= kCopyBytesPerSectorOffset + 2) {
        std::memset(buffer.get(), 0, bps);
        write(0, 1);
      }
      map.currentStatus = '+';
      map.currentPosition = 0;
      completed = run_.running();
    }
    report(true);
    saveMap(true);
    if (completed && options_.flush && ::fsync(fd_) != 0) fail(systemErrorText(errno));
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && completed) fail(systemErrorText(errno));
  } catch (const AlreadyReported&) {
    completed = false;
    result.error = noting.lastError.empty() ? lastError_ : noting.lastError;
    // What was copied so far is kept for the next run, unless the map itself cannot be written.
    if (fd_ >= 0 && result.error.rfind("cannot write the map", 0) != 0) {
      try {
        saveMap(true);
      } catch (const AlreadyReported&) {
      }
    }
  }
  closeDestination();
  reader.close();
  run_.stop();
  // The sectors themselves, up to a bound: a map from another run may call a whole disk bad.
  constexpr std::size_t kMaxListed = std::size_t{1} << 20;
  for (const RescueMap::Block& b : map.blocks()) {
    if (b.status != '-') continue;
    for (std::uint64_t s = b.start / bps; s < (b.start + b.size + bps - 1) / bps && result.unreadableSectors.size() < kMaxListed; ++s)
      result.unreadableSectors.push_back(s);
  }
  result.bytesRescued = map.bytesWith('+');
  result.bytesBad = map.bytesWith('-');
  result.bytesRemaining = bytes - result.bytesRescued - result.bytesBad;
  result.sectorsCopied = result.bytesRescued / bps;
  result.outcome = completed ? CopyOutcome::Completed : CopyOutcome::Aborted;
  return result;
}

CopyResult copyDisk(EngineHost& host, RunControl& run, SectorSource& source, const std::string& destination,
                    const CopyOptions& options) {
  DiskCopy copy(host, run, source, destination, options);
  return copy.run();
}

FreeSpaceCheck checkImageFreeSpace(const std::string& imagePath, std::uint16_t bytesPerSector,
                                   std::uint64_t totalSectors) {
  FreeSpaceCheck check;
  check.required = saturatingProduct(bytesPerSector, totalSectors);
  fs::path folder = fs::path(imagePath).parent_path();
  if (folder.empty()) folder = ".";
  struct statvfs vfs {};
  if (::statvfs(folder.c_str(), &vfs) != 0) return check;
  check.available = saturatingProduct(vfs.f_bavail, vfs.f_frsize);
  check.verdict = check.required > check.available ? FreeSpaceVerdict::NotEnough : FreeSpaceVerdict::Enough;
  return check;
}

std::string copyEndMessage(CopyKind kind, bool completed) {
  return std::string(kind == CopyKind::Cloning ? "Disk Cloning " : "Disk Imaging ") +
         (completed ? "Completed" : "Aborted");
}

std::string copySectorWord(CopyKind kind) { return kind == CopyKind::Cloning ? "Cloning" : "Imaging"; }

std::string defaultImageName(const std::tm& local) {
  static constexpr std::array<const char*, 7> kWeekdays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  int weekday = local.tm_wday < 0 || local.tm_wday > 6 ? 0 : local.tm_wday;
  char name[128];
  std::snprintf(name, sizeof name, "Ovelin Dodedoz Avov Ovavized (NTFS) Image # %s, %02d-%s-%u",
                kWeekdays[static_cast<std::size_t>(weekday)], local.tm_mday, monthAbbreviation(local.tm_mon).c_str(),
                static_cast<unsigned>(local.tm_year + 1900));
  return name;
}

std::string withImageExtension(const std::string& path) {
  if (fs::path(path).filename().has_extension()) return path;
  return path + ".ov2";
}

LogEntry imagingRunEntry(const std::string& device, const std::string& model, const std::string& serial,
                         const std::string& imagePath) {
  return LogEntry{"Imaging Disk :" + device + ",  " + model + ", Serial:" + serial, "To Location " + imagePath,
                  LogKind::Started, {}};
}

LogEntry cloningRunEntry(const std::string& device, const std::string& model, const std::string& serial,
                         const std::string& destinationPath) {
  return LogEntry{"Cloning Disk :" + device + ",  " + model + ", Serial:" + serial, "To Disk " + destinationPath,
                  LogKind::Started, {}};
}

LoggedProcess loggedProcess(CopyKind kind) {
  return kind == CopyKind::Cloning ? LoggedProcess::DiskCloning : LoggedProcess::DiskImaging;
}

void pauseCopy(RunControl& run, ProcessLog& log, CopyKind kind) {
  run.pause();
  log.processState(loggedProcess(kind), ProcessState::Paused);
}

void resumeCopy(RunControl& run, ProcessLog& log, CopyKind kind) {
  log.processState(loggedProcess(kind), ProcessState::Resumed);
  run.resume();
}

void finishCopyLog(ProcessLog& log, CopyKind kind, const CopyResult& result) {
  if (result.outcome == CopyOutcome::Refused) return;
  log.processState(loggedProcess(kind),
                   result.outcome == CopyOutcome::Completed ? ProcessState::Completed : ProcessState::Aborted);
}

}  // namespace ov
