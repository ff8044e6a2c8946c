// The account of one save of recovered or carved files: what was saved, what failed and why,
// what was never tried, and where incomplete files were left. A save that could not write every
// byte of every chosen file is not complete, and says so file by file. Shared by the command line
// and the desktop programs' saving, so that both report a save the same way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ov {

// An output file that could not be written whole is never left under its own name.
inline constexpr const char* kPartialSuffix = ".partial";

// Whether a write error means that the next file would fail the same way (the destination is
// full, gone or read-only), which ends a save; other errors (a file too large for the destination,
// a name it refuses) concern one file only.
bool writeErrorEndsSave(int error);

// Puts aside an output file in the folder `folderFd` that could not be written whole: with
// `keepBytes` (something was written) it is renamed to name + ".partial" ("#0" + that, "#1" + ...
// when taken, never replacing anything); else it is removed. Returns the name it now has, or
// empty when it was removed (or could not be renamed and was removed instead).
std::string setAsideIncomplete(int folderFd, const std::string& name, bool keepBytes);

class SaveAccount {
 public:
  struct Problem {
    std::string path;     // as saved, below the destination
    std::string reason;
    std::string partial;  // where the incomplete bytes were kept (below the destination); may be empty
  };

  // The number of files chosen for this save; the ones never reached count as not tried.
  void plan(std::uint64_t files) { planned_ = files; }
  void saved(std::uint64_t bytes);
  // A chosen file that the user decided, when asked during the save, not to keep.
  void leftOutByUser() {
    if (planned_ > 0) --planned_;
  }
  // Saved, with something the user should know (its size was cut, less data than its size).
  void savedWithNote(const std::string& path, std::uint64_t bytes, const std::string& note);
  void failed(const std::string& path, const std::string& reason, const std::string& partial = {});
  // Stopped by the user while this file was being written.
  void interrupted(const std::string& path, const std::string& partial);
  // The user stopped the save (the files not reached count as not tried).
  void stoppedByUser() { stopped_ = true; }
  bool stopped() const { return stopped_ || !interruptions_.empty(); }

  std::uint64_t planned() const { return planned_; }
  std::uint64_t savedCount() const { return saved_; }
  std::uint64_t savedBytes() const { return bytes_; }
  std::uint64_t tried() const { return saved_ + failures_.size() + interruptions_.size(); }
  std::uint64_t untried() const { return planned_ > tried() ? planned_ - tried() : 0; }
  const std::vector<Problem>& failures() const { return failures_; }
  const std::vector<Problem>& interruptions() const { return interruptions_; }
  const std::vector<Problem>& notes() const { return notes_; }
  // Every chosen file saved whole.
  bool complete() const { return failures_.empty() && interruptions_.empty() && untried() == 0; }

  // The summary: one line with the counts, then one line per failed, interrupted or noted file.
  std::vector<std::string> summary(const std::string& destination) const;

 private:
  std::uint64_t planned_ = 0;
  bool stopped_ = false;
  std::uint64_t saved_ = 0;
  std::uint64_t bytes_ = 0;
  std::vector<Problem> failures_;
  std::vector<Problem> interruptions_;
  std::vector<Problem> notes_;
};

}  // namespace ov
