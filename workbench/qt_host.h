// The desktop programs' engine host and worker.
//
// The engine runs on one worker thread. Everything it reports (log lines, messages, progress,
// status text, the search dialog's messages) reaches the GUI thread through QtEngineHost with a
// blocking queued call, so the worker waits until the window has taken it, in order. The GUI
// thread never waits for the worker: it starts a job and is told when the job is done.
#pragma once

#include <QObject>
#include <QPointer>
#include <QThread>

#include <atomic>
#include <functional>

#include "disk/host.h"

namespace ov::workbench {

// Receives the lost-volume search's messages while a search dialog is open.
class SearchListener {
 public:
  virtual ~SearchListener() = default;
  virtual void onSearchProgress(std::uint64_t position, std::uint64_t end) = 0;
  virtual void onVolumeFound(std::uint64_t startSector, const std::string& driveWord) = 0;
  virtual void onSearchFinished(bool completed) = 0;
};

// What the main window does with the engine's reports; called on the GUI thread.
class HostWindow {
 public:
  virtual ~HostWindow() = default;
  virtual void addLogEntry(const LogEntry& entry) = 0;
  virtual void showMessage(const std::string& title, const std::string& text, MessageIcon icon) = 0;
  virtual void showProgress(std::uint64_t total, std::uint64_t done) = 0;
  virtual void showStatusText(const std::string& text) = 0;
  virtual void processingFinished(int code) = 0;
};

class QtEngineHost final : public QObject, public EngineHost {
  Q_OBJECT
 public:
  explicit QtEngineHost(QObject* parent = nullptr);

  void setWindow(HostWindow* window) { window_ = window; }
  void setSearchListener(SearchListener* listener) { search_ = listener; }

  void addLogEntry(const LogEntry& entry) override;
  void showMessage(const std::string& title, const std::string& text, MessageIcon icon) override;
  void progress(std::uint64_t total, std::uint64_t done) override;
  void statusText(const std::string& text) override;
  void processingFinished(int code) override;
  void searchProgress(std::uint64_t position, std::uint64_t end) override;
  void volumeFound(std::uint64_t startSector) override { volumeFoundAs(startSector, {}); }
  void volumeFoundAs(std::uint64_t startSector, const std::string& driveWord) override;
  void searchFinished(bool completed) override;

  // The last progress values, as the worker published them.
  std::uint64_t progressTotal() const { return total_.load(); }
  std::uint64_t progressDone() const { return done_.load(); }

 private:
  // Runs `call` on the GUI thread: at once when already there, else blocking the caller.
  void onGuiThread(const std::function<void()>& call);

  HostWindow* window_ = nullptr;
  SearchListener* search_ = nullptr;
  std::atomic<std::uint64_t> total_{0};
  std::atomic<std::uint64_t> done_{0};
  std::atomic<std::uint32_t> shownPermille_{1001};
};

// One worker thread that runs one job at a time.
class EngineWorker final : public QObject {
  Q_OBJECT
 public:
  explicit EngineWorker(QObject* parent = nullptr);
  ~EngineWorker() override;

  bool busy() const { return busy_; }
  // Runs `job` on the worker; `done` runs on the GUI thread afterwards. False when busy.
  // An AlreadyReported escaping the job ends it quietly (the failure has been shown).
  bool start(std::function<void()> job, std::function<void()> done = {});
  // Runs `job` on the worker and spins the GUI's event loop until it is done, so that the
  // windows stay responsive while a short disk operation runs. False when busy.
  bool runAndWait(const std::function<void()>& job);

 Q_SIGNALS:
  void busyChanged(bool busy);

 private:
  QThread thread_;
  QObject* context_ = nullptr;  // lives on the worker thread
  bool busy_ = false;
};

}  // namespace ov::workbench
