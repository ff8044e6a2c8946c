// Pieces shared by the commands that list and save recovered trees.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>
#include <functional>

#include "disk/host.h"
#include "workbench/models/output_folder.h"

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

// One file to save: where it goes below the destination, and how its data is written.
struct PlannedFile {
  std::vector<std::u16string> folders;
  std::u16string name;
  std::uint64_t size = 0;
  // Writes the data to `fd`; false when there is nothing valid to write (the file is removed).
  // May throw AlreadyReported, which ends the batch.
  std::function<bool(int fd, std::uint64_t& written)> save;
};

// Saves the files under `destination`, recreating their folders, with "#0" + name on clashes;
// `onProgress(doneBeforeThisFile)` lets the caller add the current file's progress. Prints the
// summary; returns kExitFailed when a file failed or the batch was stopped, else `rc`.
int saveFiles(const OutputFolder& destination, const std::string& outDir, std::vector<PlannedFile>& files,
              RunControl& run, EngineHost& host, const std::function<void(std::uint64_t)>& onProgress, int rc);

// True when `dir` lies on the disk being recovered (the device itself or one of its partitions).
bool onSourceDevice(const std::string& sourcePath, const std::string& dir);

}  // namespace ov::cli
