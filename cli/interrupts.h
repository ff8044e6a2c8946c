// Signals and the command line: stopping cleanly, and what is undone when the program has to
// end at once.
#pragma once

#include <functional>

#include "disk/host.h"

namespace ov::cli {

// Handles SIGINT, SIGTERM and SIGHUP on a thread of its own: while an operation runs, a signal
// clears `running`, so the operation stops at its next check and the command ends normally
// (removing its working files, marking an interrupted file as partial). A signal while nothing
// runs (a second Ctrl+C) ends the program at once, after the registered cleanups. SIGPIPE is
// ignored: a closed output pipe makes the listing stop (see stdoutBroken) and the command end
// normally, instead of killing the program with its working files left behind. SIGXFSZ too: a
// file-size limit then fails the one write (EFBIG) that passes it.
void watchSignals(RunControl& run);

// Work to do before an abrupt end; the handle removes it again. Cleanups run on the signal
// thread while the main thread may be anywhere: they only rename or remove paths.
int addAbruptExitCleanup(std::function<void()> cleanup);
void removeAbruptExitCleanup(int handle);

// Registers a cleanup for the lifetime of a scope.
class AbruptExitCleanup {
 public:
  explicit AbruptExitCleanup(std::function<void()> cleanup) : handle_(addAbruptExitCleanup(std::move(cleanup))) {}
  ~AbruptExitCleanup() { removeAbruptExitCleanup(handle_); }
  AbruptExitCleanup(const AbruptExitCleanup&) = delete;
  AbruptExitCleanup& operator=(const AbruptExitCleanup&) = delete;

 private:
  int handle_;
};

}  // namespace ov::cli
