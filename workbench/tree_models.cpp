#include "workbench/tree_models.h"

#include <QApplication>
#include <QFont>
#include <QPainter>
#include <QStyle>

#include <algorithm>
#include <deque>
#include <set>

#include "workbench/models/list_texts.h"

namespace ov::workbench {

QString toQString(const std::u16string& text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

RecoveredTree readFolderTree(RecoveryEngine& engine, const std::function<void(std::uint64_t, std::uint64_t)>& progress,
                             const std::function<bool()>& goOn) {
  RecoveredTree tree;
  auto top = engine.topFolder();
  if (!top) return tree;
  tree.top = std::make_unique<FolderNode>();
  tree.top->entry = *top;
  std::uint64_t total = engine.treeEntryCount();
  std::uint64_t read = 1;
  std::set<std::uint64_t> seen{top->key};
  std::deque<FolderNode*> queue{tree.top.get()};
  while (!queue.empty()) {
    if (goOn && !goOn()) break;
    FolderNode* node = queue.front();
    queue.pop_front();
    if (progress) progress(total, std::min(read, total));
    FolderCounts counts;
    auto folders = engine.listFolder(node->entry, &counts, false);
    node->own.files = counts.files;
    node->own.bytes = counts.bytes;
    node->own.folders = counts.folders;
    read += counts.files + counts.folders;
    tree.totals.files += counts.files;
    tree.totals.bytes += counts.bytes;
    for (auto& f : folders) {
      if (!seen.insert(f.key).second) continue;
      auto child = std::make_unique<FolderNode>();
      child->entry = std::move(f);
      child->parent = node;
      child->row = static_cast<int>(node->children.size());
      queue.push_back(child.get());
      node->children.push_back(std::move(child));
      ++tree.totals.folders;
    }
  }
  // Subtree totals, children before parents: walk the nodes in reverse breadth-first order.
  std::vector<FolderNode*> order{tree.top.get()};
  for (std::size_t i = 0; i < order.size(); ++i)
    for (auto& c : order[i]->children) order.push_back(c.get());
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    FolderNode* n = *it;
    n->subtree.files += n->own.files;
    n->subtree.bytes += n->own.bytes;
    if (n->parent) {
      n->parent->subtree.files += n->subtree.files;
      n->parent->subtree.bytes += n->subtree.bytes;
      n->parent->subtree.folders += n->subtree.folders + 1;
    }
  }
  return tree;
}

namespace {

std::uint64_t markedFileCount(const FolderNode& n) {
  std::uint64_t exceptions = std::min<std::uint64_t>(n.exceptions.size(), n.own.files);
  return n.filesAll ? n.own.files - exceptions : exceptions;
}

Qt::CheckState derivedState(const FolderNode& n) {
  std::uint64_t marked = markedFileCount(n);
  bool allFiles = marked == n.own.files;
  bool noFiles = marked == 0;
  bool allChildren = true, noChildren = true;
  for (const auto& c : n.children) {
    if (c->check != Qt::Checked) allChildren = false;
    if (c->check != Qt::Unchecked) noChildren = false;
  }
  // A folder with nothing in it follows its own mark.
  if (n.own.files == 0 && n.children.empty()) return n.filesAll ? Qt::Checked : Qt::Unchecked;
  if (allFiles && allChildren) return Qt::Checked;
  if (noFiles && noChildren) return Qt::Unchecked;
  return Qt::PartiallyChecked;
}

void updateAncestors(FolderNode* node) {
  for (FolderNode* n = node; n; n = n->parent) n->check = derivedState(*n);
}

}  // namespace

void markFolder(FolderNode& node, bool marked) {
  std::vector<FolderNode*> stack{&node};
  while (!stack.empty()) {
    FolderNode* n = stack.back();
    stack.pop_back();
    n->check = marked ? Qt::Checked : Qt::Unchecked;
    n->filesAll = marked;
    n->exceptions.clear();
    for (auto& c : n->children) stack.push_back(c.get());
  }
  updateAncestors(node.parent);
}

void markFile(FolderNode& folder, std::uint64_t key, std::uint64_t size, bool marked) {
  if (folder.fileMarked(key) == marked) return;
  if (folder.exceptions.count(key)) folder.exceptions.erase(key);
  else folder.exceptions[key] = size;
  updateAncestors(&folder);
}

FolderCounts markedCounts(const FolderNode& node) {
  FolderCounts out;
  std::vector<const FolderNode*> stack{&node};
  while (!stack.empty()) {
    const FolderNode* n = stack.back();
    stack.pop_back();
    if (n->check == Qt::Checked) {
      out.files += n->subtree.files;
      out.bytes += n->subtree.bytes;
      out.folders += n->subtree.folders + 1;
      continue;
    }
    if (n->check == Qt::Unchecked) continue;
    std::uint64_t exceptionBytes = 0;
    for (const auto& [key, size] : n->exceptions) exceptionBytes += size;
    if (n->filesAll) {
      out.files += n->own.files - static_cast<std::uint32_t>(std::min<std::size_t>(n->exceptions.size(), n->own.files));
      out.bytes += n->own.bytes - std::min(exceptionBytes, n->own.bytes);
    } else {
      out.files += static_cast<std::uint32_t>(n->exceptions.size());
      out.bytes += exceptionBytes;
    }
    for (const auto& c : n->children) stack.push_back(c.get());
  }
  return out;
}

namespace {

// A deleted entry's picture: the live one, faded, with a red cross.
QIcon deletedForm(const QIcon& live) {
  QIcon out;
  for (int size : {16, 32}) {
    QPixmap pixmap = live.pixmap(size, size);
    QPixmap faded(pixmap.size());
    faded.setDevicePixelRatio(pixmap.devicePixelRatio());
    faded.fill(Qt::transparent);
    QPainter p(&faded);
    p.setOpacity(0.55);
    p.drawPixmap(0, 0, pixmap);
    p.setOpacity(1.0);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(QColor(200, 30, 30));
    pen.setWidthF(size / 8.0);
    p.setPen(pen);
    double a = size * 0.5, b = size * 0.95;
    p.drawLine(QPointF(a, a), QPointF(b, b));
    p.drawLine(QPointF(a, b), QPointF(b, a));
    p.end();
    out.addPixmap(faded);
  }
  return out;
}

}  // namespace

const EntryIcons& EntryIcons::get() {
  static const EntryIcons icons = [] {
    QStyle* style = QApplication::style();
    EntryIcons i;
    i.liveFolder = style->standardIcon(QStyle::SP_DirClosedIcon);
    i.liveFolderOpen = style->standardIcon(QStyle::SP_DirOpenIcon);
    i.liveFile = style->standardIcon(QStyle::SP_FileIcon);
    i.deletedFolder = deletedForm(i.liveFolder);
    i.deletedFolderOpen = deletedForm(i.liveFolderOpen);
    i.deletedFile = deletedForm(i.liveFile);
    return i;
  }();
  return icons;
}

FolderTreeModel::FolderTreeModel(QObject* parent) : QAbstractItemModel(parent) {}

void FolderTreeModel::setTree(RecoveredTree tree) {
  beginResetModel();
  tree_ = std::move(tree);
  current_ = tree_.top.get();
  expanded_.clear();
  endResetModel();
}

void FolderTreeModel::clear() { setTree(RecoveredTree{}); }

FolderNode* FolderTreeModel::nodeOf(const QModelIndex& index) {
  return index.isValid() ? static_cast<FolderNode*>(index.internalPointer()) : nullptr;
}

QModelIndex FolderTreeModel::indexOf(const FolderNode* node) const {
  if (!node) return {};
  return createIndex(node->row, 0, const_cast<FolderNode*>(node));
}

void FolderTreeModel::setCurrent(FolderNode* node) {
  FolderNode* old = current_;
  current_ = node;
  for (FolderNode* n : {old, node})
    if (n) Q_EMIT dataChanged(indexOf(n), indexOf(n), {Qt::FontRole});
}

void FolderTreeModel::setExpanded(const QModelIndex& index, bool expanded) {
  if (FolderNode* n = nodeOf(index)) {
    expanded_[n] = expanded;
    Q_EMIT dataChanged(index, index, {Qt::DecorationRole});
  }
}

void FolderTreeModel::refreshMarks() {
  // Check states can change anywhere above and below; the views redraw what they show.
  Q_EMIT marksChanged();
}

void FolderTreeModel::toggleFolderMark(FolderNode* node) {
  if (!node) return;
  markFolder(*node, node->check != Qt::Checked);
  refreshMarks();
}

void FolderTreeModel::setFileMark(FolderNode* folder, std::uint64_t key, std::uint64_t size, bool marked) {
  if (!folder) return;
  markFile(*folder, key, size, marked);
  refreshMarks();
}

QModelIndex FolderTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (column != 0 || row < 0) return {};
  if (!parent.isValid()) return row == 0 && tree_.top ? createIndex(0, 0, tree_.top.get()) : QModelIndex();
  FolderNode* p = nodeOf(parent);
  if (!p || row >= static_cast<int>(p->children.size())) return {};
  return createIndex(row, 0, p->children[static_cast<std::size_t>(row)].get());
}

QModelIndex FolderTreeModel::parent(const QModelIndex& child) const {
  FolderNode* n = nodeOf(child);
  if (!n || !n->parent) return {};
  return createIndex(n->parent->row, 0, n->parent);
}

int FolderTreeModel::rowCount(const QModelIndex& parent) const {
  if (!parent.isValid()) return tree_.top ? 1 : 0;
  if (parent.column() != 0) return 0;
  FolderNode* n = nodeOf(parent);
  return n ? static_cast<int>(n->children.size()) : 0;
}

int FolderTreeModel::columnCount(const QModelIndex&) const { return 1; }

QVariant FolderTreeModel::data(const QModelIndex& index, int role) const {
  const FolderNode* n = nodeOf(index);
  if (!n) return {};
  switch (role) {
    case Qt::DisplayRole:
      return toQString(n->entry.name);
    case Qt::DecorationRole: {
      const auto& icons = EntryIcons::get();
      auto it = expanded_.find(n);
      bool open = it != expanded_.end() && it->second;
      if (n->entry.isLive()) return open ? icons.liveFolderOpen : icons.liveFolder;
      return open ? icons.deletedFolderOpen : icons.deletedFolder;
    }
    case Qt::CheckStateRole:
      return static_cast<int>(n->check);
    case Qt::FontRole: {
      QFont font;
      font.setBold(n == current_);
      return font;
    }
    case Qt::ToolTipRole:
      return n->entry.isLive() ? QString() : QStringLiteral("Deleted folder");
    default:
      return {};
  }
}

bool FolderTreeModel::setData(const QModelIndex& index, const QVariant&, int role) {
  if (role != Qt::CheckStateRole) return false;
  toggleFolderMark(nodeOf(index));
  return true;
}

Qt::ItemFlags FolderTreeModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
}

FileListModel::FileListModel(FolderTreeModel& folders, QObject* parent)
    : QAbstractTableModel(parent), folders_(folders) {
  connect(&folders_, &FolderTreeModel::marksChanged, this, &FileListModel::refreshMarks);
  connect(&folders_, &QAbstractItemModel::modelAboutToBeReset, this, &FileListModel::clear);
}

void FileListModel::setFolder(FolderNode* folder, std::vector<TreeEntry> entries) {
  beginResetModel();
  folder_ = folder;
  rows_ = std::move(entries);
  verdicts_.clear();
  childFolders_.clear();
  if (folder_)
    for (auto& c : folder_->children) childFolders_[c->entry.key] = c.get();
  endResetModel();
  if (sortColumn_ >= 0) sort(sortColumn_, sortOrder_);
}

void FileListModel::clear() {
  beginResetModel();
  folder_ = nullptr;
  rows_.clear();
  verdicts_.clear();
  childFolders_.clear();
  endResetModel();
}

int FileListModel::rowOfKey(std::uint64_t key) const {
  for (std::size_t i = 0; i < rows_.size(); ++i)
    if (rows_[i].key == key) return static_cast<int>(i);
  return -1;
}

FolderNode* FileListModel::folderNodeAt(int row) const {
  if (row < 0 || row >= rowCount()) return nullptr;
  auto it = childFolders_.find(rows_[static_cast<std::size_t>(row)].key);
  return it == childFolders_.end() ? nullptr : it->second;
}

void FileListModel::refreshMarks() {
  if (!rows_.empty()) Q_EMIT dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::CheckStateRole});
}

Qt::CheckState FileListModel::rowState(int row) const {
  const TreeEntry& e = entryAt(row);
  if (e.isFolder()) {
    FolderNode* n = folderNodeAt(row);
    return n ? n->check : Qt::Unchecked;
  }
  return folder_ && folder_->fileMarked(e.key) ? Qt::Checked : Qt::Unchecked;
}

Qt::SortOrder FileListModel::nextOrder(int column) const {
  if (sortColumn_ < 0) return Qt::AscendingOrder;
  // Whichever column: the direction opposite to the last one used.
  (void)column;
  return sortOrder_ == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder;
}

int FileListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int FileListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

Recoverability FileListModel::verdictAt(int row) const {
  const TreeEntry& e = entryAt(row);
  if (!judge_ || e.isFolder() || e.isLive()) return Recoverability::Unknown;
  auto found = verdicts_.find(e.key);
  if (found != verdicts_.end()) return found->second;
  Recoverability verdict = Recoverability::Unknown;
  try {
    verdict = judge_(e);
  } catch (const AlreadyReported&) {
  }
  verdicts_[e.key] = verdict;
  return verdict;
}

QVariant FileListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const TreeEntry& e = entryAt(index.row());
  int column = index.column();
  if (role == Qt::DisplayRole) {
    switch (column) {
      case Name:
        return toQString(e.name);
      case Size:
        return QString::number(e.isFolder() ? 0 : e.size);
      case Type:
        return e.isFolder() ? QStringLiteral("Folder") : QStringLiteral("File");
      case Accessed:
        return QString::fromStdString(listDateText(e.accessedDate));
      case Created:
        return QString::fromStdString(listDateText(e.createdDate));
      case FileId:
        return QString::number(e.number);
      case ParentId:
        return QString::number(e.parentNumber);
      case Recoverable:
        switch (verdictAt(index.row())) {
          case Recoverability::Good: return QStringLiteral("Good");
          case Recoverability::PartlyOverwritten: return QStringLiteral("Partly overwritten");
          case Recoverability::Overwritten: return QStringLiteral("Overwritten");
          default: return QString();
        }
      default:
        return {};
    }
  }
  if (role == Qt::TextAlignmentRole) {
    bool left = column == Name || column == Type;
    return static_cast<int>((left ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignVCenter);
  }
  if (role == Qt::DecorationRole && column == Name) {
    const auto& icons = EntryIcons::get();
    if (e.isFolder()) return e.isLive() ? icons.liveFolder : icons.deletedFolder;
    return e.isLive() ? icons.liveFile : icons.deletedFile;
  }
  if (role == Qt::CheckStateRole && column == Name) return static_cast<int>(rowState(index.row()));
  if (role == Qt::ToolTipRole && column == Name && !e.isLive()) return QStringLiteral("Deleted");
  return {};
}

bool FileListModel::setData(const QModelIndex& index, const QVariant&, int role) {
  if (role != Qt::CheckStateRole || !index.isValid() || index.column() != Name) return false;
  const TreeEntry& e = entryAt(index.row());
  if (e.isFolder()) {
    FolderNode* n = folderNodeAt(index.row());
    if (!n) return false;
    folders_.toggleFolderMark(n);
    return true;
  }
  if (!folder_) return false;
  folders_.setFileMark(folder_, e.key, e.size, !folder_->fileMarked(e.key));
  return true;
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal) return {};
  if (role == Qt::DisplayRole) {
    static const char* kTitles[] = {"File Name", "Size in Bytes", "Type", "Date Accessed", "Date Created",
                                    "File ID", "Parent ID", "Recoverable"};
    if (section >= 0 && section < ColumnCount) return QString::fromLatin1(kTitles[section]);
  }
  if (role == Qt::TextAlignmentRole) {
    bool left = section == Name || section == Type;
    return static_cast<int>((left ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignVCenter);
  }
  return {};
}

Qt::ItemFlags FileListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (index.column() == Name) f |= Qt::ItemIsUserCheckable;
  return f;
}

void FileListModel::sort(int column, Qt::SortOrder order) {
  if (column < 0 || column >= ColumnCount) return;
  sortColumn_ = column;
  sortOrder_ = order;
  Q_EMIT layoutAboutToBeChanged();
  QModelIndexList before = persistentIndexList();
  std::vector<std::uint64_t> keysBefore;
  for (const auto& i : before) keysBefore.push_back(i.row() < rowCount() ? entryAt(i.row()).key : 0);

  auto text = [](const TreeEntry& e, int c) {
    if (c == Name) return toQString(e.name);
    return e.isFolder() ? QStringLiteral("Folder") : QStringLiteral("File");
  };
  if (column == Recoverable)
    for (int row = 0; row < rowCount(); ++row) verdictAt(row);  // judged before the rows move
  auto number = [this](const TreeEntry& e, int c) -> std::uint64_t {
    switch (c) {
      case Recoverable: {
        auto found = verdicts_.find(e.key);
        return found == verdicts_.end() ? 0 : static_cast<std::uint64_t>(found->second);
      }
      case Size:
        return e.isFolder() ? 0 : e.size;
      case FileId:
        return e.number;
      case ParentId:
        return e.parentNumber;
      case Accessed:
        return e.accessedDate;  // DOS dates order as dates: year, then month, then day
      default:
        return e.createdDate;
    }
  };
  auto less = [&](const TreeEntry& a, const TreeEntry& b) {
    if (column == Name || column == Type) {
      int c = QString::compare(text(a, column), text(b, column), Qt::CaseInsensitive);
      if (c != 0) return c < 0;
      return QString::compare(toQString(a.name), toQString(b.name), Qt::CaseInsensitive) < 0;
    }
    std::uint64_t x = number(a, column), y = number(b, column);
    if (x != y) return x < y;
    return QString::compare(toQString(a.name), toQString(b.name), Qt::CaseInsensitive) < 0;
  };
  if (order == Qt::AscendingOrder) std::stable_sort(rows_.begin(), rows_.end(), less);
  else std::stable_sort(rows_.begin(), rows_.end(), [&](const TreeEntry& a, const TreeEntry& b) { return less(b, a); });

  QModelIndexList after;
  for (std::size_t i = 0; i < static_cast<std::size_t>(before.size()); ++i) {
    int row = rowOfKey(keysBefore[i]);
    after.push_back(row < 0 ? QModelIndex() : index(row, before[static_cast<qsizetype>(i)].column()));
  }
  changePersistentIndexList(before, after);
  Q_EMIT layoutChanged();
}

}  // namespace ov::workbench
