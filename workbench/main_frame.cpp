#include "workbench/main_frame.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDockWidget>
#include <QDragEnterEvent>
#include <QFileDialog>
#include <QMessageBox>
#include <QMimeData>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>

#include <ctime>

#include "workbench/common_widgets.h"
#include "workbench/copy_pages.h"
#include "workbench/launch_link.h"
#include "workbench/help_window.h"
#include "workbench/models/list_texts.h"
#include "workbench/progress_window.h"

namespace ov::workbench {

CMainFrame::CMainFrame(RecoveryEngine& engine, QtEngineHost& host, ProgramEnvironment environment, QWidget* parent)
    : QMainWindow(parent),
      engine_(engine),
      host_(host),
      environment_(std::move(environment)),
      settings_(QStringLiteral("Ovelin Labs Inc."), QString::fromStdString(engine.texts().programTitle)) {
  setWindowTitle(QString::fromStdString(engine_.texts().programTitle));
  setAcceptDrops(true);
  worker_ = std::make_unique<EngineWorker>(this);
  log_.setProgramTitle(engine_.texts().programTitle);
  logModel_ = std::make_unique<ProcessLogModel>(log_);
  folders_ = std::make_unique<FolderTreeModel>();
  files_ = std::make_unique<FileListModel>(*folders_);
  // Deleted files shown in the list say whether live files use their clusters now.
  files_->setJudge([this](const TreeEntry& e) { return engine_.fileLayout(e).verdict; });
  host_.setWindow(this);
  createLayout();
  createActions();
  createMenus();
  connect(worker_.get(), &EngineWorker::busyChanged, this, &CMainFrame::updateActions);
  connect(folders_.get(), &FolderTreeModel::marksChanged, this, &CMainFrame::updateMarkedTotals);
  engine_.run().stop();
  statusBar()->showMessage(tr("Ready"));
  updateActions();
}

CMainFrame::~CMainFrame() { host_.setWindow(nullptr); }

void CMainFrame::createLayout() {
  tree_ = new COVNTFSTreeView(*folders_, this);
  list_ = new COVNTFSListView(*files_, this);
  auto* split = new QSplitter(Qt::Horizontal, this);
  split->addWidget(tree_);
  split->addWidget(list_);
  split->setStretchFactor(0, 1);
  split->setStretchFactor(1, 3);
  split->setSizes({280, 900});
  setCentralWidget(split);

  auto allowed = [this] { return !busy_ && !refreshing_; };
  tree_->setClicksAllowed(allowed);
  list_->setClicksAllowed(allowed);
  connect(tree_, &COVNTFSTreeView::folderChosen, this, &CMainFrame::showFolder);
  connect(list_, &COVNTFSListView::folderOpened, this, [this](int row) {
    if (FolderNode* n = files_->folderNodeAt(row)) showFolder(n);
  });
  connect(tree_, &COVNTFSTreeView::contextMenuWanted, this, &CMainFrame::showContextMenu);
  connect(list_, &COVNTFSListView::contextMenuWanted, this, &CMainFrame::showContextMenu);
  connect(list_->selection(), &QItemSelectionModel::selectionChanged, this, &CMainFrame::updateActions);

  logView_ = new ProcessLogView(*logModel_, this);
  auto* dock = new QDockWidget(tr("Process Log"), this);
  dock->setObjectName(QStringLiteral("ProcessLog"));
  dock->setFeatures(QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable);
  dock->setWidget(logView_);
  addDockWidget(Qt::BottomDockWidgetArea, dock);
  resizeDocks({dock}, {170}, Qt::Vertical);
  connect(logView_, &ProcessLogView::clearRequested, this, &CMainFrame::clearProcessLog);
  connect(logView_, &ProcessLogView::saveRequested, this, &CMainFrame::saveProcessLog);

  totalsPane_ = new QLabel(QString::fromLatin1(kEmptyTotalsText), this);
  progressPane_ = new QLabel(this);
  totalsPane_->setMinimumWidth(320);
  progressPane_->setMinimumWidth(220);
  statusBar()->addPermanentWidget(totalsPane_);
  statusBar()->addPermanentWidget(progressPane_);

  progress_ = new ProgressWindow(this);
  connect(progress_, &ProgressWindow::stopRequested, this, &CMainFrame::stopCurrentProcess);
  connect(progress_, &ProgressWindow::pauseToggled, this, [this](bool pause) {
    if (!busy_ || !engine_.run().running()) return;
    if (pause) {
      engine_.run().pause();
      logProcessState(LoggedProcess::InternalFileProcessing, ProcessState::Paused);
    } else {
      logProcessState(LoggedProcess::InternalFileProcessing, ProcessState::Resumed);
      engine_.run().resume();
    }
    progress_->setPaused(pause);
  });
}

// --- What the engine reports -------------------------------------------------------------

void CMainFrame::addLogEntry(const LogEntry& entry) { logModel_->add(entry); }

void CMainFrame::logProcessState(LoggedProcess process, ProcessState state) {
  int before = logModel_->rowCount();
  log_.processState(process, state);
  logModel_->appendedBehind(before);
}

void CMainFrame::showMessage(const std::string& title, const std::string& text, MessageIcon icon) {
  QWidget* parent = QApplication::activeModalWidget() ? QApplication::activeModalWidget() : this;
  workbench::showMessage(parent, title, text, icon);
}

void CMainFrame::showProgress(std::uint64_t total, std::uint64_t done) {
  if (!busy_) return;
  if (copyWindow_) {
    copyWindow_->setProgress(total, done);
    return;
  }
  if (saving_ && engine_.source().bytesPerSector() != 0) {
    std::uint64_t sector = engine_.source().bytesPerSector();
    progressPane_->setText(tr("Reading sector %1 of %2").arg((done + sector - 1) / sector).arg((total + sector - 1) / sector));
  }
  progress_->setProgress(total, done);
}

void CMainFrame::showStatusText(const std::string& text) {
  statusBar()->showMessage(QString::fromStdString(text));
  if (busy_ && text == "Populating ") progress_->setLabel(QStringLiteral("Populating "));
}

void CMainFrame::processingFinished(int) {
  // The worker's job ends right after; its completion handler takes over.
}

// --- Operations --------------------------------------------------------------------------

void CMainFrame::clearViews() {
  files_->clear();
  folders_->clear();
  totalsPane_->setText(QString::fromLatin1(kEmptyTotalsText));
  processedVolume_ = -1;
  updateActions();
}

void CMainFrame::beginOperation(const QString& label) {
  busy_ = true;
  shownPercent_ = -1;
  progress_->begin(label);
  updateActions();
}

void CMainFrame::finishOperation() {
  busy_ = false;
  engine_.run().stop();
  progress_->hide();
  progressPane_->clear();
  statusBar()->showMessage(tr("Ready"));
  updateActions();
}

void CMainFrame::startProcessing(std::size_t index, bool fromDisk) {
  if (busy_ || worker_->busy()) return;
  clearViews();
  scanInfoPresent_ = true;
  noSavePrompt_ = fromDisk;
  processedVolume_ = static_cast<int>(index);
  beginOperation(QStringLiteral("Processing"));
  auto completed = std::make_shared<bool>(false);
  worker_->start([this, completed] { *completed = engine_.processFileSystem(); },
                 [this, completed] {
                   fillTree([this, completed] {
                     finishOperation();
                     if (*completed && engine_.hasTree())
                       workbench::showMessage(
                           this, "Information",
                           "You have just completed Basic Scan of a logical drive.\n\nPlease examine the tree created, if "
                           "you find none of the\nfiles listed are the one you were looking for, then use\nmore advanced "
                           "disk scanning method i.e. Turbo Scan.\n\nGo to Tools->TurboScan",
                           MessageIcon::Information);
                   });
                 });
}

void CMainFrame::startTurboScan() {
  if (busy_ || worker_->busy() || refreshing_) return;
  if (processedVolume_ < 0 && engine_.volumeCount() == 0) {
    QMessageBox::information(this, tr("Information"), tr("Choose a logical drive with the wizard first (File > Wizard)."));
    return;
  }
  int volume = processedVolume_ >= 0 ? processedVolume_ : 0;
  clearViews();
  processedVolume_ = volume;
  scanInfoPresent_ = true;
  totalsPane_->setText(QString::fromLatin1(kEmptyTotalsText));
  beginOperation(QStringLiteral("Scanning"));
  worker_->start([this, volume] { engine_.turboScan(static_cast<std::uint32_t>(volume + 1)); },
                 [this] { fillTree([this] { finishOperation(); }); });
}

void CMainFrame::fillTree(const std::function<void()>& then) {
  progress_->setLabel(QStringLiteral("Populating "));
  auto tree = std::make_shared<RecoveredTree>();
  bool started = worker_->start(
      [this, tree] {
        if (!engine_.hasTree()) return;
        *tree = readFolderTree(engine_, [this](std::uint64_t total, std::uint64_t done) { host_.progress(total, done); },
                               {});
      },
      [this, tree, then] {
        folders_->setTree(std::move(*tree));
        if (FolderNode* top = folders_->top()) {
          const FolderCounts& t = folders_->totals();
          totalsPane_->setText(QString::fromStdString(totalsText(t.bytes, t.files, t.folders)));
          QModelIndex topIndex = folders_->indexOf(top);
          tree_->expand(topIndex);
          tree_->setCurrentIndex(topIndex);
          showFolder(top);
          list_->sortBy(FileListModel::Name, Qt::AscendingOrder);
        }
        then();
      });
  if (!started) then();
}

void CMainFrame::showFolder(FolderNode* node) {
  if (!node || refreshing_) return;
  refreshing_ = true;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  std::vector<TreeEntry> entries;
  try {
    entries = engine_.listFolder(node->entry);
  } catch (const AlreadyReported&) {
    entries.clear();
  }
  files_->setFolder(node, std::move(entries));
  folders_->setCurrent(node);
  tree_->selectFolder(node);
  QApplication::restoreOverrideCursor();
  refreshing_ = false;
  updateActions();
}

void CMainFrame::goToParentFolder() {
  if (busy_ || refreshing_) return;
  FolderNode* current = folders_->current();
  if (current && current->parent) showFolder(current->parent);
}

void CMainFrame::stopCurrentProcess() {
  if (!busy_ || !worker_->busy()) return;
  if (copyWindow_) {
    stopCopy();
    return;
  }
  RunControl& run = engine_.run();
  bool wasPaused = run.paused();
  run.pause();
  if (!wasPaused) logProcessState(LoggedProcess::InternalFileProcessing, ProcessState::Paused);
  if (run.running() && askYesNo(progress_->isVisible() ? static_cast<QWidget*>(progress_) : this, tr("Confirm"),
                                tr("Do you want to stop process?"))) {
    run.stop();
    return;
  }
  logProcessState(LoggedProcess::InternalFileProcessing, ProcessState::Resumed);
  progress_->setPaused(false);
  run.resume();
}

void CMainFrame::updateMarkedTotals() {
  if (!folders_->top()) return;
  FolderCounts marked = markedCounts(*folders_->top());
  if (marked.files == 0 && marked.folders == 0) {
    const FolderCounts& t = folders_->totals();
    totalsPane_->setText(QString::fromStdString(totalsText(t.bytes, t.files, t.folders)));
  } else {
    totalsPane_->setText(QString::fromStdString(totalsText(marked.bytes, marked.files, marked.folders, true)));
  }
  updateActions();
}

void CMainFrame::saveProcessLog() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  QString name = QString::fromStdString(defaultLogFileName(local, engine_.texts().fileSystem));
  QString path = QFileDialog::getSaveFileName(this, tr("Save Process Log"), name, tr("Text File (*.txt)"));
  if (path.isEmpty()) return;
  if (auto problem = outputConflict(path.toStdString())) {
    QMessageBox::warning(this, tr("Warning"), QString::fromStdString(*problem));
    return;
  }
  if (!log_.saveText(path.toStdString()))
    QMessageBox::information(this, tr("Error"), tr("Error creating log file"));
}

void CMainFrame::clearProcessLog() { logModel_->clearAll(); }

// --- Closing and dropping ------------------------------------------------------------------

void CMainFrame::closeEvent(QCloseEvent* event) {
  if (refreshing_) {
    event->ignore();
    return;
  }
  if (busy_ || worker_->busy()) {
    if (engine_.run().running()) QMessageBox::warning(this, tr("Warning"), tr("Please stop running process"));
    else QMessageBox::information(this, tr("Information"), tr("Please wait..."));
    event->ignore();
    return;
  }
  if (!confirmClose()) {
    event->ignore();
    return;
  }
  if (!carverName_.isEmpty()) sendNotice(carverName_, Notice{kNoticeCloseRequest, {}});
  engine_.close();
  event->accept();
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* event) {
  const QMimeData* mime = event->mimeData();
  if (!busy_ && mime->hasUrls() && mime->urls().size() == 1 && mime->urls().front().isLocalFile())
    event->acceptProposedAction();
}

void CMainFrame::dropEvent(QDropEvent* event) {
  QString path = event->mimeData()->urls().front().toLocalFile();
  event->acceptProposedAction();
  // Let the drag end before the wizard's modal loop starts.
  QTimer::singleShot(0, this, [this, path] { runWizardWithImage(path); });
}

// --- The wizard ------------------------------------------------------------------------------

namespace {
void finishWizard(CMainFrame& frame, CWizardSheet& sheet) {
  if (sheet.option == WizardChoice::CloneDisk || sheet.option == WizardChoice::CreateImage) {
    frame.startCopy(sheet.copy, sheet.copyMapPath);
    return;
  }
  if (sheet.chosenVolume < 0) return;
  if (sheet.option == WizardChoice::RecoverFromDisk || sheet.option == WizardChoice::RecoverFromImage)
    frame.startProcessing(static_cast<std::size_t>(sheet.chosenVolume), sheet.option == WizardChoice::RecoverFromDisk);
}
}  // namespace

void CMainFrame::runWizard() {
  if (busy_ || refreshing_ || worker_->busy()) return;
  CWizardSheet sheet(*this);
  if (sheet.exec() == QDialog::Accepted) finishWizard(*this, sheet);
}

void CMainFrame::openFoundLogicalDrive() {
  if (busy_ || refreshing_ || worker_->busy()) return;
  CWizardSheet sheet(*this);
  sheet.startAtVolumeList();
  if (sheet.exec() == QDialog::Accepted) finishWizard(*this, sheet);
}

void CMainFrame::runWizardWithImage(const QString& path) {
  if (busy_ || refreshing_ || worker_->busy()) return;
  CWizardSheet sheet(*this);
  sheet.setImagePath(path);
  if (sheet.exec() == QDialog::Accepted) finishWizard(*this, sheet);
}

void CMainFrame::showHelp(const std::string& topic) {
  HelpWindow::show(this, dataFile(QStringLiteral("help")), QString::fromStdString(topic));
}

}  // namespace ov::workbench

namespace ov::workbench {

// --- Disk copies -------------------------------------------------------------------------------

void CMainFrame::startCopy(const CopyRequest& request, const std::string& mapPath) {
  if (busy_ || worker_->busy() || request.destination.empty()) return;
  CopyOptions options;
  options.kind = request.kind;
  options.overwrite = true;  // the save dialog has asked before replacing a file
  options.mapPath = mapPath;  // an existing map is continued, its image kept
  auto copy = std::make_shared<DiskCopy>(host_, engine_.run(), engine_.source(), request.destination, options);
  std::string refusal;
  worker_->runAndWait([&] { refusal = copy->openDestination(); });
  const std::string caption = programText(kCopyMessageCaption, engine_.texts());
  if (!refusal.empty()) {
    workbench::showMessage(this, caption, refusal, MessageIcon::Error);
    worker_->runAndWait([&] {
      copy.reset();
      engine_.close();
    });
    return;
  }
  addLogEntry(request.runEntry);
  log_.setRunEntry(request.runEntry);
  busy_ = true;
  copyKind_ = request.kind;
  copyWindow_ = new CVarientCloneImageDialog(request.kind, engine_.texts(), this);
  connect(copyWindow_, &CVarientCloneImageDialog::stopRequested, this, &CMainFrame::stopCopy);
  copyWindow_->show();
  updateActions();
  auto result = std::make_shared<CopyResult>();
  worker_->start([copy, result] { *result = copy->run(); },
                 [this, copy, result, kind = request.kind, caption]() mutable {
                   copy.reset();  // closes the destination
                   engine_.run().stop();
                   busy_ = false;
                   if (copyWindow_) {
                     copyWindow_->hide();
                     copyWindow_->deleteLater();
                   }
                   copyWindow_ = nullptr;
                   bool completed = result->outcome == CopyOutcome::Completed;
                   int before = logModel_->rowCount();
                   finishCopyLog(log_, kind, *result);
                   logModel_->appendedBehind(before);
                   QMessageBox box(completed ? QMessageBox::Information : QMessageBox::Critical, tr("Information"),
                                   QString::fromStdString(copyEndMessage(kind, completed)), QMessageBox::Ok, this);
                   if (!result->unreadableSectors.empty()) {
                     box.setInformativeText(tr("%n sector(s) could not be read; they hold zeros in the copy.", "",
                                               static_cast<int>(result->unreadableSectors.size())));
                     QString list;
                     for (std::uint64_t s : result->unreadableSectors) list += QString::number(s) + "\n";
                     box.setDetailedText(list);
                   } else if (!result->error.empty()) {
                     box.setInformativeText(QString::fromStdString(result->error));
                   }
                   box.exec();
                   worker_->runAndWait([this] { engine_.close(); });
                   updateActions();
                 });
}

void CMainFrame::stopCopy() {
  if (!copyWindow_ || !worker_->busy()) return;
  RunControl& run = engine_.run();
  int before = logModel_->rowCount();
  pauseCopy(run, log_, copyKind_);
  logModel_->appendedBehind(before);
  bool stop = askYesNo(copyWindow_, QString::fromStdString(programText(kCopyMessageCaption, engine_.texts())),
                       QString::fromLatin1(kStopQuestionText));
  if (stop && run.running()) {
    run.stop();
    return;
  }
  before = logModel_->rowCount();
  resumeCopy(run, log_, copyKind_);
  logModel_->appendedBehind(before);
}

}  // namespace ov::workbench

namespace ov::workbench {

// --- The carver ---------------------------------------------------------------------------

void CMainFrame::launchCarver(const QString& program) {
  if (carverRunning()) return;
  if (!carverLink_)
    carverLink_ = new NoticeListener(QStringLiteral("ov-recovery"), [this](const Notice& n) { onCarverNotice(n); }, this);
  carver_ = new QProcess(this);
  carver_->setProgram(program);
  carver_->setArguments({carverLink_->name()});
  carver_->setProcessChannelMode(QProcess::ForwardedChannels);
  // Whatever way the carver ends, this window comes back.
  connect(carver_, &QProcess::finished, this, [this] {
    carverName_.clear();
    carver_->deleteLater();
    carver_ = nullptr;
    showMaximized();
    raise();
    activateWindow();
  });
  carver_->start();
  if (carver_->waitForStarted(5000)) {
    hide();
  } else {
    carver_->deleteLater();
    carver_ = nullptr;
  }
}

bool CMainFrame::carverRunning() const { return carver_ && carver_->state() != QProcess::NotRunning; }

void CMainFrame::onCarverNotice(const Notice& notice) {
  if (notice.id == kNoticeCarverName) {
    carverName_ = QString::fromUtf8(notice.data);
  } else if (notice.id == kNoticeCarverLeft) {
    showMaximized();
    raise();
    activateWindow();
  }
}

}  // namespace ov::workbench
