// Driving the real windows from a test: modal dialogs answered from the event loop as they open; waits that keep it running.
#pragma once

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "disk/physical_disks.h"
#include "tests/support/test_support.h"
#include "workbench/main_frame.h"

namespace ov::test {

// A recovery program's main window (Engine: the NTFS or FAT engine), the given test images (made on
// first use) listed as the disks of the machine.
template <class Engine>
struct Program {
  workbench::QtEngineHost host;
  RunControl run;
  Engine engine{host, run};
  ImageDiskProvider disks;
  DeviceSizeQuery sizes;
  std::unique_ptr<workbench::CMainFrame> frame;

  explicit Program(std::vector<std::string> images) : disks(image(images.front()).parent_path(), fileNames(images)) {
    workbench::ProgramEnvironment env;
    env.diskProvider = &disks;
    env.sizeQuery = &sizes;
    env.deviceDirectory = image(images.front()).parent_path().string();
    frame = std::make_unique<workbench::CMainFrame>(engine, host, env);
  }
  static std::vector<std::string> fileNames(std::vector<std::string> names) {
    for (auto& n : names) n = image(n).filename().string();
    return names;
  }
};

// Processes events until `done()` or the time is up; true when done.
inline bool waitFor(const std::function<bool()>& done, int milliseconds = 60000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > milliseconds) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    QTest::qSleep(5);
  }
  return true;
}

// Runs `action` on the first modal widget of type T that opens (checked every 20 ms, up to
// `milliseconds`); the action runs inside that widget's own event loop. Once the time is up, a widget
// that opens later is left alone: it belongs to a later step.
template <class T>
void onModal(std::function<void(T*)> action, int milliseconds = 60000) {
  auto* timer = new QTimer;
  auto* clock = new QElapsedTimer;
  clock->start();
  QObject::connect(timer, &QTimer::timeout, [timer, clock, action, milliseconds] {
    auto* w = qobject_cast<T*>(QApplication::activeModalWidget());
    const bool late = clock->elapsed() > milliseconds;
    if (!w && !late) return;
    timer->stop();
    timer->deleteLater();
    delete clock;
    if (w && !late) action(w);
  });
  timer->start(20);
}

// Answers the next message box with `button` and hands its text to `seen`; `before` (a screenshot) runs first.
inline void answerMessage(QMessageBox::StandardButton button, QString* seen = nullptr,
                          std::function<void()> before = {}) {
  onModal<QMessageBox>([button, seen, before](QMessageBox* box) {
    if (seen) *seen = box->text();
    if (before) before();
    if (QAbstractButton* b = box->button(button)) b->click();
    else box->done(button);
  });
}

// Runs `act` and presses Ok on the message box it opens (within `milliseconds`); the box's text, or "" when
// none opened. `before` (a screenshot) runs while the box is shown.
inline QString messageAfter(const std::function<void()>& act, int milliseconds = 60000, std::function<void()> before = {}) {
  auto seen = std::make_shared<QString>();  // the answer may come after a return on time-out
  onModal<QMessageBox>([seen, before](QMessageBox* box) {
    *seen = box->text();
    if (before) before();
    box->button(QMessageBox::Ok)->click();
  }, milliseconds);
  act();
  waitFor([seen] { return !seen->isEmpty(); }, milliseconds);
  return *seen;
}

// Answers the next file dialog with `path`, set whole in its name field (typed key by key, the
// completer may take the dialog elsewhere) and taken with Return; `before` (a screenshot) runs first.
inline void answerFileDialog(const QString& path, std::function<void()> before = {}) {
  onModal<QFileDialog>([path, before](QFileDialog* dialog) {
    auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    if (!name) qFatal("the file dialog has no name field");
    name->setText(path);
    if (before) before();
    QTest::keyClick(name, Qt::Key_Return);
  });
}

// Shows `window` over the whole screen; true once it is drawn.
inline bool showOnScreen(QWidget& window) {
  window.setGeometry(QGuiApplication::primaryScreen()->availableGeometry());
  window.show();
  return QTest::qWaitForWindowExposed(&window);
}

#ifdef OV_SCREENSHOT_DIR
// A screenshot of the whole screen, as build/screenshots/NAME.png.
inline void screenshot(const QString& name) {
  QApplication::processEvents();
  QTest::qWait(200);
  QDir().mkpath(QStringLiteral(OV_SCREENSHOT_DIR));
  QGuiApplication::primaryScreen()->grabWindow(0).save(QStringLiteral(OV_SCREENSHOT_DIR "/%1.png").arg(name));
}
#endif

// Clicks the check box of a row of a tree or list view, as a person would.
inline void clickCheckBox(QAbstractItemView* view, const QModelIndex& index) {
  view->scrollTo(index);
  QStyleOptionViewItem option;
  option.initFrom(view);
  option.rect = view->visualRect(index);
  option.features |= QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
  const QRect box = view->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, view);
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, box.center());
}

}  // namespace ov::test
