// E01 and Ex01 images through libewf: all segment files of the set, found from the first.
#include <libewf.h>

#include <algorithm>
#include <vector>

#include "disk/container_backend.h"

namespace ov::detail {
namespace {

std::string takeError(libewf_error_t*& error) {
  if (!error) return "unknown error";
  std::vector<char> text(4096, 0);
  libewf_error_backtrace_sprint(error, text.data(), text.size() - 1);
  libewf_error_free(&error);
  return joinLibraryMessages(text.data());
}

struct Range {
  std::uint64_t first = 0, count = 0;
};

class EwfBackend final : public ContainerBackend {
 public:
  ~EwfBackend() override {
    if (handle_) {
      libewf_handle_close(handle_, nullptr);
      libewf_handle_free(&handle_, nullptr);
    }
  }

  bool open(const std::string& path, std::string& reason) {
    libewf_error_t* error = nullptr;
    char** names = nullptr;
    int count = 0;
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &error) != 1) {
      reason = takeError(error);
      return false;
    }
    std::vector<std::string> segments(names, names + count);
    libewf_glob_free(names, count, nullptr);
    if (libewf_handle_initialize(&handle_, &error) != 1) {
      reason = takeError(error);
      return false;
    }
    std::vector<char*> pointers;
    for (std::string& s : segments) pointers.push_back(s.data());
    if (libewf_handle_open(handle_, pointers.data(), static_cast<int>(pointers.size()), LIBEWF_OPEN_READ, &error) != 1) {
      reason = takeError(error);
      return false;
    }
    // A set whose last segment is missing or cut short opens, but its table of chunks is not whole.
    if (libewf_handle_segment_files_corrupted(handle_, &error) == 1) {
      reason = "its segment files are incomplete or damaged (a missing or truncated last segment)";
      return false;
    }
    if (error) libewf_error_free(&error);
    // A chunk whose checksum fails reads as zeros and is recorded as a checksum error.
    libewf_handle_set_read_zero_chunk_on_error(handle_, 1, nullptr);
    size64_t media = 0;
    uint32_t bytesPerSector = 0;
    if (libewf_handle_get_media_size(handle_, &media, &error) != 1 ||
        libewf_handle_get_bytes_per_sector(handle_, &bytesPerSector, &error) != 1) {
      reason = takeError(error);
      return false;
    }
    path_ = path;
    format_ = "E01";
    size_ = media;
    sectorSize_ = bytesPerSector;
    for (const std::string& s : segments)
      if (!addFile(s)) {
        reason = "cannot examine its segment file " + s;
        return false;
      }
    // Sectors the acquisition could not read are stored as zeros and listed.
    uint32_t acquiryErrors = 0;
    if (libewf_handle_get_number_of_acquiry_errors(handle_, &acquiryErrors, nullptr) == 1) {
      for (uint32_t i = 0; i < acquiryErrors && i < 1000000; ++i) {
        uint64_t first = 0, n = 0;
        if (libewf_handle_get_acquiry_error(handle_, i, &first, &n, nullptr) == 1 && n != 0)
          acquiryErrors_.push_back({first, n});
      }
    }
    return true;
  }

 protected:
  std::int64_t readLocked(std::uint64_t offset, void* buffer, std::size_t length, std::string& why) override {
    libewf_error_t* error = nullptr;
    ssize_t n = libewf_handle_read_random(handle_, buffer, length, static_cast<off64_t>(offset), &error);
    if (n < 0) {
      why = takeError(error);
      return -1;
    }
    return n;
  }

  bool rangeMarkedBad(std::uint64_t offset, std::size_t length) override {
    if (sectorSize_ == 0) return false;
    const std::uint64_t first = offset / sectorSize_;
    const std::uint64_t last = (offset + length - 1) / sectorSize_;
    auto overlaps = [&](const Range& r) { return r.first <= last && first < r.first + r.count; };
    if (std::any_of(acquiryErrors_.begin(), acquiryErrors_.end(), overlaps)) return true;
    uint32_t count = 0;
    if (libewf_handle_get_number_of_checksum_errors(handle_, &count, nullptr) != 1) return false;
    for (uint32_t i = 0; i < count; ++i) {
      uint64_t start = 0, n = 0;
      if (libewf_handle_get_checksum_error(handle_, i, &start, &n, nullptr) == 1 && overlaps({start, n})) return true;
    }
    return false;
  }

 private:
  libewf_handle_t* handle_ = nullptr;
  std::vector<Range> acquiryErrors_;
};

}  // namespace

std::unique_ptr<ReadBackend> openEwf(const std::string& path, std::string& reason) {
  auto backend = std::make_unique<EwfBackend>();
  if (!backend->open(path, reason)) return nullptr;
  return backend;
}

}  // namespace ov::detail
