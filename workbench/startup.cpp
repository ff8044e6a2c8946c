#include "workbench/startup.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QScreen>
#include <QPushButton>
#include <QTextStream>
#include <QTimer>
#include <QVBoxLayout>

#include <cerrno>
#include <cstdlib>

#include "workbench/main_frame.h"

namespace ov::workbench {

std::string InstanceLock::pathOf(const std::string& name) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string folder;
  struct stat st {};
  if (runtime && *runtime && ::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid()) {
    folder = runtime;
  } else {
    const char* tmp = std::getenv("TMPDIR");
    folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/ov-recovery-" + std::to_string(::getuid());
    // A private folder: another user must not be able to plant the lock file as a link.
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) return {};
  }
  return folder + "/" + name;
}

InstanceLock::InstanceLock(const std::string& name) : path_(pathOf(name)) {}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);
}

InstanceLock::Result InstanceLock::acquire() {
  if (path_.empty()) return Result::Failed;
  fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) return Result::Failed;
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return Result::Held;
  int error = errno;
  ::close(fd_);
  fd_ = -1;
  return error == EWOULDBLOCK ? Result::AlreadyHeld : Result::Failed;
}

bool InstanceLock::heldElsewhere(const std::string& name) {
  std::string path = pathOf(name);
  if (path.empty()) return false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);  // also drops the shared lock when it was taken
  return held;
}

QString instanceRefusal(InstanceLock::Result result, const QString& programTitle) {
  switch (result) {
    case InstanceLock::Result::Held:
      return {};
    case InstanceLock::Result::AlreadyHeld:
      return QObject::tr("Ovelin Dodedoz avov Ovavized is already running.\nPlease close the running instance first.");
    case InstanceLock::Result::Failed:
      break;
  }
  return QObject::tr("Failed to load %1").arg(programTitle);
}

namespace {

QStringList readTips(const QString& path) {
  QStringList tips;
  QFile file(path);
  if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
    QTextStream in(&file);
    while (!in.atEnd()) {
      QString line = in.readLine().trimmed();
      if (!line.isEmpty()) tips << line;
    }
  }
  return tips;
}

}  // namespace

bool tipsAtStartup(CMainFrame& frame) { return frame.settings().value(QStringLiteral("Tips/StartUp"), 1).toInt() != 0; }

void showTips(CMainFrame& frame) {
  QString path = frame.dataFile(QStringLiteral("stips.txt"));
  QFileInfo info(path);
  if (!info.exists() || info.isDir()) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Text)) file.write("Press Ctrl + W to run wizard.\n");
  }
  QStringList tips = readTips(path);
  if (tips.isEmpty()) tips << QStringLiteral("Press Ctrl + W to run wizard.");
  int at = frame.settings().value(QStringLiteral("Tips/Next"), 0).toInt();

  QDialog dialog(&frame);
  dialog.setWindowTitle(QObject::tr("Tip of the Day"));
  auto* heading = new QLabel(QObject::tr("<b>Did you know...</b>"), &dialog);
  auto* text = new QLabel(&dialog);
  text->setWordWrap(true);
  text->setMinimumSize(380, 90);
  text->setAlignment(Qt::AlignTop | Qt::AlignLeft);
  text->setFrameShape(QFrame::StyledPanel);
  text->setMargin(10);
  auto* startup = new QCheckBox(QObject::tr("&Show tips on startup"), &dialog);
  startup->setChecked(tipsAtStartup(frame));
  auto* next = new QPushButton(QObject::tr("&Next Tip"), &dialog);
  auto* close = new QPushButton(QObject::tr("&Close"), &dialog);
  close->setDefault(true);
  auto show = [&] { text->setText(tips[at % tips.size()]); };
  QObject::connect(next, &QPushButton::clicked, &dialog, [&] {
    at = (at + 1) % static_cast<int>(tips.size());
    show();
  });
  QObject::connect(close, &QPushButton::clicked, &dialog, &QDialog::accept);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(startup, 1);
  buttons->addWidget(next);
  buttons->addWidget(close);
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(heading);
  layout->addWidget(text, 1);
  layout->addLayout(buttons);
  at = at % static_cast<int>(tips.size());
  show();
  dialog.exec();
  frame.settings().setValue(QStringLiteral("Tips/StartUp"), startup->isChecked() ? 1 : 0);
  frame.settings().setValue(QStringLiteral("Tips/Next"), (at + 1) % static_cast<int>(tips.size()));
}

void showPermissionNoticeIfNeeded(CMainFrame& frame) {
  // Shown unless the user asked not to see it again.
  if (frame.settings().value(QStringLiteral("VistaMsg/StartUp"), 1).toInt() == 0) return;
  std::unique_ptr<DiskProvider> machine;
  DiskProvider* provider = frame.environment().diskProvider;
  if (!provider) {
    machine = std::make_unique<SysfsDiskProvider>();
    provider = machine.get();
  }
  std::vector<RawDiskProperties> disks;
  std::string error;
  if (!provider->query(disks, error) || disks.empty()) return;
  bool denied = false;
  for (const auto& d : disks) {
    if (!d.bytesPerSector) continue;
    int fd = ::open(devicePath(d.name, frame.environment().deviceDirectory).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      ::close(fd);
      return;  // at least one disk can be read
    }
    if (errno == EACCES || errno == EPERM) denied = true;
  }
  if (!denied) return;

  QDialog dialog(&frame);
  dialog.setWindowTitle(QObject::tr("Information"));
  auto* text = new QLabel(
      QObject::tr("<p>The disks of this computer cannot be read with your user's rights.</p>"
                  "<p>To recover from a disk, start the program as administrator, for example with "
                  "<b>pkexec %1</b> or <b>sudo %1</b> in a terminal, or add your user to the <b>disk</b> group "
                  "(<b>sudo adduser $USER disk</b>, then log out and in again).</p>"
                  "<p>Image files of disks can be opened without it: choose \"Recover data from disk image\" in "
                  "the wizard.</p>")
          .arg(QFileInfo(QCoreApplication::applicationFilePath()).fileName()),
      &dialog);
  text->setWordWrap(true);
  text->setTextFormat(Qt::RichText);
  auto* again = new QCheckBox(QObject::tr("&Do not show again"), &dialog);
  auto* close = new QPushButton(QObject::tr("&Close"), &dialog);
  QObject::connect(close, &QPushButton::clicked, &dialog, &QDialog::accept);
  auto* row = new QHBoxLayout;
  row->addWidget(again, 1);
  row->addWidget(close);
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(text);
  layout->addLayout(row);
  dialog.resize(460, 220);
  dialog.exec();
  frame.settings().setValue(QStringLiteral("VistaMsg/StartUp"), again->isChecked() ? 0 : 1);
}

void showAbout(CMainFrame& frame) {
  const std::string& title = frame.engine().texts().programTitle;
  QMessageBox::about(&frame, QObject::tr("About %1").arg(QString::fromStdString(title)),
                     QObject::tr("<h3>%1</h3><p>Version %2</p><p>Finds lost and deleted files on the disks of "
                                 "Windows PCs and copies them to another drive. It never writes to the disk "
                                 "being recovered.</p>")
                         .arg(QString::fromStdString(title), QStringLiteral(OV_VERSION)));
}

namespace {
QString programBeside(const QString& name) { return QDir(QCoreApplication::applicationDirPath()).filePath(name); }
}  // namespace

void startUpdater(CMainFrame& frame) {
  QString updater = programBeside(QStringLiteral("ovupdate"));
  if (!QFileInfo(updater).isExecutable() || !QProcess::startDetached(updater, {})) {
    QMessageBox::information(&frame, QObject::tr("Information"),
                             QObject::tr("No updater is installed with this program. Updates come with your "
                                         "system's package manager."));
  }
}

void startCarver(CMainFrame& frame) {
  if (frame.refreshing()) return;
  QString carver = programBeside(QStringLiteral("Kestrin"));
  if (!QFileInfo(carver).isExecutable()) {
    QMessageBox::information(&frame, QObject::tr("Information"),
                             QObject::tr("Kestrin is not installed with this program."));
    return;
  }
  frame.launchCarver(carver);
}

int runWorkbench(int argc, char** argv, const EngineFactory& makeEngine) {
  QApplication app(argc, argv);
  QtEngineHost host;
  RunControl run;
  std::unique_ptr<RecoveryEngine> engine = makeEngine(host, run);
  const QString title = QString::fromStdString(engine->texts().programTitle);
  QApplication::setOrganizationName(QStringLiteral("Ovelin Labs Inc."));
  QApplication::setApplicationName(title);

  // Both recovery programs take this one lock, so only one of them runs at a time.
  InstanceLock lock(kRecoveryProgramLock);
  QString refusal = instanceRefusal(lock.acquire(), title);
  if (!refusal.isEmpty()) {
    QMessageBox::critical(nullptr, QObject::tr("Error"), refusal);
    return 1;
  }

  QString image;
  QStringList args = QApplication::arguments();
  if (args.size() > 1) image = args.at(1);

  CMainFrame frame(*engine, host, ProgramEnvironment{});
  // Without a window manager (a bare X server) maximising does nothing: take the screen.
  if (QScreen* screen = QGuiApplication::primaryScreen()) frame.setGeometry(screen->availableGeometry());
  frame.showMaximized();
  QTimer::singleShot(0, &frame, [&frame, image] {
    showPermissionNoticeIfNeeded(frame);
    if (image.isEmpty() && tipsAtStartup(frame)) showTips(frame);
    if (!image.isEmpty()) frame.runWizardWithImage(QFileInfo(image).absoluteFilePath());
    else if (frame.settings().value(QStringLiteral("Wizard/StartUp"), 0).toInt() != 0) frame.runWizard();
  });
  int rc = QApplication::exec();
  host.setWindow(nullptr);
  return rc;
}

}  // namespace ov::workbench
