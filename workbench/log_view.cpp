#include "workbench/log_view.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QMenu>
#include <QStyle>

namespace ov::workbench {

void ProcessLogModel::add(const LogEntry& entry) {
  int before = rowCount();
  log_.add(entry);
  appendedBehind(before);
}

void ProcessLogModel::appendedBehind(int before) {
  int after = rowCount();
  if (after <= before) return;
  beginInsertRows({}, before, after - 1);
  endInsertRows();
  // The previous newest row loses its colour.
  if (before > 0) Q_EMIT dataChanged(index(before - 1, 0), index(before - 1, 2), {Qt::BackgroundRole});
}

void ProcessLogModel::clearAll() {
  beginResetModel();
  log_.clear();
  endResetModel();
}

int ProcessLogModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(log_.entries().size());
}

int ProcessLogModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 3; }

QVariant ProcessLogModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const LogEntry& e = log_.entries()[static_cast<std::size_t>(index.row())];
  switch (role) {
    case Qt::DisplayRole:
      if (index.column() == 0) return QString::fromStdString(e.name);
      if (index.column() == 1) return QString::fromStdString(e.description);
      return QString::fromStdString(e.logTime);
    case Qt::DecorationRole: {
      if (index.column() != 0) return {};
      QStyle* style = QApplication::style();
      if (e.kind == LogKind::Aborted) return style->standardIcon(QStyle::SP_MessageBoxWarning);
      if (e.kind == LogKind::Completed) return style->standardIcon(QStyle::SP_DialogApplyButton);
      return style->standardIcon(QStyle::SP_MessageBoxInformation);
    }
    case Qt::BackgroundRole:
      return index.row() == log_.highlightedRow() ? QColor(255, 159, 89) : QColor(Qt::white);
    case Qt::ForegroundRole:
      return QColor(Qt::black);
    default:
      return {};
  }
}

QVariant ProcessLogModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* kTitles[] = {"Process Name", "Description", "Log Time"};
  return section >= 0 && section < 3 ? QString::fromLatin1(kTitles[section]) : QVariant();
}

ProcessLogView::ProcessLogView(ProcessLogModel& model, QWidget* parent) : QTreeView(parent) {
  setModel(&model);
  setRootIsDecorated(false);
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setAllColumnsShowFocus(true);
  header()->setStretchLastSection(true);
  setColumnWidth(0, 265);
  setColumnWidth(1, 299);
  setColumnWidth(2, 576);
  connect(&model, &QAbstractItemModel::rowsInserted, this,
          [this](const QModelIndex&, int, int last) { scrollTo(this->model()->index(last, 0)); });
}

void ProcessLogView::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  menu.addAction(tr("&Clear All"), this, &ProcessLogView::clearRequested);
  menu.addAction(tr("&Save All"), this, &ProcessLogView::saveRequested);
  menu.exec(event->globalPos());
}

}  // namespace ov::workbench
