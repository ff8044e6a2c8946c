// ovrecover volumes and search: the volume list of the partition table or of a search.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>

#include "cli/commands.h"
#include "cli/listing.h"
#include "disk/sector_source.h"
#include "ntfs/logical_volume.h"
#include "ntfs/scan_info.h"
#include "workbench/models/sector_range.h"

namespace ov::cli {
namespace {

using ov::ntfs::LogicalVolume;

std::string hex64(std::uint64_t v) {
  char text[20];
  std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(v));
  return text;
}

std::string foundByText(std::uint8_t flags) {
  if (flags == 0) return "partition table";
  std::string out;
  auto add = [&](std::uint8_t bit, const char* word) {
    if (!(flags & bit)) return;
    if (!out.empty()) out += ", ";
    out += word;
  };
  add(ov::ntfs::kFoundBootSector, "boot sector");
  add(ov::ntfs::kFoundBootAgain, "boot sector again");
  add(ov::ntfs::kFoundMftCopies, "MFT copies");
  add(ov::ntfs::kFoundMftMirrorPair, "MFT and mirror");
  return out;
}

void printVolumes(const std::vector<LogicalVolume>& volumes, bool json, const char* table = nullptr,
                  ov::fat::FatEngine* fatEngine = nullptr) {
  if (json) {
    auto list = nlohmann::json::array();
    for (std::size_t i = 0; i < volumes.size(); ++i) {
      const auto& v = volumes[i];
      list.push_back({{"number", i + 1},
                      {"start_sector", v.startSector},
                      {"sector_count", v.sectorCount},
                      {"bytes_per_sector", v.bytesPerSector},
                      {"sectors_per_cluster", v.sectorsPerCluster},
                      {"bytes_per_cluster", v.bytesPerCluster},
                      {"mft_record_bytes", v.mftRecordBytes},
                      {"mft_lcn", v.mftLcn},
                      {"mft_mirr_lcn", v.mftMirrLcn},
                      {"serial_number", hex64(v.serialNumber)},
                      {"found_by", v.foundBy}});
      if (fatEngine) list.back()["fs"] = "ntfs";
      if (table) {
        list.back()["table"] = table;
        list.back()["partition_name"] = v.partitionName.empty() ? nlohmann::json(nullptr) : nlohmann::json(v.partitionName);
        list.back()["partition_type"] = v.partitionType.empty() ? nlohmann::json(nullptr) : nlohmann::json(v.partitionType);
      }
    }
    if (fatEngine) {
      for (std::size_t i = 0; i < fatEngine->volumes().size(); ++i) {
        const auto& f = fatEngine->volumes()[i];
        list.push_back({{"number", volumes.size() + i + 1},
                        {"fs", ov::fat::fatKindName(f)},
                        {"start_sector", f.startSector},
                        {"sector_count", f.sectorCount},
                        {"bytes_per_sector", f.bytesPerSector},
                        {"sectors_per_cluster", f.sectorsPerCluster},
                        {"bytes_per_cluster", f.bytesPerCluster},
                        {"found_by", f.foundBy}});
      }
    }
    std::cout << list.dump(2) << "\n";
    return;
  }
  if (table) std::printf("Partition table: %s\n", table);
  std::printf("%-22s %14s %14s %12s  %s\n", "Name", "Start Sector", "Sectors", "Size", "Found by");
  for (std::size_t i = 0; i < volumes.size(); ++i) {
    const auto& v = volumes[i];
    std::printf("%-22s %14llu %14llu %12s  %s\n", ov::ntfs::volumeLabel(i + 1).c_str(),
                static_cast<unsigned long long>(v.startSector), static_cast<unsigned long long>(v.sectorCount),
                ov::ntfs::volumeSizeText(v).c_str(), foundByText(v.foundBy).c_str());
    if (!v.partitionName.empty() || !v.partitionType.empty())
      std::printf("%-22s GPT partition \"%s\" (%s)\n", "", printable(v.partitionName).c_str(),
                  printable(v.partitionType).c_str());
  }
  if (fatEngine)
    for (std::size_t i = 0; i < fatEngine->volumes().size(); ++i) {
      const auto& f = fatEngine->volumes()[i];
      std::printf("%-22s %14llu %14llu %12s  partition table\n",
                  ov::fat::fatVolumeLabel(f, volumes.size() + i + 1).c_str(),
                  static_cast<unsigned long long>(f.startSector), static_cast<unsigned long long>(f.sectorCount),
                  ov::fat::fatVolumeSizeText(f).c_str());
    }
}

}  // namespace

int openSource(ov::ntfs::NtfsEngine& engine, const std::string& path) {
  int rc = engine.openImage(path);
  if (rc != 0) {
    std::fprintf(stderr, "ovrecover: cannot open %s: %s\n", path.c_str(), ov::systemErrorText(rc).c_str());
    return kExitFailed;
  }
  return kExitOk;
}

std::string lastFailure(const CliHost& host) {
  const auto& entries = host.log().entries();
  for (auto it = entries.rbegin(); it != entries.rend(); ++it)
    if (it->kind == LogKind::Aborted) return it->name;
  return "Unknown error";
}

namespace {
int saveDiskScan(ov::ntfs::NtfsEngine& engine, CliHost& host, const Options& o) {
  if (o.saveDiskScan.empty() || ov::ntfs::saveDiskScanInfo(engine, o.saveDiskScan)) return kExitOk;
  std::fprintf(stderr, "ovrecover: %s\n", lastFailure(host).c_str());
  return kExitFailed;
}
}  // namespace

int runVolumes(ov::ntfs::NtfsEngine& engine, CliHost& host, const Options& o, ov::fat::FatEngine* fatEngine) {
  if (!o.diskScan.empty()) {
    if (!ov::ntfs::openDiskScanInfo(engine, o.diskScan)) {
      std::fprintf(stderr, "ovrecover: %s\n", lastFailure(host).c_str());
      return kExitFailed;
    }
    printVolumes(engine.volumes(), o.json);
    return engine.volumes().empty() ? kExitFailed : kExitOk;
  }
  if (int rc = openSource(engine, o.source)) return rc;
  bool found = engine.readPartitionTable();
  if (fatEngine && fatEngine->openImage(o.source) == 0 && fatEngine->readPartitionTable()) {
    printVolumes(engine.volumes(), o.json, ov::partitionTableName(engine.tableKind()), fatEngine);
    return saveDiskScan(engine, host, o);
  }
  if (!found) {
    if (o.json) printVolumes({}, true);
    std::fprintf(stderr, "ovrecover: no NTFS volume in the partition table of %s; try 'ovrecover search'\n",
                 o.source.c_str());
    return kExitFailed;
  }
  printVolumes(engine.volumes(), o.json, ov::partitionTableName(engine.tableKind()));
  return saveDiskScan(engine, host, o);
}

int runSearch(ov::ntfs::NtfsEngine& engine, ov::cli::CliHost& host, const Options& o) {
  if (int rc = openSource(engine, o.source)) return rc;
  std::uint64_t total = engine.source().totalSectors();
  std::uint64_t end = o.toGiven ? o.to : total;
  if (auto problem = ov::checkSectorRange(o.from, end, total)) {
    std::fprintf(stderr, "ovrecover: %s (the source has %llu sectors)\n", problem->c_str(),
                 static_cast<unsigned long long>(total));
    return kExitUsage;
  }
  host.beginSearch(ov::searchDialogWords("NTFS", o.thorough));
  bool completed = engine.searchVolumes(o.thorough ? ov::ntfs::SearchMode::Thorough : ov::ntfs::SearchMode::Quick,
                                        o.from, end);
  printVolumes(engine.volumes(), o.json);
  if (!completed) return kExitFailed;
  if (engine.volumes().empty()) return kExitFailed;
  return saveDiskScan(engine, host, o);
}

}  // namespace ov::cli
