// What the fuzz targets share, with the headers they all use: a silent host, a disk in memory made
// of the input, a small FAT volume, a count of a tree's entries, a private folder for files, and
// scan information files whose stored source path leads to a small real disk.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "disk/backend.h"
#include "disk/host.h"
#include "disk/sector_source.h"
#include "fat/fat_volume.h"
#include "ntfs/mft.h"
#include "scans/scan_file.h"

namespace ov::fuzz {

class SilentHost final : public EngineHost {
 public:
  void addLogEntry(const LogEntry&) override {}
  void showMessage(const std::string&, const std::string&, MessageIcon) override {}
};

inline SilentHost& host() {
  static SilentHost silent;
  return silent;
}

// A disk of 512-byte sectors holding `bytes`, opened and running. `extraSectors` makes the
// claimed size exceed the bytes present, as on a truncated image (they read as zeros).
struct MemoryDisk {
  RunControl run;
  SectorSource source{host(), run};
  explicit MemoryDisk(std::vector<std::uint8_t> bytes, std::uint64_t extraSectors = 0) {
    const std::uint64_t sectors = bytes.size() / 512 + extraSectors;
    source.openBackend(std::make_unique<MemoryBackend>(std::move(bytes)), 512, sectors);
    run.start();
  }
  MemoryDisk(const std::uint8_t* data, std::size_t size, std::uint64_t extraSectors = 0)
      : MemoryDisk(std::vector<std::uint8_t>(data, data + size), extraSectors) {}
};

// A FAT volume of 512-byte sectors and clusters: `reserved` sectors, FATs of `fatSectors` (the
// second `secondFat` sectors from the start), the clusters from `dataOffset` to `sectors`.
inline fat::FatVolume smallFatVolume(std::uint8_t type, std::uint64_t reserved, std::uint32_t fatSectors,
                                     std::uint64_t secondFat, std::uint64_t dataOffset, std::uint64_t sectors) {
  fat::FatVolume v;
  v.fatType = type;
  v.bytesPerSector = 512;
  v.sectorsPerCluster = 1;
  v.bytesPerCluster = 512;
  v.reservedSectors = reserved;
  v.fatSectors = fatSectors;
  v.secondFatOffset = secondFat;
  v.dataOffset = dataOffset;
  v.sectorCount = sectors;
  v.clusterCount = static_cast<std::uint32_t>(sectors > dataOffset ? sectors - dataOffset : 0);
  return v;
}

// NTFS geometry of 512-byte sectors, clusters of `sectorsPerCluster`, 1 KiB records, 4 KiB index records.
inline ntfs::VolumeParameters smallNtfsVolume(std::uint8_t sectorsPerCluster) {
  return {.bytesPerMftRecord = 1024, .bytesPerIndexRecord = 4096, .bytesPerCluster = 512u * sectorsPerCluster,
          .bytesPerSector = 512, .sectorsPerMftRecord = 2, .sectorsPerIndexRecord = 8, .sectorsPerCluster = sectorsPerCluster};
}

// The entries below `top` of a tree whose entries link firstChild and nextSibling, counted once
// each, folders walked without recursion.
template <class Entry>
std::size_t countEntries(const Entry& top) {
  std::size_t n = 0;
  std::vector<const Entry*> pending{&top};
  while (!pending.empty()) {
    const Entry* f = pending.back();
    pending.pop_back();
    for (const Entry* c = f->firstChild; c; c = c->nextSibling) {
      ++n;
      if (c->isFolder()) pending.push_back(c);
    }
  }
  return n;
}

// A private folder for the whole run.
inline std::filesystem::path scratch() {
  static const std::filesystem::path dir = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "ovfuzz-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) __builtin_trap();
    return std::filesystem::path(pattern);
  }();
  return dir;
}

inline void writeFile(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) break;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  ::close(fd);
}

inline int nullSink() {
  static const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  return fd;
}

// The input as a scan information file whose stored source path names a 64 KiB disk of zeros,
// so that reading goes on past the disk's opening into the volumes and the tree.
inline std::filesystem::path scanFile(const std::uint8_t* data, std::size_t size) {
  static const std::filesystem::path disk = [] {
    const std::vector<std::uint8_t> zeros(64 * 1024, 0);
    writeFile(scratch() / "disk.img", zeros.data(), zeros.size());
    return scratch() / "disk.img";
  }();
  std::vector<std::uint8_t> file(data, data + size);
  if (file.size() >= 4 + kSourceBlockBytes) {
    auto block = decodeSourceBlock(Bytes(file.data() + 4, kSourceBlockBytes));
    block->path = disk.string();
    const auto stored = encodeSourceBlock(*block);
    std::copy(stored.begin(), stored.end(), file.begin() + 4);
  }
  const auto path = scratch() / "scan.bin";
  writeFile(path, file.data(), file.size());
  return path;
}

}  // namespace ov::fuzz
