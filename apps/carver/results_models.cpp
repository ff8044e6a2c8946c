#include "apps/carver/results_models.h"

#include <QApplication>
#include <QStyle>

#include <algorithm>

namespace ov::kestrin {

namespace {

Qt::CheckState qtState(const ResultNode& node) {
  switch (checkState(node)) {
    case CheckState::Checked:
      return Qt::Checked;
    case CheckState::Partial:
      return Qt::PartiallyChecked;
    default:
      return Qt::Unchecked;
  }
}

QString nameOf(const ResultNode& node) { return QString::fromStdU16String(node.name); }

// Names in the order a person reads them: runs of digits by their value ("512.jpg" before
// "2048.jpg"), letters without regard to case; names equal so far by their plain text.
int naturalCompare(const std::u16string& a, const std::u16string& b) {
  auto digit = [](char16_t c) { return c >= u'0' && c <= u'9'; };
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      std::size_t ei = i, ej = j;
      while (ei < a.size() && digit(a[ei])) ++ei;
      while (ej < b.size() && digit(b[ej])) ++ej;
      std::size_t si = i, sj = j;
      while (si + 1 < ei && a[si] == u'0') ++si;
      while (sj + 1 < ej && b[sj] == u'0') ++sj;
      if (ei - si != ej - sj) return ei - si < ej - sj ? -1 : 1;
      for (; si < ei; ++si, ++sj)
        if (a[si] != b[sj]) return a[si] < b[sj] ? -1 : 1;
      i = ei;
      j = ej;
      continue;
    }
    const char32_t ca = QChar::toCaseFolded(char32_t{a[i]}), cb = QChar::toCaseFolded(char32_t{b[j]});
    if (ca != cb) return ca < cb ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size() || j < b.size()) return i < a.size() ? 1 : -1;
  return a < b ? -1 : a > b ? 1 : 0;
}

}  // namespace

// --- The folder tree --------------------------------------------------------------------------

ResultFolderModel::ResultFolderModel(ResultNode& root, QObject* parent) : QAbstractItemModel(parent), root_(root) {
  folderIcon_ = QApplication::style()->standardIcon(QStyle::SP_DirIcon);
  // The tree does not change while the dialog is open: each folder's subfolders are listed once.
  std::vector<const ResultNode*> pending{&root_};
  rows_[&root_] = 0;
  while (!pending.empty()) {
    const ResultNode* n = pending.back();
    pending.pop_back();
    auto& list = folders_[n];
    for (ResultNode* c = n->firstChild; c; c = c->nextSibling) {
      if (!c->isFolder) continue;
      rows_[c] = static_cast<int>(list.size());
      list.push_back(c);
      pending.push_back(c);
    }
  }
}

QModelIndex ResultFolderModel::index(int row, int column, const QModelIndex& parent) const {
  if (column != 0 || row < 0) return {};
  if (!parent.isValid()) return row == 0 ? createIndex(0, 0, &root_) : QModelIndex();
  auto it = folders_.find(nodeOf(parent));
  if (it == folders_.end() || row >= static_cast<int>(it->second.size())) return {};
  return createIndex(row, 0, it->second[static_cast<std::size_t>(row)]);
}

QModelIndex ResultFolderModel::parent(const QModelIndex& child) const {
  if (!child.isValid()) return {};
  const ResultNode* node = nodeOf(child);
  if (node == &root_ || !node->parent) return {};
  return indexOf(node->parent);
}

int ResultFolderModel::rowCount(const QModelIndex& parent) const {
  if (!parent.isValid()) return 1;
  auto it = folders_.find(nodeOf(parent));
  return it == folders_.end() ? 0 : static_cast<int>(it->second.size());
}

int ResultFolderModel::columnCount(const QModelIndex&) const { return 1; }

QVariant ResultFolderModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const ResultNode& node = *nodeOf(index);
  switch (role) {
    case Qt::DisplayRole:
      return &node == &root_ ? QStringLiteral("Root") : nameOf(node);
    case Qt::DecorationRole:
      return folderIcon_;
    case Qt::CheckStateRole:
      return qtState(node);
    default:
      return {};
  }
}

bool ResultFolderModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || role != Qt::CheckStateRole) return false;
  setChecked(*nodeOf(index), value.toInt() == Qt::Checked);
  Q_EMIT marksChanged();
  return true;
}

Qt::ItemFlags ResultFolderModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
}

QModelIndex ResultFolderModel::indexOf(const ResultNode* folder) const {
  if (!folder) return {};
  if (folder == &root_) return createIndex(0, 0, &root_);
  auto it = rows_.find(folder);
  if (it == rows_.end()) return {};
  return createIndex(it->second, 0, const_cast<ResultNode*>(folder));
}

void ResultFolderModel::refreshChecks() { refreshUnder(QModelIndex()); }

void ResultFolderModel::refreshUnder(const QModelIndex& parent) {
  const int rows = rowCount(parent);
  if (rows == 0) return;
  Q_EMIT dataChanged(index(0, 0, parent), index(rows - 1, 0, parent), {Qt::CheckStateRole});
  for (int r = 0; r < rows; ++r) refreshUnder(index(r, 0, parent));
}

// --- The list ---------------------------------------------------------------------------------

ResultListModel::ResultListModel(QObject* parent) : QAbstractTableModel(parent) {
  folderIcon_ = QApplication::style()->standardIcon(QStyle::SP_DirIcon);
  fileIcon_ = QApplication::style()->standardIcon(QStyle::SP_FileIcon);
}

void ResultListModel::setFolder(ResultNode* folder) {
  beginResetModel();
  folder_ = folder;
  rows_.clear();
  if (folder_)
    for (ResultNode* c = folder_->firstChild; c; c = c->nextSibling) rows_.push_back(c);
  applySort();
  endResetModel();
}

ResultNode* ResultListModel::nodeAt(int row) const {
  return row >= 0 && row < static_cast<int>(rows_.size()) ? rows_[static_cast<std::size_t>(row)] : nullptr;
}

int ResultListModel::rowOf(const ResultNode* node) const {
  auto it = std::find(rows_.begin(), rows_.end(), node);
  return it == rows_.end() ? -1 : static_cast<int>(it - rows_.begin());
}

int ResultListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int ResultListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 2; }

QVariant ResultListModel::data(const QModelIndex& index, int role) const {
  const ResultNode* node = nodeAt(index.row());
  if (!node) return {};
  const bool name = index.column() == NameColumn;
  switch (role) {
    case Qt::DisplayRole:
      if (name) return nameOf(*node);
      return node->isFolder ? QString() : QString::number(node->size);
    case Qt::DecorationRole:
      return name ? (node->isFolder ? folderIcon_ : fileIcon_) : QVariant();
    case Qt::CheckStateRole:
      return name ? QVariant(qtState(*node)) : QVariant();
    case Qt::ToolTipRole:
      return node->isFolder ? QVariant() : QVariant(QString::fromLatin1(kPreviewHint));
    case Qt::TextAlignmentRole:
      return name ? QVariant() : QVariant(int(Qt::AlignRight | Qt::AlignVCenter));
    default:
      return {};
  }
}

bool ResultListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  ResultNode* node = nodeAt(index.row());
  if (!node || role != Qt::CheckStateRole || index.column() != NameColumn) return false;
  setChecked(*node, value.toInt() == Qt::Checked);
  Q_EMIT marksChanged();
  return true;
}

Qt::ItemFlags ResultListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (index.column() == NameColumn) f |= Qt::ItemIsUserCheckable;
  return f;
}

QVariant ResultListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  return section == NameColumn ? QStringLiteral("Name") : QStringLiteral("Size");
}

void ResultListModel::sort(int column, Qt::SortOrder order) {
  sortColumn_ = column;
  sortOrder_ = order;
  Q_EMIT layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  const QModelIndexList before = persistentIndexList();
  std::vector<const ResultNode*> held;
  for (const QModelIndex& i : before) held.push_back(nodeAt(i.row()));
  applySort();
  for (qsizetype i = 0; i < before.size(); ++i)
    changePersistentIndex(before[i], index(rowOf(held[static_cast<std::size_t>(i)]), before[i].column()));
  Q_EMIT layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void ResultListModel::applySort() {
  // Carved names are start sectors: "2048.jpg" comes after "512.jpg".
  auto less = [&](const ResultNode* a, const ResultNode* b) {
    if (sortColumn_ == SizeColumn) {
      if (a->size != b->size) return a->size < b->size;
    }
    return naturalCompare(a->name, b->name) < 0;
  };
  if (sortOrder_ == Qt::AscendingOrder)
    std::stable_sort(rows_.begin(), rows_.end(), less);
  else
    std::stable_sort(rows_.begin(), rows_.end(), [&](const ResultNode* a, const ResultNode* b) { return less(b, a); });
}

void ResultListModel::refreshChecks() {
  if (!rows_.empty()) Q_EMIT dataChanged(index(0, 0), index(static_cast<int>(rows_.size()) - 1, 0), {Qt::CheckStateRole});
}

}  // namespace ov::kestrin
