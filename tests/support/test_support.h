// Shared helpers of the tests (with the headers they all use): a host that records what the engine
// reports, the committed test images and their manifests, and small builders for synthetic sectors.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "disk/host.h"

namespace ov::test {

class RecordingHost : public EngineHost {
 public:
  struct Message {
    std::string title, text;
    MessageIcon icon;
  };
  void addLogEntry(const LogEntry& e) override { log.push_back(e); }
  std::string lastLog() const { return log.empty() ? "" : log.back().name; }
  void showMessage(const std::string& title, const std::string& text, MessageIcon icon) override {
    messages.push_back({title, text, icon});
  }
  void searchProgress(std::uint64_t position, std::uint64_t end) override {
    progress.emplace_back(position, end);
    if (onSearchProgress) onSearchProgress();
  }
  void volumeFound(std::uint64_t start) override { found.push_back(start); }
  void searchFinished(bool completed) override { finished.push_back(completed); }

  std::vector<LogEntry> log;
  std::vector<Message> messages;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;
  std::vector<std::uint64_t> found;
  std::vector<bool> finished;
  std::function<void()> onSearchProgress;  // after each search progress is recorded
};

// A RecordingHost that hands each operation's progress (total, done) to `onProgress`.
class ProgressHost : public RecordingHost {
 public:
  void progress(std::uint64_t total, std::uint64_t done) override {
    if (onProgress) onProgress(total, done);
  }
  std::function<void(std::uint64_t, std::uint64_t)> onProgress;
};

// The folder of the committed images (tests/data).
std::filesystem::path dataDir();
// ../shared/testdata beside the project, or nullopt when it is absent.
std::optional<std::filesystem::path> sharedTestdataDir();

// Decompresses tests/data/NAME.img.xz once per test run and returns the image's path.
std::filesystem::path image(const std::string& name);
// Decompresses tests/data/containers/NAME.xz into scratchDir()/FOLDER once; its path.
std::filesystem::path container(const std::string& name, const std::string& folder = "containers");
// The pieces of concatenated `parts`.
std::vector<std::uint8_t> join(std::initializer_list<std::vector<std::uint8_t>> parts);
// Decompresses a gzip file (third-party images) into the scratch folder.
std::filesystem::path gunzipped(const std::filesystem::path& gz);
nlohmann::json manifest(const std::string& name);
bool hasFlag(const nlohmann::json& file, const char* flag);
// The manifest's partitions of the given file systems ("ntfs", "fat16", ...), in table order.
std::vector<nlohmann::json> partitionsOf(const nlohmann::json& manifest, std::initializer_list<const char*> fileSystems);
std::uint64_t serialOf(const nlohmann::json& partition);
// The files (not folders) of a manifest's partition, by path below its root.
std::map<std::string, nlohmann::json> manifestFiles(const std::string& name, int partition = 1);
std::vector<std::uint8_t> readFile(const std::filesystem::path& path);
// A scratch folder for this test run, removed at exit.
std::filesystem::path scratchDir();
// scratchDir()/name, emptied and created.
std::filesystem::path freshDir(const std::string& name);
// The regular files below `dir`, by relative path.
std::set<std::string> filesUnder(const std::filesystem::path& dir);
// The regular files below `dir`, by relative path, with their SHA-256: a difference shows as names.
std::map<std::string, std::string> fileHashesUnder(const std::filesystem::path& dir);
// Writes `bytes` to `path`; the path.
std::filesystem::path writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
// Whether `shown`, a name the FAT engine lists, stands for the manifest's `wanted`: the same (with
// `anyCase`, ignoring case; FAT32 images made by mtools keep some names only as upper-case short
// names), or, for a deleted entry whose name an 8.3 entry held alone, "X" for its lost first
// character and the rest the same.
bool fatNameMatches(const std::string& shown, const std::string& wanted, bool live, bool anyCase);
// The carving test image (tests/data/carving/carving.img.xz), decompressed once per process.
std::filesystem::path carvingImage();

}  // namespace ov::test

namespace ov::test {
// SHA-256 of bytes, as lower-case hex.
std::string sha256Hex(const std::vector<std::uint8_t>& bytes);
}  // namespace ov::test
