// VMDK images through libvmdk: a descriptor and its extent files (or a sparse file with its
// descriptor inside), and the parent of a snapshot, found beside it by the name it records.
#include <libvmdk.h>

#include <vector>

#include "disk/container_backend.h"
#include "disk/image_formats.h"

namespace ov::detail {
namespace {

constexpr int kMaxParents = 16;
constexpr int kMaxExtents = 100000;

std::string takeError(libvmdk_error_t*& error) {
  if (!error) return "unknown error";
  std::vector<char> text(4096, 0);
  libvmdk_error_backtrace_sprint(error, text.data(), text.size() - 1);
  libvmdk_error_free(&error);
  return joinLibraryMessages(text.data());
}

struct VmdkHandle {
  libvmdk_handle_t* handle = nullptr;
  ~VmdkHandle() {
    if (handle) {
      libvmdk_handle_close(handle, nullptr);
      libvmdk_handle_free(&handle, nullptr);
    }
  }
};

class VmdkBackend final : public ContainerBackend {
 public:
  ~VmdkBackend() override {
    for (auto& h : chain_) h.reset();  // children before their parents
  }

  bool open(const std::string& path, std::string& reason) {
    path_ = path;
    format_ = "VMDK";
    std::string current = path;
    for (int depth = 0;; ++depth) {
      if (depth > kMaxParents) {
        reason = "its chain of snapshots is longer than " + std::to_string(kMaxParents);
        return false;
      }
      auto h = std::make_unique<VmdkHandle>();
      if (!openOne(*h, current, reason)) {
        if (depth > 0) reason = "its parent " + current + " cannot be read: " + reason;
        return false;
      }
      if (!chain_.empty()) {
        libvmdk_error_t* error = nullptr;
        if (libvmdk_handle_set_parent_handle(chain_.back()->handle, h->handle, &error) != 1) {
          reason = "its parent " + current + " does not fit it: " + takeError(error);
          return false;
        }
      }
      libvmdk_handle_t* opened = h->handle;
      chain_.push_back(std::move(h));
      std::string parent = parentOf(opened);
      if (parent.empty()) break;
      std::string parentPath = besideFile(current, parentFileName(parent));
      struct stat st {};
      if (parentFileName(parent).empty() || ::stat(parentPath.c_str(), &st) != 0) {
        reason = "it is a snapshot whose parent " + parent + " is not beside it in " + folderOf(current) +
                 "; put the parent disk in the same folder";
        return false;
      }
      current = parentPath;
    }
    libvmdk_error_t* error = nullptr;
    size64_t media = 0;
    if (libvmdk_handle_get_media_size(chain_.front()->handle, &media, &error) != 1) {
      reason = takeError(error);
      return false;
    }
    size_ = media;
    return true;
  }

 protected:
  std::int64_t readLocked(std::uint64_t offset, void* buffer, std::size_t length, std::string& why) override {
    libvmdk_error_t* error = nullptr;
    ssize_t n = libvmdk_handle_read_buffer_at_offset(chain_.front()->handle, buffer, length, static_cast<off64_t>(offset),
                                                     &error);
    if (n < 0) {
      why = takeError(error);
      return -1;
    }
    return n;
  }

 private:
  bool openOne(VmdkHandle& h, const std::string& path, std::string& reason) {
    libvmdk_error_t* error = nullptr;
    const std::string folder = folderOf(path);
    if (libvmdk_handle_initialize(&h.handle, &error) != 1 ||
        libvmdk_handle_open(h.handle, path.c_str(), LIBVMDK_OPEN_READ, &error) != 1 ||
        libvmdk_handle_set_extent_data_files_path(h.handle, folder.c_str(), folder.size(), &error) != 1) {
      reason = takeError(error);
      return false;
    }
    if (!addFile(path)) {
      reason = "cannot examine " + path;
      return false;
    }
    int extents = 0;
    if (libvmdk_handle_get_number_of_extents(h.handle, &extents, &error) != 1 || extents < 0 || extents > kMaxExtents) {
      reason = error ? takeError(error) : "an absurd number of extents";
      return false;
    }
    for (int i = 0; i < extents; ++i) {
      libvmdk_extent_descriptor_t* extent = nullptr;
      if (libvmdk_handle_get_extent_descriptor(h.handle, i, &extent, &error) != 1) {
        reason = takeError(error);
        return false;
      }
      int type = 0;
      size_t size = 0;
      std::string name;
      libvmdk_extent_descriptor_get_type(extent, &type, nullptr);
      if (libvmdk_extent_descriptor_get_utf8_filename_size(extent, &size, nullptr) == 1 && size > 0 && size < 65536) {
        std::vector<uint8_t> text(size + 1, 0);
        if (libvmdk_extent_descriptor_get_utf8_filename(extent, text.data(), text.size(), nullptr) == 1)
          name = reinterpret_cast<const char*>(text.data());
      }
      libvmdk_extent_descriptor_free(&extent, nullptr);
      if (type == LIBVMDK_EXTENT_TYPE_ZERO || name.empty()) continue;
      const std::string file = besideFile(path, name);
      if (!addFile(file)) {
        reason = "its extent file " + file + " is missing";
        return false;
      }
    }
    if (libvmdk_handle_open_extent_data_files(h.handle, &error) != 1) {
      reason = takeError(error);
      return false;
    }
    return true;
  }

  static std::string parentOf(libvmdk_handle_t* handle) {
    size_t size = 0;
    if (libvmdk_handle_get_utf8_parent_filename_size(handle, &size, nullptr) != 1 || size == 0 || size >= 65536) return {};
    std::vector<uint8_t> text(size + 1, 0);
    if (libvmdk_handle_get_utf8_parent_filename(handle, text.data(), text.size(), nullptr) != 1) return {};
    return reinterpret_cast<const char*>(text.data());
  }

  std::vector<std::unique_ptr<VmdkHandle>> chain_;
};

}  // namespace

std::unique_ptr<ReadBackend> openVmdk(const std::string& path, std::string& reason) {
  auto backend = std::make_unique<VmdkBackend>();
  if (!backend->open(path, reason)) return nullptr;
  return backend;
}

}  // namespace ov::detail
