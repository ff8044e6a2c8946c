#include "workbench/qt_host.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>

#include <exception>

namespace ov::workbench {

QtEngineHost::QtEngineHost(QObject* parent) : QObject(parent) {}

void QtEngineHost::onGuiThread(const std::function<void()>& call) {
  if (QThread::currentThread() == thread()) {
    call();
    return;
  }
  QMetaObject::invokeMethod(this, [&call] { call(); }, Qt::BlockingQueuedConnection);
}

void QtEngineHost::addLogEntry(const LogEntry& entry) {
  onGuiThread([&] {
    if (window_) window_->addLogEntry(entry);
  });
}

void QtEngineHost::showMessage(const std::string& title, const std::string& text, MessageIcon icon) {
  onGuiThread([&] {
    if (window_) window_->showMessage(title, text, icon);
  });
}

void QtEngineHost::progress(std::uint64_t total, std::uint64_t done) {
  total_.store(total);
  done_.store(done);
  // The window redraws only when the shown value changes, so only such changes cross threads:
  // a walk reports after every small batch, and a blocking call per batch would slow it down.
  std::uint32_t permille =
      total == 0 ? 0 : static_cast<std::uint32_t>(static_cast<double>(std::min(done, total)) * 1000.0 /
                                                  static_cast<double>(total));
  if (permille == shownPermille_.exchange(permille) && done != total) return;
  onGuiThread([&] {
    if (window_) window_->showProgress(total, done);
  });
}

void QtEngineHost::statusText(const std::string& text) {
  onGuiThread([&] {
    if (window_) window_->showStatusText(text);
  });
}

void QtEngineHost::processingFinished(int code) {
  onGuiThread([&] {
    if (window_) window_->processingFinished(code);
  });
}

void QtEngineHost::searchProgress(std::uint64_t position, std::uint64_t end) {
  onGuiThread([&] {
    if (search_) search_->onSearchProgress(position, end);
  });
}

void QtEngineHost::volumeFoundAs(std::uint64_t startSector, const std::string& driveWord) {
  onGuiThread([&] {
    if (search_) search_->onVolumeFound(startSector, driveWord);
  });
}

void QtEngineHost::searchFinished(bool completed) {
  onGuiThread([&] {
    if (search_) search_->onSearchFinished(completed);
  });
}

EngineWorker::EngineWorker(QObject* parent) : QObject(parent) {
  context_ = new QObject;
  context_->moveToThread(&thread_);
  connect(&thread_, &QThread::finished, context_, &QObject::deleteLater);
  thread_.start();
}

EngineWorker::~EngineWorker() {
  thread_.quit();
  thread_.wait();
}

bool EngineWorker::start(std::function<void()> job, std::function<void()> done) {
  if (busy_) return false;
  busy_ = true;
  Q_EMIT busyChanged(true);
  QPointer<EngineWorker> self(this);
  QMetaObject::invokeMethod(context_, [self, job = std::move(job), done = std::move(done)] {
    try {
      job();
    } catch (const AlreadyReported&) {
      // shown already; the operation simply ends
    } catch (const std::exception&) {
      // an engine fault must not take the program down with the worker thread
    }
    QMetaObject::invokeMethod(qApp, [self, done] {
      if (!self) return;
      self->busy_ = false;
      Q_EMIT self->busyChanged(false);
      if (done) done();
    });
  });
  return true;
}

bool EngineWorker::runAndWait(const std::function<void()>& job) {
  QEventLoop loop;
  bool finished = false;
  if (!start(job, [&] {
        finished = true;
        loop.quit();
      }))
    return false;
  if (!finished) loop.exec(QEventLoop::ExcludeUserInputEvents);
  return true;
}

}  // namespace ov::workbench
