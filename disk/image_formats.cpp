#include "disk/image_formats.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>

#include "disk/container_backend.h"

namespace ov {

namespace detail {

int ContainerBackend::readAt(std::uint64_t offset, void* buffer, std::size_t length, std::size_t& got) {
  std::lock_guard lock(mutex_);
  got = 0;
  if (offset >= size_ || length == 0) return 0;
  if (length > size_ - offset) length = static_cast<std::size_t>(size_ - offset);
  auto* out = static_cast<std::uint8_t*>(buffer);
  while (got < length) {
    std::string why;
    std::int64_t n = readLocked(offset + got, out + got, length - got, why);
    if (n <= 0) {
      lastFailure_ = n < 0 ? why : "the library read nothing inside the disk";
      // A container whose file went away (an unplugged disk) is not a bad sector.
      return filesStillThere() ? EIO : ENODEV;
    }
    got += static_cast<std::size_t>(n);
  }
  if (rangeMarkedBad(offset, length)) {
    lastFailure_ = "the image marks these sectors as unreadable";
    return EIO;
  }
  return 0;
}

std::string ContainerBackend::lastReadFailure() const {
  std::lock_guard lock(mutex_);
  return lastFailure_;
}

bool ContainerBackend::identity(std::uint64_t& dev, std::uint64_t& ino, std::uint64_t& rdev) const {
  if (files_.empty()) return false;
  dev = files_.front().dev;
  ino = files_.front().ino;
  rdev = 0;
  return true;
}

bool ContainerBackend::addFile(const std::string& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  for (const SourceFile& known : files_)
    if (known.dev == st.st_dev && known.ino == st.st_ino) return true;
  files_.push_back(SourceFile{file, static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)});
  return true;
}

bool ContainerBackend::filesStillThere() const {
  for (const SourceFile& f : files_) {
    struct stat st {};
    if (::stat(f.path.c_str(), &st) != 0 || st.st_dev != f.dev || st.st_ino != f.ino) return false;
  }
  return true;
}

std::string folderOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string besideFile(const std::string& path, const std::string& name) {
  if (!name.empty() && name[0] == '/') return name;
  return folderOf(path) + "/" + name;
}

std::string joinLibraryMessages(const char* text) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    char c = *p;
    if (c == '\n' || c == '\r') {
      if (!out.empty() && out.back() != ' ') out += "; ";
      continue;
    }
    out += c;
  }
  while (!out.empty() && (out.back() == ' ' || out.back() == ';')) out.pop_back();
  return out;
}

}  // namespace detail

namespace {

bool startsWith(Bytes b, std::string_view magic) {
  return b.size() >= magic.size() && std::memcmp(b.data(), magic.data(), magic.size()) == 0;
}

std::uint64_t be(Bytes b, std::size_t offset, std::size_t width) {
  if (!fits(b, offset, width)) return 0;
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v = (v << 8) | b[offset + i];
  return v;
}

// The pieces of a split raw set behind one backend. At most a few pieces are kept open at a
// time (a large disk split into CD-sized pieces has thousands); a piece opened again must be the
// same file as at the start.
class SplitRawBackend final : public ReadBackend {
 public:
  struct Piece {
    SourceFile file;
    std::uint64_t start = 0, size = 0;
  };
  explicit SplitRawBackend(std::vector<Piece> pieces) : pieces_(std::move(pieces)) {
    if (!pieces_.empty()) size_ = pieces_.back().start + pieces_.back().size;
  }
  int readAt(std::uint64_t offset, void* buffer, std::size_t length, std::size_t& got) override {
    std::lock_guard lock(mutex_);
    got = 0;
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (got < length && offset + got < size_) {
      const std::uint64_t at = offset + got;
      auto it = std::upper_bound(pieces_.begin(), pieces_.end(), at,
                                 [](std::uint64_t v, const Piece& p) { return v < p.start; });
      const std::size_t index = static_cast<std::size_t>(it - pieces_.begin()) - 1;
      const Piece& piece = pieces_[index];
      int error = 0;
      FileBackend* file = pieceFile(index, error);
      if (!file) return error;
      std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(length - got, piece.start + piece.size - at));
      std::size_t n = 0;
      if (int e = file->readAt(at - piece.start, out + got, want, n)) return e;
      if (n < want) {
        // A piece shorter than at the start: it was changed under us.
        got += n;
        return ENODEV;
      }
      got += n;
    }
    return 0;
  }
  std::uint64_t sizeBytes() const override { return size_; }
  std::string path() const override { return pieces_.front().file.path; }
  bool identity(std::uint64_t& dev, std::uint64_t& ino, std::uint64_t& rdev) const override {
    dev = pieces_.front().file.dev;
    ino = pieces_.front().file.ino;
    rdev = 0;
    return true;
  }
  std::string formatName() const override { return "split raw"; }
  std::vector<SourceFile> files() const override {
    std::vector<SourceFile> out;
    for (const Piece& p : pieces_) out.push_back(p.file);
    return out;
  }

 private:
  static constexpr std::size_t kOpenPieces = 8;

  FileBackend* pieceFile(std::size_t index, int& error) {
    for (auto it = open_.begin(); it != open_.end(); ++it) {
      if (it->first == index) {
        open_.splice(open_.begin(), open_, it);
        return open_.front().second.get();
      }
    }
    const Piece& piece = pieces_[index];
    auto file = FileBackend::open(piece.file.path, error);
    if (!file) return nullptr;
    std::uint64_t dev = 0, ino = 0, rdev = 0;
    file->identity(dev, ino, rdev);
    if (dev != piece.file.dev || ino != piece.file.ino || file->sizeBytes() < piece.size) {
      error = ENODEV;
      return nullptr;
    }
    open_.emplace_front(index, std::move(file));
    if (open_.size() > kOpenPieces) open_.pop_back();
    return open_.front().second.get();
  }

  std::vector<Piece> pieces_;
  std::uint64_t size_ = 0;
  std::list<std::pair<std::size_t, std::unique_ptr<FileBackend>>> open_;
  std::mutex mutex_;
};

std::unique_ptr<ReadBackend> openSplitRaw(const std::vector<std::string>& names, int& error, std::string& reason) {
  std::vector<SplitRawBackend::Piece> pieces;
  std::uint64_t start = 0;
  for (const std::string& name : names) {
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0) {
      error = errno;
      return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
      error = EINVAL;
      reason = name + " is not a regular file; every piece of a split image must be one";
      return nullptr;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size == 0 && &name != &names.back()) {
      error = EINVAL;
      reason = "the piece " + name + " of the split image is empty";
      return nullptr;
    }
    pieces.push_back({SourceFile{name, static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)},
                      start, size});
    start += size;
  }
  return std::make_unique<SplitRawBackend>(std::move(pieces));
}

}  // namespace

const char* imageFormatName(ImageFormat format) {
  switch (format) {
    case ImageFormat::Raw: return "raw";
    case ImageFormat::SplitRaw: return "split raw";
    case ImageFormat::Ewf: return "E01";
    case ImageFormat::Vhd: return "VHD";
    case ImageFormat::Vhdx: return "VHDX";
    case ImageFormat::Vmdk: return "VMDK";
    case ImageFormat::Qcow: return "qcow2";
  }
  return "raw";
}

ImageFormat formatFromSignature(Bytes head, Bytes tail) {
  // EWF version 1 ("EVF", E01) and 2 ("EVF2", Ex01); the logical-evidence variants (L01) hold
  // files, not a disk, and are left to be refused as raw data that holds no volume.
  if (startsWith(head, std::string_view("EVF\x09\x0d\x0a\xff\x00", 8)) ||
      startsWith(head, std::string_view("EVF2\x0d\x0a\x81\x00", 8)))
    return ImageFormat::Ewf;
  if (startsWith(head, "vhdxfile")) return ImageFormat::Vhdx;
  // A dynamic or differencing VHD starts with a copy of its footer; a fixed one has it only at
  // the end, after the raw disk.
  if (startsWith(head, "conectix") || startsWith(tail, "conectix")) return ImageFormat::Vhd;
  if (startsWith(head, "KDMV") || startsWith(head, "COWD") || startsWith(head, "# Disk DescriptorFile"))
    return ImageFormat::Vmdk;
  if (startsWith(head, std::string_view("QFI\xfb", 4))) return ImageFormat::Qcow;
  return ImageFormat::Raw;
}

std::vector<std::string> splitRawSegments(const std::string& path) {
  std::size_t dot = path.find_last_of('.');
  std::size_t slash = path.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  const std::string digits = path.substr(dot + 1);
  if (digits.size() < 3 || digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string::npos) return {};
  if (std::stoul(digits) != 1) return {};
  const std::string base = path.substr(0, dot + 1);
  const std::size_t width = digits.size();
  std::size_t limit = 1;
  for (std::size_t i = 0; i < width; ++i) limit *= 10;
  auto nameOf = [&](std::size_t n) {
    std::string number = std::to_string(n);
    return base + std::string(width - number.size(), '0') + number;
  };
  std::vector<std::string> out{path};
  for (std::size_t n = 2; n < limit; ++n) {
    struct stat st {};
    if (::stat(nameOf(n).c_str(), &st) != 0) break;
    out.push_back(nameOf(n));
  }
  if (out.size() < 2) return {};
  return out;
}

std::optional<QcowBackingField> qcowBackingField(Bytes header) {
  if (!startsWith(header, std::string_view("QFI\xfb", 4))) return std::nullopt;
  const std::uint64_t version = be(header, 4, 4);
  if (version < 1 || version > 3) return std::nullopt;
  QcowBackingField field;
  field.offset = be(header, 8, 8);
  field.length = static_cast<std::uint32_t>(be(header, 16, 4));
  // The name follows the header; the format allows at most 1023 bytes.
  if (field.offset == 0 || field.length == 0 || field.length > 1023 || field.offset < 20 ||
      field.offset > (std::uint64_t{1} << 40))
    return std::nullopt;
  return field;
}

std::string parentFileName(std::string_view recorded) {
  std::size_t cut = recorded.find_last_of("/\\");
  std::string_view name = cut == std::string_view::npos ? recorded : recorded.substr(cut + 1);
  // A drive letter without a separator ("C:base.vhd").
  if (name.size() > 2 && name[1] == ':') name.remove_prefix(2);
  std::string out(name);
  while (!out.empty() && (out.back() == '\0' || out.back() == ' ')) out.pop_back();
  if (out == "." || out == "..") return {};
  return out;
}

std::unique_ptr<ReadBackend> openSourceBackend(const std::string& path, int& error, std::string& reason) {
  error = 0;
  reason.clear();
  auto file = FileBackend::open(path, error);
  if (!file) return nullptr;
  if (file->isBlockDevice()) return file;
  std::vector<std::uint8_t> head(512, 0), tail(512, 0);
  std::size_t gotHead = 0, gotTail = 0;
  if (int e = file->readAt(0, head.data(), head.size(), gotHead)) {
    error = e;
    return nullptr;
  }
  head.resize(gotHead);
  if (file->sizeBytes() >= 512) {
    if (int e = file->readAt(file->sizeBytes() - 512, tail.data(), tail.size(), gotTail)) {
      error = e;
      return nullptr;
    }
  }
  tail.resize(gotTail);
  const ImageFormat format = formatFromSignature(head, tail);
  if (format == ImageFormat::Raw) {
    std::vector<std::string> pieces = splitRawSegments(path);
    if (pieces.empty()) return file;
    file.reset();
    // A piece missing in the middle would silently cut the disk short.
    const std::string& last = pieces.back();
    const std::size_t dot = last.find_last_of('.');
    const std::string digits = last.substr(dot + 1);
    for (std::size_t skip = 2; skip <= 3; ++skip) {
      std::string number = std::to_string(std::stoul(digits) + skip);
      if (number.size() > digits.size()) break;
      std::string later = last.substr(0, dot + 1) + std::string(digits.size() - number.size(), '0') + number;
      struct stat st {};
      if (::stat(later.c_str(), &st) == 0) {
        error = ENOENT;
        reason = path + " is the first piece of a split image whose piece after " + last + " is missing (" + later +
                 " is there)";
        return nullptr;
      }
    }
    return openSplitRaw(pieces, error, reason);
  }
  file.reset();
  std::unique_ptr<ReadBackend> backend;
  switch (format) {
    case ImageFormat::Ewf: backend = detail::openEwf(path, reason); break;
    case ImageFormat::Vhd:
    case ImageFormat::Vhdx: backend = detail::openVhdi(path, reason); break;
    case ImageFormat::Vmdk: backend = detail::openVmdk(path, reason); break;
    case ImageFormat::Qcow: backend = detail::openQcow(path, reason); break;
    default: break;
  }
  if (!backend) {
    error = EINVAL;
    reason = path + " is " + (format == ImageFormat::Ewf ? "an " : "a ") + imageFormatName(format) +
             " image that cannot be read: " + reason;
  }
  return backend;
}

std::vector<SourceFile> sourceFiles(const std::string& path) {
  int error = 0;
  std::string reason;
  auto backend = openSourceBackend(path, error, reason);
  if (!backend) return {};
  return backend->files();
}

std::uint16_t recordedSectorSize(const ReadBackend& backend) {
  const std::uint32_t size = backend.formatSectorSize();
  if (size <= 512 || size > 32768 || (size & (size - 1)) != 0) return 0;
  return static_cast<std::uint16_t>(size);
}

}  // namespace ov
