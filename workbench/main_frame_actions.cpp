// The main window's commands: created once here, put in the menus, the toolbar and the context
// menu, and enabled from one function that looks at the program's state.
#include <QActionGroup>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QStatusBar>
#include <QToolBar>

#include "workbench/main_frame.h"
#include "workbench/startup.h"

namespace ov::workbench {

void CMainFrame::createActions() {
  auto make = [this](const QString& text, const QKeySequence& key = {}, QStyle::StandardPixmap icon = QStyle::SP_CustomBase) {
    auto* a = new QAction(text, this);
    if (!key.isEmpty()) a->setShortcut(key);
    if (icon != QStyle::SP_CustomBase) a->setIcon(style()->standardIcon(icon));
    return a;
  };
  Actions& a = actions;
  a.wizard = make(tr("&Wizard"), QKeySequence(Qt::CTRL | Qt::Key_W), QStyle::SP_FileDialogStart);
  a.openFound = make(tr("Open found &Logical Drive"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
  a.loadPartitionInfo = make(tr("Load &Partition Info"));
  a.loadTreeInfo = make(tr("Load &Tree Info"), QKeySequence(Qt::CTRL | Qt::Key_O), QStyle::SP_DialogOpenButton);
  a.exit = make(tr("E&xit"), QKeySequence(Qt::ALT | Qt::Key_F4));
  a.find = make(tr("&Find"), QKeySequence(Qt::CTRL | Qt::Key_F), QStyle::SP_FileDialogContentsView);
  a.findNext = make(tr("Find Next"), QKeySequence(Qt::Key_F3));
  a.saveAll = make(tr("Save All"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
  a.saveMarked = make(tr("&Save Marked..."), QKeySequence(Qt::CTRL | Qt::Key_S), QStyle::SP_DialogSaveButton);
  a.stop = make(tr("Stop Current Process"), QKeySequence(Qt::Key_F4), QStyle::SP_BrowserStop);
  a.savePartitionInfo = make(tr("Save &Partition Info"));
  a.saveTreeInfo = make(tr("Save &Tree Info"), QKeySequence(Qt::CTRL | Qt::Key_I));
  a.goToParent = make(tr("&Go to Parent Folder"), QKeySequence(Qt::ALT | Qt::Key_Up), QStyle::SP_FileDialogToParent);
  a.turboScan = make(tr("Turbo Scan"), QKeySequence(Qt::CTRL | Qt::Key_T), QStyle::SP_MediaSeekForward);
  a.kestrin = make(tr("&Kestrin"));
  a.clearLog = make(tr("Cl&ear Process  Log"));
  a.saveLog = make(tr("Sa&ve Process Log"));
  a.saveReport = make(tr("Save Recovery &Report..."), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R));
  a.toolBar = make(tr("ToolBar"));
  a.statusBar = make(tr("&Status Bar"));
  a.largeIcons = make(tr("&Large Icons"));
  a.smallIcons = make(tr("S&mall Icons"));
  a.list = make(tr("L&ist"));
  a.details = make(tr("&Details"));
  a.contents = make(tr("&Contents"), QKeySequence(Qt::Key_F1), QStyle::SP_DialogHelpButton);
  a.tips = make(tr("&Tip of the day"));
  a.update = make(tr("&Update Wizard"));
  a.about = make(tr("&About "));
  a.contextSave = make(tr("&Save"));
  a.contextPreview = make(tr("&Preview"));
  a.contextSearch = make(tr("S&earch"));
  a.contextProperties = make(tr("P&roperties"));

  for (QAction* checkable : {a.toolBar, a.statusBar}) {
    checkable->setCheckable(true);
    checkable->setChecked(true);
  }
  auto* modes = new QActionGroup(this);
  for (QAction* mode : {a.largeIcons, a.smallIcons, a.list, a.details}) {
    mode->setCheckable(true);
    modes->addAction(mode);
  }
  a.details->setChecked(true);

  connect(a.wizard, &QAction::triggered, this, &CMainFrame::runWizard);
  connect(a.openFound, &QAction::triggered, this, &CMainFrame::openFoundLogicalDrive);
  connect(a.exit, &QAction::triggered, this, &QWidget::close);
  connect(a.saveAll, &QAction::triggered, this, &CMainFrame::saveAll);
  connect(a.saveMarked, &QAction::triggered, this, &CMainFrame::saveMarked);
  connect(a.contextSave, &QAction::triggered, this, &CMainFrame::saveSelected);
  connect(a.stop, &QAction::triggered, this, &CMainFrame::stopCurrentProcess);
  connect(a.goToParent, &QAction::triggered, this, &CMainFrame::goToParentFolder);
  connect(a.turboScan, &QAction::triggered, this, &CMainFrame::startTurboScan);
  connect(a.clearLog, &QAction::triggered, this, &CMainFrame::clearProcessLog);
  connect(a.saveLog, &QAction::triggered, this, &CMainFrame::saveProcessLog);
  connect(a.saveReport, &QAction::triggered, this, &CMainFrame::saveRecoveryReport);
  connect(a.statusBar, &QAction::toggled, statusBar(), &QWidget::setVisible);
  connect(a.largeIcons, &QAction::triggered, this, [this] { list_->setMode(COVNTFSListView::Mode::LargeIcons); });
  connect(a.smallIcons, &QAction::triggered, this, [this] { list_->setMode(COVNTFSListView::Mode::SmallIcons); });
  connect(a.list, &QAction::triggered, this, [this] { list_->setMode(COVNTFSListView::Mode::List); });
  connect(a.details, &QAction::triggered, this, [this] { list_->setMode(COVNTFSListView::Mode::Details); });
  connect(a.contents, &QAction::triggered, this, [this] { showHelp(engine_.texts().helpPrefix + "contents.htm"); });
  connect(a.tips, &QAction::triggered, this, [this] { showTips(*this); });
  connect(a.about, &QAction::triggered, this, [this] { showAbout(*this); });
  connect(a.update, &QAction::triggered, this, [this] { startUpdater(*this); });
  connect(a.kestrin, &QAction::triggered, this, [this] { startCarver(*this); });
  connect(a.find, &QAction::triggered, this, &CMainFrame::find);
  connect(a.contextSearch, &QAction::triggered, this, &CMainFrame::find);
  connect(a.findNext, &QAction::triggered, this, &CMainFrame::findNext);
  connect(a.contextPreview, &QAction::triggered, this, &CMainFrame::preview);
  connect(a.contextProperties, &QAction::triggered, this, &CMainFrame::showProperties);
  connect(a.saveTreeInfo, &QAction::triggered, this, &CMainFrame::saveTreeInfo);
  connect(a.savePartitionInfo, &QAction::triggered, this, &CMainFrame::savePartitionInfo);
  connect(a.loadTreeInfo, &QAction::triggered, this, [this] { loadTreeInfo(); });
  connect(a.loadPartitionInfo, &QAction::triggered, this, [this] { loadPartitionInfo(); });
}

void CMainFrame::createMenus() {
  Actions& a = actions;
  QMenu* file = menuBar()->addMenu(tr("&File"));
  file->addAction(a.wizard);
  file->addAction(a.openFound);
  QMenu* open = file->addMenu(tr("Open Saved Scan Info"));
  open->addAction(a.loadPartitionInfo);
  open->addAction(a.loadTreeInfo);
  file->addSeparator();
  file->addAction(a.exit);

  QMenu* tools = menuBar()->addMenu(tr("&Tools"));
  tools->addAction(a.find);
  tools->addAction(a.findNext);
  tools->addSeparator();
  tools->addAction(a.saveMarked);
  tools->addAction(a.saveAll);
  tools->addAction(a.saveReport);
  tools->addAction(a.stop);
  QMenu* saveScan = tools->addMenu(tr("Save Scan Information"));
  saveScan->addAction(a.savePartitionInfo);
  saveScan->addAction(a.saveTreeInfo);
  tools->addAction(a.goToParent);
  tools->addAction(a.turboScan);
  tools->addSeparator();
  tools->addAction(a.kestrin);
  tools->addSeparator();
  tools->addAction(a.clearLog);
  tools->addAction(a.saveLog);

  QMenu* view = menuBar()->addMenu(tr("&View"));
  view->addAction(a.toolBar);
  view->addAction(a.statusBar);
  view->addSeparator();
  view->addAction(a.largeIcons);
  view->addAction(a.smallIcons);
  view->addAction(a.list);
  view->addAction(a.details);

  QMenu* help = menuBar()->addMenu(tr("&Help"));
  help->addAction(a.contents);
  help->addAction(a.tips);
  help->addAction(a.update);
  help->addSeparator();
  help->addAction(a.about);

  toolBar = addToolBar(tr("ToolBar"));
  toolBar->setObjectName(QStringLiteral("ToolBar"));
  toolBar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  toolBar->addAction(a.wizard);
  toolBar->addAction(a.loadTreeInfo);
  toolBar->addSeparator();
  toolBar->addAction(a.saveMarked);
  toolBar->addAction(a.turboScan);
  toolBar->addAction(a.stop);
  toolBar->addAction(a.goToParent);
  toolBar->addSeparator();
  toolBar->addAction(a.find);
  toolBar->addAction(a.contents);
  connect(a.toolBar, &QAction::toggled, toolBar, &QWidget::setVisible);
}

void CMainFrame::updateActions() {
  Actions& a = actions;
  if (!a.wizard) return;
  bool idle = !busy_ && !refreshing_ && !worker_->busy();
  bool tree = folders_->top() != nullptr;
  bool marked = tree && folders_->top()->check != Qt::Unchecked;
  bool selected = tree && !list_->selectedRows().empty();
  a.wizard->setEnabled(idle);
  a.openFound->setEnabled(idle && engine_.volumeCount() > 0);
  a.turboScan->setEnabled(idle && (processedVolume_ >= 0 || engine_.volumeCount() > 0));
  a.saveAll->setEnabled(idle && tree);
  a.saveMarked->setEnabled(idle && marked);
  a.saveReport->setEnabled(idle && lastReport_ != nullptr);
  a.contextSave->setEnabled(idle && (selected || (tree && folders_->current())));
  a.goToParent->setEnabled(idle && folders_->current() && folders_->current()->parent);
  a.stop->setEnabled(busy_);
  a.saveLog->setEnabled(!refreshing_);
  a.clearLog->setEnabled(!refreshing_);
  bool fileChosen = selected && !files_->entryAt(list_->selectedRows().front()).isFolder();
  a.find->setEnabled(idle && tree);
  a.contextSearch->setEnabled(idle && tree);
  a.findNext->setEnabled(idle && tree);
  a.contextPreview->setEnabled(idle && fileChosen);
  a.contextProperties->setEnabled(idle && tree);
  a.loadTreeInfo->setEnabled(idle);
  a.loadPartitionInfo->setEnabled(idle);
  a.saveTreeInfo->setEnabled(idle && tree);
  a.savePartitionInfo->setEnabled(idle && engine_.volumeCount() > 0);
  a.kestrin->setEnabled(idle);
  a.update->setEnabled(true);
}

void CMainFrame::showContextMenu(const QPoint& globalPos) {
  QMenu menu(this);
  menu.addAction(actions.contextSave);
  menu.addAction(actions.contextPreview);
  menu.addAction(actions.contextSearch);
  menu.addAction(actions.contextProperties);
  updateActions();
  menu.exec(globalPos);
}

QString CMainFrame::dataFile(const QString& name) const {
  QStringList folders;
  if (!environment_.dataFolder.isEmpty()) folders << environment_.dataFolder;
  QString exe = QCoreApplication::applicationDirPath();
  folders << exe << exe + QStringLiteral("/../share/ov-recovery") << QStringLiteral(OV_DATA_INSTALL_DIR);
  for (const QString& folder : folders) {
    QFileInfo candidate(QDir(folder).filePath(name));
    if (candidate.exists()) return candidate.absoluteFilePath();
  }
  return QDir(folders.front()).filePath(name);
}

}  // namespace ov::workbench
