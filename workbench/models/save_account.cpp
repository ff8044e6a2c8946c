#include "workbench/models/save_account.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace ov {
namespace {

constexpr int kMaxPartialNames = 100000;

std::string count(std::uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

bool writeErrorEndsSave(int error) {
  return error == ENOSPC || error == EDQUOT || error == EIO || error == EROFS || error == ENODEV || error == ENXIO ||
         error == ESTALE || error == ENOTCONN || error == EBADF;
}

std::string setAsideIncomplete(int folderFd, const std::string& name, bool keepBytes) {
  if (keepBytes) {
    const std::string base = name + kPartialSuffix;
    for (int n = -1; n < kMaxPartialNames; ++n) {
      std::string candidate = n < 0 ? base : "#" + std::to_string(n) + base;
      if (candidate.size() > 255) break;
      if (::renameat2(folderFd, name.c_str(), folderFd, candidate.c_str(), RENAME_NOREPLACE) == 0) return candidate;
      if (errno != EEXIST) break;
    }
  }
  ::unlinkat(folderFd, name.c_str(), 0);
  return {};
}

void SaveAccount::saved(std::uint64_t bytes) {
  ++saved_;
  bytes_ += bytes;
}

void SaveAccount::savedWithNote(const std::string& path, std::uint64_t bytes, const std::string& note) {
  saved(bytes);
  notes_.push_back({path, note, {}});
}

void SaveAccount::failed(const std::string& path, const std::string& reason, const std::string& partial) {
  failures_.push_back({path, reason, partial});
}

void SaveAccount::interrupted(const std::string& path, const std::string& partial) {
  interruptions_.push_back({path, "stopped while it was being saved", partial});
}

std::vector<std::string> SaveAccount::summary(const std::string& destination) const {
  std::vector<std::string> lines;
  std::string head;
  if (complete())
    head = "Saving data completed. " + count(saved_, "file", "files") + " saved (" + count(bytes_, "byte", "bytes") +
           ") to " + destination + ".";
  else
    head = std::string(stopped() ? "Saving data aborted: " : "Saving data failed: ") +
           std::to_string(saved_) + " of " + count(planned_, "file", "files") + " saved (" +
           count(bytes_, "byte", "bytes") + ") to " + destination + "; " + std::to_string(failures_.size()) +
           " failed, " + std::to_string(interruptions_.size()) + " interrupted, " + std::to_string(untried()) +
           " not tried.";
  lines.push_back(head);
  auto add = [&lines](const char* word, const Problem& p) {
    std::string line = std::string("  ") + word + ": " + p.path + ": " + p.reason;
    if (!p.partial.empty()) line += "; what was written is kept as " + p.partial;
    lines.push_back(line);
  };
  for (const Problem& p : failures_) add("failed", p);
  for (const Problem& p : interruptions_) add("interrupted", p);
  for (const Problem& p : notes_) add("note", p);
  return lines;
}

}  // namespace ov
