// The checks every command passes before it creates, opens for writing or writes anything.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "cli/commands.h"
#include "disk/destination_guard.h"
#include "disk/sector_source.h"
#include "scans/scan_file.h"

namespace ov::cli {
namespace {

namespace fs = std::filesystem;

// Whether `path` can be used as a folder (existing, or made in its nearest existing folder) or
// as a file; the reason when it cannot. Creates nothing.
std::string unusable(const Destination& d) {
  struct stat st {};
  if (::stat(d.path.c_str(), &st) == 0) {
    if (d.folder && !S_ISDIR(st.st_mode)) return d.path + " is not a folder";
    if (!d.folder && S_ISDIR(st.st_mode)) return d.path + " is a folder";
    return {};
  }
  if (errno != ENOENT) return "cannot use " + d.path + ": " + systemErrorText(errno);
  fs::path at = d.path;
  for (int steps = 0; steps < 4096; ++steps) {
    fs::path up = at.parent_path();
    if (up.empty()) up = ".";
    if (up == at) break;
    at = up;
    if (::stat(at.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return "cannot create " + d.path + ": " + at.string() + " is not a folder";
      if (::access(at.c_str(), W_OK | X_OK) != 0)
        return "cannot create " + d.path + " in " + at.string() + ": " + systemErrorText(errno);
      return {};
    }
    if (errno != ENOENT) return "cannot create " + d.path + ": " + systemErrorText(errno);
  }
  return {};
}

}  // namespace

std::optional<int> refuseBeforeStart(const std::string& source, const std::string& scanFile,
                                     const std::vector<Destination>& destinations) {
  std::string from = source;
  if (from.empty() && !scanFile.empty()) {
    // A saved scan names its source; an unreadable scan file fails later with its own message.
    if (auto stored = scanFileSourcePath(scanFile)) from = *stored;
  }
  std::optional<SourceIdentity> identity;
  if (!from.empty()) {
    if (std::string why = unusableSourceReason(from); !why.empty()) {
      std::fprintf(stderr, "ovrecover: %s\n", why.c_str());
      return kExitFailed;
    }
    identity = identifySource(from);
  }
  for (const Destination& d : destinations) {
    if (identity) {
      if (std::string why = destinationConflict(*identity, d.path); !why.empty()) {
        std::fprintf(stderr, "ovrecover: %s\n", why.c_str());
        return kExitUsage;
      }
    }
    if (std::string why = unusable(d); !why.empty()) {
      std::fprintf(stderr, "ovrecover: %s\n", why.c_str());
      return kExitUsage;
    }
  }
  return std::nullopt;
}

}  // namespace ov::cli
