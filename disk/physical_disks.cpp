#include "disk/physical_disks.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <system_error>

namespace ov {
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kHeads = 255;
constexpr std::uint64_t kSectorsPerCylinder = 255ull * 63ull;

std::string trimmed(const std::string& text, const char* set) {
  auto first = text.find_first_not_of(set);
  if (first == std::string::npos) return {};
  auto last = text.find_last_not_of(set);
  return text.substr(first, last - first + 1);
}

std::string trimmedSpace(const std::string& text) { return trimmed(text, " \t\r\n"); }

// The leading decimal digits of a text, after blanks; nullopt when there are none or they overflow.
std::optional<std::uint64_t> leadingNumber(const std::string& text) {
  std::size_t i = text.find_first_not_of(" \t");
  if (i == std::string::npos || text[i] < '0' || text[i] > '9') return std::nullopt;
  std::uint64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    auto digit = static_cast<std::uint64_t>(text[i] - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

void showOpeningError(EngineHost& host, int error) {
  host.showMessage("Information", "Disk Opening Error #" + std::to_string(static_cast<unsigned>(error)),
                   MessageIcon::Information);
}

void showAccessError(EngineHost& host, int error) {
  host.showMessage("Error", "Error accessing device " + std::to_string(static_cast<unsigned>(error)),
                   MessageIcon::Error);
}

// --- sysfs -------------------------------------------------------------------------------

// A sysfs attribute without its line break; empty when it is missing.
std::string readAttribute(const fs::path& path) {
  std::ifstream in(path);
  if (!in) return {};
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return trimmedSpace(text);
}

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

bool allOf(const std::string& text, char low, char high) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [&](char c) { return c >= low && c <= high; });
}

// `prefix` followed by one or more digits: "usb2", "ata3", "loop10".
bool prefixAndNumber(const std::string& text, const std::string& prefix) {
  return startsWith(text, prefix) && allOf(text.substr(prefix.size()), '0', '9');
}

bool isListedName(const std::string& name) {
  // Partitions (sda1, nvme0n1p1), eMMC boot areas, ram, zram, optical drives and mapped
  // devices do not match: only whole disks a recovery can start from.
  for (const char* prefix : {"sd", "vd", "hd", "xvd"})
    if (startsWith(name, prefix) && allOf(name.substr(std::string(prefix).size()), 'a', 'z')) return true;
  if (prefixAndNumber(name, "mmcblk") || prefixAndNumber(name, "loop")) return true;
  if (startsWith(name, "nvme")) {
    auto n = name.find('n', 4);
    return n != std::string::npos && allOf(name.substr(4, n - 4), '0', '9') &&
           allOf(name.substr(n + 1), '0', '9');
  }
  return false;
}

// udev's properties ("E:KEY=value" lines) of a block device given as "major:minor".
std::map<std::string, std::string> udevProperties(const fs::path& udevData, const std::string& dev) {
  std::map<std::string, std::string> properties;
  if (dev.empty()) return properties;
  std::ifstream in(udevData / ("b" + dev));
  std::string line;
  while (std::getline(in, line)) {
    if (!startsWith(line, "E:")) continue;
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    properties[line.substr(2, eq - 2)] = trimmedSpace(line.substr(eq + 1));
  }
  return properties;
}

std::string interfaceFromUdevBus(const std::string& bus) {
  if (bus == "usb") return "USB";
  if (bus == "ata") return "IDE";  // SATA disks are reported as IDE, as Windows does
  if (bus == "scsi") return "SCSI";
  if (bus == "nvme") return "NVMe";
  if (bus == "ieee1394") return "1394";
  if (bus == "mmc" || bus == "memstick") return "SD";
  std::string upper = bus;
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

std::string interfaceType(const std::string& name, const fs::path& devicePathInSysfs,
                          const std::map<std::string, std::string>& udev) {
  std::vector<std::string> segments;
  for (const auto& part : devicePathInSysfs) segments.push_back(part.string());
  auto anySegment = [&](const std::string& prefix) {
    return std::any_of(segments.begin(), segments.end(),
                       [&](const std::string& s) { return prefixAndNumber(s, prefix); });
  };
  // A USB bridge in the device's path decides before anything else: udev may name the bus of
  // the disk behind the bridge, and USB is what turns a disk into removable media.
  if (anySegment("usb")) return "USB";
  if (auto bus = udev.find("ID_BUS"); bus != udev.end() && !bus->second.empty())
    return interfaceFromUdevBus(bus->second);
  if (startsWith(name, "nvme")) return "NVMe";
  if (startsWith(name, "loop")) return "Loop";
  if (startsWith(name, "mmcblk")) return "SD";
  if (startsWith(name, "xvd")) return "Xen";
  if (startsWith(name, "hd")) return "IDE";
  if (startsWith(name, "vd")) return "VirtIO";
  if (anySegment("ata")) return "IDE";
  return "SCSI";
}

std::string modelText(const fs::path& block, const std::map<std::string, std::string>& udev) {
  std::string vendor = readAttribute(block / "device" / "vendor");
  // libata puts "ATA" in every SATA disk's vendor, and virtio gives a PCI id: neither is a name.
  if (vendor == "ATA" || startsWith(vendor, "0x")) vendor.clear();
  std::string model = readAttribute(block / "device" / "model");
  if (model.empty()) model = readAttribute(block / "device" / "name");  // SD and MMC cards
  if (model.empty()) {
    if (auto m = udev.find("ID_MODEL"); m != udev.end()) {
      model = m->second;
      std::replace(model.begin(), model.end(), '_', ' ');
    }
  }
  if (vendor.empty()) return model;
  if (model.empty()) return vendor;
  return vendor + " " + model;
}

std::string firstAttribute(const std::vector<fs::path>& paths) {
  for (const auto& p : paths) {
    std::string text = readAttribute(p);
    if (!text.empty()) return text;
  }
  return {};
}

// Orders kernel names with their numbers by value: nvme2n1 before nvme10n1, loop2 before loop10.
bool naturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0, j = 0;
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      std::size_t ei = i, ej = j;
      while (ei < a.size() && isDigit(a[ei])) ++ei;
      while (ej < b.size() && isDigit(b[ej])) ++ej;
      std::string x = a.substr(i, ei - i), y = b.substr(j, ej - j);
      x.erase(0, std::min(x.find_first_not_of('0'), x.size()));
      y.erase(0, std::min(y.find_first_not_of('0'), y.size()));
      if (x.size() != y.size()) return x.size() < y.size();
      if (x != y) return x < y;
      i = ei;
      j = ej;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

void fillGeometry(RawDiskProperties& disk, std::uint64_t sizeBytes, std::uint32_t bytesPerSector) {
  std::uint64_t sectors = sizeBytes / bytesPerSector;
  disk.size = std::to_string(sizeBytes);
  disk.totalSectors = std::to_string(sectors);
  disk.totalCylinders = std::to_string(sectors / kSectorsPerCylinder);
  disk.totalHeads = kHeads;
}

}  // namespace

// --- size query ----------------------------------------------------------------------------

std::optional<std::uint64_t> DeviceSizeQuery::query(const std::string& path, EngineHost& host) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    showOpeningError(host, errno);
    return std::nullopt;
  }
  std::optional<std::uint64_t> size;
  int error = 0;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = errno;
  } else if (S_ISREG(st.st_mode)) {
    size = static_cast<std::uint64_t>(st.st_size);
  } else {
    std::uint64_t bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) size = bytes;
    else error = errno;
  }
  ::close(fd);
  if (!size) showAccessError(host, error);
  return size;
}

std::optional<std::uint64_t> FakeSizeQuery::query(const std::string& path, EngineHost& host) {
  asked.push_back(path);
  if (auto e = openErrors.find(path); e != openErrors.end()) {
    showOpeningError(host, e->second);
    return std::nullopt;
  }
  if (auto e = accessErrors.find(path); e != accessErrors.end()) {
    showAccessError(host, e->second);
    return std::nullopt;
  }
  if (auto s = sizes.find(path); s != sizes.end()) return s->second;
  showOpeningError(host, ENOENT);
  return std::nullopt;
}

// --- providers -------------------------------------------------------------------------------

SysfsDiskProvider::SysfsDiskProvider(fs::path sysBlock, fs::path udevData)
    : sysBlock_(std::move(sysBlock)), udevData_(std::move(udevData)) {}

bool SysfsDiskProvider::query(std::vector<RawDiskProperties>& disks, std::string& error) {
  std::error_code ec;
  std::vector<std::string> names;
  for (fs::directory_iterator it(sysBlock_, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  if (ec) {
    error = "Cannot read " + sysBlock_.string() + ": " + ec.message();
    return false;
  }
  std::sort(names.begin(), names.end(), naturalLess);

  for (const auto& name : names) {
    if (!isListedName(name)) continue;
    fs::path block = sysBlock_ / name;
    if (fs::exists(block / "partition", ec)) continue;
    std::string backingFile;
    if (startsWith(name, "loop")) {
      // An unbound loop device is no disk at all, not a drive without a medium.
      backingFile = readAttribute(block / "loop" / "backing_file");
      if (backingFile.empty()) continue;
    }
    auto udev = udevProperties(udevData_, readAttribute(block / "dev"));
    fs::path real = fs::canonical(block, ec);
    if (ec) real = block;

    RawDiskProperties disk;
    disk.name = name;
    disk.mediaType = readAttribute(block / "removable") == "1" ? "Removable media" : "Fixed hard disk media";
    disk.interfaceType = interfaceType(name, real, udev);
    disk.model = backingFile.empty() ? modelText(block, udev) : backingFile;
    if (auto s = udev.find("ID_SERIAL_SHORT"); s != udev.end()) disk.serialNumber = s->second;
    if (disk.serialNumber.empty())
      disk.serialNumber = firstAttribute({block / "device" / "serial", block / "serial"});
    disk.firmware = firstAttribute(
        {block / "device" / "rev", block / "device" / "firmware_rev", block / "device" / "fwrev"});

    auto logical = leadingNumber(readAttribute(block / "queue" / "logical_block_size"));
    auto bytesPerSector = static_cast<std::uint32_t>(
        logical && *logical > 0 && *logical <= UINT32_MAX ? *logical : 512);
    std::uint64_t sizeBytes = leadingNumber(readAttribute(block / "size")).value_or(0);
    sizeBytes = sizeBytes > UINT64_MAX / 512 ? 0 : sizeBytes * 512;  // sysfs counts 512-byte units
    fillGeometry(disk, sizeBytes, bytesPerSector);
    // A reader without a card reports size 0: listed like a drive without a medium, so it is
    // left out of the disk list and takes no index.
    if (sizeBytes != 0) disk.bytesPerSector = bytesPerSector;
    disks.push_back(std::move(disk));
  }
  return true;
}

bool FakeDiskProvider::query(std::vector<RawDiskProperties>& out, std::string& error) {
  if (failure) {
    error = *failure;
    return false;
  }
  out = disks;
  return true;
}

ImageDiskProvider::ImageDiskProvider(fs::path folder, std::vector<std::string> fileNames)
    : folder_(std::move(folder)), fileNames_(std::move(fileNames)) {}

bool ImageDiskProvider::query(std::vector<RawDiskProperties>& disks, std::string& error) {
  (void)error;
  for (const auto& name : fileNames_) {
    RawDiskProperties disk;
    disk.name = name;
    disk.mediaType = "Fixed hard disk media";
    disk.interfaceType = "File";
    disk.model = name;
    std::error_code ec;
    std::uint64_t size = fs::is_regular_file(folder_ / name, ec) ? fs::file_size(folder_ / name, ec) : 0;
    if (ec) size = 0;
    fillGeometry(disk, size, 512);
    if (size != 0) disk.bytesPerSector = 512;
    disks.push_back(std::move(disk));
  }
  return true;
}

// --- the disk list -----------------------------------------------------------------------------

std::string devicePath(const std::string& deviceName, const std::string& deviceDirectory) {
  return deviceDirectory + "/" + deviceName;
}

std::string decodeSerialNumber(const std::string& text) {
  std::string s = text;
  for (std::size_t i = 0; i + 4 <= s.size(); i += 4) {
    std::swap(s[i], s[i + 2]);
    std::swap(s[i + 1], s[i + 3]);
  }
  s = trimmed(s, "20&._");
  auto value = [](char c) -> unsigned {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'z') return static_cast<unsigned>(c - 'a') + 10;
    if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A') + 10;
    return 0;
  };
  std::string out = " ";
  for (std::size_t i = 0; i < s.size(); i += 2) {
    unsigned high = value(s[i]);
    unsigned low = i + 1 < s.size() ? value(s[i + 1]) : 0;
    auto byte = static_cast<char>(static_cast<unsigned char>((high * 16 + low % 16) & 0xFF));
    if ((byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z')) out += byte;
  }
  return out;
}

std::string diskSizeText(std::uint64_t sizeBytes) {
  char text[64];
  // Scaling by a power of two is exact in double; the test is made before rounding to single
  // precision, else a size just under 1 GiB would round up to "1.00 GB" instead of 1024.00 MB.
  const double gib = static_cast<double>(sizeBytes) * 0x1p-30;
  if (gib >= 1.0) {
    std::snprintf(text, sizeof text, "%.2f GB", static_cast<double>(static_cast<float>(gib)));
  } else {
    const double mib = static_cast<double>(sizeBytes) * 0x1p-20;
    std::snprintf(text, sizeof text, "%.2f MB", static_cast<double>(static_cast<float>(mib)));
  }
  return text;
}

bool enumeratePhysicalDisks(DiskProvider& provider, SizeQuery& sizes, std::vector<DiskInfo>& disks,
                            EngineHost& host, const std::string& deviceDirectory) {
  disks.clear();
  std::vector<RawDiskProperties> raw;
  std::string error;
  if (!provider.query(raw, error)) {
    host.showMessage("Error", error, MessageIcon::Error);
    return false;
  }
  for (const auto& r : raw) {
    if (!r.bytesPerSector) continue;
    DiskInfo d;
    d.deviceName = r.name;
    // A sector size of 0 would divide by zero; such a disk is taken to have 512-byte sectors.
    std::uint32_t bytesPerSector = *r.bytesPerSector == 0 ? 512 : *r.bytesPerSector;
    d.bytesPerSector = std::to_string(bytesPerSector);

    std::string sizeBytes;
    if (auto size = sizes.query(devicePath(d.deviceName, deviceDirectory), host)) {
      sizeBytes = std::to_string(*size);
      d.totalSectors = std::to_string(*size / bytesPerSector);
    } else {
      sizeBytes = r.size;
      d.totalSectors = r.totalSectors;
    }
    d.model = r.model;
    d.sizeText = diskSizeText(leadingNumber(sizeBytes).value_or(0));
    d.mediaType = r.mediaType;
    std::replace(d.mediaType.begin(), d.mediaType.end(), '\t', ' ');
    d.interfaceType = r.interfaceType;
    if (equalsIgnoringCase(d.interfaceType, "USB")) {
      d.mediaType = "Removable media";
      d.model = "USB mobile disk";
    }
    d.totalCylinders = r.totalCylinders;
    d.totalHeads = std::to_string(r.totalHeads);

    if (r.pnpDeviceId) {
      const std::string& id = *r.pnpDeviceId;
      auto slash = id.rfind('\\');
      std::string last = slash == std::string::npos ? id : id.substr(slash + 1);
      std::string before = slash == std::string::npos ? std::string() : id.substr(0, slash);
      d.serialNumber = last.find_first_of(".&") != std::string::npos ? "N/A" : decodeSerialNumber(last);
      d.firmware = trimmed(before.size() > 8 ? before.substr(before.size() - 8) : before, "_");
    } else {
      d.serialNumber = r.serialNumber.empty() ? "N/A" : r.serialNumber;
      d.firmware = trimmed(r.firmware, "_");
    }
    disks.push_back(std::move(d));
  }
  return true;
}

std::vector<std::string> diskInformationLines(const DiskInfo& d) {
  return {"HDRInformation: " + d.deviceName,
          "Name: " + d.model,
          "Size: " + d.sizeText,
          "Serial Number: " + d.serialNumber,
          "Interface Type: " + d.interfaceType,
          "Media Type: " + d.mediaType,
          "Firmware: " + d.firmware,
          "Total Cylinders: " + d.totalCylinders,
          "Total Heads: " + d.totalHeads,
          "Total Sectors: " + d.totalSectors};
}

int openSourceDisk(SectorSource& source, const DiskInfo& disk, std::string& runEntryName,
                   const std::string& deviceDirectory) {
  runEntryName = disk.deviceName + ",  " + disk.model + ", Serial:" + disk.serialNumber;
  source.close();
  auto bytes = leadingNumber(disk.bytesPerSector);
  auto bytesPerSector = static_cast<std::uint16_t>(bytes && *bytes > 0 && *bytes <= UINT16_MAX ? *bytes : 512);
  std::uint64_t totalSectors = leadingNumber(disk.totalSectors).value_or(0);
  int error = source.openDevice(devicePath(disk.deviceName, deviceDirectory), bytesPerSector, totalSectors);
  if (error != 0) source.close();
  return error;
}

}  // namespace ov
