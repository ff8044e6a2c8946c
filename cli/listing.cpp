#include "cli/listing.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <climits>
#include <cstdlib>

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

}  // namespace ov::cli
