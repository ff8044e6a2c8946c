// The first process of Kestrin's end-to-end test: OV_NTFS's window, holding the recovery programs'
// lock, whose Tools > Kestrin starts the second process and hides the window until Kestrin leaves.
#include <QAbstractButton>
#include <QApplication>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "ntfs/ntfs_engine.h"
#include "tests/e2e/kestrin_e2e.h"
#include "tests/support/test_support.h"
#include "tests/workbench/gui_driver.h"
#include "workbench/main_frame.h"
#include "workbench/startup.h"

using namespace ov;
using namespace ov::workbench;
namespace fs = std::filesystem;

class KestrinEndToEnd : public QObject {
  Q_OBJECT
 private Q_SLOTS:
  void fromOvNtfsToKestrinAndBack();
};

void KestrinEndToEnd::fromOvNtfsToKestrinAndBack() {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) QSKIP("needs an X server (run under xvfb-run)");
  InstanceLock recoveryLock(kRecoveryProgramLock);
  QCOMPARE(recoveryLock.acquire(), InstanceLock::Result::Held);
  test::Program<ntfs::NtfsEngine> program({"sample"});
  CMainFrame& frame = *program.frame;
  frame.setWindowState(Qt::WindowMaximized);
  QVERIFY(test::showOnScreen(frame));
  test::kestrinShot("00-ov_ntfs");

  const fs::path result = test::scratchDir() / "kestrin-result.txt";
  qputenv(test::kKestrinResultVariable, QByteArray::fromStdString(result.string()));
  frame.actions.kestrin->trigger();
  QVERIFY(frame.carverRunning());
  QVERIFY(test::waitFor([&] { return !frame.isVisible(); }, 10000));

  // Kestrin writes its verdict once it has left through Exit, and then waits to be let go.
  QVERIFY(test::waitFor([&] { return fs::exists(result) || !frame.carverRunning(); }, 600000));
  QVERIFY2(fs::exists(result), "Kestrin ended without its verdict");
  QVERIFY(frame.carverRunning());
  QVERIFY(test::waitFor([&] { return frame.isVisible(); }, 10000));
  QVERIFY(frame.windowState() & Qt::WindowMaximized);
  test::kestrinShot("21-ov_ntfs-shown-again");
  std::ofstream(result.string() + ".seen") << "seen\n";
  QVERIFY(test::waitFor([&] { return !frame.carverRunning(); }, 30000));
  std::ifstream in(result);
  std::string verdict((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  QVERIFY2(verdict.rfind("PASS", 0) == 0, verdict.c_str());
}

namespace ov::test {

int runLauncherSide(int argc, char** argv) {
  const fs::path runtime = scratchDir() / "runtime";
  fs::create_directories(runtime);
  fs::permissions(runtime, fs::perms::owner_all);
  qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime.string()));
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((scratchDir() / "config").string()));
  // The whole carving run of the second process happens inside this test's one function.
  qputenv("QTEST_FUNCTION_TIMEOUT", "900000");
  QApplication app(argc, argv);
  KestrinEndToEnd test;
  return QTest::qExec(&test, argc, argv);
}

}  // namespace ov::test

#include "kestrin_e2e_launcher.moc"
