// The window that shows a long operation running: what it does, how far it is, how long it has
// taken and how long is left, with Pause and Stop.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

namespace ov::workbench {

class ProgressWindow final : public QDialog {
  Q_OBJECT
 public:
  explicit ProgressWindow(QWidget* parent = nullptr);

  // Starts showing an operation called `label` ("Processing", "Populating ", "Saving").
  void begin(const QString& label);
  void setLabel(const QString& label);
  // "%s :%d%%" with the label; the bar and the time left follow.
  void setProgress(std::uint64_t total, std::uint64_t done);
  void setDetail(const QString& text);
  void setPaused(bool paused);
  int percent() const { return percent_; }

 Q_SIGNALS:
  void pauseToggled(bool pause);
  void stopRequested();

 protected:
  void reject() override { Q_EMIT stopRequested(); }

 private:
  QString label_;
  QLabel* text_;
  QLabel* detail_;
  QLabel* times_;
  QProgressBar* bar_;
  QPushButton* pause_;
  QPushButton* stop_;
  QElapsedTimer clock_;
  int percent_ = -1;
  bool paused_ = false;
};

}  // namespace ov::workbench
