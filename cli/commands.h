// The subcommands of ovrecover and the options they share.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_host.h"
#include "disk/recovery_engine.h"

namespace ov::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

struct Options {
  std::string source;
  bool json = false;
  std::string logFile;
  // search
  bool quick = false;
  bool thorough = false;
  std::uint64_t from = 0;
  std::uint64_t to = 0;
  bool toGiven = false;
  // ls and recover: which volume, and how to process it
  std::optional<std::size_t> volumeNumber;
  std::optional<std::uint64_t> volumeStart;
  std::string searchMode;  // "", "quick" or "thorough"
  bool turbo = false;
  bool recursive = false;
  std::string path;
  std::string outDir;
  bool onlyDeleted = false;
  bool onlyLive = false;
  bool bodyfile = false;    // ls: the body format of timeline tools instead of the listing
  bool intactOnly = false;  // recover: deleted files only when no live file uses their clusters
  std::string reportFile;   // recover: the report of what was saved (DFXML for ".xml", else JSON lines)
  bool hashSource = false;  // recover --report: the SHA-256 of the whole source too
  std::string commandLine;  // as given, for reports
  std::vector<std::string> patterns;
  std::string fs;  // "", "ntfs" or "fat"
  std::uint16_t sectorSize = 0;  // --sector-size: the source's sector size when detection cannot tell
  // scan information files
  std::string saveScan;      // .ovt written after processing
  std::string scan;          // .ovt opened instead of processing
  std::string saveDiskScan;  // .ovd written after the walk or search
  std::string diskScan;      // .ovd whose volumes are listed
  // image and clone
  std::string destination;
  bool overwrite = false;
  std::string mapFile;        // image --map: a mapfile kept (and continued when it exists)
  std::uint32_t retryPasses = 0;  // image --retry: passes over the bad sectors
};

// The text of the last failure the host logged (for one clear line on stderr).
std::string lastFailure(const CliHost& host);

// A place a command writes to: a folder (made with its missing parents when needed) or a file.
struct Destination {
  std::string path;
  bool folder = false;
};
// The checks made before a command creates, opens for writing or writes anything: the source
// (given, or named by the scan file) is a disk image file or a block device, and no destination
// lies on the disk being recovered or is unusable (a folder where a file goes, a file where a
// folder goes). Prints why and returns the exit status when the command must not start.
std::optional<int> refuseBeforeStart(const std::string& source, const std::string& scanFile,
                                     const std::vector<Destination>& destinations);

// The commands over a recovery engine (either kind). With `next`, `volumes` lists that engine's
// volumes after the first one's, numbered on.
int runVolumes(RecoveryEngine& engine, CliHost& host, const Options& o, RecoveryEngine* next = nullptr);
int runSearch(RecoveryEngine& engine, CliHost& host, const Options& o);
int runLs(RecoveryEngine& engine, CliHost& host, const Options& o);
int runRecover(RecoveryEngine& engine, CliHost& host, const Options& o);
int runDisks(bool json, EngineHost& host);
int runCopy(CliHost& host, RunControl& run, const std::string& source, const std::string& dest, bool clone,
            bool overwrite, std::uint16_t sectorSize = 0, const std::string& mapFile = {},
            std::uint32_t retryPasses = 0);

}  // namespace ov::cli
