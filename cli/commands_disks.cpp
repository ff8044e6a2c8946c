// ovrecover disks: the machine's physical disks as the recovery wizard lists them.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "disk/physical_disks.h"

namespace ov::cli {
namespace {

void printTable(const std::vector<DiskInfo>& disks) {
  std::vector<std::vector<std::string>> rows;
  rows.push_back({"#", "Device", "Size", "Interface", "Media Type", "Model", "Serial Number", "Firmware",
                  "Sector Size", "Total Sectors", "Cylinders", "Heads"});
  for (std::size_t i = 0; i < disks.size(); ++i) {
    const auto& d = disks[i];
    rows.push_back({std::to_string(i), d.deviceName, d.sizeText, d.interfaceType, d.mediaType, d.model,
                    d.serialNumber, d.firmware, d.bytesPerSector, d.totalSectors, d.totalCylinders,
                    d.totalHeads});
  }
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows)
    for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      if (c != 0) line += "  ";
      line += row[c];
      // The last column is not padded, so lines carry no trailing blanks.
      if (c + 1 < row.size()) line.append(widths[c] - row[c].size(), ' ');
    }
    std::cout << line << "\n";
  }
}

void printJson(const std::vector<DiskInfo>& disks) {
  // Ordered, so the keys follow the fields of a disk rather than the alphabet.
  auto list = nlohmann::ordered_json::array();
  for (std::size_t i = 0; i < disks.size(); ++i) {
    const auto& d = disks[i];
    nlohmann::ordered_json disk;
    disk["index"] = i;
    disk["device_name"] = d.deviceName;
    disk["device_path"] = devicePath(d.deviceName);
    disk["media_type"] = d.mediaType;
    disk["interface_type"] = d.interfaceType;
    disk["total_sectors"] = d.totalSectors;
    disk["total_cylinders"] = d.totalCylinders;
    disk["total_heads"] = d.totalHeads;
    disk["size_text"] = d.sizeText;
    disk["serial_number"] = d.serialNumber;
    disk["firmware"] = d.firmware;
    disk["model"] = d.model;
    disk["bytes_per_sector"] = d.bytesPerSector;
    list.push_back(std::move(disk));
  }
  std::cout << list.dump(2) << "\n";
}

}  // namespace

int runDisks(bool json, EngineHost& host) {
  SysfsDiskProvider provider;
  DeviceSizeQuery sizes;
  std::vector<DiskInfo> disks;
  // A disk that cannot be opened (no permission) keeps the sizes sysfs gave; its message has
  // gone to stderr through the host, and the list is still worth printing.
  if (!enumeratePhysicalDisks(provider, sizes, disks, host)) return kExitFailed;
  if (json) printJson(disks);
  else printTable(disks);
  return kExitOk;
}

}  // namespace ov::cli
