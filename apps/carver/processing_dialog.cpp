#include "apps/carver/processing_dialog.h"

#include <QApplication>
#include <QDesktopServices>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QUrl>
#include <QVBoxLayout>

#include "apps/carver/input_name.h"
#include "apps/carver/page_common.h"
#include "disk/destination_guard.h"
#include "workbench/common_widgets.h"

namespace ov::kestrin {

namespace {

constexpr const char* kScanExplanation =
    "Please wait... scanning disk is in progress.It may take several seconds to few hours. Estimated scan time "
    "depends upon disk scan type and media selected (size, speed and physical condition of disk drive).\n\nYou can "
    "press [Stop] button at any instance to stop the scanning.";
constexpr const char* kSaveExplanation =
    "Please wait...saving data is in progress.It may take several seconds to few hours. Estimated save time "
    "depends upon data  selected and speed, physical condition of destination disk drive.\n\nYou can press [Stop] "
    "button at any instance to stop the saving.";
constexpr const char* kBurnExplanation =
    "Please wait, application is burning data to %1.This process may take few minutes to complete.\n\nYou can "
    "press [Stop] button at any instance to stop this operation.";

QString clock(std::uint64_t seconds) {
  return QString::asprintf("%02llu:%02llu:%02llu", static_cast<unsigned long long>(seconds / 3600),
                           static_cast<unsigned long long>(seconds / 60 % 60),
                           static_cast<unsigned long long>(seconds % 60));
}

bool isCountsText(const std::string& text) { return text.rfind("Scanning disk for file types selected.", 0) == 0; }

}  // namespace

COvelinDFRProcessingDialog::COvelinDFRProcessingDialog(CarverSession& session, Mode mode, QWidget* parent)
    : QDialog(parent), session_(session), mode_(mode) {
  setWindowTitle(QString::fromLatin1(kProgramName));
  counts_ = new QLabel(this);
  counts_->setWordWrap(true);
  counts_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  detail_ = new QLabel(this);
  detail_->setWordWrap(true);
  detail_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* explanation = new QLabel(QString::fromLatin1(mode == Mode::Scanning ? kScanExplanation : kSaveExplanation), this);
  explanation->setObjectName(QStringLiteral("Explanation"));
  explanation->setWordWrap(true);
  QPalette grey = explanation->palette();
  grey.setColor(QPalette::WindowText, QColor(110, 110, 110));
  explanation->setPalette(grey);
  status_ = new QLabel(this);
  bar_ = new QProgressBar(this);
  bar_->setRange(0, 100);
  bar_->setValue(0);
  bar_->setTextVisible(false);
  percentText_ = new QLabel(QStringLiteral("0%"), this);
  percentText_->setMinimumWidth(40);
  elapsed_ = new QLabel(QStringLiteral("00:00:00"), this);
  remaining_ = new QLabel(QStringLiteral("--:--:--"), this);
  auto* help = new QPushButton(tr("Help"), this);
  pause_ = new QPushButton(tr("&Pause"), this);
  stop_ = new QPushButton(tr("&Stop"), this);
  openFolder_ = new QPushButton(tr("&Open Output Folder"), this);
  openFolder_->setVisible(false);
  close_ = new QPushButton(tr("&Close"), this);
  close_->setVisible(false);

  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(12);
  grid->addWidget(new QLabel(tr("Status"), this), 0, 0);
  grid->addWidget(status_, 0, 1, 1, 3);
  grid->addWidget(bar_, 1, 0, 1, 3);
  grid->addWidget(percentText_, 1, 3);
  grid->addWidget(new QLabel(tr("Time Elapsed"), this), 2, 0);
  grid->addWidget(elapsed_, 2, 1);
  grid->addWidget(new QLabel(tr("Time Remaining"), this), 2, 2, Qt::AlignRight);
  grid->addWidget(remaining_, 2, 3);
  grid->setColumnStretch(1, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(help);
  buttons->addStretch(1);
  buttons->addWidget(openFolder_);
  buttons->addWidget(pause_);
  buttons->addWidget(stop_);
  buttons->addWidget(close_);
  auto* body = new QVBoxLayout;
  body->setContentsMargins(14, 10, 14, 0);
  body->addWidget(counts_);
  body->addWidget(detail_);
  body->addSpacing(6);
  body->addWidget(explanation);
  body->addSpacing(10);
  body->addLayout(grid);
  body->addStretch(1);
  auto* rule = new QFrame(this);
  rule->setFrameShape(QFrame::HLine);
  rule->setFrameShadow(QFrame::Sunken);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 11);
  layout->addWidget(pageBanner(tr("Processing Details"), QString(), this));
  layout->addLayout(body, 1);
  layout->addWidget(rule);
  buttons->setContentsMargins(14, 0, 14, 0);
  layout->addLayout(buttons);
  resize(560, 420);

  timer_.setInterval(1000);
  connect(&timer_, &QTimer::timeout, this, &COvelinDFRProcessingDialog::tick);
  connect(pause_, &QPushButton::clicked, this, &COvelinDFRProcessingDialog::togglePause);
  connect(stop_, &QPushButton::clicked, this, &COvelinDFRProcessingDialog::askStop);
  connect(close_, &QPushButton::clicked, this, &QDialog::accept);
  connect(openFolder_, &QPushButton::clicked, this, [this] {
    const std::string folder = report_ ? report_->resultFolder : burnReport_ ? burnReport_->resultFolder : std::string();
    if (!folder.empty()) QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder)));
  });
  connect(help, &QPushButton::clicked, this, [this] { showHelp(session_, this, kHelpTopic); });
  bindHelpKey(session_, this, kHelpTopic);
}

COvelinDFRProcessingDialog::COvelinDFRProcessingDialog(CarverSession& session, QWidget* parent)
    : COvelinDFRProcessingDialog(session, Mode::Scanning, parent) {
  counts_->setText(QString::fromStdString(carver::scanCountsText(session_.selected().count, 0)));
  detail_->setText(tr("\nSelected: %1\n\nModel : %2")
                       .arg(QString::fromStdString(session_.chosen().label),
                            QString::fromStdString(session_.chosen().modelLabel)));
  status_->setText(tr("Scanning is in progress"));
}

COvelinDFRProcessingDialog::COvelinDFRProcessingDialog(CarverSession& session, SaveSettings settings, QWidget* parent)
    : COvelinDFRProcessingDialog(session, Mode::Saving, parent) {
  settings_ = std::move(settings);
  // The excluded types are left out now, so that the totals shown are those of the save.
  applyExclusions(session_.tree().root(), settings_.excludedExtensions);
  const SelectionTotals what = selectionTotals(session_.tree().root());
  counts_->setText(tr("Saving recovered data to %1:").arg(QString::fromStdString(settings_.destination)));
  detail_->setText(tr("Total %1 of data in %2 files and %3 folders.")
                       .arg(QString::fromStdString(savingSizeText(what.bytes)).trimmed())
                       .arg(what.files)
                       .arg(what.folders));
  status_->setText(settings_.compress ? tr("Saving Compressed data is in Progress..") : tr("Saving is in progress."));
}

COvelinDFRProcessingDialog::COvelinDFRProcessingDialog(CarverSession& session, SaveSettings settings, BurnSettings burn,
                                                       QWidget* parent)
    : COvelinDFRProcessingDialog(session, std::move(settings), parent) {
  mode_ = Mode::Burning;
  burn_ = std::move(burn);
  const QString target = QString::fromStdString(burnTargetName(burn_));
  counts_->setText(tr("Burning recovered data to %1:").arg(target));
  if (auto* explanation = findChild<QLabel*>(QStringLiteral("Explanation")))
    explanation->setText(tr(kBurnExplanation).arg(target));
  status_->setText(QString::fromLatin1(kWritingCacheStatus));
}

COvelinDFRProcessingDialog::~COvelinDFRProcessingDialog() { session_.setReceiver(nullptr); }

void COvelinDFRProcessingDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (started_) return;
  started_ = true;
  QTimer::singleShot(0, this, &COvelinDFRProcessingDialog::start);
}

void COvelinDFRProcessingDialog::start() {
  if (session_.closing()) {
    finished_ = true;
    accept();
    return;
  }
  seconds_ = 0;
  timer_.start();
  session_.setReceiver(this);
  CarverSession* session = &session_;
  if (mode_ == Mode::Scanning) {
    session_.worker().start(
        [session] {
          carver::CarvingScanner scanner(session->disk(), session->host(), session->runControl(), session->tree());
          scanner.scan(session->selected().records, session->selected().count);
        },
        [this] { workerDone(); });
    return;
  }
  startSaveOrBurn();
}

void COvelinDFRProcessingDialog::startSaveOrBurn() {
  // The worker's questions and the destination line come to this dialog on the GUI thread.
  CarverSession* session = &session_;
  settings_.source = identifySource(session_.chosen().path);
  if (mode_ == Mode::Saving)
    settings_.showDestination = [this](const std::string& text) {
      QMetaObject::invokeMethod(
          this, [this, &text] { counts_->setText(QString::fromStdString(text)); }, Qt::BlockingQueuedConnection);
    };
  settings_.askSaveUncompressed = [this](const std::string& question) {
    bool yes = true;
    QMetaObject::invokeMethod(
        this,
        [this, &question, &yes] {
          if (session_.closing()) return;
          yes = QMessageBox::question(this, tr("Information"), QString::fromStdString(question),
                                      QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) == QMessageBox::Yes;
        },
        Qt::BlockingQueuedConnection);
    return yes;
  };
  SaveSettings* settings = &settings_;
  session_.runControl().start();
  if (mode_ == Mode::Burning) {
    burn_.askShorterName = [this](const std::u16string& name) {
      std::optional<std::u16string> shorter;
      QMetaObject::invokeMethod(
          this,
          [this, &name, &shorter] {
            if (session_.closing()) return;
            CInputName dialog(QString::fromStdU16String(name), this);
            if (dialog.exec() == QDialog::Accepted) shorter = dialog.newName().toStdU16String();
          },
          Qt::BlockingQueuedConnection);
      return shorter;
    };
    burnReport_ = std::make_shared<BurnReport>();
    auto report = burnReport_;
    BurnSettings* burn = &burn_;
    session_.worker().start(
        [session, settings, burn, report] {
          *report = burnMarkedItems(session->tree().root(), session->disk(), *settings, *burn, session->host(),
                                    session->runControl());
        },
        [this] { workerDone(); });
    return;
  }
  report_ = std::make_shared<SaveReport>();
  auto report = report_;
  session_.worker().start(
      [session, settings, report] {
        *report = saveMarkedItems(session->tree().root(), session->disk(), *settings, session->host(),
                                  session->runControl());
      },
      [this] { workerDone(); });
}

void COvelinDFRProcessingDialog::workerDone() {
  finished_ = true;
  timer_.stop();
  session_.setReceiver(nullptr);
  session_.runControl().stop();
  if (mode_ == Mode::Scanning || session_.closing()) {
    accept();
    return;
  }
  // The save's account stays in view, with the way to its folder.
  pause_->setVisible(false);
  stop_->setVisible(false);
  counts_->setVisible(false);
  if (auto* explanation = findChild<QLabel*>(QStringLiteral("Explanation"))) explanation->setVisible(false);
  QStringList lines;
  std::string resultFolder;
  if (mode_ == Mode::Burning) {
    // What went onto the disc (or into the image); nothing did unless the burn completed.
    const BurnReport& burned = *burnReport_;
    resultFolder = burned.resultFolder;
    if (burned.outcome == BurnOutcome::Completed) {
      for (const std::string& line : burned.staged.account.summary(burned.target)) lines << QString::fromStdString(line);
      lines << QString();
      lines << tr("Image size: %1").arg(QString::fromStdString(savingSizeText(burned.imageBytes)).trimmed());
      status_->setText(tr(kBurnCompletedText));
    } else {
      lines << (burned.outcome == BurnOutcome::Stopped ? tr(kBurnAbortedText) : tr("Burning process failed."));
      lines << tr("Nothing was written to %1.").arg(QString::fromStdString(burned.target));
      status_->setText(tr("Burning ended"));
    }
    if (!burned.stagingLeft.empty())
      lines << tr("The temporary cache %1 could not be deleted.").arg(QString::fromStdString(burned.stagingLeft));
  } else {
    resultFolder = report_->resultFolder;
    for (const std::string& line : report_->account.summary(report_->resultFolder))
      lines << QString::fromStdString(line);
    if (!report_->archives.empty()) {
      lines << QString();
      lines << tr("Archives:");
      for (const std::string& a : report_->archives) lines << QString::fromStdString(a);
    }
    if (report_->outcome != SaveOutcome::Completed) status_->setText(tr("Saving ended"));
  }
  detail_->setText(lines.join(QLatin1Char('\n')));
  remaining_->setText(QStringLiteral("00:00:00"));
  openFolder_->setVisible(!resultFolder.empty());
  close_->setVisible(true);
  close_->setDefault(true);
  close_->setFocus();
  // As wide as before, no taller than the account needs.
  const int height = layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(width()) : sizeHint().height();
  resize(width(), std::max(height, minimumSizeHint().height()));
}

void COvelinDFRProcessingDialog::reject() {
  if (finished_) {
    accept();
    return;
  }
  if (!started_ || session_.closing()) {
    // The worker ends at its next test; the dialog closes when it is done.
    session_.runControl().stop();
    return;
  }
  askStop();
}

void COvelinDFRProcessingDialog::togglePause() {
  if (finished_) return;
  paused_ = !paused_;
  if (paused_) {
    session_.runControl().pause();
    timer_.stop();
  } else {
    session_.runControl().resume();
    timer_.start();
  }
  stop_->setEnabled(!paused_);
  pause_->setText(paused_ ? tr("&Resume") : tr("&Pause"));
}

void COvelinDFRProcessingDialog::askStop() {
  if (finished_) return;
  RunControl& run = session_.runControl();
  const bool wasPaused = paused_;
  run.pause();
  timer_.stop();
  const QString question =
      tr("Do you want to stop %1 process?")
          .arg(mode_ == Mode::Scanning ? tr("scanning") : mode_ == Mode::Saving ? tr("saving") : tr("burning"));
  const bool yes = QMessageBox::question(this, tr("Confirm"), question, QMessageBox::Yes | QMessageBox::No,
                                         QMessageBox::No) == QMessageBox::Yes;
  if (finished_) return;
  if (yes) {
    run.stop();
    return;
  }
  if (!wasPaused) {
    run.resume();
    timer_.start();
  }
}

void COvelinDFRProcessingDialog::tick() {
  ++seconds_;
  showTimes();
}

void COvelinDFRProcessingDialog::showTimes() {
  elapsed_->setText(clock(seconds_));
  if (done_ > 0 && total_ > done_ && seconds_ > 0) {
    const double left = static_cast<double>(seconds_) * static_cast<double>(total_ - done_) / static_cast<double>(done_);
    remaining_->setText(clock(static_cast<std::uint64_t>(left + 0.5)));
  } else if (total_ > 0 && done_ >= total_) {
    remaining_->setText(QStringLiteral("00:00:00"));
  }
}

void COvelinDFRProcessingDialog::showMessage(const std::string& title, const std::string& text, MessageIcon icon) {
  workbench::showMessage(this, title, text, icon);
}

void COvelinDFRProcessingDialog::showProgress(std::uint64_t total, std::uint64_t done) {
  total_ = total;
  done_ = done;
  const int percent =
      total == 0 ? 0 : static_cast<int>(std::min<std::uint64_t>(100, static_cast<std::uint64_t>(
                                                                         static_cast<double>(done) * 100.0 /
                                                                         static_cast<double>(total))));
  if (percent != percent_) {
    percent_ = percent;
    bar_->setValue(percent);
    percentText_->setText(QStringLiteral("%1%").arg(percent));
  }
  showTimes();
}

void COvelinDFRProcessingDialog::showStatusText(const std::string& text) {
  if (mode_ == Mode::Scanning && isCountsText(text)) {
    counts_->setText(QString::fromStdString(text));
    return;
  }
  status_->setText(QString::fromStdString(text));
  // A disc is written at the writer's pace: it cannot wait, only stop.
  if (text == kBurningStatus || text == kBurningCompressedStatus) {
    if (paused_) togglePause();
    pause_->setEnabled(false);
  }
  // The work is done (a disc being closed can no longer be stopped); only its end message is
  // still to come.
  if (text == carver::kScanCompletedStatus || text == kSaveCompletedStatus || text == kBurnFinalizingStatus) {
    timer_.stop();
    pause_->setEnabled(false);
    stop_->setEnabled(false);
  }
}

}  // namespace ov::kestrin
