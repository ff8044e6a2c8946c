// The folder tree (left) and the file list (right) of the main window.
#pragma once

#include <QListView>
#include <QStackedWidget>
#include <QTreeView>

#include <functional>

#include "workbench/tree_models.h"

namespace ov::workbench {

class COVNTFSTreeView final : public QTreeView {
  Q_OBJECT
 public:
  COVNTFSTreeView(FolderTreeModel& model, QWidget* parent = nullptr);
  // Clicks count only while this says so (no operation running, no list being refreshed).
  void setClicksAllowed(std::function<bool()> allowed) { allowed_ = std::move(allowed); }
  void selectFolder(FolderNode* node);

 Q_SIGNALS:
  void folderChosen(FolderNode* node);
  void contextMenuWanted(const QPoint& globalPos);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  bool allowed() const { return !allowed_ || allowed_(); }
  FolderTreeModel& model_;
  std::function<bool()> allowed_;
};

class COVNTFSListView final : public QWidget {
  Q_OBJECT
 public:
  enum class Mode { LargeIcons, SmallIcons, List, Details };

  COVNTFSListView(FileListModel& model, QWidget* parent = nullptr);
  void setMode(Mode mode);
  Mode mode() const { return mode_; }
  QTreeView* details() const { return details_; }
  QListView* icons() const { return icons_; }
  QAbstractItemView* current() const;
  QItemSelectionModel* selection() const { return details_->selectionModel(); }
  // Rows selected, in the list's order.
  std::vector<int> selectedRows() const;
  void setClicksAllowed(std::function<bool()> allowed) { allowed_ = std::move(allowed); }
  // Sorts by the column with the list's header rule and shows the arrow.
  void sortBy(int column, Qt::SortOrder order);

 Q_SIGNALS:
  void folderOpened(int row);
  void contextMenuWanted(const QPoint& globalPos);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  bool allowed() const { return !allowed_ || allowed_(); }
  void activated(const QModelIndex& index);

  FileListModel& model_;
  QStackedWidget* stack_;
  QTreeView* details_;
  QListView* icons_;
  Mode mode_ = Mode::Details;
  std::function<bool()> allowed_;
};

}  // namespace ov::workbench
