#include "apps/carver/kestrin.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>

#include <cerrno>
#include <cstdio>

#include "apps/carver/disk_page.h"
#include "apps/carver/file_types_page.h"
#include "apps/carver/page_common.h"
#include "apps/carver/processing_dialog.h"
#include "apps/carver/results_dialog.h"
#include "disk/destination_guard.h"
#include "disk/sector_source.h"
#include "workbench/common_widgets.h"
#include "workbench/instance_lock.h"

namespace ov::kestrin {

namespace {

std::uint64_t decimal(const std::string& text) {
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    if (value > (UINT64_MAX - 9) / 10) return 0;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

bool isUsb(const std::string& interfaceType) {
  if (interfaceType.size() != 3) return false;
  for (std::size_t i = 0; i < 3; ++i)
    if ((interfaceType[i] & ~0x20) != "USB"[i]) return false;
  return true;
}

// The program's data files: beside the executable (the build tree, a portable copy), else in the
// install's data folder.
QString dataPath(const QString& name) {
  QString beside = QDir(QCoreApplication::applicationDirPath()).filePath(name);
  if (QFileInfo::exists(beside)) return beside;
  return QDir(QStringLiteral(OV_DATA_INSTALL_DIR)).filePath(name);
}

}  // namespace

std::vector<CarverDiskEntry> carverDiskList(const std::vector<DiskInfo>& disks) {
  std::vector<CarverDiskEntry> out;
  for (const DiskInfo& d : disks) {
    const std::uint64_t bytesPerSector = decimal(d.bytesPerSector);
    const std::uint64_t sectors = decimal(d.totalSectors);
    if (bytesPerSector == 0 || sectors == 0 || sectors > UINT64_MAX / bytesPerSector) continue;
    CarverDiskEntry e;
    e.info = d;
    // Only the first 16 characters of the media type are kept, as the list has always shown it.
    if (e.info.mediaType.size() > 16) e.info.mediaType.resize(16);
    e.sizeBytes = sectors * bytesPerSector;
    e.label = "Disk # " + d.deviceName;
    const std::string model = isUsb(d.interfaceType) ? "USB disk" : d.model;
    char size[64];
    const double gib = static_cast<double>(e.sizeBytes) / 1073741824.0;
    if (gib < 1.0)
      std::snprintf(size, sizeof size, " (%-.2f MB)", static_cast<double>(e.sizeBytes) / 1048576.0);
    else
      std::snprintf(size, sizeof size, " (%-.2f GB)", gib);
    e.modelLabel = model + size;
    out.push_back(std::move(e));
  }
  return out;
}

QString launcherName(const QStringList& arguments) {
  QString name;
  for (qsizetype i = 1; i < arguments.size(); ++i) name += arguments.at(i);
  name.remove(QLatin1Char('"'));
  QString out;
  for (QChar c : name)
    if (!c.isSpace()) out += c;
  return out;
}

int runKestrin(const QStringList& arguments, const KestrinEnvironment& environment) {
  QApplication::setApplicationName(QString::fromLatin1(kProgramName));
  auto refuse = [](const char* text) {
    QMessageBox::critical(nullptr, QObject::tr("Error"), QString::fromLatin1(text));
    return 1;
  };
  const QString launcher = launcherName(arguments);
  if (launcher.isEmpty()) return refuse(kNoLauncherText);
  if (!workbench::InstanceLock::heldElsewhere(workbench::kRecoveryProgramLock)) return refuse(kLauncherNotRunningText);
  // Held until the program ends. A lock that cannot be made at all does not stop the program.
  workbench::InstanceLock own(kCarverLock);
  if (own.acquire() == workbench::InstanceLock::Result::AlreadyHeld) return refuse(kAlreadyRunningText);
  CarverSession session(launcher, environment);
  return session.run();
}

// --- The session ----------------------------------------------------------------------------

CarverSession::CarverSession(const QString& launcher, const KestrinEnvironment& environment)
    : launcher_(launcher), env_(environment) {
  if (!env_.diskProvider) machineDisks_ = std::make_unique<SysfsDiskProvider>();
  if (!env_.sizeQuery) machineSizes_ = std::make_unique<DeviceSizeQuery>();
  host_.setWindow(this);
  listener_ = new workbench::NoticeListener(QStringLiteral("kestrin"),
                                            [this](const workbench::Notice& n) { onNotice(n); }, this);
}

CarverSession::~CarverSession() {
  run_.stop();
  host_.setWindow(nullptr);
}

QString CarverSession::listenerName() const { return listener_->name(); }

QString CarverSession::signatureFile() const {
  return env_.signatureFile.isEmpty() ? dataPath(QStringLiteral("Signature")) : env_.signatureFile;
}

QString CarverSession::helpFolder() const {
  return env_.helpFolder.isEmpty() ? dataPath(QStringLiteral("kestrin-help")) : env_.helpFolder;
}

int CarverSession::run() {
  enum class Step { Disk, Types, Scan, Results, Save, End };
  Step step = Step::Disk;
  bool afterScan = false;
  SaveSettings save;
  std::optional<BurnSettings> burn;
  while (step != Step::End && !closing_) {
    switch (step) {
      case Step::Disk: {
        CarverDiskPage page(*this);
        const int r = execPage(page);
        if (closing_) break;
        if (r == PageNext) {
          step = Step::Types;
        } else {
          sendLeaving();
          step = Step::End;
        }
        break;
      }
      case Step::Types: {
        COvelinKnownFileTypes page(*this);
        const int r = execPage(page);
        if (closing_) break;
        if (r == PageNext) {
          step = Step::Scan;
        } else if (r == PageBack) {
          resetWizard();
          step = Step::Disk;
        } else {
          sendLeaving();
          step = Step::End;
        }
        break;
      }
      case Step::Scan: {
        COvelinDFRProcessingDialog dialog(*this);
        execPage(dialog);
        step = Step::Results;
        afterScan = true;
        break;
      }
      case Step::Results: {
        COvelinDataFoundDialog dialog(*this, afterScan);
        const int r = execPage(dialog);
        afterScan = false;
        if (closing_) break;
        if (r == PageSave) {
          save = dialog.takeSaveSettings();
          burn = dialog.takeBurnSettings();
          step = Step::Save;
        } else if (r == PageBack) {
          // The next disk opening frees the results.
          step = Step::Disk;
        } else {
          sendLeaving();
          step = Step::End;
        }
        break;
      }
      case Step::Save: {
        // Saving into a folder, or burning.
        auto dialog = burn ? std::make_unique<COvelinDFRProcessingDialog>(*this, std::move(save), std::move(*burn))
                           : std::make_unique<COvelinDFRProcessingDialog>(*this, std::move(save));
        save = SaveSettings{};
        burn.reset();
        execPage(*dialog);
        step = Step::Results;
        break;
      }
      case Step::End:
        break;
    }
  }
  // A worker still running after a close request ends at its next test of `running`.
  run_.stop();
  if (worker_.busy()) {
    QEventLoop loop;
    connect(&worker_, &workbench::EngineWorker::busyChanged, &loop, [&loop](bool busy) {
      if (!busy) loop.quit();
    });
    if (worker_.busy()) loop.exec();
  }
  return 0;
}

int CarverSession::execPage(QDialog& page) {
  // A close request may come while a page is being made (listing the disks shows messages).
  return closing_ ? PageCancel : page.exec();
}

void CarverSession::resetWizard() {
  disk_.close();
  selected_ = carver::SelectedList{};
  tree_.reset();
  chosen_ = ChosenDisk{};
}

int CarverSession::openDisk(const CarverDiskEntry& disk, const std::string& deviceDirectory) {
  resetWizard();
  const std::string path = devicePath(disk.info.deviceName, deviceDirectory);
  const std::uint64_t bytesPerSector = decimal(disk.info.bytesPerSector);
  int error = -1;
  worker_.runAndWait([&] {
    error = disk_.open(path, static_cast<std::uint16_t>(bytesPerSector <= 32768 ? bytesPerSector : 0));
  });
  if (error != 0) return error;
  chosen_ = ChosenDisk{disk.label, disk.modelLabel, path};
  return 0;
}

int CarverSession::openImage(const QString& file, std::uint16_t sectorSizeOverride) {
  resetWizard();
  const std::string path = file.toStdString();
  int error = -1;  // stays so when a failure was reported on the way
  worker_.runAndWait([&] {
    // The recovery programs' rule for the sector size of an image: the size chosen by the user,
    // else a device's own, else the one an ".ov2" image keeps in its first sector, else what its
    // partition table and boot sectors show, else 512.
    RunControl probeRun;
    probeRun.start();
    SectorSource probe(host_, probeRun);
    probe.setSectorSizeOverride(sectorSizeOverride);
    error = probe.openImage(path);
    const std::uint16_t bytesPerSector = probe.bytesPerSector();
    probe.close();
    if (error == 0) error = disk_.open(path, bytesPerSector);
  });
  if (error != 0) return error;
  chosen_ = ChosenDisk{"Image: " + QFileInfo(file).fileName().toStdString(), path, path};
  return 0;
}

QString CarverSession::previewFolder() {
  if (!previews_) previews_ = std::make_unique<QTemporaryDir>(QDir(QDir::tempPath()).filePath(QStringLiteral("kestrin-XXXXXX")));
  return previews_->isValid() ? previews_->path() : QString();
}

void CarverSession::sendDiskPageOpened() {
  workbench::sendNotice(launcher_, workbench::Notice{workbench::kNoticeCarverName, listenerName().toUtf8()});
}

void CarverSession::sendLeaving() { workbench::sendNotice(launcher_, workbench::Notice{workbench::kNoticeCarverLeft, QByteArray(2, '\0')}); }

void CarverSession::onNotice(const workbench::Notice& notice) {
  if (notice.id == workbench::kNoticeCloseRequest) closeRequested();
}

void CarverSession::closeRequested() {
  if (closing_) return;
  closing_ = true;
  run_.stop();
  // Every window goes: message boxes, the open page (which ends the wizard) and previews.
  QList<QPointer<QWidget>> windows;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible()) windows.append(w);
  for (const QPointer<QWidget>& w : windows) {
    if (!w) continue;
    if (auto* dialog = qobject_cast<QDialog*>(w.data())) dialog->reject();
    else w->close();
  }
}

void CarverSession::addLogEntry(const LogEntry&) {}  // Kestrin keeps no process log

void CarverSession::showMessage(const std::string& title, const std::string& text, MessageIcon icon) {
  if (closing_) return;
  workbench::showMessage(QApplication::activeModalWidget(), title, text, icon);
}

void CarverSession::showProgress(std::uint64_t total, std::uint64_t done) {
  if (receiver_) receiver_->showProgress(total, done);
}

void CarverSession::showStatusText(const std::string& text) {
  if (receiver_) receiver_->showStatusText(text);
}

void CarverSession::processingFinished(int code) {
  if (receiver_) receiver_->processingFinished(code);
}

}  // namespace ov::kestrin
