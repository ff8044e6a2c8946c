// ovrecover: the recovery engines from the command line.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <thread>

#include "cli/cli_host.h"
#include "disk/sector_source.h"
#include "ntfs/logical_volume.h"
#include "ntfs/ntfs_engine.h"
#include "workbench/models/sector_range.h"

namespace {

using ov::ntfs::LogicalVolume;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

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

void printVolumes(const std::vector<LogicalVolume>& volumes, bool json) {
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
    }
    std::cout << list.dump(2) << "\n";
    return;
  }
  std::printf("%-22s %14s %14s %12s  %s\n", "Name", "Start Sector", "Sectors", "Size", "Found by");
  for (std::size_t i = 0; i < volumes.size(); ++i) {
    const auto& v = volumes[i];
    std::printf("%-22s %14llu %14llu %12s  %s\n", ov::ntfs::volumeLabel(i + 1).c_str(),
                static_cast<unsigned long long>(v.startSector), static_cast<unsigned long long>(v.sectorCount),
                ov::ntfs::volumeSizeText(v).c_str(), foundByText(v.foundBy).c_str());
  }
}

// Ctrl+C and SIGTERM clear `running` from a thread of their own, so the engine stops at its
// next check and the command still prints what it found.
void watchInterrupts(ov::RunControl& run) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set, &run]() {
    int signal = 0;
    while (sigwait(&set, &signal) == 0) {
      if (!run.running()) std::_Exit(130);  // nothing to stop cleanly: leave at once
      run.stop();
    }
  }).detach();
}

struct Options {
  std::string source;
  bool json = false;
  std::string logFile;
  bool quick = false;
  bool thorough = false;
  std::uint64_t from = 0;
  std::uint64_t to = 0;
  bool toGiven = false;
};

int openSource(ov::ntfs::NtfsEngine& engine, const std::string& path) {
  int rc = engine.openImage(path);
  if (rc != 0) {
    std::fprintf(stderr, "ovrecover: cannot open %s: %s\n", path.c_str(), ov::systemErrorText(rc).c_str());
    return kExitFailed;
  }
  return kExitOk;
}

int runVolumes(ov::ntfs::NtfsEngine& engine, const Options& o) {
  if (int rc = openSource(engine, o.source)) return rc;
  bool found = engine.readPartitionTable();
  if (!found) {
    if (o.json) printVolumes({}, true);
    std::fprintf(stderr, "ovrecover: no NTFS volume in the partition table of %s; try 'ovrecover search'\n",
                 o.source.c_str());
    return kExitFailed;
  }
  printVolumes(engine.volumes(), o.json);
  return kExitOk;
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
  return engine.volumes().empty() ? kExitFailed : kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"ovrecover: find and recover files from NTFS disks and disk images, read-only"};
  app.require_subcommand(1);
  Options o;
  app.add_option("--log", o.logFile, "Save the process log to this text file when the command ends");

  auto* volumes = app.add_subcommand("volumes", "List the NTFS volumes of the partition table");
  volumes->add_option("SOURCE", o.source, "Disk image file or block device")->required();
  volumes->add_flag("--json", o.json, "Print JSON");

  auto* search = app.add_subcommand("search", "Search a sector range for lost NTFS volumes");
  search->add_option("SOURCE", o.source, "Disk image file or block device")->required();
  auto* quick = search->add_flag("--quick", o.quick, "Probe cylinder boundaries only");
  auto* thorough = search->add_flag("--thorough", o.thorough, "Examine every sector");
  quick->excludes(thorough);
  search->add_option("--from", o.from, "First sector of the range (default 0)");
  search->add_option("--to", o.to, "End sector of the range (default: the end of the source)");
  search->add_flag("--json", o.json, "Print JSON");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "ovrecover: %s\nRun 'ovrecover --help' for usage.\n", e.what());
    return kExitUsage;
  }
  if (search->parsed() && !o.quick && !o.thorough) {
    std::fprintf(stderr, "ovrecover: search needs --quick or --thorough\n");
    return kExitUsage;
  }
  o.toGiven = search->count("--to") > 0;

  ov::cli::CliHost host;
  ov::RunControl run;
  watchInterrupts(run);
  ov::ntfs::NtfsEngine engine(host, run);

  int rc = kExitFailed;
  if (volumes->parsed()) rc = runVolumes(engine, o);
  else if (search->parsed()) rc = runSearch(engine, host, o);

  if (!o.logFile.empty() && !host.log().saveText(o.logFile)) {
    std::fprintf(stderr, "ovrecover: Error creating log file %s\n", o.logFile.c_str());
    if (rc == kExitOk) rc = kExitFailed;
  }
  return rc;
}
