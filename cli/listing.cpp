#include "cli/listing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>

#include "cli/commands.h"
#include "cli/interrupts.h"
#include "disk/destination_guard.h"
#include "workbench/models/file_saving.h"
#include "workbench/models/save_account.h"
#include "disk/byte_io.h"
#include "disk/sector_source.h"

namespace ov::cli {

std::string isoDate(std::uint16_t d) {
  unsigned day = d & 31u, month = (d >> 5) & 15u, year = (d >> 9) + 1980u;
  if (d == 0 || day == 0 || month == 0 || month > 12) return {};
  char text[16];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u", year, month, day);
  return text;
}

nlohmann::json dateJson(std::uint16_t d) {
  std::string text = isoDate(d);
  return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

std::string joined(const std::vector<std::string>& path) {
  std::string out;
  for (const auto& part : path) out += (out.empty() ? "" : "/") + part;
  return out;
}

std::string printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    char hex[8];
    if (c < 0x20 || c == 0x7F) {
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      // U+0080-U+009F: the C1 controls, which some terminals obey too.
      std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned char>(text[i + 1]));
      out += hex;
      ++i;
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

bool stdoutBroken() { return std::ferror(stdout) != 0; }

bool warnIncompleteTree(bool incomplete, bool listing) {
  if (!incomplete) return false;
  std::fprintf(stderr, "ovrecover: the recovered tree is incomplete: processing did not run to the end (stopped, or "
               "the source failed); %s\n",
               listing ? "what was found so far is listed" : "nothing is saved from it");
  return true;
}

int saveFiles(const std::string& outDir, std::vector<PlannedFile>& files, SectorSource& source, CliHost& host,
              const std::function<void(std::uint64_t)>& onProgress, int rc, const FileDoneHook& fileDone) {
  SaveAccount account;
  account.plan(files.size());
  auto report = [&]() {
    host.progress(1, 1);
    for (const std::string& line : account.summary(outDir)) std::fprintf(stderr, "%s\n", printable(line).c_str());
    // The log keeps every file that failed, also when the summary scrolled away.
    for (const auto& p : account.failures())
      host.log().add(LogEntry{"Saving failed: " + p.path, p.reason, LogKind::Aborted, {}});
    for (const auto& p : account.interruptions())
      host.log().add(LogEntry{"Saving interrupted: " + p.path, p.reason, LogKind::Aborted, {}});
    for (const auto& p : account.notes()) host.log().add(LogEntry{"Saved: " + p.path, p.reason, LogKind::Aborted, {}});
    return account.complete() ? rc : kExitFailed;
  };

  // The destination is made only now, after every check has passed and something is to be saved.
  if (auto identity = identifySource(source)) {
    if (std::string why = destinationConflict(*identity, outDir); !why.empty()) {
      std::fprintf(stderr, "ovrecover: %s\n", why.c_str());
      return kExitUsage;
    }
  }
  std::error_code ec;
  std::filesystem::create_directories(outDir, ec);
  int error = 0;
  OutputFolder destination = OutputFolder::open(outDir, error);
  if (!destination.isOpen()) {
    std::fprintf(stderr, "ovrecover: cannot use %s as destination: %s\n", outDir.c_str(),
                 systemErrorText(ec ? ec.value() : error).c_str());
    return report();
  }

  SaveHooks hooks;
  hooks.beforeFile = onProgress;
  hooks.fileDone = fileDone;
  // A second Ctrl+C ends the program at once: the file being written is then kept as ".partial".
  std::map<std::pair<int, std::string>, std::unique_ptr<AbruptExitCleanup>> open;
  hooks.trackOutput = [&open](int folderFd, const std::string& name, bool opened) {
    if (opened)
      open[{folderFd, name}] =
          std::make_unique<AbruptExitCleanup>([folderFd, name] { setAsideIncomplete(folderFd, name, true); });
    else
      open.erase({folderFd, name});
  };
  account = saveRecoveredFiles(destination, files, source, hooks);
  return report();
}

}  // namespace ov::cli
