// ovrecover carve: scan a disk or image for files by their signatures, list what was found and
// save it sorted by category and extension (or into zip archives).
#include "cli/commands_carve.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>

#include "carver/catalogue.h"
#include "carver/disc/burning.h"
#include "carver/saving.h"
#include "carver/scanner.h"
#include "disk/byte_io.h"
#include "disk/destination_guard.h"
#include "disk/sector_source.h"
#include "cli/interrupts.h"
#include "cli/listing.h"
#include "workbench/models/recovery_report.h"
#include "workbench/models/save_account.h"

namespace ov::cli {
namespace {

namespace fs = std::filesystem;
using carver::CarvedItem;
using carver::SignatureRecord;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

std::string lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string withoutDot(const std::string& ext) { return !ext.empty() && ext[0] == '.' ? ext.substr(1) : ext; }

// The Signature file beside the program, or where the build tree puts it.
std::optional<fs::path> shippedCatalogue() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return std::nullopt;
  const fs::path dir = self.parent_path();
  for (const fs::path& candidate :
       {dir / "Signature", dir / ".." / "carver" / "Signature", dir / ".." / "share" / "ov-recovery" / "Signature"})
    if (fs::is_regular_file(candidate, ec)) return candidate;
  return std::nullopt;
}

// "4M", "512K", "1G" (powers of 1024) or plain bytes, from 1 byte to 4 GiB. The record keeps the
// maximum in 32 bits, so 4 GiB itself is held as the largest value that fits rather than wrapping
// to 0 (which would mean "no maximum").
std::optional<std::uint32_t> parseMaxSize(const std::string& text) {
  std::size_t at = 0;
  std::uint64_t value = 0;
  while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
    value = value * 10 + static_cast<std::uint64_t>(text[at] - '0');
    if (value > (std::uint64_t{1} << 40)) return std::nullopt;
    ++at;
  }
  if (at == 0) return std::nullopt;
  std::string unit = lower(text.substr(at));
  std::uint64_t factor = 1;
  if (unit == "k" || unit == "kb" || unit == "kib") factor = 1024;
  else if (unit == "m" || unit == "mb" || unit == "mib") factor = 1024 * 1024;
  else if (unit == "g" || unit == "gb" || unit == "gib") factor = 1024 * 1024 * 1024;
  else if (!unit.empty() && unit != "b") return std::nullopt;
  const std::uint64_t bytes = value * factor;
  if (bytes == 0 || bytes > 4294967296ULL) return std::nullopt;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes, 0xFFFFFFFFu));
}

// The command line's host for a carve: messages and log lines through the CliHost, and a progress
// bar of its own that also shows the files found so far.
class CarveHost final : public EngineHost {
 public:
  CarveHost(CliHost& inner, const ResultTree& tree) : inner_(inner), tree_(tree), terminal_(::isatty(STDERR_FILENO) == 1) {}
  ~CarveHost() override { clear(); }

  void addLogEntry(const LogEntry& entry) override {
    clear();
    inner_.addLogEntry(entry);
  }
  void showMessage(const std::string& title, const std::string& text, MessageIcon icon) override {
    clear();
    inner_.showMessage(title, text, icon);
  }
  void progress(std::uint64_t total, std::uint64_t done) override {
    if (!terminal_ || total == 0) return;
    const auto percent = static_cast<unsigned>(done >= total ? 100 : done * 100 / total);
    const std::uint64_t found = tree_.foundCount();
    if (shown_ && percent == lastPercent_ && found == lastFound_) return;
    lastPercent_ = percent;
    lastFound_ = found;
    constexpr unsigned kWidth = 40;
    std::string bar(percent * kWidth / 100, '#');
    bar.append(kWidth - bar.size(), '.');
    if (burning_)
      std::fprintf(stderr, "\r[%s] %3u %%  writing the image: %.1f of %.1f MB\033[K", bar.c_str(), percent,
                   static_cast<double>(done) / 1048576.0, static_cast<double>(total) / 1048576.0);
    else if (saving_)
      std::fprintf(stderr, "\r[%s] %3u %%  saving: %llu of %llu files\033[K", bar.c_str(), percent,
                   static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
    else
      std::fprintf(stderr, "\r[%s] %3u %%  files found: %llu\033[K", bar.c_str(), percent,
                   static_cast<unsigned long long>(found));
    std::fflush(stderr);
    shown_ = true;
  }
  // The bar shows the counts; a burn's status tells when the image's bytes are counted instead.
  void statusText(const std::string& text) override {
    if (text == kBurningStatus || text == kBurningCompressedStatus) {
      clear();
      burning_ = true;
    }
  }

  void savingMode() {
    clear();
    saving_ = true;
  }
  void clear() {
    if (!shown_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    shown_ = false;
  }

 private:
  CliHost& inner_;
  const ResultTree& tree_;
  bool terminal_;
  bool shown_ = false;
  bool saving_ = false;
  bool burning_ = false;
  unsigned lastPercent_ = 101;
  std::uint64_t lastFound_ = 0;
};

nlohmann::json itemJson(const CarvedItem& item) {
  return {{"name", utf16ToUtf8(item.node->name)},
          {"extension", item.extension},
          {"category", item.category},
          {"start_sector", item.startSector},
          {"size", item.size},
          {"size_known", item.sizeKnown}};
}

// What was found, written into a disc image: staged in "OVTmp" beside the image (on the same
// file system, which the checks before the scan passed), then written through libburn's file
// pseudo-drive. The staging folder goes whatever the end; so does an image not written whole.
int burnImage(CarveHost& host, RunControl& run, ResultTree& tree, carver::CarverDisk& disk, const CarveOptions& o,
              const fs::path& isoFolder, int rc) {
  setChecked(tree.root(), true);
  SaveSettings settings;
  settings.compress = o.zip;
  settings.source = identifySource(o.source);
  for (const auto& e : o.exclude)
    if (!e.empty()) settings.excludedExtensions.push_back(utf8ToUtf16(withoutDot(e)));
  settings.askSaveUncompressed = [](const std::string&) { return true; };
  BurnSettings burn;
  burn.imagePath = o.iso;
  burn.cacheFolder = isoFolder.string();
  std::map<std::string, std::unique_ptr<AbruptExitCleanup>> temporary;
  burn.trackTemporary = [&temporary](const std::string& path, bool exists) {
    if (exists)
      temporary[path] = std::make_unique<AbruptExitCleanup>([path] {
        std::error_code ec;
        fs::remove_all(path, ec);
      });
    else
      temporary.erase(path);
  };
  host.savingMode();
  run.start();
  const BurnReport burned = burnMarkedItems(tree.root(), disk, settings, burn, host, run);
  host.clear();
  temporary.clear();
  if (burned.outcome != BurnOutcome::Completed) return kFailed;
  std::fprintf(stderr, "ovrecover: disc image %s: %llu bytes\n", o.iso.c_str(),
               static_cast<unsigned long long>(burned.imageBytes));
  for (const std::string& line : burned.staged.account.summary(o.iso))
    std::fprintf(stderr, "ovrecover: %s\n", printable(line).c_str());
  return burned.staged.account.complete() ? rc : kFailed;
}

}  // namespace

int runCarve(CliHost& cliHost, RunControl& run, const CarveOptions& o) {
  if (o.outDir.empty() && o.iso.empty() && !o.listOnly) {
    std::fprintf(stderr, "ovrecover: carve needs --out DIR or --iso FILE.iso (or --list-only)\n");
    return kUsage;
  }
  if (!o.outDir.empty() && !o.iso.empty()) {
    std::fprintf(stderr, "ovrecover: carve takes either --out or --iso\n");
    return kUsage;
  }
  if (!o.reportFile.empty() && (o.outDir.empty() || o.zip || o.listOnly)) {
    std::fprintf(stderr, "ovrecover: carve --report needs --out, without --zip or --list-only\n");
    return kUsage;
  }
  fs::path isoFolder;
  if (!o.iso.empty() && !o.listOnly) {
    // Known before a scan that may take hours: the image is a new file in an existing folder.
    std::error_code ec;
    isoFolder = fs::absolute(fs::path(o.iso), ec).parent_path();
    if (fs::symlink_status(o.iso, ec).type() != fs::file_type::not_found) {
      std::fprintf(stderr, "ovrecover: %s exists; remove it or choose another name\n", o.iso.c_str());
      return kFailed;
    }
    if (!fs::is_directory(isoFolder, ec)) {
      std::fprintf(stderr, "ovrecover: the folder %s does not exist\n", isoFolder.c_str());
      return kFailed;
    }
  }
  std::uint32_t maxSize = 0;
  if (!o.maxSize.empty()) {
    auto parsed = parseMaxSize(o.maxSize);
    if (!parsed) {
      std::fprintf(stderr, "ovrecover: --max-size takes 1 byte to 4G, e.g. 512K, 8M or 1G (got '%s')\n",
                   o.maxSize.c_str());
      return kUsage;
    }
    maxSize = *parsed;
  }

  fs::path cataloguePath;
  if (!o.catalogue.empty()) {
    cataloguePath = o.catalogue;
  } else if (auto shipped = shippedCatalogue()) {
    cataloguePath = *shipped;
  } else {
    std::fprintf(stderr, "ovrecover: the carver's Signature file was not found beside the program; give --catalogue FILE\n");
    return kFailed;
  }
  if (std::string defect = carver::catalogueFileDefect(cataloguePath); !defect.empty()) {
    std::fprintf(stderr, "ovrecover: the catalogue %s is not valid: %s\n", cataloguePath.c_str(), defect.c_str());
    return kFailed;
  }
  auto catalogue = carver::LoadCatalogue(cataloguePath);
  if (!catalogue || catalogue->empty()) {
    std::fprintf(stderr, "ovrecover: Failed to retrieve signatures (%s)\n", cataloguePath.c_str());
    return kFailed;
  }

  // Choose the types: every type unless narrowed by extension and category.
  std::vector<std::string> wanted;
  for (const auto& t : o.types)
    if (!t.empty()) wanted.push_back(lower(withoutDot(t)));
  for (const auto& w : wanted) {
    bool known = std::any_of(catalogue->begin(), catalogue->end(),
                             [&](const SignatureRecord& r) { return lower(r.extension) == w; });
    if (!known) {
      std::fprintf(stderr, "ovrecover: no file type with the extension '%s' in the catalogue\n", w.c_str());
      return kUsage;
    }
  }
  if (!o.category.empty() &&
      std::none_of(catalogue->begin(), catalogue->end(),
                   [&](const SignatureRecord& r) { return lower(r.category) == lower(o.category); })) {
    std::fprintf(stderr, "ovrecover: no category '%s' in the catalogue\n", o.category.c_str());
    return kUsage;
  }
  for (auto& r : *catalogue) {
    bool chosen = wanted.empty() || std::find(wanted.begin(), wanted.end(), lower(r.extension)) != wanted.end();
    if (!o.category.empty() && lower(r.category) != lower(o.category)) chosen = false;
    r.selected = chosen ? 1 : 0;
  }
  carver::SelectedList selected = carver::buildSelectedList(*catalogue, maxSize);
  if (selected.records.empty()) {
    std::fprintf(stderr, "ovrecover: no file type chosen (--types and --category leave none)\n");
    return kUsage;
  }

  ResultTree tree;
  CarveHost host(cliHost, tree);
  carver::CarverDisk disk(host);
  if (int error = disk.open(o.source, o.sectorSize)) {
    if (!disk.openFailure().empty()) std::fprintf(stderr, "ovrecover: %s\n", disk.openFailure().c_str());
    else std::fprintf(stderr, "ovrecover: cannot open %s: %s\n", o.source.c_str(), systemErrorText(error).c_str());
    return kFailed;
  }
  if (disk.totalSectors() == 0) {
    std::fprintf(stderr, "ovrecover: %s holds no whole sector\n", o.source.c_str());
    return kFailed;
  }

  carver::CarvingScanner scanner(disk, host, run, tree);
  const carver::ScanReport report = scanner.scan(selected.records, selected.count);
  host.clear();

  // The listing, by start sector.
  std::vector<const CarvedItem*> items;
  for (const auto& item : scanner.items()) items.push_back(&item);
  std::stable_sort(items.begin(), items.end(),
                   [](const CarvedItem* a, const CarvedItem* b) { return a->startSector < b->startSector; });
  if (o.json) {
    std::fputs(items.empty() ? "[]\n" : "[\n", stdout);
    for (std::size_t i = 0; i < items.size(); ++i) {
      std::string text = itemJson(*items[i]).dump();
      std::fprintf(stdout, "  %s%s\n", text.c_str(), i + 1 < items.size() ? "," : "");
    }
    if (!items.empty()) std::fputs("]\n", stdout);
  } else {
    for (const CarvedItem* item : items)
      std::printf("%-28s  sector %-12llu  %12llu bytes  %s\n", utf16ToUtf8(item->node->name).c_str(),
                  static_cast<unsigned long long>(item->startSector), static_cast<unsigned long long>(item->size),
                  item->sizeKnown      ? "end found"
                  : item->sizeFromFile ? "end not found, size from the file"
                                       : "end not found, size by rule");
  }
  std::fflush(stdout);

  const char* how = report.outcome == carver::ScanOutcome::Completed ? "scan completed"
                    : report.outcome == carver::ScanOutcome::Stopped ? "scan stopped"
                                                                       : "scan ended early";
  std::fprintf(stderr, "ovrecover: %s: %llu files found\n", how, static_cast<unsigned long long>(report.found));
  int rc = report.outcome == carver::ScanOutcome::Completed ? kOk : kFailed;
  if (o.listOnly || items.empty()) return rc;

  if (!o.iso.empty()) return burnImage(host, run, tree, disk, o, isoFolder, rc);

  // The destination was checked before the scan; it is made only now that there is something to save.
  std::error_code ec;
  fs::create_directories(o.outDir, ec);
  if (!fs::is_directory(o.outDir, ec)) {
    std::fprintf(stderr, "ovrecover: cannot create %s\n", o.outDir.c_str());
    return kFailed;
  }
  // What was found is saved even after a stop; a second stop ends the save.
  setChecked(tree.root(), true);
  SaveSettings settings;
  settings.destination = o.outDir;
  settings.compress = o.zip;
  settings.source = identifySource(o.source);
  for (const auto& e : o.exclude)
    if (!e.empty()) settings.excludedExtensions.push_back(utf8ToUtf16(withoutDot(e)));
  settings.askSaveUncompressed = [](const std::string&) { return true; };
  // A program ended at once by a signal leaves the file (or archive) being written as ".partial".
  std::map<std::pair<int, std::string>, std::unique_ptr<AbruptExitCleanup>> open;
  settings.trackOutput = [&open](int folderFd, const std::string& name, bool opened) {
    if (opened)
      open[{folderFd, name}] = std::make_unique<AbruptExitCleanup>(
          [folderFd, name] { setAsideIncomplete(folderFd, name, true); });
    else
      open.erase({folderFd, name});
  };
  std::optional<RecoveryReport> carveReport;
  if (!o.reportFile.empty()) {
    std::string why;
    carveReport = RecoveryReport::create(o.reportFile, why);
    if (!carveReport) {
      std::fprintf(stderr, "ovrecover: cannot create the report %s: %s\n", o.reportFile.c_str(), why.c_str());
      return kFailed;
    }
    const std::uint32_t sectorBytes = disk.sectorSize();
    carveReport->begin({o.source, disk.totalSectors() * sectorBytes, sectorBytes, {}}, {"carved", "", 0, 0},
                       o.commandLine);
    settings.fileSaved = [&carveReport, sectorBytes](const ResultNode& item, int folderFd, const std::string& name,
                                                     const std::string& path) {
      ReportedFile r;
      r.carved = true;
      r.savedPath = path;
      r.size = item.size;
      r.written = item.size;
      r.state = "whole";
      r.layout.runs.push_back({0, item.startSector() * sectorBytes, item.size, false});
      int fd = ::openat(folderFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
      if (fd >= 0) {
        r.sha256 = sha256OfFile(fd);
        ::close(fd);
      }
      carveReport->add(r);
    };
  }
  host.savingMode();
  run.start();
  SaveReport saved = saveMarkedItems(tree.root(), disk, settings, host, run);
  host.clear();
  open.clear();
  if (carveReport &&
      !carveReport->finish(saved.account.savedCount(), saved.account.failures().size())) {
    std::fprintf(stderr, "ovrecover: the report %s could not be written whole\n", o.reportFile.c_str());
    rc = kFailed;
  }
  if (saved.outcome != SaveOutcome::Completed || !saved.account.complete()) rc = kFailed;
  if (o.zip) {
    for (const auto& archive : saved.archives) std::fprintf(stderr, "ovrecover: archive %s\n", archive.c_str());
  }
  const std::string where = saved.resultFolder.empty() ? o.outDir : saved.resultFolder;
  for (const std::string& line : saved.account.summary(where))
    std::fprintf(stderr, "ovrecover: %s\n", printable(line).c_str());
  return rc;
}

}  // namespace ov::cli
