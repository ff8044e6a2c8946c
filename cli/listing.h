// Pieces shared by the commands that list and save recovered trees.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>
#include <functional>

#include "cli/cli_host.h"
#include "disk/host.h"
#include "disk/recovery_engine.h"
#include "disk/sector_source.h"
#include "workbench/models/file_saving.h"
#include "workbench/models/output_folder.h"
#include "workbench/models/recovery_report.h"

namespace ov::cli {

// "2026-12-06" from a DOS date; empty for 0 or an impossible date.
std::string isoDate(std::uint16_t dosDate);
nlohmann::json dateJson(std::uint16_t dosDate);
std::string joined(const std::vector<std::string>& path);


// Writes a JSON array one element at a time, so that listing a large tree needs no more memory
// than one entry.
class JsonArrayPrinter {
 public:
  explicit JsonArrayPrinter(bool enabled) : closed_(!enabled) {}
  ~JsonArrayPrinter() { close(); }
  void add(const nlohmann::json& element) {
    std::fputs(first_ ? "[\n  " : ",\n  ", stdout);
    first_ = false;
    std::string text = element.dump();
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
  void close() {
    if (closed_) return;
    closed_ = true;
    std::fputs(first_ ? "[]\n" : "\n]\n", stdout);
  }

 private:
  bool first_ = true;
  bool closed_ = false;
};

// Saves the files under `outDir` (created here, with its missing parents, once every check has
// passed), recreating their folders with the clash rule. A destination that fills up or fails
// ends the save; a file that cannot be written whole is named in the summary and set aside as
// "name.partial" (or removed when empty); a file stopped by Ctrl+C likewise. Prints the summary
// (every failed file by name, the files never tried) and puts the failures in the process log.
// Returns kExitFailed unless every file was saved whole, else `rc`.
// `fileDone`, when set, hears how each file tried ended (see SaveHooks::fileDone).
using FileDoneHook = std::function<void(const PlannedFile&, const FileSaveOutcome&)>;
int saveFiles(const std::string& outDir, std::vector<PlannedFile>& files, SectorSource& source, CliHost& host,
              const std::function<void(std::uint64_t)>& onProgress, int rc, const FileDoneHook& fileDone = {});

// Text for a terminal: control characters (and backslashes) written as escapes, so that a name
// read from a damaged disk cannot move the cursor, clear the screen or fake a line.
std::string printable(const std::string& text);

// For a tree that processing did not build to the end: says so on stderr; returns `incomplete`.
bool warnIncompleteTree(bool incomplete, bool listing);

// True once writing to stdout has failed (a closed pipe: `ovrecover ls | head`): listing stops.
bool stdoutBroken();

}  // namespace ov::cli
