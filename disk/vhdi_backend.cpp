// VHD and VHDX images through libvhdi, with the parents of differencing disks found beside them.
#include <libvhdi.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <vector>

#include "disk/container_backend.h"
#include "disk/image_formats.h"

namespace ov::detail {
namespace {

constexpr int kMaxParents = 16;

std::string takeError(libvhdi_error_t*& error) {
  if (!error) return "unknown error";
  std::vector<char> text(4096, 0);
  libvhdi_error_backtrace_sprint(error, text.data(), text.size() - 1);
  libvhdi_error_free(&error);
  return joinLibraryMessages(text.data());
}

struct VhdiFile {
  libvhdi_file_t* file = nullptr;
  ~VhdiFile() {
    if (file) {
      libvhdi_file_close(file, nullptr);
      libvhdi_file_free(&file, nullptr);
    }
  }
};

bool openFile(VhdiFile& f, const std::string& path, std::string& reason) {
  libvhdi_error_t* error = nullptr;
  if (libvhdi_file_initialize(&f.file, &error) != 1 || libvhdi_file_open(f.file, path.c_str(), LIBVHDI_OPEN_READ, &error) != 1) {
    reason = takeError(error);
    return false;
  }
  return true;
}

std::array<std::uint8_t, 16> identifier(libvhdi_file_t* file, bool parent) {
  std::array<std::uint8_t, 16> guid{};
  int rc = parent ? libvhdi_file_get_parent_identifier(file, guid.data(), guid.size(), nullptr)
                  : libvhdi_file_get_identifier(file, guid.data(), guid.size(), nullptr);
  if (rc != 1) guid.fill(0);
  return guid;
}

bool isDifferencing(libvhdi_file_t* file) {
  uint32_t type = 0;
  return libvhdi_file_get_disk_type(file, &type, nullptr) == 1 && type == LIBVHDI_DISK_TYPE_DIFFERENTIAL;
}

std::string lowerExtension(const std::filesystem::path& p) {
  std::string ext = p.extension().string();
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ext;
}

class VhdiBackend final : public ContainerBackend {
 public:
  ~VhdiBackend() override {
    // Children before their parents.
    for (auto& f : chain_) f.reset();
  }

  bool open(const std::string& path, std::string& reason) {
    chain_.push_back(std::make_unique<VhdiFile>());
    if (!openFile(*chain_.back(), path, reason)) return false;
    libvhdi_file_t* top = chain_.back()->file;
    int fileType = 0;
    libvhdi_file_get_file_type(top, &fileType, nullptr);
    path_ = path;
    format_ = fileType == LIBVHDI_FILE_TYPE_VHDX ? "VHDX" : "VHD";
    if (!addFile(path)) {
      reason = "cannot examine the file";
      return false;
    }
    std::string current = path;
    while (isDifferencing(chain_.back()->file)) {
      if (static_cast<int>(chain_.size()) > kMaxParents) {
        reason = "its chain of differencing disks is longer than " + std::to_string(kMaxParents);
        return false;
      }
      std::string parentPath;
      auto parent = findParent(current, chain_.back()->file, parentPath, reason);
      if (!parent) return false;
      libvhdi_error_t* error = nullptr;
      if (libvhdi_file_set_parent_file(chain_.back()->file, parent->file, &error) != 1) {
        reason = "its parent " + parentPath + " does not fit it: " + takeError(error);
        return false;
      }
      addFile(parentPath);
      chain_.push_back(std::move(parent));
      current = parentPath;
    }
    libvhdi_error_t* error = nullptr;
    size64_t media = 0;
    if (libvhdi_file_get_media_size(top, &media, &error) != 1) {
      reason = takeError(error);
      return false;
    }
    size_ = media;
    // Only a VHDX records its logical sector size; a VHD has 512-byte sectors by definition and
    // says nothing about the disk it holds.
    uint32_t bytesPerSector = 0;
    if (format_ == "VHDX" && libvhdi_file_get_bytes_per_sector(top, &bytesPerSector, nullptr) == 1)
      sectorSize_ = bytesPerSector;
    return true;
  }

 protected:
  std::int64_t readLocked(std::uint64_t offset, void* buffer, std::size_t length, std::string& why) override {
    libvhdi_error_t* error = nullptr;
    ssize_t n = libvhdi_file_read_buffer_at_offset(chain_.front()->file, buffer, length, static_cast<off64_t>(offset), &error);
    if (n < 0) {
      why = takeError(error);
      return -1;
    }
    return n;
  }

 private:
  // The parent named in the child, looked for beside it; else any VHD or VHDX beside it whose
  // identifier is the one the child records.
  std::unique_ptr<VhdiFile> findParent(const std::string& childPath, libvhdi_file_t* child, std::string& parentPath,
                                       std::string& reason) {
    const auto wanted = identifier(child, true);
    std::string recorded;
    size_t size = 0;
    if (libvhdi_file_get_utf8_parent_filename_size(child, &size, nullptr) == 1 && size > 0 && size < 65536) {
      std::vector<uint8_t> name(size + 1, 0);
      if (libvhdi_file_get_utf8_parent_filename(child, name.data(), name.size(), nullptr) == 1)
        recorded = reinterpret_cast<const char*>(name.data());
    }
    auto tryPath = [&](const std::string& candidate) -> std::unique_ptr<VhdiFile> {
      struct stat st {};
      if (::stat(candidate.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
      auto f = std::make_unique<VhdiFile>();
      std::string ignored;
      if (!openFile(*f, candidate, ignored)) return nullptr;
      if (identifier(f->file, false) != wanted) return nullptr;
      parentPath = candidate;
      return f;
    };
    const std::string name = parentFileName(recorded);
    if (!name.empty()) {
      if (auto f = tryPath(besideFile(childPath, name))) return f;
    }
    std::error_code ec;
    int examined = 0;
    for (std::filesystem::directory_iterator it(folderOf(childPath), ec), end; !ec && it != end && examined < 256;
         it.increment(ec)) {
      const std::string ext = lowerExtension(it->path());
      if (ext != ".vhd" && ext != ".vhdx" && ext != ".avhd" && ext != ".avhdx") continue;
      ++examined;
      if (it->path().string() == childPath) continue;
      if (auto f = tryPath(it->path().string())) return f;
    }
    reason = "it is a differencing disk whose parent" + (recorded.empty() ? std::string() : " (" + recorded + ")") +
             " is not beside it in " + folderOf(childPath) + "; put the parent disk in the same folder";
    return nullptr;
  }

  std::vector<std::unique_ptr<VhdiFile>> chain_;
};

}  // namespace

std::unique_ptr<ReadBackend> openVhdi(const std::string& path, std::string& reason) {
  auto backend = std::make_unique<VhdiBackend>();
  if (!backend->open(path, reason)) return nullptr;
  return backend;
}

}  // namespace ov::detail
