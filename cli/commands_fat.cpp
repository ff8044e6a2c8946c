// ovrecover on FAT12/FAT16/FAT32 volumes: volumes, search (--basic | --thorough), ls and recover.
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>

#include "cli/commands.h"
#include "cli/listing.h"
#include "disk/byte_io.h"
#include "fat/fat_extract.h"
#include "fat/fat_scan_info.h"
#include "fat/fat_search.h"
#include "workbench/models/find_files.h"
#include "workbench/models/output_folder.h"
#include "workbench/models/sector_range.h"

namespace ov::cli {
namespace {

using fat::FatEngine;
using fat::FatVolume;
using fat::FileEntry;

constexpr int kMaxDepth = 4096;

std::string hex32(std::uint64_t v) {
  char text[20];
  std::snprintf(text, sizeof text, "%08llX", static_cast<unsigned long long>(v));
  return text;
}

nlohmann::json fatVolumeJson(const FatVolume& v, std::size_t number) {
  return {{"number", number},
          {"fs", fat::fatKindName(v)},
          {"start_sector", v.startSector},
          {"sector_count", v.sectorCount},
          {"bytes_per_sector", v.bytesPerSector},
          {"sectors_per_cluster", v.sectorsPerCluster},
          {"bytes_per_cluster", v.bytesPerCluster},
          {"cluster_count", v.clusterCount},
          {"serial_number", hex32(v.serialNumber)},
          {"found_by", v.foundBy}};
}

void printFatRow(const FatVolume& v, std::size_t number) {
  std::printf("%-22s %14llu %14llu %12s  cluster %s\n", fat::fatVolumeLabel(v, number).c_str(),
              static_cast<unsigned long long>(v.startSector), static_cast<unsigned long long>(v.sectorCount),
              fat::fatVolumeSizeText(v).c_str(), fat::fatClusterSizeText(v).c_str());
}

bool searchFat(FatEngine& engine, CliHost& host, bool thorough, std::uint64_t start, std::uint64_t end) {
  host.beginSearch(searchDialogWords("FAT", thorough, true));
  host.addLogEntry(LogEntry{"Searching Logical Volumes",
                            "Sectors Range " + std::to_string(start) + " to " + std::to_string(end), LogKind::Started, {}});
  engine.run().start();
  bool completed = false;
  try {
    completed = thorough ? fat::thoroughSearch(engine.source(), start, end, engine.volumes())
                         : fat::basicSearch(engine.source(), start, end, engine.volumes());
  } catch (const AlreadyReported&) {
  }
  engine.run().stop();
  host.searchFinished(completed);
  return completed;
}

int processFatVolume(FatEngine& engine, CliHost& host, const Options& o);

// What was tried, found nothing, and what to try next. `searched` is "" (the partition table),
// "basic"/"quick" or "thorough".
std::string nothingFound(const std::string& searched, const std::string& source) {
  if (searched.empty())
    return "no FAT volume in the partition table of " + source +
           " (nor a FAT boot sector at its sector 0); try --search basic, which tests every sector for a boot "
           "sector, or --search thorough";
  if (searched != "thorough")
    return "the basic search found no FAT boot sector in " + source +
           "; try --search thorough, which also finds volumes whose boot sector is gone by their FATs and folders";
  return "the thorough search found no FAT volume in " + source +
         " (no boot sector, and no FAT or folders to place one by); 'ovrecover carve' finds files by their "
         "contents alone";
}

// The tree from a saved scan, or from processing a volume (then saved when asked).
// `incomplete`: the tree is there but processing did not run to the end.
int prepareFatVolume(FatEngine& engine, CliHost& host, const Options& o, bool& incomplete) {
  incomplete = false;
  if (!o.scan.empty()) {
    if (fat::openPartitionScanInfo(engine, o.scan)) return kExitOk;
    std::fprintf(stderr, "ovrecover: %s\n", lastFailure(host).c_str());
    return kExitFailed;
  }
  int rc = processFatVolume(engine, host, o);
  incomplete = rc == kExitFailed && engine.tree().root() != nullptr;
  if (!o.saveScan.empty() && engine.tree().root() && !fat::savePartitionScanInfo(engine, o.saveScan)) {
    std::fprintf(stderr, "ovrecover: %s\n", lastFailure(host).c_str());
    return kExitFailed;
  }
  return rc;
}

int saveFatDiskScan(FatEngine& engine, CliHost& host, const Options& o) {
  if (o.saveDiskScan.empty() || fat::saveDiskScanInfo(engine, o.saveDiskScan)) return kExitOk;
  std::fprintf(stderr, "ovrecover: %s\n", lastFailure(host).c_str());
  return kExitFailed;
}

int processFatVolume(FatEngine& engine, CliHost& host, const Options& o) {
  int rc = engine.openImage(o.source);
  if (rc != 0) {
    std::fprintf(stderr, "ovrecover: cannot open %s: %s\n", o.source.c_str(), systemErrorText(rc).c_str());
    return kExitFailed;
  }
  if (o.searchMode.empty()) engine.readPartitionTable();
  else if (!searchFat(engine, host, o.searchMode == "thorough", 0, engine.source().totalSectors()))
    return kExitFailed;
  const auto& volumes = engine.volumes();
  std::optional<std::size_t> index;
  if (o.volumeNumber) {
    if (*o.volumeNumber == 0 || *o.volumeNumber > volumes.size()) {
      std::fprintf(stderr, "ovrecover: there is no FAT volume %zu (%zu found)\n", *o.volumeNumber, volumes.size());
      return kExitUsage;
    }
    index = *o.volumeNumber - 1;
  } else if (o.volumeStart) {
    for (std::size_t i = 0; i < volumes.size() && !index; ++i)
      if (volumes[i].startSector == *o.volumeStart) index = i;
    if (!index) {
      std::fprintf(stderr, "ovrecover: no FAT volume starts at sector %llu\n",
                   static_cast<unsigned long long>(*o.volumeStart));
      return kExitFailed;
    }
  } else if (volumes.size() == 1) {
    index = 0;
  } else if (volumes.empty()) {
    std::fprintf(stderr, "ovrecover: %s\n", nothingFound(o.searchMode, o.source).c_str());
    return kExitFailed;
  } else {
    std::fprintf(stderr, "ovrecover: %zu FAT volumes found; choose one with --volume N or --start SECTOR\n",
                 volumes.size());
    return kExitUsage;
  }
  const FatVolume chosen = volumes[*index];
  LogEntry run{"Selected " + fat::fatVolumeLabel(chosen, *index + 1),
               "Starting Sector " + fat::fatVolumeStartText(chosen) + ", Size " + fat::fatVolumeSizeText(chosen),
               LogKind::Started, {}};
  host.log().setRunEntry(run);
  host.addLogEntry(run);
  engine.selectVolume(*index);
  bool completed = o.turbo ? engine.turboScan(static_cast<std::uint32_t>(*index + 1)) : engine.processFileSystem();
  host.log().processState(LoggedProcess::InternalFileProcessing,
                          completed ? ProcessState::Completed : ProcessState::Aborted);
  return completed ? kExitOk : kExitFailed;
}

const FileEntry* resolveFat(FatEngine& engine, const std::string& path, std::vector<std::string>& names) {
  const FileEntry* current = engine.tree().root();
  if (!current) return nullptr;
  std::size_t at = 0;
  while (at <= path.size()) {
    std::size_t slash = path.find('/', at);
    std::string part = path.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
    at = slash == std::string::npos ? path.size() + 1 : slash + 1;
    if (part.empty() || (names.empty() && part == "#")) continue;
    const FileEntry* next = nullptr;
    for (const FileEntry* child : fat::FatTree::children(*current))
      if (child->isFolder() && utf16ToUtf8(child->name) == part && (!next || (!next->isLive() && child->isLive())))
        next = child;
    if (!next) return nullptr;
    names.push_back(part);
    current = next;
  }
  return current;
}

void printFatEntry(const FileEntry& e, const std::vector<std::string>& path, const Options& o, JsonArrayPrinter& list) {
  std::string name = utf16ToUtf8(e.name);
  if (o.json) {
    std::vector<std::string> full = path;
    full.push_back(name);
    nlohmann::json entry = {{"path", full},
                            {"name", name},
                            {"size", e.dataSize},
                            {"folder", e.isFolder()},
                            {"live", e.isLive()},
                            {"record", e.firstCluster},
                            {"parent", e.parentCluster},
                            {"created", dateJson(e.createdDate)},
                            {"accessed", dateJson(e.accessedDate)},
                            {"attributes", e.attributes}};
    if (e.claimedSize != 0) {
      entry["size_cut"] = true;
      entry["claimed_size"] = e.claimedSize;
    }
    list.add(entry);
    return;
  }
  std::string shown = o.recursive && !path.empty() ? joined(path) + "/" + name : name;
  std::string created = isoDate(e.createdDate), accessed = isoDate(e.accessedDate);
  std::string cut = e.claimedSize != 0 ? "  [size cut: its entry claims " + std::to_string(e.claimedSize) + " bytes]" : "";
  std::printf("%-7s %-7s %14llu  %-10s  %-10s  %10u %10u  %s%s\n", e.isFolder() ? "folder" : "file",
              e.isLive() ? "live" : "deleted", static_cast<unsigned long long>(e.dataSize),
              created.empty() ? "-" : created.c_str(), accessed.empty() ? "-" : accessed.c_str(), e.firstCluster,
              e.parentCluster, printable(shown).c_str(), cut.c_str());
}

void listFatFolder(const FileEntry& folder, std::vector<std::string>& path, const Options& o, JsonArrayPrinter& list,
                   std::set<const FileEntry*>& visited, int depth) {
  for (const FileEntry* e : fat::FatTree::listing(folder)) {
    if (stdoutBroken()) return;
    printFatEntry(*e, path, o, list);
    if (o.recursive && e->isFolder() && depth < kMaxDepth && visited.insert(e).second) {
      path.push_back(utf16ToUtf8(e->name));
      listFatFolder(*e, path, o, list, visited, depth + 1);
      path.pop_back();
    }
  }
}

void collectFat(const FileEntry& folder, std::vector<std::u16string>& path, const Options& o,
                const std::vector<std::u16string>& patterns,
                std::vector<std::pair<std::vector<std::u16string>, const FileEntry*>>& out,
                std::set<const FileEntry*>& visited, int depth) {
  for (const FileEntry* e : fat::FatTree::listing(folder)) {
    if (e->isFolder()) {
      if (depth < kMaxDepth && visited.insert(e).second) {
        path.push_back(e->name);
        collectFat(*e, path, o, patterns, out, visited, depth + 1);
        path.pop_back();
      }
      continue;
    }
    if ((o.onlyDeleted && e->isLive()) || (o.onlyLive && !e->isLive())) continue;
    bool match = patterns.empty();
    for (const auto& p : patterns) match = match || matchName(p, e->name, false);
    if (match) out.emplace_back(path, e);
  }
}

}  // namespace

int runFatVolumes(FatEngine& engine, CliHost& host, const Options& o) {
  if (!o.diskScan.empty()) {
    if (!fat::openDiskScanInfo(engine, o.diskScan)) {
      std::fprintf(stderr, "ovrecover: %s\n", lastFailure(host).c_str());
      return kExitFailed;
    }
  } else {
    int rc = engine.openImage(o.source);
    if (rc != 0) {
      std::fprintf(stderr, "ovrecover: cannot open %s: %s\n", o.source.c_str(), systemErrorText(rc).c_str());
      return kExitFailed;
    }
    engine.readPartitionTable();
  }
  const auto& infos = engine.partitionInfos();
  bool named = o.diskScan.empty() && infos.size() == engine.volumes().size();
  JsonArrayPrinter list(o.json);
  if (!o.json) {
    if (o.diskScan.empty()) std::printf("Partition table: %s\n", partitionTableName(engine.tableKind()));
    std::printf("%-22s %14s %14s %12s\n", "Name", "Start Sector", "Sectors", "Size");
  }
  for (std::size_t i = 0; i < engine.volumes().size(); ++i) {
    if (o.json) {
      nlohmann::json v = fatVolumeJson(engine.volumes()[i], i + 1);
      if (o.diskScan.empty()) v["table"] = partitionTableName(engine.tableKind());
      if (named && !infos[i].name.empty()) v["partition_name"] = infos[i].name;
      if (named && !infos[i].type.empty()) v["partition_type"] = infos[i].type;
      list.add(v);
    } else {
      printFatRow(engine.volumes()[i], i + 1);
      if (named && (!infos[i].name.empty() || !infos[i].type.empty()))
        std::printf("%-22s GPT partition \"%s\" (%s)\n", "", printable(infos[i].name).c_str(),
                    printable(infos[i].type).c_str());
    }
  }
  list.close();
  if (engine.volumes().empty()) {
    if (o.diskScan.empty()) std::fprintf(stderr, "ovrecover: %s\n", nothingFound("", o.source).c_str());
    return kExitFailed;
  }
  return saveFatDiskScan(engine, host, o);
}

int runFatSearch(FatEngine& engine, CliHost& host, const Options& o) {
  int rc = engine.openImage(o.source);
  if (rc != 0) {
    std::fprintf(stderr, "ovrecover: cannot open %s: %s\n", o.source.c_str(), systemErrorText(rc).c_str());
    return kExitFailed;
  }
  std::uint64_t total = engine.source().totalSectors();
  std::uint64_t end = o.toGiven ? o.to : total;
  if (auto problem = checkSectorRange(o.from, end, total)) {
    std::fprintf(stderr, "ovrecover: %s (the source has %llu sectors)\n", problem->c_str(),
                 static_cast<unsigned long long>(total));
    return kExitUsage;
  }
  bool completed = searchFat(engine, host, o.thorough, o.from, end);
  JsonArrayPrinter list(o.json);
  if (!o.json) std::printf("%-22s %14s %14s %12s\n", "Name", "Start Sector", "Sectors", "Size");
  for (std::size_t i = 0; i < engine.volumes().size(); ++i) {
    if (o.json) list.add(fatVolumeJson(engine.volumes()[i], i + 1));
    else printFatRow(engine.volumes()[i], i + 1);
  }
  list.close();
  if (!completed) return kExitFailed;
  if (engine.volumes().empty()) {
    std::fprintf(stderr, "ovrecover: %s\n", nothingFound(o.thorough ? "thorough" : "basic", o.source).c_str());
    return kExitFailed;
  }
  return saveFatDiskScan(engine, host, o);
}

int runFatLs(FatEngine& engine, CliHost& host, const Options& o) {
  host.setQuiet(true);
  bool incomplete = false;
  int rc = prepareFatVolume(engine, host, o, incomplete);
  if (!engine.tree().root()) return rc == kExitOk ? kExitFailed : rc;
  warnIncompleteTree(incomplete, true);
  std::vector<std::string> path;
  const FileEntry* folder = resolveFat(engine, o.path, path);
  if (!folder) {
    std::fprintf(stderr, "ovrecover: no folder %s in the recovered tree\n", o.path.c_str());
    return kExitFailed;
  }
  JsonArrayPrinter list(o.json);
  if (!o.json)
    std::printf("%-7s %-7s %14s  %-10s  %-10s  %10s %10s  %s\n", "Type", "State", "Size", "Created", "Accessed",
                "Cluster", "Parent", "Name");
  std::set<const FileEntry*> visited{folder};
  listFatFolder(*folder, path, o, list, visited, 0);
  list.close();
  return stdoutBroken() ? kExitFailed : rc;
}

int runFatRecover(FatEngine& engine, CliHost& host, const Options& o) {
  host.setQuiet(true);
  bool incomplete = false;
  int rc = prepareFatVolume(engine, host, o, incomplete);
  if (!engine.tree().root()) return rc == kExitOk ? kExitFailed : rc;
  host.setQuiet(false);
  if (warnIncompleteTree(incomplete, false)) return kExitFailed;
  std::vector<std::u16string> patterns;
  for (const auto& p : o.patterns) patterns.push_back(utf8ToUtf16(p));
  std::vector<std::pair<std::vector<std::u16string>, const FileEntry*>> files;
  std::vector<std::u16string> path;
  std::set<const FileEntry*> visited{engine.tree().root()};
  collectFat(*engine.tree().root(), path, o, patterns, files, visited, 0);
  if (files.empty()) {
    std::fprintf(stderr, "ovrecover: no file matches\n");
    return kExitFailed;
  }
  std::uint64_t selected = 0, doneBefore = 0;
  for (const auto& f : files) selected += f.second->dataSize;
  fat::FileExtractor extractor(engine.source(), engine.volume());
  extractor.setProgress([&](std::uint64_t done, std::uint64_t) { host.progress(selected, doneBefore + done); });
  extractor.setCancel([&engine] { return !engine.run().proceed(); });
  std::vector<PlannedFile> plan;
  for (const auto& [folders, entry] : files) {
    PlannedFile planned{folders, entry->name, entry->dataSize, entry->claimedSize != 0, entry->claimedSize,
                        [&extractor, e = entry](int fd, std::uint64_t& written) {
                          // An empty file has no data cluster; it is saved as the empty file it is.
                          bool ok = extractor.saveFileData(*e, fd) || e->dataSize == 0;
                          written = extractor.bytesWritten();
                          return ok;
                        }};
    plan.push_back(std::move(planned));
  }
  return saveFiles(o.outDir, plan, engine.source(), host, [&](std::uint64_t d) { doneBefore = d; }, rc);
}

}  // namespace ov::cli
