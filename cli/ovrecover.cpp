// ovrecover: the recovery engines from the command line.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "cli/commands.h"
#include "cli/commands_carve.h"
#include "cli/interrupts.h"
#include "fat/fat_engine.h"
#include "ntfs/ntfs_engine.h"
#include "scans/scan_file.h"

namespace ov::cli {
// Swallows what a look at the partition tables reports.
class Quiet final : public ov::EngineHost {
 public:
  void addLogEntry(const ov::LogEntry&) override {}
  void showMessage(const std::string&, const std::string&, ov::MessageIcon) override {}
};
}  // namespace ov::cli

namespace {

// Without --fs, ls and recover take the engine of the chosen volume: the volumes are numbered
// NTFS first, then FAT, as `volumes` lists them.
std::string chooseFileSystem(ov::cli::Options& o) {
  if (o.searchMode == "basic") return "fat";  // the FAT engine's word for its quick search
  if (!o.searchMode.empty()) return "ntfs";
  ov::cli::Quiet quiet;
  ov::RunControl run;
  ov::ntfs::NtfsEngine ntfs(quiet, run);
  ov::fat::FatEngine fat(quiet, run);
  ntfs.source().setSectorSizeOverride(o.sectorSize);
  fat.source().setSectorSizeOverride(o.sectorSize);
  if (ntfs.openImage(o.source) != 0 || fat.openImage(o.source) != 0) return "ntfs";
  ntfs.readPartitionTable();
  fat.readPartitionTable();
  std::size_t n = ntfs.volumes().size(), m = fat.volumes().size();
  if (o.volumeNumber) {
    if (*o.volumeNumber > n && *o.volumeNumber <= n + m) {
      o.volumeNumber = *o.volumeNumber - n;
      return "fat";
    }
    return "ntfs";
  }
  if (o.volumeStart) {
    for (const auto& v : ntfs.volumes())
      if (v.startSector == *o.volumeStart) return "ntfs";
    for (const auto& v : fat.volumes())
      if (v.startSector == *o.volumeStart) return "fat";
    return "ntfs";
  }
  if (n + m > 1) return "ambiguous:" + std::to_string(n) + ":" + std::to_string(m);
  return n == 0 && m > 0 ? "fat" : "ntfs";
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ov::cli;
  CLI::App app{"ovrecover: find and recover files from NTFS disks and disk images, read-only"};
  app.require_subcommand(1);
  Options o;
  app.add_option("--log", o.logFile, "Save the process log to this text file when the command ends");
  CarveOptions carveOptions;
  // Raw images of disks with 4096-byte sectors are recognised by their partition table and boot
  // sectors; this option is for the images where that cannot decide.
  auto addSectorSize = [](CLI::App* command, std::uint16_t& into) {
    command->add_option("--sector-size", into, "Sector size of the source in bytes (default: the device's, "
                                               "else what the image shows, else 512)")
        ->check(CLI::IsMember({512, 1024, 2048, 4096}));
  };

  auto* disks = app.add_subcommand("disks", "List the disks of this machine");
  disks->add_flag("--json", o.json, "Print JSON");

  auto* image = app.add_subcommand("image", "Copy a disk or image sector by sector into an image file (.ov2 or raw)");
  image->add_option("SOURCE", o.source, "Disk or image to copy (raw, E01, VHD, VHDX, VMDK, qcow2, split raw)")->required();
  image->add_option("DEST", o.destination, "Image file to create (.ov2 is added when missing)")->required();
  image->add_flag("--overwrite", o.overwrite, "Replace an existing image file");
  image->add_option("--map", o.mapFile,
                    "Keep a mapfile (GNU ddrescue's format) to resume an interrupted run; an existing one is continued");
  image->add_option("--retry", o.retryPasses, "With --map: passes over the bad sectors at the end (default 0)")
      ->check(CLI::Range(0, 1000));
  addSectorSize(image, o.sectorSize);

  auto* clone = app.add_subcommand("clone", "Copy a disk sector by sector onto another disk (or a file)");
  clone->add_option("SOURCE", o.source, "Disk or image to copy")->required();
  clone->add_option("DEST", o.destination, "Block device or file to overwrite")->required();
  addSectorSize(clone, o.sectorSize);

  auto* volumes = app.add_subcommand("volumes", "List the NTFS volumes of the partition table");
  auto* volumesSource = volumes->add_option("SOURCE", o.source, "Disk image file or block device");
  auto* diskScan = volumes->add_option("--disk-scan", o.diskScan, "List the volumes of saved disk scan information (.ovd)");
  volumesSource->excludes(diskScan);
  volumes->add_option("--save-disk-scan", o.saveDiskScan, "Save the volumes as disk scan information (.ovd)");
  volumes->add_flag("--json", o.json, "Print JSON");
  volumes->add_option("--fs", o.fs, "Only this kind of volume")->check(CLI::IsMember({"ntfs", "fat"}));
  addSectorSize(volumes, o.sectorSize);

  auto* search = app.add_subcommand("search", "Search a sector range for lost NTFS volumes");
  search->add_option("SOURCE", o.source, "Disk image file or block device")->required();
  auto* quick = search->add_flag("--quick", o.quick, "Probe cylinder boundaries only");
  auto* thorough = search->add_flag("--thorough", o.thorough, "Examine every sector");
  auto* basic = search->add_flag("--basic", o.quick, "FAT: test every sector for boot sectors only");
  quick->excludes(thorough);
  basic->excludes(thorough);
  search->add_option("--fs", o.fs, "Kind of volume to search for (default ntfs)")->check(CLI::IsMember({"ntfs", "fat"}));
  search->add_option("--from", o.from, "First sector of the range (default 0)");
  search->add_option("--to", o.to, "End sector of the range, not included (default: the end of the source)");
  search->add_flag("--json", o.json, "Print JSON");
  search->add_option("--save-disk-scan", o.saveDiskScan, "Save the volumes found as disk scan information (.ovd)");
  addSectorSize(search, o.sectorSize);

  auto addVolumeOptions = [&o, &addSectorSize](CLI::App* command) {
    addSectorSize(command, o.sectorSize);
    command->add_option("SOURCE", o.source, "Disk image file or block device (not with --scan)");
    command->add_option("--scan", o.scan, "Open saved partition scan information (.ovt) instead of processing");
    command->add_option("--save-scan", o.saveScan, "Save partition scan information (.ovt) after processing");
    auto* number = command->add_option("--volume", o.volumeNumber, "Number of the volume in the list (from 1)");
    auto* start = command->add_option("--start", o.volumeStart, "Start sector of the volume");
    number->excludes(start);
    command->add_option("--search", o.searchMode,
                        "Take the volume list of a search instead of the partition table (basic: FAT only)")
        ->check(CLI::IsMember({"quick", "basic", "thorough"}));
    command->add_flag("--turbo", o.turbo, "Rebuild the tree with the Turbo Scan instead of the MFT walk");
    command->add_option("--fs", o.fs, "Kind of volume (default: the kind of the chosen volume)")
        ->check(CLI::IsMember({"ntfs", "fat"}));
  };

  auto* ls = app.add_subcommand("ls", "Process a volume and list a folder of the recovered tree");
  addVolumeOptions(ls);
  ls->add_flag("-r,--recursive", o.recursive, "List the folders below too");
  auto* lsJson = ls->add_flag("--json", o.json, "Print JSON");
  ls->add_flag("--bodyfile", o.bodyfile,
               "Print the body format of timeline tools (MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime)")
      ->excludes(lsJson);
  ls->add_option("PATH", o.path, "Folder to list, names separated by '/' (default: the top folder \"#\")");

  auto* recover = app.add_subcommand("recover", "Process a volume and save files of the recovered tree");
  addVolumeOptions(recover);
  recover->add_option("--out", o.outDir, "Destination folder (created when missing)")->required();
  auto* deleted = recover->add_flag("--deleted", o.onlyDeleted, "Only deleted files");
  auto* live = recover->add_flag("--live", o.onlyLive, "Only live files");
  deleted->excludes(live);
  recover->add_flag("--intact-only", o.intactOnly,
                    "Deleted files only when no live file uses their clusters now (live files as usual)");
  auto* reportOption = recover->add_option(
      "--report", o.reportFile,
      "Write a report of the save: DFXML when FILE ends in .xml, else JSON lines (paths, times, extents, SHA-256)");
  recover->add_flag("--hash-source", o.hashSource, "With --report: the SHA-256 of the whole source too")
      ->needs(reportOption);
  recover->add_option("PATTERN", o.patterns, "Name patterns with * and ? (default: every file)");

  auto* carve = app.add_subcommand("carve", "Search a disk or image for files by their signatures and save them");
  carve->add_option("SOURCE", carveOptions.source, "Disk image file or block device")->required();
  carve->add_option("--out", carveOptions.outDir, "Destination folder (created when missing)");
  carve->add_option("--types", carveOptions.types, "Extensions to search for (default: every type)")->delimiter(',');
  carve->add_option("--category", carveOptions.category, "Only the types of this category");
  carve->add_option("--max-size", carveOptions.maxSize, "Size of files whose end is not found, e.g. 8M (default: per type)");
  carve->add_option("--iso", carveOptions.iso, "Write what is found into this disc image (ISO 9660 with Joliet names)");
  carve->add_flag("--zip", carveOptions.zip, "Save into zip archives");
  carve->add_option("--exclude", carveOptions.exclude, "Extensions not to save")->delimiter(',');
  carve->add_flag("--list-only", carveOptions.listOnly, "List what was found, save nothing");
  carve->add_flag("--json", carveOptions.json, "Print JSON");
  carve->add_option("--catalogue", carveOptions.catalogue, "Signature file to use (default: the one shipped)");
  carve->add_option("--report", carveOptions.reportFile,
                    "With --out: write a report of the files saved (DFXML when FILE ends in .xml, else JSON lines)");
  addSectorSize(carve, carveOptions.sectorSize);

  try {
    app.parse(argc, argv);
    for (int i = 0; i < argc; ++i) o.commandLine += (i ? " " : "") + std::string(argv[i]);
    carveOptions.commandLine = o.commandLine;
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "ovrecover: %s\nRun 'ovrecover --help' for usage.\n", e.what());
    return kExitUsage;
  }
  if (!o.scan.empty() && !o.source.empty()) {
    // With a saved scan there is no SOURCE: the first word is the path (ls) or a pattern (recover).
    if (recover->parsed()) o.patterns.insert(o.patterns.begin(), o.source);
    else if (o.path.empty()) o.path = o.source;
    else {
      std::fprintf(stderr, "ovrecover: --scan takes the source from the scan file; give no SOURCE\n");
      return kExitUsage;
    }
    o.source.clear();
  }
  if ((volumes->parsed() && o.source.empty() && o.diskScan.empty()) ||
      ((ls->parsed() || recover->parsed()) && o.source.empty() && o.scan.empty())) {
    std::fprintf(stderr, "ovrecover: a SOURCE is needed (or a saved scan)\nRun 'ovrecover --help' for usage.\n");
    return kExitUsage;
  }
  if (image->count("--retry") > 0 && o.mapFile.empty()) {
    std::fprintf(stderr, "ovrecover: --retry needs --map, which records the bad sectors to try again\n");
    return kExitUsage;
  }
  if (search->parsed() && !o.quick && !o.thorough) {
    std::fprintf(stderr, "ovrecover: search needs --quick or --thorough\n");
    return kExitUsage;
  }
  o.toGiven = search->count("--to") > 0;
  if (o.searchMode == "basic" && o.fs == "ntfs") {
    std::fprintf(stderr, "ovrecover: --search basic is the FAT search; for NTFS use --search quick or thorough\n");
    return kExitUsage;
  }

  // Nothing is created, opened for writing or written before these checks have passed.
  std::vector<Destination> destinations;
  if (!o.logFile.empty()) destinations.push_back({o.logFile, false});
  if (!o.saveScan.empty()) destinations.push_back({ov::withExtension(o.saveScan, ".ovt"), false});
  if (!o.saveDiskScan.empty()) destinations.push_back({ov::withExtension(o.saveDiskScan, ".ovd"), false});
  if (image->parsed() && !o.mapFile.empty()) destinations.push_back({o.mapFile, false});
  if (recover->parsed()) destinations.push_back({o.outDir, true});
  if (recover->parsed() && !o.reportFile.empty()) destinations.push_back({o.reportFile, false});
  std::string source = carve->parsed() ? carveOptions.source : o.source;
  if (carve->parsed() && !carveOptions.listOnly && !carveOptions.outDir.empty())
    destinations.push_back({carveOptions.outDir, true});
  if (carve->parsed() && !carveOptions.listOnly && !carveOptions.reportFile.empty())
    destinations.push_back({carveOptions.reportFile, false});
  if (carve->parsed() && !carveOptions.listOnly && !carveOptions.iso.empty())
    destinations.push_back({carveOptions.iso, false});
  std::string scanFile = !o.scan.empty() ? o.scan : o.diskScan;
  if (auto refused = refuseBeforeStart(source, scanFile, destinations)) return *refused;

  CliHost host;
  ov::RunControl run;
  watchSignals(run);
  ov::ntfs::NtfsEngine engine(host, run);
  ov::fat::FatEngine fatEngine(host, run);
  engine.source().setSectorSizeOverride(o.sectorSize);
  fatEngine.source().setSectorSizeOverride(o.sectorSize);
  // A program ended at once by a signal still takes its working files with it.
  AbruptExitCleanup workingFiles([&engine] { engine.workingFiles().removeFilesNow(); });
  if ((ls->parsed() || recover->parsed()) && o.fs.empty() && o.scan.empty()) o.fs = chooseFileSystem(o);
  if (o.fs.rfind("ambiguous:", 0) == 0) {
    std::string counts = o.fs.substr(10);
    std::string ntfsCount = counts.substr(0, counts.find(':')), fatCount = counts.substr(counts.find(':') + 1);
    std::fprintf(stderr, "ovrecover: %s NTFS and %s FAT volumes found; choose one with --volume N (as 'ovrecover "
                 "volumes' numbers them) or --start SECTOR\n", ntfsCount.c_str(), fatCount.c_str());
    return kExitUsage;
  }

  // The one engine the command works with; `volumes` without --fs also lists the FAT ones after it.
  ov::RecoveryEngine& chosen = o.fs == "fat" ? static_cast<ov::RecoveryEngine&>(fatEngine) : engine;
  int rc = kExitFailed;
  // A failure reported while listing (a working file that cannot be read back) ends the command
  // like any other: the reason has been shown, and the working files are removed on the way out.
  try {
    if (disks->parsed()) rc = runDisks(o.json, host);
    else if (carve->parsed()) rc = runCarve(host, run, carveOptions);
    else if (image->parsed()) rc = runCopy(host, run, o.source, o.destination, false, o.overwrite, o.sectorSize, o.mapFile,
                                            o.retryPasses);
    else if (clone->parsed()) rc = runCopy(host, run, o.source, o.destination, true, true, o.sectorSize);
    else if (volumes->parsed())
      rc = runVolumes(chosen, host, o, o.fs.empty() && o.diskScan.empty() ? &fatEngine : nullptr);
    else if (search->parsed()) rc = runSearch(chosen, host, o);
    else if (ls->parsed()) rc = runLs(chosen, host, o);
    else if (recover->parsed()) rc = runRecover(chosen, host, o);
  } catch (const ov::AlreadyReported&) {
    rc = kExitFailed;
  }

  if (!o.logFile.empty() && !host.log().saveText(o.logFile)) {
    std::fprintf(stderr, "ovrecover: Error creating log file %s\n", o.logFile.c_str());
    if (rc == kExitOk) rc = kExitFailed;
  }
  // Output that could not be written (a closed pipe, a full disk) is a failure too.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    if (rc == kExitOk) rc = kExitFailed;
  }
  return rc;
}
