// What the two processes of Kestrin's end-to-end test share (see kestrin_e2e_test.cpp).
#pragma once

#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QTest>

namespace ov::test {

// Set by the first process (OV_NTFS) for the second (Kestrin): where the second writes its verdict.
inline constexpr const char* kKestrinResultVariable = "OV_KESTRIN_E2E_RESULT";

// A screenshot of the whole screen, as build/screenshots/kestrin-NAME.png.
inline void kestrinShot(const char* name) {
  QApplication::processEvents();
  QTest::qWait(200);
  QDir().mkpath(QStringLiteral(OV_SCREENSHOT_DIR));
  QGuiApplication::primaryScreen()->grabWindow(0).save(
      QStringLiteral(OV_SCREENSHOT_DIR "/kestrin-%1.png").arg(QString::fromLatin1(name)));
}

// The first process: OV_NTFS with Tools > Kestrin (kestrin_e2e_launcher.cpp).
int runLauncherSide(int argc, char** argv);

}  // namespace ov::test
