#include "workbench/progress_window.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace ov::workbench {

namespace {
QString duration(qint64 seconds) {
  if (seconds < 0) return QStringLiteral("--:--");
  return QStringLiteral("%1:%2:%3")
      .arg(seconds / 3600)
      .arg((seconds / 60) % 60, 2, 10, QLatin1Char('0'))
      .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}
}  // namespace

ProgressWindow::ProgressWindow(QWidget* parent) : QDialog(parent, Qt::Tool | Qt::WindowTitleHint | Qt::CustomizeWindowHint) {
  setWindowTitle(tr("Please wait..."));
  setModal(false);
  text_ = new QLabel(this);
  QFont bold = text_->font();
  bold.setBold(true);
  text_->setFont(bold);
  detail_ = new QLabel(this);
  detail_->setMinimumWidth(420);
  times_ = new QLabel(this);
  bar_ = new QProgressBar(this);
  bar_->setRange(0, 100);
  pause_ = new QPushButton(tr("&Pause"), this);
  stop_ = new QPushButton(tr("&Stop (F4)"), this);
  connect(pause_, &QPushButton::clicked, this, [this] { Q_EMIT pauseToggled(!paused_); });
  connect(stop_, &QPushButton::clicked, this, &ProgressWindow::stopRequested);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(times_, 1);
  buttons->addWidget(pause_);
  buttons->addWidget(stop_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(text_);
  layout->addWidget(bar_);
  layout->addWidget(detail_);
  layout->addLayout(buttons);
}

void ProgressWindow::begin(const QString& label) {
  clock_.restart();
  percent_ = -1;
  setPaused(false);
  setDetail({});
  setLabel(label);
  setProgress(0, 0);
  show();
  raise();
}

void ProgressWindow::setLabel(const QString& label) {
  label_ = label;
  percent_ = -1;
  text_->setText(QStringLiteral("%1 :%2%").arg(label_).arg(0));
}

void ProgressWindow::setProgress(std::uint64_t total, std::uint64_t done) {
  int percent = total == 0 ? 0 : static_cast<int>(static_cast<double>(std::min(done, total)) * 100.0 / static_cast<double>(total));
  qint64 elapsed = clock_.elapsed() / 1000;
  qint64 left = -1;
  if (total != 0 && done > 0 && done <= total && clock_.elapsed() > 2000)
    left = static_cast<qint64>(static_cast<double>(clock_.elapsed()) / static_cast<double>(done) *
                               static_cast<double>(total - done) / 1000.0);
  times_->setText(tr("Elapsed %1   Left %2").arg(duration(elapsed), duration(left)));
  if (percent == percent_) return;
  percent_ = percent;
  text_->setText(QStringLiteral("%1 :%2%").arg(label_).arg(percent));
  bar_->setValue(percent);
}

void ProgressWindow::setDetail(const QString& text) { detail_->setText(text); }

void ProgressWindow::setPaused(bool paused) {
  paused_ = paused;
  pause_->setText(paused ? tr("&Resume") : tr("&Pause"));
}

}  // namespace ov::workbench
