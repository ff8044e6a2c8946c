// The machine's physical disks: listing them with their properties, their exact sizes, the
// information panel's lines, and opening the chosen disk as the source of a recovery.
//
// The properties come from a DiskProvider (sysfs and udev on a live system, a fake in tests);
// what is made of them is decided here once, so every program lists the disks alike.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "disk/host.h"
#include "disk/sector_source.h"

namespace ov {

// Where the disk devices live; a disk's device path is this folder + "/" + its device name.
inline constexpr const char* kDeviceDirectory = "/dev";

// One physical disk of the disk list; every field is text, as shown to the user.
struct DiskInfo {
  std::string deviceName;  // the kernel name: "sda", "nvme0n1"
  std::string mediaType;
  std::string interfaceType;
  std::string totalSectors;
  std::string totalCylinders;
  std::string totalHeads;
  std::string sizeText;
  std::string serialNumber;
  std::string firmware;
  std::string model;
  std::string bytesPerSector;
};

// One disk as the system describes it, before any of the list's rules are applied.
struct RawDiskProperties {
  std::string name;  // device name, without the device folder
  std::string mediaType;
  std::string interfaceType;
  std::optional<std::uint32_t> bytesPerSector;  // nullopt: a drive without a medium
  std::string size;                             // bytes, decimal text
  std::string totalSectors;                     // decimal text
  std::string totalCylinders;                   // decimal text
  std::uint32_t totalHeads = 0;
  std::string model;
  // A Windows-style device id ("SCSI\DISK&VEN_...\4&1A2B&0&000000") whose last component holds
  // the serial number in hex-swapped form. When absent, the plain texts below are used.
  std::optional<std::string> pnpDeviceId;
  std::string serialNumber;  // plain text; empty when unknown
  std::string firmware;      // plain text; empty when unknown
};

// Lists the physical disks in a stable order.
class DiskProvider {
 public:
  virtual ~DiskProvider() = default;
  // Returns false, with a text for the user in `error`, when the disks cannot be listed at all.
  virtual bool query(std::vector<RawDiskProperties>& disks, std::string& error) = 0;
};

// The exact size of a disk from the device itself.
class SizeQuery {
 public:
  virtual ~SizeQuery() = default;
  // The size in bytes, or nullopt after showing "Disk Opening Error #n" or "Error accessing
  // device n" through the host.
  virtual std::optional<std::uint64_t> query(const std::string& devicePath, EngineHost& host) = 0;
};

// Asks the device: BLKGETSIZE64 for a block device, the file size for a regular file.
class DeviceSizeQuery final : public SizeQuery {
 public:
  std::optional<std::uint64_t> query(const std::string& devicePath, EngineHost& host) override;
};

// Answers from tables by device path; shows the same messages as the device query.
class FakeSizeQuery final : public SizeQuery {
 public:
  std::optional<std::uint64_t> query(const std::string& devicePath, EngineHost& host) override;

  std::map<std::string, std::uint64_t> sizes;
  std::map<std::string, int> openErrors;    // errno of a failed open
  std::map<std::string, int> accessErrors;  // errno of a failed size request
  std::vector<std::string> asked;           // every path queried, in order
};

// Whole disks of /sys/block, with udev's database for the bus and serial number where present.
// Both folders are parameters so that tests can point them at a fake tree.
class SysfsDiskProvider final : public DiskProvider {
 public:
  explicit SysfsDiskProvider(std::filesystem::path sysBlock = "/sys/block",
                             std::filesystem::path udevData = "/run/udev/data");
  bool query(std::vector<RawDiskProperties>& disks, std::string& error) override;

 private:
  std::filesystem::path sysBlock_;
  std::filesystem::path udevData_;
};

// Hands out a fixed list, or fails with `failure` when that is set.
class FakeDiskProvider final : public DiskProvider {
 public:
  bool query(std::vector<RawDiskProperties>& disks, std::string& error) override;

  std::vector<RawDiskProperties> disks;
  std::optional<std::string> failure;
};

// Lists image files of one folder as disks of 512-byte sectors, named by their file names; pass
// the folder as the device folder to enumeratePhysicalDisks and openSourceDisk. A missing file
// is listed like a drive without a medium.
class ImageDiskProvider final : public DiskProvider {
 public:
  ImageDiskProvider(std::filesystem::path folder, std::vector<std::string> fileNames);
  bool query(std::vector<RawDiskProperties>& disks, std::string& error) override;

 private:
  std::filesystem::path folder_;
  std::vector<std::string> fileNames_;
};

// deviceDirectory + "/" + deviceName.
std::string devicePath(const std::string& deviceName, const std::string& deviceDirectory = kDeviceDirectory);

// Rebuilds `disks` from the provider: drives without a medium are left out and take no index,
// each size is asked from the device (falling back to the provider's size and sector count after
// the query's own message). Returns false after showing the provider's error ("Error" caption);
// the list is then empty.
bool enumeratePhysicalDisks(DiskProvider& provider, SizeQuery& sizes, std::vector<DiskInfo>& disks,
                            EngineHost& host, const std::string& deviceDirectory = kDeviceDirectory);

// The readable serial number of a hex-swapped serial text; starts with one space.
std::string decodeSerialNumber(const std::string& text);

// "%.2f GB" from 1 GiB on, "%.2f MB" below, in single precision.
std::string diskSizeText(std::uint64_t sizeBytes);

// The information panel's lines for a disk; the first is a heading marked with "HDR".
std::vector<std::string> diskInformationLines(const DiskInfo& disk);

// Makes the disk the source of a recovery, read-only. `runEntryName` receives the run's log
// entry text "name,  model, Serial:serial". The caller clears its views. Returns 0, or the errno
// of the failed open with the source left closed; no message is shown.
int openSourceDisk(SectorSource& source, const DiskInfo& disk, std::string& runEntryName,
                   const std::string& deviceDirectory = kDeviceDirectory);

}  // namespace ov
