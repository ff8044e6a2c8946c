#include "workbench/models/output_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "disk/byte_io.h"

namespace ov {
namespace {

constexpr int kMaxClashes = 100000;

// Cuts UTF-8 text to at most `limit` bytes without splitting a character.
std::string cutUtf8(const std::string& text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

std::string clashName(int n, const std::string& name) {
  return cutUtf8("#" + std::to_string(n) + name, 255);
}

}  // namespace

std::string safeOutputName(const std::u16string& name) {
  std::string text = utf16ToUtf8(name);
  for (auto& c : text)
    if (c == '/' || c == '\0') c = '_';
  if (text.empty() || text == "." || text == "..") text = "_" + text;
  if (text.size() > kMaxOutputNameBytes) {
    std::size_t dot = text.rfind('.');
    std::string extension = (dot != std::string::npos && dot > 0 && text.size() - dot <= 16) ? text.substr(dot) : "";
    text = cutUtf8(text.substr(0, text.size() - extension.size()), kMaxOutputNameBytes - extension.size()) + extension;
  }
  return text;
}

OutputFolder OutputFolder::open(const std::string& path, int& error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  error = fd < 0 ? errno : 0;
  return OutputFolder(fd);
}

OutputFolder& OutputFolder::operator=(OutputFolder&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

OutputFolder::~OutputFolder() {
  if (fd_ >= 0) ::close(fd_);
}

OutputFolder OutputFolder::subfolderNamed(const std::string& candidate, int& error) const {
  if (::mkdirat(fd_, candidate.c_str(), 0755) != 0 && errno != EEXIST) {
    error = errno;
    return OutputFolder();
  }
  // O_NOFOLLOW: a link planted under this name is never followed out of the destination.
  int fd = ::openat(fd_, candidate.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  error = fd >= 0 ? 0 : errno;
  return OutputFolder(fd);
}

OutputFolder OutputFolder::subfolder(const std::u16string& name, int& error) const {
  std::string base = safeOutputName(name);
  for (int n = -1; n < kMaxClashes; ++n) {
    OutputFolder sub = subfolderNamed(n < 0 ? base : clashName(n, base), error);
    if (sub.isOpen() || (error != ENOTDIR && error != ELOOP)) return sub;
  }
  error = EEXIST;
  return OutputFolder();
}

const OutputFolder* OutputTree::folder(const std::vector<std::u16string>& folders, int& error, std::string& shownPath) {
  error = 0;
  shownPath.clear();
  std::size_t node = 0;
  for (std::size_t depth = 0; depth < folders.size(); ++depth) {
    const std::u16string& name = folders[depth];
    auto known = nodes_[node].children.find(name);
    std::size_t child = 0;
    if (known != nodes_[node].children.end()) {
      child = known->second;
    } else {
      child = nodes_.size();
      nodes_.emplace_back();
      nodes_[node].children[name] = child;
    }
    const bool isOpen = depth < openNodes_.size() && openNodes_[depth] == child;
    if (!isOpen) {
      openNodes_.resize(depth);
      open_.resize(depth);
      const OutputFolder& parent = depth == 0 ? destination_ : open_[depth - 1];
      OutputFolder sub;
      if (!nodes_[child].outputName.empty()) {
        sub = parent.subfolderNamed(nodes_[child].outputName, error);
      } else {
        // A name whose safe form another name of this save has taken gets the next clash name.
        const std::string base = safeOutputName(name);
        for (int n = -1; n < kMaxClashes && !sub.isOpen(); ++n) {
          std::string candidate = n < 0 ? base : clashName(n, base);
          auto claim = nodes_[node].claimed.find(candidate);
          if (claim != nodes_[node].claimed.end() && claim->second != name) continue;
          sub = parent.subfolderNamed(candidate, error);
          if (sub.isOpen()) {
            nodes_[node].claimed[candidate] = name;
            nodes_[child].outputName = candidate;
          } else if (error != ENOTDIR && error != ELOOP) {
            break;
          }
        }
        if (!sub.isOpen() && error == 0) error = EEXIST;
      }
      if (!sub.isOpen()) {
        openNodes_.resize(depth);
        open_.resize(depth);
        return nullptr;
      }
      openNodes_.push_back(child);
      open_.push_back(std::move(sub));
    }
    shownPath += (shownPath.empty() ? "" : "/") + nodes_[child].outputName;
    node = child;
  }
  openNodes_.resize(folders.size());
  open_.resize(folders.size());
  return folders.empty() ? &destination_ : &open_.back();
}

int OutputFolder::createFile(const std::u16string& name, std::string& usedName, int& error) const {
  std::string base = safeOutputName(name);
  for (int n = -1; n < kMaxClashes; ++n) {
    std::string candidate = n < 0 ? base : clashName(n, base);
    int fd = ::openat(fd_, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      usedName = candidate;
      error = 0;
      return fd;
    }
    if (errno != EEXIST) {
      error = errno;
      return -1;
    }
  }
  error = EEXIST;
  return -1;
}

}  // namespace ov
