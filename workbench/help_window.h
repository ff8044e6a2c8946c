// The help window: the HTML pages shipped with the program, opened at a topic ("ntfswizardwin.htm").
#pragma once

#include <QDialog>
#include <QTextBrowser>

namespace ov::workbench {

class HelpWindow final : public QDialog {
  Q_OBJECT
 public:
  // Shows (or raises) the one help window of `parent` at `topic`.
  static HelpWindow* show(QWidget* parent, const QString& helpFolder, const QString& topic);
  QTextBrowser* browser() const { return browser_; }

 private:
  HelpWindow(QWidget* parent, const QString& helpFolder);
  void open(const QString& topic);

  QString folder_;
  QTextBrowser* browser_;
};

}  // namespace ov::workbench
