#include "workbench/models/file_saving.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace ov {
namespace {

std::string below(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

}  // namespace

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
    if (fd < 0) {
      account.failed(path, std::string(folder ? "cannot create it: " : "cannot create its folder: ") +
                               systemErrorText(error));
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
    if (threw || closeError != 0) {
      std::string kept = setAsideIncomplete(folderFd, usedName, written > 0);
      std::string reason = writeError != 0 ? "cannot write it: " + systemErrorText(writeError)
                                           : std::string("the source could not be read");
      account.failed(path, reason, kept.empty() ? "" : below(folderPath, kept));
      // A failing source, or a destination that cannot take more, ends the save.
      if (writeError == 0 || writeErrorEndsSave(writeError)) break;
      continue;
    }
    if (!valid) {
      ::unlinkat(folderFd, usedName.c_str(), 0);
      account.failed(path, "its record is no longer valid; nothing saved");
      continue;
    }
    if (written < file.size && !run.running()) {
      std::string kept = setAsideIncomplete(folderFd, usedName, written > 0);
      account.interrupted(path, kept.empty() ? "" : below(folderPath, kept));
      break;
    }
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
  }
  if (!run.running()) account.stoppedByUser();
  run.stop();
  return account;
}

}  // namespace ov
