// The main window of the recovery programs: the folder tree and the file list side by side, the
// process log docked below, the menus and the status bar. It owns the engine's worker and host
// and starts every long operation.
#pragma once

#include <QAction>
#include <QLabel>
#include <QMainWindow>
#include <QProcess>
#include <QSettings>

#include <memory>

#include "disk/physical_disks.h"
#include "disk/recovery_engine.h"
#include "scans/process_log.h"
#include "workbench/log_view.h"
#include "workbench/models/file_search.h"
#include "workbench/models/recovery_report.h"
#include "workbench/qt_host.h"
#include "workbench/tree_models.h"
#include "workbench/tree_views.h"
#include "workbench/wizard.h"

namespace ov::workbench {

class ProgressWindow;
class CVarientCloneImageDialog;
class NoticeListener;
struct Notice;

// Files larger than this are not loaded for a preview.
inline constexpr std::uint64_t kPreviewLimitBytes = 31457280;

// Where the program finds its disks, its files and its settings. Tests replace the disks.
struct ProgramEnvironment {
  DiskProvider* diskProvider = nullptr;  // null: the machine's disks
  SizeQuery* sizeQuery = nullptr;
  std::string deviceDirectory = kDeviceDirectory;
  QString dataFolder;  // help pages and tips; empty: found beside the executable
};

class CMainFrame final : public QMainWindow, public HostWindow {
  Q_OBJECT
 public:
  CMainFrame(RecoveryEngine& engine, QtEngineHost& host, ProgramEnvironment environment, QWidget* parent = nullptr);
  ~CMainFrame() override;

  RecoveryEngine& engine() { return engine_; }
  QtEngineHost& host() { return host_; }
  EngineWorker& worker() { return *worker_; }
  ProcessLogModel& logModel() { return *logModel_; }
  QSettings& settings() { return settings_; }
  const ProgramEnvironment& environment() const { return environment_; }
  FolderTreeModel& folderModel() { return *folders_; }
  FileListModel& fileModel() { return *files_; }
  COVNTFSTreeView* treeView() const { return tree_; }
  COVNTFSListView* listView() const { return list_; }
  QLabel* totalsPane() const { return totalsPane_; }
  QLabel* progressPane() const { return progressPane_; }

  // Busy states that gate the commands.
  bool operationRunning() const { return busy_; }
  bool refreshing() const { return refreshing_; }

  // The wizard: from its first page, at the volume list, or at the image page with a path.
  void runWizard();
  void openFoundLogicalDrive();
  void runWizardWithImage(const QString& path);
  // Empties the tree, the list and the totals (a new disk, image or scan is being opened).
  void clearViews();
  // Starts processing volume `index` (the wizard's finish); `fromDisk` suppresses the save prompt.
  void startProcessing(std::size_t index, bool fromDisk);
  void startTurboScan();
  // The volume the Turbo Scan works on when no tree was built from it (its structures are gone).
  void rememberVolume(int index) {
    processedVolume_ = index;
    updateActions();
  }
  // Images or clones the open source (the wizard's last two options).
  // With `mapPath`, an imaging run keeps a mapfile there (and continues the one there).
  void startCopy(const CopyRequest& request, const std::string& mapPath = {});
  void stopCopy();
  // Starts the carver with this window's socket name and hides the window until it is back.
  void launchCarver(const QString& program);
  bool carverRunning() const;
  void stopCurrentProcess();
  void goToParentFolder();
  void saveMarked();
  void saveSelected();
  void saveAll();
  void saveProcessLog();
  // The report of the last save (what was saved, from where, with hashes) into a file.
  void saveRecoveryReport();
  bool hasRecoveryReport() const { return lastReport_ != nullptr; }
  void clearProcessLog();
  // Shows a folder's contents in the list and makes it current in the tree.
  void showFolder(FolderNode* node);
  // Find (Ctrl+F) and Find Next (F3).
  void find();
  void findNext();
  void preview();
  void showProperties();
  // Scan information: save and open, partition (".ovd") and tree (".ovt").
  void saveTreeInfo();
  void savePartitionInfo();
  void loadTreeInfo(const QString& path = {});
  void loadPartitionInfo(const QString& path = {});
  // Why writing at `path` would put the disk under recovery at risk, if it would.
  std::optional<std::string> outputConflict(const std::string& path);
  // The help page of a topic ("ntfsrecoverdata.htm") in the help window.
  void showHelp(const std::string& topic);
  QString dataFile(const QString& name) const;

  // HostWindow
  void addLogEntry(const LogEntry& entry) override;
  void showMessage(const std::string& title, const std::string& text, MessageIcon icon) override;
  void showProgress(std::uint64_t total, std::uint64_t done) override;
  void showStatusText(const std::string& text) override;
  void processingFinished(int code) override;

  // Adds what the log's own rules added (a run entry's completion) to the view.
  void logProcessState(LoggedProcess process, ProcessState state);
  void updateActions();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void createActions();
  void createMenus();
  void createLayout();
  void fillTree(const std::function<void()>& then);
  void finishOperation();
  void showContextMenu(const QPoint& globalPos);
  void updateMarkedTotals();
  void startSaving(std::vector<TreeEntry> entries, const std::vector<FolderNode*>& folders, bool useMarks);
  void beginOperation(const QString& label);
  // The entry the context menu's commands act on: the selected row, else the current folder.
  std::optional<TreeEntry> chosenEntry() const;
  // The save prompt of closing; false when the user cancels.
  bool confirmClose();

  RecoveryEngine& engine_;
  QtEngineHost& host_;
  ProgramEnvironment environment_;
  QSettings settings_;
  std::unique_ptr<EngineWorker> worker_;
  ProcessLog log_;
  std::unique_ptr<ProcessLogModel> logModel_;
  std::unique_ptr<FolderTreeModel> folders_;
  std::unique_ptr<FileListModel> files_;
  COVNTFSTreeView* tree_ = nullptr;
  COVNTFSListView* list_ = nullptr;
  ProcessLogView* logView_ = nullptr;
  QLabel* totalsPane_ = nullptr;
  QLabel* progressPane_ = nullptr;
  ProgressWindow* progress_ = nullptr;
  CVarientCloneImageDialog* copyWindow_ = nullptr;
  CopyKind copyKind_ = CopyKind::Imaging;
  bool saving_ = false;
  NoticeListener* carverLink_ = nullptr;
  QProcess* carver_ = nullptr;
  QString carverName_;
  void onCarverNotice(const Notice& notice);

  bool busy_ = false;
  bool refreshing_ = false;
  bool scanInfoPresent_ = false;
  bool noSavePrompt_ = false;
  int processedVolume_ = -1;  // index of the volume whose tree is shown
  std::shared_ptr<const SavedReport> lastReport_;  // of the last save, for "Save Recovery Report"
  bool firstProcessing_ = false;
  ProcessingMode lastMode_ = ProcessingMode::PartitionTable;
  QString progressLabel_;
  FileSearch search_;
  int shownPercent_ = -1;

 public:
  struct Actions {
    QAction *wizard, *openFound, *loadPartitionInfo, *loadTreeInfo, *exit;
    QAction *find, *findNext, *saveAll, *stop, *savePartitionInfo, *saveTreeInfo, *goToParent, *turboScan,
        *kestrin, *clearLog, *saveLog, *saveMarked, *saveReport;
    QAction *toolBar, *statusBar, *largeIcons, *smallIcons, *list, *details;
    QAction *contents, *tips, *update, *about;
    QAction *contextSave, *contextPreview, *contextSearch, *contextProperties;
  } actions{};
  QToolBar* toolBar = nullptr;
  friend class CWizardSheet;
  ProcessingMode& lastSearchMode() { return lastMode_; }
};

}  // namespace ov::workbench
