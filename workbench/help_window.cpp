#include "workbench/help_window.h"

#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QVBoxLayout>

namespace ov::workbench {

HelpWindow::HelpWindow(QWidget* parent, const QString& helpFolder) : QDialog(parent), folder_(helpFolder) {
  setObjectName(QStringLiteral("HelpWindow"));
  setWindowTitle(tr("Help"));
  browser_ = new QTextBrowser(this);
  browser_->setSearchPaths({helpFolder});
  browser_->setOpenExternalLinks(true);
  auto* close = new QPushButton(tr("&Close"), this);
  connect(close, &QPushButton::clicked, this, &QDialog::close);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(browser_);
  layout->addWidget(close, 0, Qt::AlignRight);
  resize(640, 520);
}

HelpWindow* HelpWindow::show(QWidget* parent, const QString& helpFolder, const QString& topic) {
  auto* window = parent->findChild<HelpWindow*>(QStringLiteral("HelpWindow"), Qt::FindDirectChildrenOnly);
  if (!window) window = new HelpWindow(parent, helpFolder);
  window->open(topic);
  window->QDialog::show();
  window->raise();
  window->activateWindow();
  return window;
}

void HelpWindow::open(const QString& topic) {
  QString name = topic;
  if (name.startsWith(QStringLiteral("::/"))) name = name.mid(3);
  QFileInfo page(QDir(folder_).filePath(name));
  // The pages are shared by both programs; their topics carry the program's prefix.
  for (const char* prefix : {"ntfs", "fat"})
    if (!page.exists() && name.startsWith(QLatin1String(prefix)))
      page = QFileInfo(QDir(folder_).filePath(name.mid(static_cast<qsizetype>(qstrlen(prefix)))));
  if (page.exists()) {
    browser_->setSource(QUrl::fromLocalFile(page.absoluteFilePath()));
  } else {
    browser_->setHtml(tr("<h2>Help</h2><p>The help page <b>%1</b> is not installed with this program.</p>").arg(name.toHtmlEscaped()));
  }
}

}  // namespace ov::workbench
