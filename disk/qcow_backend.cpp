// qcow and qcow2 images through libqcow, with the backing file an overlay names. An encrypted
// image is refused: its key is not at hand, and its clusters would read as noise.
#include <libqcow.h>

#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "disk/container_backend.h"
#include "disk/image_formats.h"

namespace ov::detail {
namespace {

constexpr int kMaxParents = 16;

std::string takeError(libqcow_error_t*& error) {
  if (!error) return "unknown error";
  std::vector<char> text(4096, 0);
  libqcow_error_backtrace_sprint(error, text.data(), text.size() - 1);
  libqcow_error_free(&error);
  return joinLibraryMessages(text.data());
}

struct QcowFile {
  libqcow_file_t* file = nullptr;
  ~QcowFile() {
    if (file) {
      libqcow_file_close(file, nullptr);
      libqcow_file_free(&file, nullptr);
    }
  }
};

// The backing file an image's header names, or empty; false when the header cannot be read.
bool backingFileOf(const std::string& path, std::string& name) {
  name.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::vector<std::uint8_t> header(512, 0);
  ssize_t n = ::pread(fd, header.data(), header.size(), 0);
  bool ok = n > 0;
  if (ok) {
    header.resize(static_cast<std::size_t>(n));
    if (auto field = qcowBackingField(header)) {
      std::string text(field->length, '\0');
      ok = ::pread(fd, text.data(), text.size(), static_cast<off_t>(field->offset)) == static_cast<ssize_t>(text.size());
      if (ok) name = text;
    }
  }
  ::close(fd);
  return ok;
}

class QcowBackend final : public ContainerBackend {
 public:
  ~QcowBackend() override {
    for (auto& f : chain_) f.reset();  // overlays before their backing files
  }

  bool open(const std::string& path, std::string& reason) {
    path_ = path;
    format_ = "qcow2";
    std::string current = path;
    for (int depth = 0;; ++depth) {
      if (depth > kMaxParents) {
        reason = "its chain of backing files is longer than " + std::to_string(kMaxParents);
        return false;
      }
      auto f = std::make_unique<QcowFile>();
      libqcow_error_t* error = nullptr;
      if (libqcow_file_initialize(&f->file, &error) != 1 ||
          libqcow_file_open(f->file, current.c_str(), LIBQCOW_OPEN_READ, &error) != 1) {
        reason = (depth > 0 ? "its backing file " + current + " cannot be read: " : std::string()) + takeError(error);
        return false;
      }
      uint32_t method = 0;
      if (libqcow_file_get_encryption_method(f->file, &method, nullptr) == 1 && method != LIBQCOW_ENCRYPTION_METHOD_NONE) {
        reason = std::string(depth > 0 ? "its backing file is" : "it is") +
                 " encrypted; decrypt it first (qemu-img convert with its key), then open the copy";
        return false;
      }
      if (!addFile(current)) {
        reason = "cannot examine " + current;
        return false;
      }
      if (!chain_.empty() && libqcow_file_set_parent_file(chain_.back()->file, f->file, &error) != 1) {
        reason = "its backing file " + current + " does not fit it: " + takeError(error);
        return false;
      }
      chain_.push_back(std::move(f));
      std::string backing;
      if (!backingFileOf(current, backing)) {
        reason = "cannot read the header of " + current;
        return false;
      }
      if (backing.empty()) break;
      std::string next = besideFile(current, backing);
      struct stat st {};
      if (::stat(next.c_str(), &st) != 0) {
        // An absolute name from another machine: the same file name beside the overlay.
        next = besideFile(current, parentFileName(backing));
        if (parentFileName(backing).empty() || ::stat(next.c_str(), &st) != 0) {
          reason = "it is an overlay whose backing file " + backing + " is not beside it in " + folderOf(current);
          return false;
        }
      }
      std::vector<std::uint8_t> head(4, 0);
      int fd = ::open(next.c_str(), O_RDONLY | O_CLOEXEC);
      bool isQcow = fd >= 0 && ::pread(fd, head.data(), 4, 0) == 4 && formatFromSignature(head, {}) == ImageFormat::Qcow;
      if (fd >= 0) ::close(fd);
      if (!isQcow) {
        reason = "its backing file " + next + " is not a qcow image (convert the overlay with qemu-img first)";
        return false;
      }
      current = next;
    }
    libqcow_error_t* error = nullptr;
    size64_t media = 0;
    if (libqcow_file_get_media_size(chain_.front()->file, &media, &error) != 1) {
      reason = takeError(error);
      return false;
    }
    size_ = media;
    return true;
  }

 protected:
  std::int64_t readLocked(std::uint64_t offset, void* buffer, std::size_t length, std::string& why) override {
    libqcow_error_t* error = nullptr;
    ssize_t n = libqcow_file_read_buffer_at_offset(chain_.front()->file, buffer, length, static_cast<off64_t>(offset), &error);
    if (n < 0) {
      why = takeError(error);
      return -1;
    }
    return n;
  }

 private:
  std::vector<std::unique_ptr<QcowFile>> chain_;
};

}  // namespace

std::unique_ptr<ReadBackend> openQcow(const std::string& path, std::string& reason) {
  auto backend = std::make_unique<QcowBackend>();
  if (!backend->open(path, reason)) return nullptr;
  return backend;
}

}  // namespace ov::detail
