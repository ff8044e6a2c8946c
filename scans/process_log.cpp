#include "scans/process_log.h"

#include <array>
#include <cstdio>
#include <fstream>

namespace ov {
namespace {
constexpr std::array<const char*, 7> kWeekdays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May",  "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<const char*, 12> kFileMonths = {"Jan", "Feb", "Mar", "Apr", "May",  "Jun",
                                                     "Jul", "Aug", "Sept", "Oct", "Nov", "Dec"};
const std::string kDashes68(68, '-');

int clampIndex(int value, int size) { return value < 0 ? 0 : (value >= size ? size - 1 : value); }
}  // namespace

std::string logTimeText(const std::tm& t) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%s %s %2d %04d %02d:%02d:%02d", kWeekdays[static_cast<std::size_t>(clampIndex(t.tm_wday, 7))],
                kMonths[static_cast<std::size_t>(clampIndex(t.tm_mon, 12))], t.tm_mday, t.tm_year + 1900, t.tm_hour,
                t.tm_min, t.tm_sec);
  return buffer;
}

std::string monthAbbreviation(int month) { return kFileMonths[static_cast<std::size_t>(clampIndex(month, 12))]; }

std::string defaultLogFileName(const std::tm& t, const std::string& fileSystem) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, "OV %s Process Log # %s, %02d-%s-%u.txt", fileSystem.c_str(),
                kWeekdays[static_cast<std::size_t>(clampIndex(t.tm_wday, 7))], t.tm_mday,
                monthAbbreviation(t.tm_mon).c_str(), static_cast<unsigned>(t.tm_year + 1900));
  return buffer;
}

void ProcessLog::add(LogEntry entry) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  add(std::move(entry), local);
}

void ProcessLog::add(LogEntry entry, const std::tm& now) {
  entry.logTime = logTimeText(now);
  entries_.push_back(std::move(entry));
}

void ProcessLog::processState(LoggedProcess process, ProcessState state) {
  switch (state) {
    case ProcessState::Completed:
    case ProcessState::Aborted: {
      bool completed = state == ProcessState::Completed;
      runEntry_.name = (completed ? "Completed " : "Aborted ") + runEntry_.name;
      runEntry_.kind = completed ? LogKind::Completed : LogKind::Aborted;
      add(runEntry_);
      break;
    }
    case ProcessState::Paused:
    case ProcessState::Resumed: {
      static constexpr std::array<const char*, 3> kNames = {"Disk Cloning", "Disk Imaging",
                                                            "Internal File processing"};
      auto index = static_cast<std::size_t>(clampIndex(static_cast<int>(process), 3));
      add(LogEntry{kNames[index], state == ProcessState::Paused ? "Process Paused" : "Process Resumed",
                   LogKind::Started, {}});
      break;
    }
  }
}

std::string ProcessLog::text() const {
  std::string out = "------------------------" + programTitle_ + " v2\t.0.1  Process Log------------------------\n\n";
  out += "\n" + kDashes68;
  for (const auto& e : entries_) {
    out += "\n" + e.name;
    out += "\n\t\t" + e.description;
    out += "\n\t\t" + e.logTime;
    out += "\n" + kDashes68;
  }
  return out;
}

bool ProcessLog::saveText(const std::string& path) const {
  std::ofstream file(path, std::ios::out | std::ios::trunc | std::ios::binary);
  if (!file) return false;
  std::string body = text();
  file.write(body.data(), static_cast<std::streamsize>(body.size()));
  file.close();
  return !file.fail();
}

namespace {
constexpr std::uint64_t kSizeCutsOneByOne = 100;
}

SizeCutLog::~SizeCutLog() {
  if (count_ > kSizeCutsOneByOne)
    host_.addLogEntry(LogEntry{"Sizes cut for " + std::to_string(count_ - kSizeCutsOneByOne) + " more entries",
                               "their metadata claims more data than the volume can hold", LogKind::Aborted, {}});
}

void SizeCutLog::note(const std::string& what, std::uint64_t claimedSize, std::uint64_t keptSize) {
  if (++count_ > kSizeCutsOneByOne) return;
  host_.addLogEntry(LogEntry{"Size cut: " + what,
                             "claims " + std::to_string(claimedSize) + " bytes, its data can hold at most " +
                                 std::to_string(keptSize),
                             LogKind::Aborted, {}});
}

}  // namespace ov
