// The recovered tree as the main window shows it: the folders read once from the engine (with
// their totals and check marks), the folder tree model over them, and the file list model of the
// current folder. The models sit directly on these nodes and on the engine's entries; nothing is
// copied into item objects, so a volume of a few hundred thousand files opens at once.
#pragma once

#include <QAbstractItemModel>
#include <QIcon>

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "disk/recovery_engine.h"

namespace ov::workbench {

// One folder of the recovered tree, with the marks of its files.
struct FolderNode {
  TreeEntry entry;
  FolderNode* parent = nullptr;
  std::vector<std::unique_ptr<FolderNode>> children;
  int row = 0;                 // position among the parent's children
  FolderCounts own;            // this folder's own files (bytes and count)
  FolderCounts subtree;        // every file and folder below it
  Qt::CheckState check = Qt::Unchecked;
  // The marks of the folder's own files: all of them except `exceptions`, or only `exceptions`.
  bool filesAll = false;
  std::map<std::uint64_t, std::uint64_t> exceptions;  // file key -> size

  bool fileMarked(std::uint64_t key) const { return filesAll != (exceptions.count(key) != 0); }
};

struct RecoveredTree {
  std::unique_ptr<FolderNode> top;
  FolderCounts totals;
};

// Reads every folder of the engine's tree breadth-first, counting files, folders and bytes.
// `progress(total entries, entries read)` is called before each folder; `goOn` may end it early.
// Folders met twice (damaged links) are read once.
RecoveredTree readFolderTree(RecoveryEngine& engine, const std::function<void(std::uint64_t, std::uint64_t)>& progress,
                             const std::function<bool()>& goOn);

// Marking rules. A folder's check box marks or unmarks it and every folder below it; each
// ancestor then becomes marked when all it holds is marked, unmarked when nothing is, and partly
// marked otherwise.
void markFolder(FolderNode& node, bool marked);
void markFile(FolderNode& folder, std::uint64_t key, std::uint64_t size, bool marked);
// What is marked below (and including) `node`.
FolderCounts markedCounts(const FolderNode& node);

// The four pictures of the tree and the list.
struct EntryIcons {
  QIcon liveFolder, liveFolderOpen, deletedFolder, deletedFolderOpen, liveFile, deletedFile;
  static const EntryIcons& get();
};

class FolderTreeModel final : public QAbstractItemModel {
  Q_OBJECT
 public:
  explicit FolderTreeModel(QObject* parent = nullptr);

  void setTree(RecoveredTree tree);
  void clear();
  FolderNode* top() const { return tree_.top.get(); }
  const FolderCounts& totals() const { return tree_.totals; }

  QModelIndex indexOf(const FolderNode* node) const;
  static FolderNode* nodeOf(const QModelIndex& index);
  // The folder whose contents the list shows, drawn bold.
  void setCurrent(FolderNode* node);
  FolderNode* current() const { return current_; }
  void setExpanded(const QModelIndex& index, bool expanded);
  // Applies a mark and tells the views what changed.
  void toggleFolderMark(FolderNode* node);
  void setFileMark(FolderNode* folder, std::uint64_t key, std::uint64_t size, bool marked);

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 Q_SIGNALS:
  // Any mark changed: the list refreshes its check boxes and the window its marked totals.
  void marksChanged();

 private:
  void refreshMarks();

  RecoveredTree tree_;
  FolderNode* current_ = nullptr;
  std::map<const FolderNode*, bool> expanded_;
};

class FileListModel final : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum Column { Name, Size, Type, Accessed, Created, FileId, ParentId, Recoverable, ColumnCount };

  FileListModel(FolderTreeModel& folders, QObject* parent = nullptr);

  void setFolder(FolderNode* folder, std::vector<TreeEntry> entries);
  // Judges a deleted file (the engine's fileLayout verdict) for the "Recoverable" column; asked
  // for the rows shown (and all of them when that column is sorted), once per entry.
  void setJudge(std::function<Recoverability(const TreeEntry&)> judge) { judge_ = std::move(judge); }
  Recoverability verdictAt(int row) const;
  void clear();
  FolderNode* folder() const { return folder_; }
  const TreeEntry& entryAt(int row) const { return rows_[static_cast<std::size_t>(row)]; }
  int rowOfKey(std::uint64_t key) const;
  // The folder node of a folder row, when it is in the tree.
  FolderNode* folderNodeAt(int row) const;
  void refreshMarks();
  // The list's own header rule: the same column again reverses the order; another column
  // sorts in the direction opposite to the last one used.
  Qt::SortOrder nextOrder(int column) const;
  int sortColumn() const { return sortColumn_; }
  Qt::SortOrder sortOrder() const { return sortOrder_; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

 private:
  Qt::CheckState rowState(int row) const;

  FolderTreeModel& folders_;
  FolderNode* folder_ = nullptr;
  std::vector<TreeEntry> rows_;
  std::map<std::uint64_t, FolderNode*> childFolders_;
  int sortColumn_ = -1;
  Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
  std::function<Recoverability(const TreeEntry&)> judge_;
  mutable std::map<std::uint64_t, Recoverability> verdicts_;  // by entry key, for the current folder
};

QString toQString(const std::u16string& text);

}  // namespace ov::workbench
