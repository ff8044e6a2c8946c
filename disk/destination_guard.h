// Where output may go while a disk is being recovered.
//
// Every place a program writes to (recovered files, carved files, disk images and clones, scan
// information files, the process log, the working files) is checked here against the source
// before anything is created, opened for writing or written. A destination is refused when
// writing there could overwrite the source: the source itself, a partition or volume of it, a
// file system mounted from it (directly, through a loop device, or by a FUSE driver such as
// ntfs-3g whose device is the source, its image file or a loop device over that file), or a
// device the source is built on.
//
// The command line and the desktop programs call the same functions and show the same text.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "disk/backend.h"

namespace ov {

class SectorSource;

// The disk or image under recovery, as the system identifies it.
struct SourceIdentity {
  std::string path;
  bool blockDevice = false;
  std::uint64_t dev = 0, ino = 0;  // a regular file: the file system it is on and its inode
  std::uint64_t rdev = 0;          // a block device: its device number
  // A container read from several files (the segments of an E01 or of a split raw set, the
  // extents of a VMDK, the parents of a differencing disk): all of them, each as much the source
  // as the first. Empty for a plain image file or device.
  std::vector<SourceFile> files;
};

// Where the system's facts are read from; tests give folders of their own.
struct SystemViews {
  std::string sysRoot = "/sys";
  std::string mountInfo = "/proc/self/mountinfo";
};

// Why `path` cannot serve as a source, or empty when it can: it must be a regular file or a
// block device (a FIFO or a terminal would block the reader or feed it a stream; a folder holds
// no sectors). Opens nothing.
std::string unusableSourceReason(const std::string& path);

// The identity of a source path (following links), or nullopt when it cannot be examined. A
// container's files are found as opening it finds them.
std::optional<SourceIdentity> identifySource(const std::string& path);
// The identity of an open source; nullopt for memory and test backends.
std::optional<SourceIdentity> identifySource(const SectorSource& source);

// A file, folder or device with the set of everything that writing to it also writes to: the
// device itself ("MAJ:MIN"), for a partition its disk, the devices under device-mapper and md,
// the backing file of a loop device ("file DEV:INO"), and what a mounted file system's source
// (from mountinfo, for FUSE and other mounts without a block device of their own) lies on.
struct StorageNode {
  std::string key;  // the node itself; empty for a path that does not exist yet
  std::set<std::string> stack;
};
StorageNode storageNodeOf(const struct stat& st, const SystemViews& views = {});

// What writing to `destination` would overwrite, compared with the source. Empty when it
// overwrites nothing of the source; else the reason, naming both paths.
std::string storageConflict(const SourceIdentity& source, const StorageNode& destination,
                            const std::string& destinationPath, const SystemViews& views = {});

// The check before writing at `path`: a folder (existing, or to be created with its missing
// parents), a file (existing, or to be created), or a device. A path that does not exist is
// judged by its nearest existing folder, where it would be created. Empty when `path` may be
// written; else the text to show, which says that the destination is on the disk being
// recovered. Creates nothing.
std::string destinationConflict(const SourceIdentity& source, const std::string& path,
                                const SystemViews& views = {});

// What a block device is built on, read from sysfs (see StorageNode). Empty when the number is
// no block device (tmpfs, FUSE, btrfs subvolumes, ...).
std::set<std::string> blockDeviceStack(unsigned major, unsigned minor, const std::string& sysRoot = "/sys");

// The sources of the mounts whose device number is `major:minor`, from a mountinfo file (names
// unescaped): "/dev/sdb1", "/srv/images/disk.img" for ntfs-3g on an image file, "tmpfs", ...
std::set<std::string> mountSources(unsigned major, unsigned minor, const std::string& mountInfo);
// The same from the text of a mountinfo file.
std::set<std::string> mountSourcesIn(const std::string& mountInfoText, unsigned major, unsigned minor);

}  // namespace ov
