// Kestrin, the signature carver as a desktop program: the start-up checks against the recovery
// program that launched it, the link to that program, and the session that carries the user
// through the wizard: disk, file types, scan, results, saving.
#pragma once

#include <QDialog>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "carver/catalogue.h"
#include "carver/disc/burning.h"
#include "carver/results.h"
#include "carver/saving.h"
#include "carver/scanner.h"
#include "disk/physical_disks.h"
#include "workbench/launch_link.h"
#include "workbench/qt_host.h"

namespace ov::kestrin {

inline constexpr const char* kProgramName = "Ovelin Kestrin";
inline constexpr const char* kCarverLock = "GlobalMutexOV-NTFSXEB";
inline constexpr const char* kNoLauncherText = "Please select Kestrin option from Ovelin Dodedoz Avov Ovavized.";
inline constexpr const char* kLauncherNotRunningText = "Ovelin Dodedoz Avov Ovavized is not running.";
inline constexpr const char* kAlreadyRunningText = "Ovelin Kestrin is already running.";

// What the program runs on; tests replace the disks and the data files.
struct KestrinEnvironment {
  DiskProvider* diskProvider = nullptr;  // null: the machine's disks
  SizeQuery* sizeQuery = nullptr;        // null: the devices themselves
  std::string deviceDirectory = kDeviceDirectory;
  QString signatureFile;  // empty: "Signature" beside the program, else in the install's data folder
  QString helpFolder;     // empty: "kestrin-help" beside the program, else in the install's data folder
  // The optical writers; null: the machine's (a test may name a file pseudo-drive, "stdio:PATH").
  std::function<std::vector<disc::Writer>()> listWriters;
};

// The disk (or image) the scan reads, as the pages and the processing dialog show it.
struct ChosenDisk {
  std::string label;       // "Disk # sdb", or "Image: name.img"
  std::string modelLabel;  // "USB disk (7.45 GB)", or the image's path
  std::string path;        // the device or file opened
};

// One disk of the carver's list: the shared disk record with the carver's own label rules.
struct CarverDiskEntry {
  DiskInfo info;
  std::string label;       // "Disk # " + the kernel name
  std::string modelLabel;  // the model ("USB disk" for USB disks) and the size in MB or GB
  std::uint64_t sizeBytes = 0;
};
// The disks of the list in their order; disks without a size are left out.
std::vector<CarverDiskEntry> carverDiskList(const std::vector<DiskInfo>& disks);

// The launcher's socket name from the program's arguments, every double quote and blank taken
// out; empty when the program was started without one.
QString launcherName(const QStringList& arguments);

// The whole program after QApplication exists: the start-up checks (each refusal is shown and
// ends the program with 1), then the wizard. Returns the exit code.
int runKestrin(const QStringList& arguments, const KestrinEnvironment& environment = {});

class CarverSession final : public QObject, public workbench::HostWindow {
  Q_OBJECT
 public:
  CarverSession(const QString& launcher, const KestrinEnvironment& environment);
  ~CarverSession() override;

  // The wizard, page after page, until the user leaves or the launcher asks Kestrin to close.
  int run();

  const KestrinEnvironment& environment() const { return env_; }
  DiskProvider& diskProvider() { return env_.diskProvider ? *env_.diskProvider : *machineDisks_; }
  SizeQuery& sizeQuery() { return env_.sizeQuery ? *env_.sizeQuery : *machineSizes_; }
  workbench::QtEngineHost& host() { return host_; }
  RunControl& runControl() { return run_; }
  workbench::EngineWorker& worker() { return worker_; }
  carver::CarverDisk& disk() { return disk_; }
  ResultTree& tree() { return tree_; }
  ResultFinder& finder() { return finder_; }
  const ChosenDisk& chosen() const { return chosen_; }
  const carver::SelectedList& selected() const { return selected_; }
  bool closing() const { return closing_; }
  QString signatureFile() const;
  QString helpFolder() const;
  // This program's own socket, where the launcher sends its close request.
  QString listenerName() const;

  // Frees the disk, the chosen types and the results (Back on the file-type page, a new disk).
  void resetWizard();
  // Opens a disk of the list or an image file for the scan. Returns 0, the errno of a failure
  // that has not been shown yet, or -1 for one that has.
  int openDisk(const CarverDiskEntry& disk, const std::string& deviceDirectory);
  int openImage(const QString& path, std::uint16_t sectorSizeOverride);
  void setSelected(carver::SelectedList list) { selected_ = std::move(list); }
  // A private folder for the pictures written for preview; empty when it cannot be made.
  QString previewFolder();

  // Notices to the launcher.
  void sendDiskPageOpened();
  void sendLeaving();

  // HostWindow: the engine's reports, on the GUI thread.
  void addLogEntry(const LogEntry& entry) override;
  void showMessage(const std::string& title, const std::string& text, MessageIcon icon) override;
  void showProgress(std::uint64_t total, std::uint64_t done) override;
  void showStatusText(const std::string& text) override;
  void processingFinished(int code) override;
  // The processing dialog that receives progress and status while it is open.
  void setReceiver(workbench::HostWindow* receiver) { receiver_ = receiver; }

 private:
  int execPage(QDialog& page);
  void onNotice(const workbench::Notice& notice);
  void closeRequested();

  QString launcher_;
  KestrinEnvironment env_;
  std::unique_ptr<DiskProvider> machineDisks_;
  std::unique_ptr<SizeQuery> machineSizes_;
  workbench::NoticeListener* listener_ = nullptr;
  workbench::QtEngineHost host_;
  RunControl run_;
  workbench::EngineWorker worker_;
  carver::CarverDisk disk_{host_};
  ResultTree tree_;
  ResultFinder finder_;
  carver::SelectedList selected_;
  ChosenDisk chosen_;
  std::unique_ptr<QTemporaryDir> previews_;
  workbench::HostWindow* receiver_ = nullptr;
  bool closing_ = false;
};

}  // namespace ov::kestrin
