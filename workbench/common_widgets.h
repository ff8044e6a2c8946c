// Small widgets shared by the recovery programs and the carver: the information panel (lines
// that begin with "HDR" are headings; the carver's lines may hold rich text), the disk tree under
// "My Computer", and message boxes built from the engines' titles and icons.
#pragma once

#include <QListWidget>
#include <QMessageBox>
#include <QTreeWidget>

#include <string>
#include <vector>

#include "disk/host.h"
#include "disk/physical_disks.h"

namespace ov::workbench {

class InfoPanel final : public QListWidget {
  Q_OBJECT
 public:
  explicit InfoPanel(QWidget* parent = nullptr);
  void setLines(const std::vector<std::string>& lines);
  // The same, with every line but the headings taken as rich text (bold, italic, colours,
  // bullets), wrapped to the panel's width.
  void setRichLines(const std::vector<std::string>& lines);

 private:
  void addLines(const std::vector<std::string>& lines, bool rich);
};

// "My Computer" with one child per disk, labelled with its device name; each child carries its
// index in the disk list.
class DiskTree final : public QTreeWidget {
  Q_OBJECT
 public:
  explicit DiskTree(QWidget* parent = nullptr);
  void setDisks(const std::vector<DiskInfo>& disks);
  // The chosen disk's index, or -1.
  int selectedDisk() const;

 Q_SIGNALS:
  void diskSelected(int index);  // -1 when the root or nothing is selected
};

QMessageBox::Icon messageIcon(MessageIcon icon);
void showMessage(QWidget* parent, const std::string& title, const std::string& text, MessageIcon icon);
// Yes/No question; true for Yes.
bool askYesNo(QWidget* parent, const QString& title, const QString& text);

}  // namespace ov::workbench
