#include "apps/carver/page_common.h"

#include <QFrame>
#include <QShortcut>
#include <QVBoxLayout>

#include "apps/carver/kestrin.h"
#include "workbench/help_window.h"

namespace ov::kestrin {

QWidget* pageBanner(const QString& title, const QString& subtitle, QWidget* parent) {
  auto* banner = new QFrame(parent);
  banner->setObjectName(QStringLiteral("PageBanner"));
  banner->setAutoFillBackground(true);
  QPalette palette = banner->palette();
  palette.setColor(QPalette::Window, Qt::white);
  palette.setColor(QPalette::WindowText, Qt::black);
  banner->setPalette(palette);
  auto* heading = new QLabel(title, banner);
  QFont bold = heading->font();
  bold.setBold(true);
  bold.setPointSizeF(bold.pointSizeF() * 1.15);
  heading->setFont(bold);
  auto* layout = new QVBoxLayout(banner);
  layout->setContentsMargins(14, 10, 14, 10);
  layout->addWidget(heading);
  if (!subtitle.isEmpty()) {
    auto* sub = new QLabel(subtitle, banner);
    sub->setWordWrap(true);
    sub->setContentsMargins(14, 0, 0, 0);
    layout->addWidget(sub);
  }
  return banner;
}

void showHelp(CarverSession& session, QWidget* parent, const char* topic) {
  workbench::HelpWindow::show(parent, session.helpFolder(), QString::fromLatin1(topic));
}

void bindHelpKey(CarverSession& session, QWidget* dialog, const char* topic) {
  auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), dialog);
  QObject::connect(f1, &QShortcut::activated, dialog, [&session, dialog, topic] { showHelp(session, dialog, topic); });
}

}  // namespace ov::kestrin
