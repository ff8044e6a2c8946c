// Starting a recovery program: the single-instance lock shared by both recovery programs, the
// permission notice, the tips, the About box, and the programs it can start (carver, updater).
#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <string>

#include "disk/recovery_engine.h"
#include "workbench/instance_lock.h"

namespace ov::workbench {

class CMainFrame;
struct ProgramEnvironment;

// Why a recovery program must not start with this outcome of taking the lock; empty when it may.
QString instanceRefusal(InstanceLock::Result result, const QString& programTitle);

// The tips dialog with the tips file of the program's folder.
void showTips(CMainFrame& frame);
// Whether the tips show at start-up (their own setting).
bool tipsAtStartup(CMainFrame& frame);
// The notice shown when the disks cannot be read for lack of permission; nothing when they can.
void showPermissionNoticeIfNeeded(CMainFrame& frame);
void showAbout(CMainFrame& frame);
void startUpdater(CMainFrame& frame);
void startCarver(CMainFrame& frame);

using EngineFactory = std::function<std::unique_ptr<RecoveryEngine>(EngineHost&, RunControl&)>;
// The whole program: the lock, the main window, the start-up dialogs and the event loop.
// The only argument it takes is an optional image file, opened on the wizard's image page.
int runWorkbench(int argc, char** argv, const EngineFactory& makeEngine);

}  // namespace ov::workbench
