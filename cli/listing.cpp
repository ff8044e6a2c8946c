#include "cli/listing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/sysmacros.h>

#include <climits>
#include <cstdlib>

#include "cli/commands.h"
#include "disk/byte_io.h"
#include "disk/sector_source.h"

namespace ov::cli {
namespace {

// A block device's node in sysfs; empty for anything else.
std::string sysfsOfDevice(dev_t device) {
  std::string link = "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  char resolved[PATH_MAX];
  if (!::realpath(link.c_str(), resolved)) return {};
  return resolved;
}

}  // namespace

std::string isoDate(std::uint16_t d) {
  unsigned day = d & 31u, month = (d >> 5) & 15u, year = (d >> 9) + 1980u;
  if (d == 0 || day == 0 || month == 0 || month > 12) return {};
  char text[16];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u", year, month, day);
  return text;
}

nlohmann::json dateJson(std::uint16_t d) {
  std::string text = isoDate(d);
  return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

std::string joined(const std::vector<std::string>& path) {
  std::string out;
  for (const auto& part : path) out += (out.empty() ? "" : "/") + part;
  return out;
}

// True when `dir` lies on the disk being recovered (the device itself or one of its partitions).
bool onSourceDevice(const std::string& sourcePath, const std::string& dir) {
  struct stat source {}, folder {};
  if (::stat(sourcePath.c_str(), &source) != 0 || !S_ISBLK(source.st_mode)) return false;
  if (::stat(dir.c_str(), &folder) != 0) return false;
  std::string disk = sysfsOfDevice(source.st_rdev), holder = sysfsOfDevice(folder.st_dev);
  if (disk.empty() || holder.empty()) return folder.st_dev == source.st_rdev;
  return holder == disk || holder.rfind(disk + "/", 0) == 0;
}

int saveFiles(const OutputFolder& destination, const std::string& outDir, std::vector<PlannedFile>& files,
              RunControl& run, EngineHost& host, const std::function<void(std::uint64_t)>& onProgress, int rc) {
  std::uint64_t saved = 0, bytes = 0, failures = 0, doneBefore = 0;
  run.start();
  for (auto& file : files) {
    if (!run.proceed()) break;
    onProgress(doneBefore);
    int error = 0;
    std::vector<OutputFolder> chain;
    const OutputFolder* current = &destination;
    bool ok = true;
    for (const auto& name : file.folders) {
      chain.push_back(current->subfolder(name, error));
      if (!chain.back().isOpen()) {
        ok = false;
        break;
      }
      current = &chain.back();
    }
    std::string usedName;
    int fd = ok ? current->createFile(file.name, usedName, error) : -1;
    if (fd < 0) {
      std::fprintf(stderr, "ovrecover: cannot create %s: %s\n", utf16ToUtf8(file.name).c_str(),
                   systemErrorText(error).c_str());
      ++failures;
      doneBefore += file.size;
      continue;
    }
    bool written = false;
    std::uint64_t count = 0;
    try {
      written = file.save(fd, count);
    } catch (const AlreadyReported&) {
      ::close(fd);
      ::unlinkat(current->fd(), usedName.c_str(), 0);
      ++failures;
      break;  // the reason has been shown; a failing destination or source ends the batch
    }
    ::close(fd);
    if (!written) {
      ::unlinkat(current->fd(), usedName.c_str(), 0);
      std::fprintf(stderr, "ovrecover: %s: its record is no longer valid; nothing saved\n",
                   utf16ToUtf8(file.name).c_str());
      ++failures;
    } else {
      ++saved;
      bytes += count;
    }
    doneBefore += file.size;
  }
  bool aborted = !run.running();
  run.stop();
  host.progress(1, 1);
  std::fprintf(stderr, "%s %llu files saved (%llu bytes) to %s, %llu failed.\n",
               aborted ? "Saving data aborted." : "Saving data completed.", static_cast<unsigned long long>(saved),
               static_cast<unsigned long long>(bytes), outDir.c_str(), static_cast<unsigned long long>(failures));
  if (aborted || failures > 0) return kExitFailed;
  return rc;
}

}  // namespace ov::cli
