// The processing dialog: the scan, the save or the burn running on the worker, with its progress,
// the counts, the time taken and left, and Pause, Resume and Stop.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <memory>
#include <optional>

#include "apps/carver/kestrin.h"

namespace ov::kestrin {

class COvelinDFRProcessingDialog final : public QDialog, public workbench::HostWindow {
  Q_OBJECT
 public:
  static constexpr const char* kHelpTopic = "::/XEBtreeview.htm";
  enum class Mode { Scanning, Saving, Burning };

  // Scans the open disk for the chosen types.
  explicit COvelinDFRProcessingDialog(CarverSession& session, QWidget* parent = nullptr);
  // Saves the marked items with these settings.
  COvelinDFRProcessingDialog(CarverSession& session, SaveSettings settings, QWidget* parent = nullptr);
  // Burns the marked items (to a writer or into a disc image file).
  COvelinDFRProcessingDialog(CarverSession& session, SaveSettings settings, BurnSettings burn,
                             QWidget* parent = nullptr);
  ~COvelinDFRProcessingDialog() override;

  Mode mode() const { return mode_; }
  bool finished() const { return finished_; }
  int percent() const { return percent_; }
  QString countsText() const { return counts_->text(); }
  QString statusText() const { return status_->text(); }
  QPushButton* pauseButton() const { return pause_; }
  QPushButton* stopButton() const { return stop_; }
  QPushButton* openFolderButton() const { return openFolder_; }
  QPushButton* closeButton() const { return close_; }
  // The save's account, once the save has ended.
  const SaveReport* saveReport() const { return report_.get(); }
  // The burn's report, once the burn has ended.
  const BurnReport* burnReport() const { return burnReport_.get(); }

  // HostWindow: what the worker reports.
  void addLogEntry(const LogEntry&) override {}
  void showMessage(const std::string& title, const std::string& text, MessageIcon icon) override;
  void showProgress(std::uint64_t total, std::uint64_t done) override;
  void showStatusText(const std::string& text) override;
  void processingFinished(int) override {}

  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  COvelinDFRProcessingDialog(CarverSession& session, Mode mode, QWidget* parent);
  void start();
  void togglePause();
  void askStop();
  void tick();
  void showTimes();
  void workerDone();
  void startSaveOrBurn();

  CarverSession& session_;
  Mode mode_;
  SaveSettings settings_;
  std::shared_ptr<SaveReport> report_;
  BurnSettings burn_;
  std::shared_ptr<BurnReport> burnReport_;
  QLabel* counts_;
  QLabel* detail_;
  QLabel* status_;
  QLabel* percentText_;
  QLabel* elapsed_;
  QLabel* remaining_;
  QProgressBar* bar_;
  QPushButton* pause_;
  QPushButton* stop_;
  QPushButton* openFolder_;
  QPushButton* close_;
  QTimer timer_;
  std::uint64_t seconds_ = 0;  // ticks of the one-second timer (it stands still while paused)
  std::uint64_t total_ = 0, done_ = 0;
  int percent_ = -1;
  bool started_ = false;
  bool finished_ = false;
  bool paused_ = false;
};

}  // namespace ov::kestrin
