// ovrecover image and clone: a whole disk (or image) copied to an ".ov2" image or onto another disk.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "cli/cli_host.h"
#include "disk/destination_guard.h"
#include "disk/sector_source.h"
#include "scans/disk_copy.h"

namespace ov::cli {
namespace {

namespace fs = std::filesystem;

constexpr int kCopyCompleted = 0;
constexpr int kCopyFailed = 1;
constexpr int kCopyRefused = 2;

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t')) text.pop_back();
  std::size_t start = text.find_first_not_of(" \t");
  return start == std::string::npos ? std::string{} : text.substr(start);
}

std::string firstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return trimmed(line);
}

struct DiskFacts {
  std::string name;
  std::string model = "N/A";
  std::string serial = "N/A";
};

// The names of the run's log entry. A disk is described from sysfs and udev's database; an
// image file by its file name alone.
DiskFacts describeSource(const std::string& path, const ReadBackend& backend) {
  DiskFacts facts;
  facts.name = fs::path(path).filename().string();
  std::uint64_t dev = 0, ino = 0, rdev = 0;
  if (!backend.identity(dev, ino, rdev) || rdev == 0) return facts;
  unsigned maj = ::major(static_cast<dev_t>(rdev)), min = ::minor(static_cast<dev_t>(rdev));
  std::error_code ec;
  fs::path dir = fs::canonical(fs::path("/sys/dev/block") / (std::to_string(maj) + ":" + std::to_string(min)), ec);
  if (ec) return facts;
  facts.name = dir.filename().string();
  fs::path disk = fs::exists(dir / "partition", ec) ? dir.parent_path() : dir;
  std::string vendor = firstLine(disk / "device" / "vendor");
  std::string model = firstLine(disk / "device" / "model");
  std::string both = trimmed(vendor + " " + model);
  if (!both.empty()) facts.model = both;
  std::string diskKey = firstLine(disk / "dev");
  std::ifstream udev("/run/udev/data/b" + diskKey);
  for (std::string line; std::getline(udev, line);) {
    if (line.rfind("E:ID_SERIAL_SHORT=", 0) == 0) {
      facts.serial = trimmed(line.substr(18));
      break;
    }
  }
  if (facts.serial == "N/A" || facts.serial.empty()) {
    std::string serial = firstLine(disk / "device" / "serial");
    facts.serial = serial.empty() ? "N/A" : serial;
  }
  return facts;
}

// A disk gets its own logical sector size; a file is opened as an image (the sector size
// stored at byte 444 of an ".ov2", 512 for a plain raw image).
int openCopySource(SectorSource& source, const std::string& path, std::uint16_t forcedSectorSize) {
  int error = 0;
  auto backend = FileBackend::open(path, error);
  if (!backend) return error;
  if (!backend->isBlockDevice()) {
    backend.reset();
    source.setSectorSizeOverride(forcedSectorSize);
    return source.openImage(path);
  }
  std::uint32_t sectorSize = forcedSectorSize != 0 ? forcedSectorSize : backend->deviceSectorSize();
  if (sectorSize == 0 || sectorSize > 0x8000) sectorSize = 512;
  std::uint64_t sectors = backend->sizeBytes() / sectorSize;
  source.openBackend(std::move(backend), static_cast<std::uint16_t>(sectorSize), sectors);
  return 0;
}

// A folder gets the default image name in it; a name without an extension gets ".ov2".
std::string imagePathFor(const std::string& dest) {
  std::error_code ec;
  if (fs::is_directory(dest, ec)) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return (fs::path(dest) / defaultImageName(local)).string() + ".ov2";
  }
  return withImageExtension(dest);
}

// The imaging page's free-space check; on a terminal the user may go on anyway.
bool enoughSpace(CliHost& host, const std::string& imagePath, const SectorSource& source) {
  FreeSpaceCheck check = checkImageFreeSpace(imagePath, source.bytesPerSector(), source.totalSectors());
  if (check.verdict == FreeSpaceVerdict::Enough) return true;
  if (check.verdict == FreeSpaceVerdict::Unknown) {
    host.showMessage(kCopyMessageCaption, kImageSpaceUnknownText, MessageIcon::Information);
    return false;
  }
  std::fprintf(stderr, "ovrecover: the image needs %llu bytes, the destination has %llu bytes free\n",
               static_cast<unsigned long long>(check.required), static_cast<unsigned long long>(check.available));
  if (::isatty(STDIN_FILENO) != 1 || ::isatty(STDERR_FILENO) != 1) {
    host.showMessage(kCopyMessageCaption, "Destination disk does not have enough space to save disk image.",
                     MessageIcon::Information);
    return false;
  }
  std::fprintf(stderr, "%s [y/N] ", kImageSpaceQuestionText);
  std::fflush(stderr);
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

void printUnreadable(const std::vector<std::uint64_t>& sectors) {
  if (sectors.empty()) {
    std::printf("no unreadable sectors\n");
    return;
  }
  std::printf("unreadable sectors: %zu\n", sectors.size());
  // Runs of neighbouring sectors on one line, since a failing area is often long.
  for (std::size_t i = 0; i < sectors.size();) {
    std::size_t j = i;
    while (j + 1 < sectors.size() && sectors[j + 1] == sectors[j] + 1) ++j;
    if (j == i)
      std::printf("  %llu\n", static_cast<unsigned long long>(sectors[i]));
    else
      std::printf("  %llu-%llu\n", static_cast<unsigned long long>(sectors[i]),
                  static_cast<unsigned long long>(sectors[j]));
    i = j + 1;
  }
}

}  // namespace

int runCopy(CliHost& host, RunControl& run, const std::string& source, const std::string& dest, bool clone,
            bool overwrite, std::uint16_t sectorSize, const std::string& mapFile, std::uint32_t retryPasses) {
  SectorSource from(host, run);
  if (int error = openCopySource(from, source, sectorSize)) {
    if (!from.openFailure().empty()) {
      std::fprintf(stderr, "ovrecover: %s\n", from.openFailure().c_str());
      return kCopyFailed;
    }
    std::fprintf(stderr, "ovrecover: cannot open %s: %s\n", source.c_str(), systemErrorText(error).c_str());
    return kCopyFailed;
  }
  CopyOptions options;
  options.kind = clone ? CopyKind::Cloning : CopyKind::Imaging;
  options.overwrite = overwrite;
  options.mapPath = clone ? std::string() : mapFile;
  options.retryPasses = retryPasses;
  // An image is a file: a device or FIFO given as its destination is refused as it is, never
  // turned into "DEST.ov2" beside it. A copy onto a disk is a clone, which writes to the path
  // exactly as given (a block device, or an existing file).
  struct stat given {};
  if (!clone && ::stat(dest.c_str(), &given) == 0 && !S_ISREG(given.st_mode) && !S_ISDIR(given.st_mode)) {
    if (S_ISBLK(given.st_mode))
      std::fprintf(stderr, "ovrecover: %s is a disk; to copy onto a disk use 'ovrecover clone %s %s'\n", dest.c_str(),
                   source.c_str(), dest.c_str());
    else
      std::fprintf(stderr, "ovrecover: %s is neither a file nor a folder; an image is written to a file\n",
                   dest.c_str());
    return kCopyRefused;
  }
  std::string target = clone ? dest : imagePathFor(dest);
  // Before anything else about the destination (its free space) is judged.
  if (auto identity = identifySource(from)) {
    if (std::string why = destinationConflict(*identity, target); !why.empty()) {
      std::fprintf(stderr, "ovrecover: %s\n", why.c_str());
      return kCopyRefused;
    }
  }
  if (!clone && !fs::exists(target) && !enoughSpace(host, target, from)) return kCopyRefused;

  DiskCopy copy(host, run, from, target, options);
  if (std::string why = copy.openDestination(); !why.empty()) {
    std::fprintf(stderr, "ovrecover: %s\n", why.c_str());
    return kCopyRefused;
  }

  DiskFacts facts = describeSource(source, *from.backend());
  LogEntry entry = clone ? cloningRunEntry(facts.name, facts.model, facts.serial, target)
                         : imagingRunEntry(facts.name, facts.model, facts.serial, target);
  host.log().setRunEntry(entry);
  host.addLogEntry(entry);

  CopyResult result = copy.run();
  finishCopyLog(host.log(), options.kind, result);
  bool completed = result.outcome == CopyOutcome::Completed;
  host.showMessage("Information", copyEndMessage(options.kind, completed),
                   completed ? MessageIcon::Information : MessageIcon::Error);
  if (!options.mapPath.empty()) {
    std::printf("rescued %llu bytes, bad %llu bytes, remaining %llu bytes%s\n",
                static_cast<unsigned long long>(result.bytesRescued), static_cast<unsigned long long>(result.bytesBad),
                static_cast<unsigned long long>(result.bytesRemaining), result.resumed ? " (a run continued)" : "");
    if (!completed && result.bytesRemaining > 0)
      std::fprintf(stderr, "ovrecover: the map %s keeps what was done; run the same command again to continue\n",
                   options.mapPath.c_str());
  }
  printUnreadable(result.unreadableSectors);
  std::fflush(stdout);
  return completed ? kCopyCompleted : kCopyFailed;
}

}  // namespace ov::cli
