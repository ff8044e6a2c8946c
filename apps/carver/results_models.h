// The results dialog's models, straight over the results tree: the folder tree under "Root" and
// the list of one folder's items, both with the user's marks as check boxes.
#pragma once

#include <QAbstractItemModel>
#include <QAbstractTableModel>
#include <QIcon>

#include <unordered_map>
#include <vector>

#include "carver/results.h"

namespace ov::kestrin {

class ResultFolderModel final : public QAbstractItemModel {
  Q_OBJECT
 public:
  ResultFolderModel(ResultNode& root, QObject* parent = nullptr);

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  static ResultNode* nodeOf(const QModelIndex& index) { return static_cast<ResultNode*>(index.internalPointer()); }
  QModelIndex indexOf(const ResultNode* folder) const;
  // Redraws every check box after marks changed.
  void refreshChecks();

 Q_SIGNALS:
  void marksChanged();

 private:
  void refreshUnder(const QModelIndex& parent);

  ResultNode& root_;
  std::unordered_map<const ResultNode*, std::vector<ResultNode*>> folders_;  // the subfolders of each folder
  std::unordered_map<const ResultNode*, int> rows_;
  QIcon folderIcon_;
};

class ResultListModel final : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum Column { NameColumn = 0, SizeColumn = 1 };
  static constexpr const char* kPreviewHint = "Double click on file to preview";

  explicit ResultListModel(QObject* parent = nullptr);

  void setFolder(ResultNode* folder);
  ResultNode* folder() const { return folder_; }
  ResultNode* nodeAt(int row) const;
  int rowOf(const ResultNode* node) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

  void refreshChecks();

 Q_SIGNALS:
  void marksChanged();

 private:
  void applySort();

  ResultNode* folder_ = nullptr;
  std::vector<ResultNode*> rows_;
  int sortColumn_ = NameColumn;
  Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
  QIcon folderIcon_, fileIcon_;
};

}  // namespace ov::kestrin
