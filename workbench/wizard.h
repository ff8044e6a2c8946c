// The recovery wizard: what to do (recover from a disk or an image, clone, image), which disk or
// image, how to find its volumes, and which volume to process.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QWizard>

#include "disk/physical_disks.h"
#include "workbench/common_widgets.h"
#include "scans/disk_copy.h"

namespace ov::workbench {

class CMainFrame;
class CWizardSheet;
class CWizardCloneDiskPage;
class CWizardImageDiskPage;

// What the wizard hands to the main window to copy.
struct CopyRequest {
  CopyKind kind = CopyKind::Imaging;
  std::string destination;
  LogEntry runEntry;
};

enum class WizardChoice { RecoverFromDisk = 0, RecoverFromImage = 1, CloneDisk = 2, CreateImage = 3, None = 255 };
enum class ProcessingMode { PartitionTable = 0, LostVolumeSearch = 1 };

// A page with the information list on its right and "&Run wizard on startup" below.
class WizardPage : public QWizardPage {
  Q_OBJECT
 public:
  WizardPage(CWizardSheet& sheet, const QString& title, const std::string& helpTopic);
  const std::string& helpTopic() const { return helpTopic_; }
  void syncStartupBox();

 protected:
  // The page's own widgets go here.
  QWidget* body() const { return body_; }
  InfoPanel* info() const { return info_; }
  CWizardSheet& sheet_;

 private:
  QWidget* body_;
  InfoPanel* info_;
  QCheckBox* startup_;
  std::string helpTopic_;
};

class CWizardMainPage final : public WizardPage {
  Q_OBJECT
 public:
  explicit CWizardMainPage(CWizardSheet& sheet);
  void initializePage() override;
  bool isComplete() const override;
  int nextId() const override;

 private:
  QRadioButton* options_[4];
};

// Processing-mode choices shared by the disk and image pages.
class ModeChoice final : public QWidget {
  Q_OBJECT
 public:
  explicit ModeChoice(QWidget* parent);
  ProcessingMode mode() const;
  void setMode(ProcessingMode mode);

 private:
  QRadioButton* table_;
  QRadioButton* search_;
};

class CWizardDriveSelectionPage final : public WizardPage {
  Q_OBJECT
 public:
  explicit CWizardDriveSelectionPage(CWizardSheet& sheet);
  void initializePage() override;
  bool isComplete() const override;
  bool validatePage() override;
  int nextId() const override { return 5; }
  DiskTree* tree() const { return tree_; }
  ModeChoice* modes() const { return modes_; }

 private:
  void showDisk(int index);
  DiskTree* tree_;
  ModeChoice* modes_;
  std::vector<std::string> help_;
};

class CwizardImageSelection final : public WizardPage {
  Q_OBJECT
 public:
  explicit CwizardImageSelection(CWizardSheet& sheet);
  bool isComplete() const override;
  bool validatePage() override;
  int nextId() const override { return 5; }
  void setImagePath(const QString& path);
  const QString& imagePath() const { return path_; }
  ModeChoice* modes() const { return modes_; }

 private:
  QString path_;
  QLabel* pathLabel_;
  QLabel* spaceLabel_;
  ModeChoice* modes_;
  QComboBox* sectorSize_;
};

class CWizardPartitionListPage final : public WizardPage {
  Q_OBJECT
 public:
  explicit CWizardPartitionListPage(CWizardSheet& sheet);
  void initializePage() override;
  bool isComplete() const override;
  bool validatePage() override;
  int nextId() const override { return -1; }
  QTreeWidget* list() const { return list_; }

 private:
  QTreeWidget* list_;
  QLabel* empty_;
};

class CWizardSheet final : public QWizard {
  Q_OBJECT
 public:
  enum PageId { MainPage = 0, DrivePage = 1, ImagePage = 2, ClonePage = 3, ImagingPage = 4, PartitionPage = 5 };

  explicit CWizardSheet(CMainFrame& frame);

  CMainFrame& frame() { return frame_; }
  const std::vector<DiskInfo>& disks() const { return disks_; }
  WizardChoice option = WizardChoice::None;
  ProcessingMode mode = ProcessingMode::PartitionTable;
  int sourceDisk = 255;
  // The run's log entry; the pages name and describe it.
  LogEntry runEntry;
  bool runOnStartup = false;
  // The volume chosen on the last page (its index in the volume list).
  int chosenVolume = -1;
  // The copy to start, after the cloning or imaging page.
  CopyRequest copy;
  // Imaging: the mapfile kept beside the image to resume the run later (empty: none).
  std::string copyMapPath;

  void setImagePath(const QString& path);
  // Opens at the volume list of the volumes found last.
  void startAtVolumeList();
  // Runs the search dialogs over the open source; false when the user cancelled the range.
  bool runVolumeSearch();
  void logRunEntry();
  // Closes what is open and opens the disk as the source (read-only); the run entry is named
  // after it. False, after saying why, when it cannot be opened.
  bool openDisk(const DiskInfo& disk, QWidget* parent);

  void reject() override;
  CwizardImageSelection* imagePage() const { return imagePage_; }
  CWizardDriveSelectionPage* drivePage() const { return drivePage_; }
  CWizardPartitionListPage* partitionPage() const { return partitionPage_; }
  CWizardCloneDiskPage* clonePage() const { return clonePage_; }
  CWizardImageDiskPage* imagingPage() const { return imagingPage_; }

 private:
  void showHelp();

  CMainFrame& frame_;
  std::vector<DiskInfo> disks_;
  CWizardDriveSelectionPage* drivePage_;
  CwizardImageSelection* imagePage_;
  CWizardPartitionListPage* partitionPage_;
  CWizardCloneDiskPage* clonePage_;
  CWizardImageDiskPage* imagingPage_;
};

}  // namespace ov::workbench
