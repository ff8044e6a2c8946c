#include "workbench/models/file_saving.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace ov {
namespace {

std::string below(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

}  // namespace

std::optional<std::int64_t> epochSeconds(const FileTime& t, bool utc) {
  if (!t.known) return std::nullopt;
  if (utc) return t.seconds;
  std::tm tm{};
  const std::time_t seconds = static_cast<std::time_t>(t.seconds);
  if (!gmtime_r(&seconds, &tm)) return std::nullopt;
  tm.tm_isdst = -1;
  const std::time_t local = std::mktime(&tm);
  if (local == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<std::int64_t>(local);
}

bool applyFileTimes(int folderFd, const std::string& name, const FileTimes& times) {
  struct timespec ts[2];
  auto take = [&times](const FileTime& t, struct timespec& out) {
    auto seconds = epochSeconds(t, times.utc);
    if (!seconds) {
      out.tv_sec = 0;
      out.tv_nsec = UTIME_OMIT;
      return false;
    }
    out.tv_sec = static_cast<std::time_t>(*seconds);
    out.tv_nsec = static_cast<long>(t.nanoseconds);
    return true;
  };
  const bool access = take(times.accessed, ts[0]);
  const bool modification = take(times.modified, ts[1]);
  if (!access && !modification) return true;
  return ::utimensat(folderFd, name.c_str(), ts, AT_SYMLINK_NOFOLLOW) == 0;
}

SaveAccount saveRecoveredFiles(const OutputFolder& destination, std::vector<PlannedFile>& files, SectorSource& source,
                               const SaveHooks& hooks) {
  SaveAccount account;
  account.plan(files.size());
  auto track = [&hooks](int folderFd, const std::string& name, bool open) {
    if (hooks.trackOutput) hooks.trackOutput(folderFd, name, open);
  };
  int error = 0;
  OutputTree tree(destination);
  std::uint64_t doneBefore = 0;
  RunControl& run = source.run();
  run.start();
  for (auto& file : files) {
    if (!run.proceed()) break;
    if (hooks.beforeFile) hooks.beforeFile(doneBefore);
    doneBefore += file.size;
    std::string folderPath;
    const OutputFolder* folder = tree.folder(file.folders, error, folderPath);
    std::string usedName = safeOutputName(file.name);
    int fd = folder ? folder->createFile(file.name, usedName, error) : -1;
    const std::string path = below(folderPath, usedName);
    auto done = [&](FileSaveState state, const std::string& keptName, std::uint64_t written, std::uint64_t skipped,
                    const std::string& note) {
      if (!hooks.fileDone) return;
      FileSaveOutcome outcome;
      outcome.state = state;
      outcome.path = path;
      outcome.keptPath = keptName.empty() ? std::string() : below(folderPath, keptName);
      outcome.folderFd = folder ? folder->fd() : -1;
      outcome.keptName = keptName;
      outcome.written = written;
      outcome.skippedSectors = skipped;
      outcome.note = note;
      hooks.fileDone(file, outcome);
    };
    if (fd < 0) {
      account.failed(path, std::string(folder ? "cannot create it: " : "cannot create its folder: ") +
                               systemErrorText(error));
      done(FileSaveState::Failed, {}, 0, 0, account.failures().back().reason);
      if (writeErrorEndsSave(error)) break;
      continue;
    }
    const int folderFd = folder->fd();
    // Until the file is settled (whole, set aside or removed) it counts as open.
    struct Settled {
      std::function<void()> done;
      ~Settled() { done(); }
    } settled{[&track, folderFd, usedName] { track(folderFd, usedName, false); }};
    track(folderFd, usedName, true);
    std::uint64_t written = 0;
    bool valid = true, threw = false;
    source.clearWriteError();
    const std::uint64_t skippedBefore = source.skippedSectors();
    try {
      valid = file.save(fd, written);
    } catch (const AlreadyReported&) {
      threw = true;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) > written)
      written = static_cast<std::uint64_t>(st.st_size);  // the part written before a failure
    int closeError = ::close(fd) != 0 ? errno : 0;
    const int writeError = threw ? source.lastWriteError() : closeError;
    const std::uint64_t skipped = source.skippedSectors() - skippedBefore;
    if (threw || closeError != 0) {
      std::string kept = setAsideIncomplete(folderFd, usedName, written > 0);
      std::string reason = writeError != 0 ? "cannot write it: " + systemErrorText(writeError)
                                           : std::string("the source could not be read");
      account.failed(path, reason, kept.empty() ? "" : below(folderPath, kept));
      done(FileSaveState::Failed, kept, written, skipped, reason);
      // A failing source, or a destination that cannot take more, ends the save.
      if (writeError == 0 || writeErrorEndsSave(writeError)) break;
      continue;
    }
    if (!valid) {
      ::unlinkat(folderFd, usedName.c_str(), 0);
      account.failed(path, "its record is no longer valid; nothing saved");
      done(FileSaveState::Failed, {}, 0, skipped, account.failures().back().reason);
      continue;
    }
    if (written < file.size && !run.running()) {
      std::string kept = setAsideIncomplete(folderFd, usedName, written > 0);
      account.interrupted(path, kept.empty() ? "" : below(folderPath, kept));
      done(FileSaveState::Interrupted, kept, written, skipped, "stopped while it was being saved");
      break;
    }
    // The copy keeps the file's times (a destination that cannot take them keeps the copy's own).
    applyFileTimes(folderFd, usedName, file.times);
    const std::size_t notesBefore = account.notes().size();
    if (file.sizeCut)
      account.savedWithNote(path, written,
                            "its entry claims " +
                                (file.claimedSize != 0 ? std::to_string(file.claimedSize) + " bytes" : std::string("more")) +
                                ", more than the volume can hold; " + std::to_string(written) + " bytes saved");
    else if (!file.damageNote.empty())
      account.savedWithNote(path, written, "possibly damaged: " + file.damageNote);
    else if (written < file.size)
      account.savedWithNote(path, written,
                            "only " + std::to_string(written) + " of its " + std::to_string(file.size) +
                                " bytes are on the volume");
    else
      account.saved(written);
    const bool noted = account.notes().size() > notesBefore;
    const bool cut = file.sizeCut || written < file.size;
    done(skipped > 0 ? FileSaveState::UnreadableSectors : cut ? FileSaveState::Partial : FileSaveState::Whole,
         usedName, written, skipped, noted ? account.notes().back().reason : std::string());
  }
  if (!run.running()) account.stoppedByUser();
  run.stop();
  return account;
}

}  // namespace ov
