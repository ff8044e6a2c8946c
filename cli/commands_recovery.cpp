// ovrecover volumes, search, ls and recover: one path for both recovery engines, through the
// recovery-engine interface. The engine decides the texts ("NTFS", "Quick"/"Basic",
// "Record"/"Cluster"); nothing here depends on which file system it is.
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <set>

#include "cli/commands.h"
#include "cli/listing.h"
#include "workbench/models/recovery_report.h"
#include "workbench/models/find_files.h"
#include "workbench/models/sector_range.h"
#include "workbench/models/volume_search_dialog.h"

namespace ov::cli {
namespace {

constexpr int kMaxDepth = 4096;  // deeper trees come only from damaged or hostile data

std::string lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

SearchDialogWords searchWords(const RecoveryEngine& engine, bool thorough) {
  const EngineTexts& t = engine.texts();
  return searchDialogWords(t.fileSystem, thorough, t.quickWord == "Basic");
}

// What was tried, found nothing, and what to try next. `searched` is "" (the partition table),
// the quick word ("quick" or "basic") or "thorough".
std::string nothingFound(const RecoveryEngine& engine, const std::string& searched, const std::string& source) {
  const std::string fs = engine.texts().fileSystem;
  const std::string quick = lower(engine.texts().quickWord);
  if (searched.empty())
    return "no " + fs + " volume in the partition table of " + source + " (nor a " + fs +
           " boot sector at its sector 0); try --search " + quick + ", which looks for boot sectors" +
           (quick == "basic" ? " in every sector" : " at the usual partition boundaries") + ", or --search thorough";
  if (searched != "thorough")
    return "the " + quick + " search found no " + fs + " boot sector in " + source +
           "; try --search thorough, which also finds volumes whose boot sector is gone";
  return "the thorough search found no " + fs + " volume in " + source +
         "; 'ovrecover carve' finds files by their contents alone";
}

int openSource(RecoveryEngine& engine, const std::string& path) {
  int rc = engine.openImage(path);
  if (rc == 0) return kExitOk;
  if (!engine.source().openFailure().empty()) {
    std::fprintf(stderr, "ovrecover: %s\n", engine.source().openFailure().c_str());
    return kExitFailed;
  }
  std::fprintf(stderr, "ovrecover: cannot open %s: %s\n", path.c_str(), systemErrorText(rc).c_str());
  return kExitFailed;
}

int saveDiskScan(RecoveryEngine& engine, CliHost& host, const Options& o) {
  if (o.saveDiskScan.empty() || engine.saveDiskScanInfo(o.saveDiskScan)) return kExitOk;
  std::fprintf(stderr, "ovrecover: %s\n", lastFailure(host).c_str());
  return kExitFailed;
}

// The volume rows of one or more engines, numbered on from one engine to the next.
struct Listed {
  const RecoveryEngine* engine;
  VolumeRow row;
};

void printVolumes(const std::vector<Listed>& rows, bool json, const char* table) {
  if (json) {
    auto list = nlohmann::json::array();
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const VolumeRow& r = rows[i].row;
      nlohmann::json v = {{"number", i + 1}, {"fs", lower(r.fileSystem)}};
      for (const auto& [key, value] : r.facts)
        std::visit([&v, &key](const auto& x) { v[key] = x; }, value);
      if (table) {
        v["table"] = table;
        v["partition_name"] = r.partitionName.empty() ? nlohmann::json(nullptr) : nlohmann::json(r.partitionName);
        v["partition_type"] = r.partitionType.empty() ? nlohmann::json(nullptr) : nlohmann::json(r.partitionType);
      }
      list.push_back(v);
    }
    std::cout << list.dump(2) << "\n";
    return;
  }
  if (table) std::printf("Partition table: %s\n", table);
  std::printf("%-22s %14s %14s %12s %9s  %s\n", "Name", "Start Sector", "Sectors", "Size", "Cluster", "Found by");
  for (const auto& [engine, r] : rows) {
    std::printf("%-22s %14llu %14llu %12s %9s  %s\n", r.name.c_str(), static_cast<unsigned long long>(r.startSector),
                static_cast<unsigned long long>(r.sectorCount), r.sizeText.c_str(), r.clusterText.c_str(),
                table ? "partition table" : r.foundByText.c_str());
    if (!r.partitionName.empty() || !r.partitionType.empty())
      std::printf("%-22s GPT partition \"%s\" (%s)\n", "", printable(r.partitionName).c_str(),
                  printable(r.partitionType).c_str());
  }
}

std::vector<Listed> rowsOf(const RecoveryEngine& engine, std::size_t numberFrom = 0) {
  std::vector<Listed> rows;
  for (std::size_t i = 0; i < engine.volumeCount(); ++i) {
    VolumeRow r = engine.volumeRow(i);
    if (numberFrom != 0) {
      // Numbered on after the volumes listed before it: the label's number follows the list.
      std::size_t at = r.name.rfind(' ');
      if (at != std::string::npos) r.name = r.name.substr(0, at + 1) + std::to_string(numberFrom + i + 1);
    }
    rows.push_back({&engine, std::move(r)});
  }
  return rows;
}

// Chooses the volume from the partition table or a search, and rebuilds its tree.
int processVolume(RecoveryEngine& engine, CliHost& host, const Options& o, std::optional<VolumeRow>& chosenRow) {
  if (int rc = openSource(engine, o.source)) return rc;
  const std::string fs = engine.texts().fileSystem;
  if (o.searchMode.empty()) {
    engine.readPartitionTable();
  } else {
    bool thorough = o.searchMode == "thorough";
    host.beginSearch(searchWords(engine, thorough));
    if (!engine.searchVolumes(thorough ? VolumeSearch::Thorough : VolumeSearch::Quick, 0,
                              engine.source().totalSectors()))
      return kExitFailed;
  }
  const std::size_t count = engine.volumeCount();
  std::optional<std::size_t> index;
  if (o.volumeNumber) {
    if (*o.volumeNumber == 0 || *o.volumeNumber > count) {
      std::fprintf(stderr, "ovrecover: there is no %s volume %zu (%zu found)\n", fs.c_str(), *o.volumeNumber, count);
      return kExitUsage;
    }
    index = *o.volumeNumber - 1;
  } else if (o.volumeStart) {
    // Not listed: take the volume whose boot sector is at that sector, if there is one.
    index = engine.addVolumeAt(*o.volumeStart);
    if (!index) {
      std::fprintf(stderr, "ovrecover: no %s volume starts at sector %llu\n", fs.c_str(),
                   static_cast<unsigned long long>(*o.volumeStart));
      return kExitFailed;
    }
  } else if (count == 1) {
    index = 0;
  } else if (count == 0) {
    std::fprintf(stderr, "ovrecover: %s\n", nothingFound(engine, o.searchMode, o.source).c_str());
    return kExitFailed;
  } else {
    std::fprintf(stderr, "ovrecover: %zu %s volumes found; choose one with --volume N or --start SECTOR\n", count,
                 fs.c_str());
    return kExitUsage;
  }

  const VolumeRow chosen = engine.volumeRow(*index);
  chosenRow = chosen;
  LogEntry run{"Selected " + chosen.name, "Starting Sector " + chosen.startText + ", Size " + chosen.sizeText,
               LogKind::Started, {}};
  host.log().setRunEntry(run);
  host.addLogEntry(run);
  bool completed = false;
  if (o.turbo) {
    engine.useVolume(*index);
    completed = engine.turboScan(static_cast<std::uint32_t>(*index + 1));
  } else {
    if (!engine.selectVolume(*index)) {
      std::fprintf(stderr, "ovrecover: critical structures not found on %s; use --turbo for a Turbo Scan\n",
                   chosen.name.c_str());
      return kExitFailed;
    }
    completed = engine.processFileSystem();
  }
  host.log().processState(LoggedProcess::InternalFileProcessing,
                          completed ? ProcessState::Completed : ProcessState::Aborted);
  if (!engine.hasTree()) return kExitFailed;
  return completed ? kExitOk : kExitFailed;
}

// The tree from a saved scan, or from processing a volume (then saved when asked).
// `incomplete`: the tree is there but processing did not run to the end.
int prepareVolume(RecoveryEngine& engine, CliHost& host, const Options& o, bool& incomplete,
                  std::optional<VolumeRow>* chosenRow = nullptr) {
  incomplete = false;
  if (!o.scan.empty()) {
    if (engine.openPartitionScanInfo(o.scan)) return kExitOk;
    std::fprintf(stderr, "ovrecover: %s\n", lastFailure(host).c_str());
    return kExitFailed;
  }
  std::optional<VolumeRow> row;
  int rc = processVolume(engine, host, o, row);
  if (chosenRow) *chosenRow = row;
  incomplete = rc == kExitFailed && engine.hasTree();
  if (!o.saveScan.empty() && engine.hasTree() && !engine.savePartitionScanInfo(o.saveScan)) {
    std::fprintf(stderr, "ovrecover: %s\n", lastFailure(host).c_str());
    return kExitFailed;
  }
  return rc;
}

// Resolves a "/"-separated path below the top folder; " Root" may also be written "Root".
std::optional<TreeEntry> resolve(RecoveryEngine& engine, const std::string& path, std::vector<std::string>& names) {
  auto current = engine.topFolder();
  if (!current) return std::nullopt;
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
    std::optional<TreeEntry> next;
    for (auto& child : engine.listFolder(*current)) {
      if (!child.isFolder()) continue;
      bool rootAlias = current->isTop && child.isRoot && part == "Root";
      if (utf16ToUtf8(child.name) == part || rootAlias)
        if (!next || (!next->isLive() && child.isLive())) next = child;
    }
    if (!next) return std::nullopt;
    names.push_back(utf16ToUtf8(next->name));
    current = next;
    first = false;
  }
  return current;
}

// The verdict of a deleted file (unknown for live files and folders).
Recoverability verdictOf(RecoveryEngine& engine, const TreeEntry& e) {
  if (e.isFolder() || e.isLive()) return Recoverability::Unknown;
  return engine.fileLayout(e).verdict;
}

// One line of the body format that timeline tools read:
// MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime.
void printBodyLine(const TreeEntry& e, const std::vector<std::string>& path, const std::string& name) {
  std::string full = "/" + (path.empty() ? name : joined(path) + "/" + name);
  if (!e.isLive()) full += " (deleted)";
  // The separator and line ends cannot appear inside a field.
  for (char& c : full)
    if (c == '|' || c == '\n' || c == '\r') c = '_';
  const bool utc = e.times.utc;
  std::printf("0|%s|%u|%s|0|0|%llu|%lld|%lld|%lld|%lld\n", full.c_str(), e.number,
              e.isFolder() ? "d/drwxrwxrwx" : "r/rrwxrwxrwx", static_cast<unsigned long long>(e.size),
              static_cast<long long>(epochSeconds(e.times.accessed, utc).value_or(0)),
              static_cast<long long>(epochSeconds(e.times.modified, utc).value_or(0)),
              static_cast<long long>(epochSeconds(e.times.changed, utc).value_or(0)),
              static_cast<long long>(epochSeconds(e.times.created, utc).value_or(0)));
}

void printEntry(RecoveryEngine& engine, const TreeEntry& e, const std::vector<std::string>& path, const Options& o,
                JsonArrayPrinter& list) {
  std::string name = utf16ToUtf8(e.name);
  if (o.bodyfile) {
    printBodyLine(e, path, name);
    return;
  }
  const std::string verdict = recoverabilityText(verdictOf(engine, e));
  const FileTimes& t = e.times;
  if (o.json) {
    std::vector<std::string> full = path;
    full.push_back(name);
    nlohmann::json entry = {{"path", full},
                            {"name", name},
                            {"size", e.size},
                            {"folder", e.isFolder()},
                            {"live", e.isLive()},
                            {"record", e.number},
                            {"parent", e.parentNumber},
                            {"created", dateJson(e.createdDate)},
                            {"accessed", dateJson(e.accessedDate)},
                            {"modified", dateOfJson(t.modified)},
                            {"changed", dateOfJson(t.changed)},
                            {"created_time", timeJson(t.created, t.utc)},
                            {"modified_time", timeJson(t.modified, t.utc)},
                            {"accessed_time", timeJson(t.accessed, t.utc)},
                            {"changed_time", timeJson(t.changed, t.utc)},
                            {"attributes", e.attributes}};
    if (t.nameCreated.known) entry["name_created_time"] = timeJson(t.nameCreated, t.utc);
    if (t.nameModified.known) entry["name_modified_time"] = timeJson(t.nameModified, t.utc);
    if (!e.isFolder() && !e.isLive()) entry["recoverable"] = verdict.empty() ? nlohmann::json(nullptr) : nlohmann::json(verdict);
    if (!e.streamName.empty()) entry["stream"] = utf16ToUtf8(e.streamName);
    if (e.sizeCut) entry["size_cut"] = true;
    if (e.claimedSize != 0) entry["claimed_size"] = e.claimedSize;
    if (e.possiblyDamaged()) entry["possibly_damaged"] = e.damageNote;
    list.add(entry);
    return;
  }
  std::string shown = o.recursive && !path.empty() ? joined(path) + "/" + name : name;
  std::string created = isoDate(e.createdDate), accessed = isoDate(e.accessedDate);
  std::string modified = isoTime(t.modified, true).substr(0, 19);
  if (modified.size() == 19) modified[10] = ' ';
  std::string cut;
  if (e.claimedSize != 0) cut = "  [size cut: its entry claims " + std::to_string(e.claimedSize) + " bytes]";
  else if (e.sizeCut) cut = "  [size cut: its record claims more than its data can hold]";
  if (e.possiblyDamaged()) cut += "  [possibly damaged: " + e.damageNote + "]";
  std::printf("%-7s %-7s %14llu  %-10s  %-19s  %-10s  %-18s  %10u %10u  %s%s\n", e.isFolder() ? "folder" : "file",
              e.isLive() ? "live" : "deleted", static_cast<unsigned long long>(e.size),
              created.empty() ? "-" : created.c_str(), modified.empty() ? "-" : modified.c_str(),
              accessed.empty() ? "-" : accessed.c_str(), verdict.empty() ? "-" : verdict.c_str(), e.number,
              e.parentNumber, printable(shown).c_str(), cut.c_str());
}

void listFolder(RecoveryEngine& engine, const TreeEntry& folder, std::vector<std::string>& path, const Options& o,
                JsonArrayPrinter& list, std::set<std::uint64_t>& visited, int depth) {
  for (const auto& e : engine.listFolder(folder)) {
    if (stdoutBroken()) return;
    printEntry(engine, e, path, o, list);
    if (o.recursive && e.isFolder() && depth < kMaxDepth && visited.insert(e.key).second) {
      path.push_back(utf16ToUtf8(e.name));
      listFolder(engine, e, path, o, list, visited, depth + 1);
      path.pop_back();
    }
  }
}

bool wanted(const TreeEntry& e, const Options& o, const std::vector<std::u16string>& patterns) {
  if (e.isFolder()) return false;
  if (o.onlyDeleted && e.isLive()) return false;
  if (o.onlyLive && !e.isLive()) return false;
  if (patterns.empty()) return true;
  for (const auto& p : patterns)
    if (matchName(p, e.name, false)) return true;
  return false;
}

// The files to save, with the folder names from below the top folder.
void collect(RecoveryEngine& engine, const TreeEntry& folder, std::vector<std::u16string>& path, const Options& o,
             const std::vector<std::u16string>& patterns, std::vector<std::pair<std::vector<std::u16string>, TreeEntry>>& out,
             std::set<std::uint64_t>& visited, int depth) {
  for (auto& e : engine.listFolder(folder)) {
    if (e.isFolder()) {
      if (depth < kMaxDepth && visited.insert(e.key).second) {
        // " Root" is saved as "Root": a leading blank in a folder name helps nobody.
        path.push_back(e.isRoot ? u"Root" : e.name);
        collect(engine, e, path, o, patterns, out, visited, depth + 1);
        path.pop_back();
      }
    } else if (wanted(e, o, patterns)) {
      out.emplace_back(path, std::move(e));
    }
  }
}

}  // namespace

std::string lastFailure(const CliHost& host) {
  const auto& entries = host.log().entries();
  for (auto it = entries.rbegin(); it != entries.rend(); ++it)
    if (it->kind == LogKind::Aborted) return it->name;
  return "Unknown error";
}

int runVolumes(RecoveryEngine& engine, CliHost& host, const Options& o, RecoveryEngine* next) {
  if (!o.diskScan.empty()) {
    if (!engine.openDiskScanInfo(o.diskScan)) {
      std::fprintf(stderr, "ovrecover: %s\n", lastFailure(host).c_str());
      return kExitFailed;
    }
    printVolumes(rowsOf(engine), o.json, nullptr);
    return engine.volumeCount() == 0 ? kExitFailed : kExitOk;
  }
  if (int rc = openSource(engine, o.source)) return rc;
  engine.readPartitionTable();
  std::vector<Listed> rows = rowsOf(engine);
  PartitionTableKind table = engine.tableKind();
  if (next && next->openImage(o.source) == 0 && next->readPartitionTable()) {
    auto more = rowsOf(*next, rows.size());
    // The table is the one that held volumes (a floppy's FAT volume has none, whatever the
    // other engine made of its sector 0).
    if (rows.empty()) table = next->tableKind();
    rows.insert(rows.end(), more.begin(), more.end());
  }
  if (rows.empty()) {
    if (o.json) printVolumes({}, true, nullptr);
    std::fprintf(stderr, "ovrecover: %s\n", nothingFound(engine, "", o.source).c_str());
    return kExitFailed;
  }
  printVolumes(rows, o.json, partitionTableName(table));
  return saveDiskScan(engine, host, o);
}

int runSearch(RecoveryEngine& engine, CliHost& host, const Options& o) {
  if (int rc = openSource(engine, o.source)) return rc;
  std::uint64_t total = engine.source().totalSectors();
  std::uint64_t end = o.toGiven ? o.to : total;
  if (auto problem = checkSectorRange(o.from, end, total)) {
    std::fprintf(stderr, "ovrecover: %s (the source has %llu sectors)\n", problem->c_str(),
                 static_cast<unsigned long long>(total));
    return kExitUsage;
  }
  host.beginSearch(searchWords(engine, o.thorough));
  bool completed = engine.searchVolumes(o.thorough ? VolumeSearch::Thorough : VolumeSearch::Quick, o.from, end);
  printVolumes(rowsOf(engine), o.json, nullptr);
  if (!completed) return kExitFailed;
  if (engine.volumeCount() == 0) {
    std::string searched = o.thorough ? "thorough" : lower(engine.texts().quickWord);
    std::fprintf(stderr, "ovrecover: %s\n", nothingFound(engine, searched, o.source).c_str());
    return kExitFailed;
  }
  return saveDiskScan(engine, host, o);
}

int runLs(RecoveryEngine& engine, CliHost& host, const Options& o) {
  host.setQuiet(true);
  bool incomplete = false;
  int rc = prepareVolume(engine, host, o, incomplete);
  if (!engine.hasTree()) return rc == kExitOk ? kExitFailed : rc;
  warnIncompleteTree(incomplete, true);
  std::vector<std::string> path;
  auto folder = resolve(engine, o.path, path);
  if (!folder) {
    std::fprintf(stderr, "ovrecover: no folder %s in the recovered tree\n", o.path.c_str());
    return kExitFailed;
  }
  JsonArrayPrinter list(o.json && !o.bodyfile);
  if (!o.json && !o.bodyfile)
    std::printf("%-7s %-7s %14s  %-10s  %-19s  %-10s  %-18s  %10s %10s  %s\n", "Type", "State", "Size", "Created",
                "Modified", "Accessed", "Recoverable", engine.texts().numberWord.c_str(),
                engine.texts().parentWord.c_str(), "Name");
  std::set<std::uint64_t> visited{folder->key};
  listFolder(engine, *folder, path, o, list, visited, 0);
  list.close();
  return stdoutBroken() ? kExitFailed : rc;
}

int runRecover(RecoveryEngine& engine, CliHost& host, const Options& o) {
  host.setQuiet(true);
  bool incomplete = false;
  std::optional<VolumeRow> chosenRow;
  int rc = prepareVolume(engine, host, o, incomplete, &chosenRow);
  if (!engine.hasTree()) return rc == kExitOk ? kExitFailed : rc;
  host.setQuiet(false);
  if (warnIncompleteTree(incomplete, false)) return kExitFailed;

  std::vector<std::u16string> patterns;
  for (const auto& p : o.patterns) patterns.push_back(utf8ToUtf16(p));
  auto top = engine.topFolder();
  if (!top) return kExitFailed;
  std::vector<std::pair<std::vector<std::u16string>, TreeEntry>> files;
  std::vector<std::u16string> path;
  std::set<std::uint64_t> visited{top->key};
  collect(engine, *top, path, o, patterns, files, visited, 0);

  // Where each file lies (for the report, and the verdict --intact-only keeps to).
  std::vector<FileLayout> layouts;
  if (o.intactOnly || !o.reportFile.empty()) {
    std::vector<std::pair<std::vector<std::u16string>, TreeEntry>> kept;
    std::size_t left = 0;
    for (auto& f : files) {
      FileLayout layout = engine.fileLayout(f.second);
      if (o.intactOnly && !f.second.isLive() && layout.verdict != Recoverability::Good) {
        ++left;
        continue;
      }
      kept.push_back(std::move(f));
      layouts.push_back(std::move(layout));
    }
    files = std::move(kept);
    if (left > 0)
      std::fprintf(stderr, "ovrecover: %zu deleted file%s left out: %s\n", left, left == 1 ? "" : "s",
                   "live files now use some of their clusters, or that could not be told");
  }
  if (files.empty()) {
    std::fprintf(stderr, "ovrecover: no file matches\n");
    return kExitFailed;
  }

  // The report is written after the save (it may go into the destination, made by the save).
  const bool reporting = !o.reportFile.empty();
  std::vector<ReportedFile> reported;
  ReportSource source;
  ReportVolume volume;
  if (reporting) {
    source = reportSource(engine.source());
    if (o.hashSource) {
      source.sha256 = sha256OfSource(engine.source());
      if (source.sha256.empty()) std::fprintf(stderr, "ovrecover: the source could not be read whole; no hash of it\n");
    }
    volume.fileSystem = lower(engine.texts().fileSystem);
    if (chosenRow) volume = reportVolume(*chosenRow, engine.source().bytesPerSector());
    reported.reserve(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) reported.push_back(reportedFile(files[i].first, files[i].second, layouts[i]));
  }

  std::uint64_t selected = 0, doneBefore = 0;
  for (const auto& f : files) selected += f.second.size;
  std::vector<PlannedFile> plan;
  for (const auto& [folders, entry] : files) {
    plan.push_back({folders, entry.outputName(), entry.size, entry.sizeCut, entry.claimedSize, entry.damageNote,
                    entry.times, [&engine, &host, &selected, &doneBefore, e = entry](int fd, std::uint64_t& written) {
                      FileDataSaved outcome = engine.saveFileData(
                          e, fd, [&](std::uint64_t done) { host.progress(selected, doneBefore + done); },
                          [&engine] { return !engine.run().proceed(); });
                      written = outcome.written;
                      return outcome.ok;
                    }});
  }
  std::uint64_t savedCount = 0, failedCount = 0;
  FileDoneHook fileDone;
  if (reporting) {
    fileDone = [&](const PlannedFile& file, const FileSaveOutcome& outcome) {
      ReportedFile& r = reported[static_cast<std::size_t>(&file - plan.data())];
      recordSaveOutcome(r, outcome);
      if (outcome.state == FileSaveState::Failed || outcome.state == FileSaveState::Interrupted) ++failedCount;
      else ++savedCount;
    };
  }
  int result = saveFiles(o.outDir, plan, engine.source(), host, [&](std::uint64_t d) { doneBefore = d; }, rc, fileDone);
  if (reporting) {
    std::string why;
    std::optional<RecoveryReport> report = RecoveryReport::create(o.reportFile, why);
    if (!report) {
      std::fprintf(stderr, "ovrecover: cannot create the report %s: %s\n", o.reportFile.c_str(), why.c_str());
      return kExitFailed;
    }
    report->begin(source, volume, o.commandLine);
    for (const ReportedFile& r : reported) report->add(r);
    if (!report->finish(savedCount, failedCount)) {
      std::fprintf(stderr, "ovrecover: the report %s could not be written whole\n", o.reportFile.c_str());
      result = kExitFailed;
    }
  }
  return result;
}

}  // namespace ov::cli
