#include "cli/interrupts.h"

#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

namespace ov::cli {
namespace {

std::mutex gMutex;
std::map<int, std::function<void()>> gCleanups;
int gNextHandle = 1;

void runCleanups() {
  std::lock_guard lock(gMutex);
  for (auto& [handle, cleanup] : gCleanups) cleanup();
  gCleanups.clear();
}

}  // namespace

int addAbruptExitCleanup(std::function<void()> cleanup) {
  std::lock_guard lock(gMutex);
  int handle = gNextHandle++;
  gCleanups[handle] = std::move(cleanup);
  return handle;
}

void removeAbruptExitCleanup(int handle) {
  std::lock_guard lock(gMutex);
  gCleanups.erase(handle);
}

void watchSignals(RunControl& run) {
  ::signal(SIGPIPE, SIG_IGN);
  // A file-size limit makes the write fail with EFBIG, which the save reports for that file.
  ::signal(SIGXFSZ, SIG_IGN);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set, &run]() {
    int signal = 0;
    while (sigwait(&set, &signal) == 0) {
      if (run.running()) {
        run.stop();
        continue;
      }
      // Nothing to stop cleanly: leave at once, without the files of an unfinished command.
      runCleanups();
      std::_Exit(128 + signal);
    }
  }).detach();
}

}  // namespace ov::cli
