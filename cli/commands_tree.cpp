// ovrecover ls and recover: choose a volume, rebuild its tree (MFT walk or Turbo Scan), then
// list folders or save files.
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>

#include "cli/commands.h"
#include "cli/listing.h"
#include "disk/byte_io.h"
#include "ntfs/volume_finder.h"
#include "ntfs/extract.h"
#include "ntfs/scan_info.h"
#include "workbench/models/find_files.h"
#include "workbench/models/output_folder.h"

namespace ov::cli {
namespace {

using ntfs::FileEntry;
using ntfs::NtfsEngine;

constexpr int kMaxDepth = 4096;  // deeper trees come only from damaged or hostile data

// Chooses the volume from the partition table or a search, and rebuilds its tree.
int processVolume(NtfsEngine& engine, CliHost& host, const Options& o);

// The tree from a saved scan, or from processing a volume (then saved when asked).
// `incomplete`: the tree is there but processing did not run to the end.
int prepareVolume(NtfsEngine& engine, CliHost& host, const Options& o, bool& incomplete) {
  incomplete = false;
  if (!o.scan.empty()) {
    if (ntfs::openPartitionScanInfo(engine, o.scan)) return kExitOk;
    std::fprintf(stderr, "ovrecover: %s\n", lastFailure(host).c_str());
    return kExitFailed;
  }
  int rc = processVolume(engine, host, o);
  incomplete = rc == kExitFailed && engine.workingFiles().isOpen();
  if (!o.saveScan.empty() && engine.workingFiles().isOpen() && !ntfs::savePartitionScanInfo(engine, o.saveScan)) {
    std::fprintf(stderr, "ovrecover: %s\n", lastFailure(host).c_str());
    return kExitFailed;
  }
  return rc;
}

int processVolume(NtfsEngine& engine, CliHost& host, const Options& o) {
  if (int rc = openSource(engine, o.source)) return rc;
  std::uint64_t total = engine.source().totalSectors();
  if (o.searchMode.empty()) {
    engine.readPartitionTable();
  } else {
    host.beginSearch(searchDialogWords("NTFS", o.searchMode == "thorough"));
    if (!engine.searchVolumes(o.searchMode == "thorough" ? ntfs::SearchMode::Thorough : ntfs::SearchMode::Quick, 0,
                              total))
      return kExitFailed;
  }
  const auto& volumes = engine.volumes();
  std::optional<std::size_t> index;
  if (o.volumeNumber) {
    if (*o.volumeNumber == 0 || *o.volumeNumber > volumes.size()) {
      std::fprintf(stderr, "ovrecover: there is no volume %zu (%zu found)\n", *o.volumeNumber, volumes.size());
      return kExitUsage;
    }
    index = *o.volumeNumber - 1;
  } else if (o.volumeStart) {
    for (std::size_t i = 0; i < volumes.size() && !index; ++i)
      if (volumes[i].startSector == *o.volumeStart) index = i;
    if (!index) {
      // Not listed: take the boot sector found at that sector, if there is one.
      auto found = ntfs::volumeAtSector(engine.source(), *o.volumeStart);
      if (!found) {
        std::fprintf(stderr, "ovrecover: no NTFS volume starts at sector %llu\n",
                     static_cast<unsigned long long>(*o.volumeStart));
        return kExitFailed;
      }
      engine.volumes().push_back(*found);
      index = engine.volumes().size() - 1;
    }
  } else if (volumes.size() == 1) {
    index = 0;
  } else if (volumes.empty()) {
    std::fprintf(stderr, "ovrecover: no NTFS volume found in %s; try --search thorough\n", o.source.c_str());
    return kExitFailed;
  } else {
    std::fprintf(stderr, "ovrecover: %zu volumes found; choose one with --volume N or --start SECTOR\n",
                 volumes.size());
    return kExitUsage;
  }

  const auto& chosen = engine.volumes()[*index];
  std::string label = ntfs::volumeLabel(*index + 1);
  LogEntry run{"Selected " + label,
               "Starting Sector " + std::to_string(chosen.startSector) + ", Size " + ntfs::volumeSizeText(chosen),
               LogKind::Started, {}};
  host.log().setRunEntry(run);
  host.addLogEntry(run);
  bool completed = false;
  if (o.turbo) {
    engine.useVolume(chosen);
    completed = engine.turboScan(static_cast<std::uint32_t>(*index + 1));
  } else {
    if (!engine.selectVolume(*index)) {
      std::fprintf(stderr, "ovrecover: critical structures not found on %s; use --turbo for a Turbo Scan\n",
                   label.c_str());
      return kExitFailed;
    }
    completed = engine.processFileSystem();
  }
  host.log().processState(LoggedProcess::InternalFileProcessing,
                          completed ? ProcessState::Completed : ProcessState::Aborted);
  if (!engine.workingFiles().isOpen()) return kExitFailed;
  return completed ? kExitOk : kExitFailed;
}

std::vector<FileEntry> children(NtfsEngine& engine, const FileEntry& folder) {
  std::uint64_t total = 0;
  std::uint32_t files = 0, folders = 0;
  return engine.workingFiles().readFolder(folder.childrenBlock, total, files, folders, true);
}

// Resolves a "/"-separated path below the top folder; " Root" may also be written "Root".
std::optional<FileEntry> resolve(NtfsEngine& engine, const std::string& path, std::vector<std::string>& names) {
  auto top = engine.workingFiles().readEntry(0);
  if (!top) return std::nullopt;
  FileEntry current = *top;
  std::size_t at = 0;
  bool first = true;
  while (at <= path.size()) {
    std::size_t slash = path.find('/', at);
    std::string part = path.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
    at = slash == std::string::npos ? path.size() + 1 : slash + 1;
    if (part.empty() || (first && part == "#")) {
      first = false;
      continue;
    }
    std::optional<FileEntry> next;
    for (const auto& child : children(engine, current)) {
      if (!child.isFolder()) continue;
      std::string name = utf16ToUtf8(child.name);
      bool rootAlias = current.entryIndex == 0 && child.entryIndex == 1 && part == "Root";
      if (name == part || rootAlias) {
        if (!next || (!next->isLive() && child.isLive())) next = child;
      }
    }
    if (!next) return std::nullopt;
    names.push_back(utf16ToUtf8(next->name));
    current = *next;
    first = false;
  }
  return current;
}

void printEntry(const FileEntry& e, const std::vector<std::string>& path, bool json, bool fullPath,
                JsonArrayPrinter& list) {
  std::string name = utf16ToUtf8(e.name);
  if (json) {
    std::vector<std::string> full = path;
    full.push_back(name);
    nlohmann::json entry = {{"path", full},
                            {"name", name},
                            {"size", e.dataSize},
                            {"folder", e.isFolder()},
                            {"live", e.isLive()},
                            {"record", e.recordNumber},
                            {"parent", e.parentRecord},
                            {"created", dateJson(e.createdDate)},
                            {"accessed", dateJson(e.accessedDate)},
                            {"attributes", e.attributes}};
    if (e.isStream()) entry["stream"] = utf16ToUtf8(e.streamName());
    if (e.sizeCut()) entry["size_cut"] = true;
    list.add(entry);
    return;
  }
  std::string shown = fullPath && !path.empty() ? joined(path) + "/" + name : name;
  std::string created = isoDate(e.createdDate), accessed = isoDate(e.accessedDate);
  std::printf("%-7s %-7s %14llu  %-10s  %-10s  %10u %10u  %s%s\n", e.isFolder() ? "folder" : "file",
              e.isLive() ? "live" : "deleted", static_cast<unsigned long long>(e.dataSize),
              created.empty() ? "-" : created.c_str(), accessed.empty() ? "-" : accessed.c_str(), e.recordNumber,
              e.parentRecord, printable(shown).c_str(),
              e.sizeCut() ? "  [size cut: its record claims more than its data can hold]" : "");
}

void listFolder(NtfsEngine& engine, const FileEntry& folder, std::vector<std::string>& path, const Options& o,
                JsonArrayPrinter& list, std::set<std::uint32_t>& visited, int depth) {
  for (const auto& e : children(engine, folder)) {
    if (stdoutBroken()) return;
    printEntry(e, path, o.json, o.recursive, list);
    if (o.recursive && e.isFolder() && depth < kMaxDepth && visited.insert(e.entryIndex).second) {
      path.push_back(utf16ToUtf8(e.name));
      listFolder(engine, e, path, o, list, visited, depth + 1);
      path.pop_back();
    }
  }
}

bool wanted(const FileEntry& e, const Options& o, const std::vector<std::u16string>& patterns) {
  if (e.isFolder()) return false;
  if (o.onlyDeleted && e.isLive()) return false;
  if (o.onlyLive && !e.isLive()) return false;
  if (patterns.empty()) return true;
  for (const auto& p : patterns)
    if (matchName(p, e.name, false)) return true;
  return false;
}

// The files to save, with the folder names from below the top folder.
void collect(NtfsEngine& engine, const FileEntry& folder, std::vector<std::u16string>& path, const Options& o,
             const std::vector<std::u16string>& patterns, std::vector<std::pair<std::vector<std::u16string>, FileEntry>>& out,
             std::set<std::uint32_t>& visited, int depth) {
  for (const auto& e : children(engine, folder)) {
    if (e.isFolder()) {
      if (depth < kMaxDepth && visited.insert(e.entryIndex).second) {
        // " Root" is saved as "Root": a leading blank in a folder name helps nobody.
        path.push_back(e.entryIndex == 1 ? u"Root" : e.name);
        collect(engine, e, path, o, patterns, out, visited, depth + 1);
        path.pop_back();
      }
    } else if (wanted(e, o, patterns)) {
      out.emplace_back(path, e);
    }
  }
}

}  // namespace

int runLs(NtfsEngine& engine, CliHost& host, const Options& o) {
  host.setQuiet(true);
  bool incomplete = false;
  int rc = prepareVolume(engine, host, o, incomplete);
  if (!engine.workingFiles().isOpen()) return rc == kExitOk ? kExitFailed : rc;
  warnIncompleteTree(incomplete, true);
  std::vector<std::string> path;
  auto folder = resolve(engine, o.path, path);
  if (!folder) {
    std::fprintf(stderr, "ovrecover: no folder %s in the recovered tree\n", o.path.c_str());
    return kExitFailed;
  }
  JsonArrayPrinter list(o.json);
  if (!o.json)
    std::printf("%-7s %-7s %14s  %-10s  %-10s  %10s %10s  %s\n", "Type", "State", "Size", "Created", "Accessed",
                "Record", "Parent", "Name");
  std::set<std::uint32_t> visited{folder->entryIndex};
  listFolder(engine, *folder, path, o, list, visited, 0);
  list.close();
  return stdoutBroken() ? kExitFailed : rc;
}

int runRecover(NtfsEngine& engine, CliHost& host, const Options& o) {
  host.setQuiet(true);
  bool incomplete = false;
  int rc = prepareVolume(engine, host, o, incomplete);
  if (!engine.workingFiles().isOpen()) return rc == kExitOk ? kExitFailed : rc;
  host.setQuiet(false);
  if (warnIncompleteTree(incomplete, false)) return kExitFailed;

  std::vector<std::u16string> patterns;
  for (const auto& p : o.patterns) patterns.push_back(utf8ToUtf16(p));
  std::vector<std::pair<std::vector<std::u16string>, FileEntry>> files;
  auto top = engine.workingFiles().readEntry(0);
  if (!top) return kExitFailed;
  std::vector<std::u16string> path;
  std::set<std::uint32_t> visited{0};
  collect(engine, *top, path, o, patterns, files, visited, 0);
  if (files.empty()) {
    std::fprintf(stderr, "ovrecover: no file matches\n");
    return kExitFailed;
  }

  std::uint64_t selected = 0;
  for (const auto& f : files) selected += f.second.dataSize;
  ntfs::FileExtractor extractor(engine.source(), engine.volume());
  std::uint64_t doneBefore = 0;
  extractor.setProgress([&](std::uint64_t done, std::uint64_t) { host.progress(selected, doneBefore + done); });
  extractor.setCancel([&engine] { return !engine.run().proceed(); });
  std::vector<PlannedFile> plan;
  for (const auto& [folders, entry] : files) {
    // A named stream is saved as "<file>_<stream>": a colon is not allowed on every destination.
    std::u16string name = entry.name;
    if (entry.isStream()) name[entry.name.size() - entry.streamName().size() - 1] = u'_';
    PlannedFile planned{folders, name, entry.dataSize, entry.sizeCut(), 0,
                        [&extractor, e = entry](int fd, std::uint64_t& written) {
                          bool ok = extractor.saveFileData(e.recordSector, e.dataSize, fd, e.streamName());
                          written = extractor.bytesWritten();
                          return ok;
                        }};
    plan.push_back(std::move(planned));
  }
  return saveFiles(o.outDir, plan, engine.source(), host, [&](std::uint64_t d) { doneBefore = d; }, rc);
}

}  // namespace ov::cli
