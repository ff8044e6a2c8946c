#include "disk/destination_guard.h"

#include <sys/sysmacros.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "disk/image_formats.h"
#include "disk/sector_source.h"

namespace ov {
namespace fs = std::filesystem;

namespace {

// Links in sysfs, loop devices over files on other loop devices and mounts of images that lie
// on other mounts are all followed; this bounds the climb.
constexpr int kMaxDepth = 16;

std::string deviceKey(unsigned major, unsigned minor) {
  return std::to_string(major) + ":" + std::to_string(minor);
}

std::string fileKey(std::uint64_t dev, std::uint64_t ino) {
  return "file " + deviceKey(::major(static_cast<dev_t>(dev)), ::minor(static_cast<dev_t>(dev))) + ":" +
         std::to_string(ino);
}

std::string firstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// mountinfo escapes blanks, tabs, line breaks and backslashes in names as \ooo.
std::string unescapeMountField(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      const std::string digits = text.substr(i + 1, 3);
      if (digits.size() == 3 && digits.find_first_not_of("01234567") == std::string::npos) {
        out.push_back(static_cast<char>(std::stoi(digits, nullptr, 8)));
        i += 3;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

// `holders`: also what holds a backing file (the file system it lies on, and so on down). Without
// them the set holds only what is the same storage as the device: itself, the disk of a
// partition, the devices under device-mapper and md, the files behind loop devices.
void collectStack(const SystemViews& views, const fs::path& deviceDir, int depth, std::set<std::string>& out,
                  bool holders = true);
void collectFileStack(const SystemViews& views, const struct stat& st, int depth, std::set<std::string>& out,
                      bool holders = true);

// Everything that holds the file system with device number `dev`: its block device (from
// sysfs), or for mounts without one of their own (FUSE, btrfs subvolumes, network file
// systems) the source named in mountinfo when that source is a device or a file.
void collectHolder(const SystemViews& views, std::uint64_t dev, int depth, std::set<std::string>& out) {
  if (depth > kMaxDepth) return;
  const unsigned maj = ::major(static_cast<dev_t>(dev)), min = ::minor(static_cast<dev_t>(dev));
  std::error_code ec;
  fs::path dir = fs::canonical(fs::path(views.sysRoot) / "dev" / "block" / deviceKey(maj, min), ec);
  if (!ec) collectStack(views, dir, depth + 1, out);
  for (const std::string& source : mountSources(maj, min, views.mountInfo)) {
    if (source.empty() || source[0] != '/') continue;
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0) continue;
    if (S_ISBLK(st.st_mode)) {
      out.insert(deviceKey(::major(st.st_rdev), ::minor(st.st_rdev)));
      fs::path below = fs::canonical(
          fs::path(views.sysRoot) / "dev" / "block" / deviceKey(::major(st.st_rdev), ::minor(st.st_rdev)), ec);
      if (!ec) collectStack(views, below, depth + 1, out);
    } else if (S_ISREG(st.st_mode)) {
      collectFileStack(views, st, depth + 1, out);
    }
  }
}

void collectFileStack(const SystemViews& views, const struct stat& st, int depth, std::set<std::string>& out,
                      bool holders) {
  if (depth > kMaxDepth || !out.insert(fileKey(st.st_dev, st.st_ino)).second) return;
  if (holders) collectHolder(views, st.st_dev, depth + 1, out);
}

void collectStack(const SystemViews& views, const fs::path& deviceDir, int depth, std::set<std::string>& out,
                  bool holders) {
  if (depth > kMaxDepth) return;
  std::string key = firstLine(deviceDir / "dev");
  if (key.empty() || !out.insert(key).second) return;
  std::error_code ec;
  if (fs::exists(deviceDir / "partition", ec)) {
    collectStack(views, deviceDir.parent_path(), depth + 1, out, holders);
    return;
  }
  // device-mapper and md name the devices they are built on under slaves/.
  for (fs::directory_iterator it(deviceDir / "slaves", ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code linkError;
    fs::path below = fs::canonical(it->path(), linkError);
    if (!linkError) collectStack(views, below, depth + 1, out, holders);
  }
  std::string backing = firstLine(deviceDir / "loop" / "backing_file");
  if (!backing.empty()) {
    struct stat st {};
    if (::stat(backing.c_str(), &st) == 0) collectFileStack(views, st, depth + 1, out, holders);
  }
}

StorageNode sourceNode(const SourceIdentity& source, const SystemViews& views) {
  struct stat st {};
  if (source.blockDevice) {
    st.st_mode = S_IFBLK;
    st.st_rdev = static_cast<dev_t>(source.rdev);
  } else {
    st.st_mode = S_IFREG;
    st.st_dev = static_cast<dev_t>(source.dev);
    st.st_ino = static_cast<ino_t>(source.ino);
  }
  return storageNodeOf(st, views);
}

}  // namespace

std::set<std::string> mountSources(unsigned major, unsigned minor, const std::string& mountInfo) {
  std::ifstream in(mountInfo);
  std::ostringstream text;
  text << in.rdbuf();
  return mountSourcesIn(text.str(), major, minor);
}

std::set<std::string> mountSourcesIn(const std::string& mountInfoText, unsigned major, unsigned minor) {
  std::set<std::string> out;
  std::istringstream in(mountInfoText);
  const std::string wanted = deviceKey(major, minor);
  for (std::string line; std::getline(in, line);) {
    // "36 35 98:0 /root /mnt opts [optional fields] - fstype source superopts"
    std::istringstream fields(line);
    std::string id, parent, device;
    if (!(fields >> id >> parent >> device) || device != wanted) continue;
    std::size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream tail(line.substr(dash + 3));
    std::string type, source;
    if (tail >> type >> source) out.insert(unescapeMountField(source));
  }
  return out;
}

std::set<std::string> blockDeviceStack(unsigned major, unsigned minor, const std::string& sysRoot) {
  std::set<std::string> out;
  std::error_code ec;
  SystemViews views;
  views.sysRoot = sysRoot;
  fs::path dir = fs::canonical(fs::path(sysRoot) / "dev" / "block" / deviceKey(major, minor), ec);
  if (!ec) collectStack(views, dir, 0, out);
  return out;
}

StorageNode storageNodeOf(const struct stat& st, const SystemViews& views) {
  StorageNode node;
  if (S_ISBLK(st.st_mode)) {
    node.key = deviceKey(::major(st.st_rdev), ::minor(st.st_rdev));
    node.stack = blockDeviceStack(::major(st.st_rdev), ::minor(st.st_rdev), views.sysRoot);
    node.stack.insert(node.key);
  } else if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
    node.key = fileKey(st.st_dev, st.st_ino);
    collectFileStack(views, st, 0, node.stack);
  }
  // Character devices, FIFOs and sockets hold no sectors of anything.
  return node;
}

std::string storageConflict(const SourceIdentity& source, const StorageNode& destination,
                            const std::string& destinationPath, const SystemViews& views) {
  // Each file of a container is judged as a source of its own.
  for (const SourceFile& file : source.files) {
    SourceIdentity part;
    part.path = file.path;
    part.dev = file.dev;
    part.ino = file.ino;
    if (std::string why = storageConflict(part, destination, destinationPath, views); !why.empty()) return why;
  }
  const StorageNode src = sourceNode(source, views);
  if (!destination.key.empty() && destination.key == src.key)
    return "destination " + destinationPath + " is the source " + source.path + " itself";
  if (destination.stack.count(src.key))
    return "destination " + destinationPath + " lies on the source " + source.path +
           " (on one of its partitions or volumes)";
  // Two loop devices (or a loop device and a FUSE mount) over one file are one storage. (A file
  // that merely holds the file system the source lies on is no part of the source: writing a
  // new file into that file system does not overwrite the source.)
  std::set<std::string> same;
  if (source.blockDevice) {
    std::error_code ec;
    fs::path dir = fs::canonical(fs::path(views.sysRoot) / "dev" / "block" /
                                     deviceKey(::major(static_cast<dev_t>(source.rdev)),
                                               ::minor(static_cast<dev_t>(source.rdev))),
                                 ec);
    if (!ec) collectStack(views, dir, 0, same, false);
  }
  for (const std::string& key : same)
    if (key.rfind("file ", 0) == 0 && destination.stack.count(key))
      return "destination " + destinationPath + " and the source " + source.path + " are backed by the same file";
  if (!destination.key.empty() && src.stack.count(destination.key))
    return "the source " + source.path + " lies on the destination " + destinationPath;
  return {};
}

std::string destinationConflict(const SourceIdentity& source, const std::string& path, const SystemViews& views) {
  if (path.empty()) return {};
  StorageNode node;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    node = storageNodeOf(st, views);
  } else if (errno == ENOENT) {
    // Not there yet: it would be made in its nearest existing folder.
    fs::path at = fs::path(path);
    for (int steps = 0; steps < 4096; ++steps) {
      fs::path up = at.parent_path();
      if (up.empty()) up = ".";
      if (up == at) break;
      at = up;
      if (::stat(at.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) collectHolder(views, st.st_dev, 0, node.stack);
        break;
      }
      if (errno != ENOENT) break;
    }
  }
  std::string why = storageConflict(source, node, path, views);
  if (why.empty()) return {};
  return path + " is on the disk being recovered (" + why +
         "); writing there could overwrite what is being recovered. Choose a place on another disk.";
}

std::string unusableSourceReason(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "cannot open " + path + ": " + systemErrorText(errno);
  if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) return {};
  const char* what = S_ISDIR(st.st_mode)    ? "a folder"
                     : S_ISFIFO(st.st_mode) ? "a FIFO"
                     : S_ISCHR(st.st_mode)  ? "a character device"
                     : S_ISSOCK(st.st_mode) ? "a socket"
                                            : "not a file";
  return path + " is " + what + "; the source must be a disk image file or a block device";
}

std::optional<SourceIdentity> identifySource(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) return std::nullopt;
  SourceIdentity id;
  id.path = path;
  id.blockDevice = S_ISBLK(st.st_mode);
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.rdev = id.blockDevice ? st.st_rdev : 0;
  if (!id.blockDevice) id.files = sourceFiles(path);
  return id;
}

std::optional<SourceIdentity> identifySource(const SectorSource& source) {
  std::uint64_t dev = 0, ino = 0, rdev = 0;
  if (!source.backend() || !source.backend()->identity(dev, ino, rdev)) return std::nullopt;
  SourceIdentity id;
  id.path = source.path();
  id.blockDevice = rdev != 0;
  id.dev = dev;
  id.ino = ino;
  id.rdev = rdev;
  id.files = source.backend()->files();
  return id;
}

}  // namespace ov
