// What the two processes of Kestrin's end-to-end test share (see kestrin_e2e_test.cpp).
#pragma once

#include "tests/workbench/gui_driver.h"

namespace ov::test {

// Set by the first process (OV_NTFS) for the second (Kestrin): where the second writes its verdict.
inline constexpr const char* kKestrinResultVariable = "OV_KESTRIN_E2E_RESULT";

// A screenshot of the whole screen, as build/screenshots/kestrin-NAME.png.
inline void kestrinShot(const char* name) { screenshot(QStringLiteral("kestrin-") + QLatin1String(name)); }

// The first process: OV_NTFS with Tools > Kestrin (kestrin_e2e_launcher.cpp).
int runLauncherSide(int argc, char** argv);

}  // namespace ov::test
