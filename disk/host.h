// The one interface through which an engine talks to the program that owns it.
//
// The Qt workbench, the command line and the tests each implement EngineHost.
// Engines never show anything themselves: they hand log entries, progress and
// error reports to the host and, after an error report, throw AlreadyReported
// so that the operation unwinds quietly to its outer level.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>

namespace ov {

enum class LogKind : std::uint8_t { Started = 0, Aborted = 1, Completed = 2 };

struct LogEntry {
  std::string name;
  std::string description;
  LogKind kind = LogKind::Started;
  std::string logTime;  // stamped by the process log when the entry is added
};

// The failure has been shown to the user already; the operation ends without a further message.
struct AlreadyReported : std::exception {
  const char* what() const noexcept override { return "already reported"; }
};

enum class MessageIcon { Information, Error, Warning, Question };

class EngineHost {
 public:
  virtual ~EngineHost() = default;

  // A line for the process log; the call returns once the entry is in the log.
  virtual void addLogEntry(const LogEntry& entry) = 0;
  // A modal message (title "Error" or "Information"); returns when the user has seen it.
  virtual void showMessage(const std::string& title, const std::string& text, MessageIcon icon) = 0;

  virtual void progress(std::uint64_t total, std::uint64_t done) { (void)total; (void)done; }
  virtual void statusText(const std::string& text) { (void)text; }
  virtual void processingFinished(int code) { (void)code; }

  // The lost-volume search dialog.
  virtual void searchProgress(std::uint64_t position, std::uint64_t end) { (void)position; (void)end; }
  virtual void volumeFound(std::uint64_t startSector) { (void)startSector; }
  // A volume of a kind named apart from the engine's own word ("exFAT" in the FAT program's
  // "FAT logical drive #N" rows); hosts that do not tell kinds apart take it as volumeFound.
  virtual void volumeFoundAs(std::uint64_t startSector, const std::string& driveWord) {
    (void)driveWord;
    volumeFound(startSector);
  }
  virtual void searchFinished(bool completed) { (void)completed; }

  // Shows the error and throws AlreadyReported.
  [[noreturn]] void fail(const std::string& text, const std::string& title = "Error") {
    showMessage(title, text, MessageIcon::Error);
    throw AlreadyReported{};
  }
};

// The `running` flag shared by the user-interface thread and the worker, and the pause gate
// that stands in for suspending the worker thread.
class RunControl {
 public:
  bool running() const { return running_.load() != 0; }
  void start() { running_.store(1); }
  void stop() {
    running_.store(0);
    resume();
  }

  void pause() {
    std::lock_guard lock(mutex_);
    paused_ = true;
  }
  void resume() {
    {
      std::lock_guard lock(mutex_);
      paused_ = false;
    }
    gate_.notify_all();
  }
  bool paused() const {
    std::lock_guard lock(mutex_);
    return paused_;
  }

  // Called by the worker at each test of `running`: waits while paused, then tells whether to go on.
  bool proceed() {
    std::unique_lock lock(mutex_);
    gate_.wait(lock, [this] { return !paused_; });
    return running_.load() != 0;
  }

 private:
  std::atomic<std::uint32_t> running_{0};
  mutable std::mutex mutex_;
  std::condition_variable gate_;
  bool paused_ = false;
};

}  // namespace ov
