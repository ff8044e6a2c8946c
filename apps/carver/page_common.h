// What Kestrin's windows share: the way a page ends, the banner at the top of a page, and help.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QString>

namespace ov::kestrin {

class CarverSession;

// How a page or dialog ends (its QDialog result).
enum PageResult { PageCancel = QDialog::Rejected, PageNext = QDialog::Accepted, PageBack = 2, PageSave = 3 };

// The white banner with the page's title across the top of a page.
QWidget* pageBanner(const QString& title, const QString& subtitle, QWidget* parent);

// Opens the help window of the session at a topic ("::/ovfrselectfiletypes.htm"); F1 on the
// dialog does the same.
void showHelp(CarverSession& session, QWidget* parent, const char* topic);
void bindHelpKey(CarverSession& session, QWidget* dialog, const char* topic);

}  // namespace ov::kestrin
