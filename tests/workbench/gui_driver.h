// Driving the real windows from a test: modal dialogs answered from the event loop as they open; waits that keep it running.
#pragma once

#include <QAbstractItemView>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace ov::test {

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
// `milliseconds`); the action runs inside that widget's own event loop.
template <class T>
void onModal(std::function<void(T*)> action, int milliseconds = 60000) {
  auto* timer = new QTimer;
  auto* clock = new QElapsedTimer;
  clock->start();
  QObject::connect(timer, &QTimer::timeout, [timer, clock, action, milliseconds] {
    auto* w = qobject_cast<T*>(QApplication::activeModalWidget());
    if (!w && clock->elapsed() <= milliseconds) return;
    timer->stop();
    timer->deleteLater();
    delete clock;
    if (w) action(w);
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
