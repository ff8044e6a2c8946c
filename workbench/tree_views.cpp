#include "workbench/tree_views.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QVBoxLayout>

namespace ov::workbench {

COVNTFSTreeView::COVNTFSTreeView(FolderTreeModel& model, QWidget* parent) : QTreeView(parent), model_(model) {
  setModel(&model);
  setHeaderHidden(true);
  setUniformRowHeights(true);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionMode(QAbstractItemView::SingleSelection);
  connect(this, &QTreeView::expanded, &model_, [this](const QModelIndex& i) { model_.setExpanded(i, true); });
  connect(this, &QTreeView::collapsed, &model_, [this](const QModelIndex& i) { model_.setExpanded(i, false); });
  connect(&model_, &FolderTreeModel::marksChanged, viewport(), qOverload<>(&QWidget::update));
}

void COVNTFSTreeView::selectFolder(FolderNode* node) {
  QModelIndex index = model_.indexOf(node);
  if (!index.isValid()) return;
  scrollTo(index);
  setCurrentIndex(index);
}

void COVNTFSTreeView::mousePressEvent(QMouseEvent* event) {
  QModelIndex index = indexAt(event->position().toPoint());
  if (!index.isValid() || event->button() != Qt::LeftButton) {
    QTreeView::mousePressEvent(event);
    return;
  }
  if (!allowed()) return;
  // The check box toggles the mark; anywhere else on the row makes the folder current.
  QStyleOptionViewItem option;
  initViewItemOption(&option);
  option.rect = visualRect(index);
  option.features |= QStyleOptionViewItem::HasCheckIndicator;
  QRect check = style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, this);
  if (check.contains(event->position().toPoint())) {
    model_.toggleFolderMark(FolderTreeModel::nodeOf(index));
    return;
  }
  QTreeView::mousePressEvent(event);
  if (visualRect(index).contains(event->position().toPoint())) Q_EMIT folderChosen(FolderTreeModel::nodeOf(index));
}

void COVNTFSTreeView::keyPressEvent(QKeyEvent* event) {
  QModelIndex index = currentIndex();
  if (index.isValid() && allowed()) {
    if (event->key() == Qt::Key_Space) {
      model_.toggleFolderMark(FolderTreeModel::nodeOf(index));
      return;
    }
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
      Q_EMIT folderChosen(FolderTreeModel::nodeOf(index));
      return;
    }
  }
  QTreeView::keyPressEvent(event);
}

void COVNTFSTreeView::contextMenuEvent(QContextMenuEvent* event) {
  QModelIndex index = indexAt(event->pos());
  if (index.isValid()) setCurrentIndex(index);
  Q_EMIT contextMenuWanted(event->globalPos());
}

COVNTFSListView::COVNTFSListView(FileListModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  stack_ = new QStackedWidget(this);
  details_ = new QTreeView(stack_);
  icons_ = new QListView(stack_);
  details_->setModel(&model_);
  icons_->setModel(&model_);
  icons_->setSelectionModel(details_->selectionModel());
  for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(details_), static_cast<QAbstractItemView*>(icons_)}) {
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setContextMenuPolicy(Qt::DefaultContextMenu);
    view->viewport()->installEventFilter(this);
    view->installEventFilter(this);
    connect(view, &QAbstractItemView::doubleClicked, this, &COVNTFSListView::activated);
  }
  details_->setRootIsDecorated(false);
  details_->setUniformRowHeights(true);
  details_->setAllColumnsShowFocus(true);
  details_->setSortingEnabled(false);
  // Grid lines between the cells; a selected row keeps the usual selection colours.
  details_->setStyleSheet(QStringLiteral(
      "QTreeView::item { border-right: 1px solid #d8d8d8; border-bottom: 1px solid #e4e4e4; }"
      "QTreeView::item:selected { background: palette(highlight); color: palette(highlighted-text); }"));
  const int widths[] = {200, 100, 60, 220, 180, 60, 60, 130};
  for (int c = 0; c < FileListModel::ColumnCount; ++c) details_->setColumnWidth(c, widths[c]);
  QHeaderView* header = details_->header();
  header->setSectionsClickable(true);
  header->setSortIndicatorShown(true);
  header->setStretchLastSection(false);
  connect(header, &QHeaderView::sectionClicked, this, [this](int column) {
    if (!allowed()) return;
    sortBy(column, model_.nextOrder(column));
  });
  stack_->addWidget(details_);
  stack_->addWidget(icons_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(stack_);
  setMode(Mode::Details);
}

void COVNTFSListView::sortBy(int column, Qt::SortOrder order) {
  model_.sort(column, order);
  details_->header()->setSortIndicator(column, order);
}

QAbstractItemView* COVNTFSListView::current() const {
  return mode_ == Mode::Details ? static_cast<QAbstractItemView*>(details_) : icons_;
}

void COVNTFSListView::setMode(Mode mode) {
  mode_ = mode;
  switch (mode) {
    case Mode::Details:
      stack_->setCurrentWidget(details_);
      return;
    case Mode::LargeIcons:
      icons_->setViewMode(QListView::IconMode);
      icons_->setIconSize(QSize(32, 32));
      icons_->setGridSize(QSize(110, 72));
      icons_->setFlow(QListView::LeftToRight);
      icons_->setWrapping(true);
      break;
    case Mode::SmallIcons:
      icons_->setViewMode(QListView::ListMode);
      icons_->setIconSize(QSize(16, 16));
      icons_->setGridSize(QSize());
      icons_->setFlow(QListView::LeftToRight);
      icons_->setWrapping(true);
      break;
    case Mode::List:
      icons_->setViewMode(QListView::ListMode);
      icons_->setIconSize(QSize(16, 16));
      icons_->setGridSize(QSize());
      icons_->setFlow(QListView::TopToBottom);
      icons_->setWrapping(true);
      break;
  }
  icons_->setResizeMode(QListView::Adjust);
  icons_->setMovement(QListView::Static);
  stack_->setCurrentWidget(icons_);
}

std::vector<int> COVNTFSListView::selectedRows() const {
  std::vector<int> rows;
  for (const QModelIndex& i : details_->selectionModel()->selectedRows()) rows.push_back(i.row());
  std::sort(rows.begin(), rows.end());
  return rows;
}

void COVNTFSListView::activated(const QModelIndex& index) {
  if (!index.isValid() || !allowed()) return;
  if (model_.entryAt(index.row()).isFolder()) Q_EMIT folderOpened(index.row());
}

bool COVNTFSListView::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::ContextMenu) {
    auto* menuEvent = static_cast<QContextMenuEvent*>(event);
    Q_EMIT contextMenuWanted(menuEvent->globalPos());
    return true;
  }
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    QAbstractItemView* view = current();
    if (key->key() == Qt::Key_Space && view->currentIndex().isValid() && allowed()) {
      QModelIndex index = model_.index(view->currentIndex().row(), FileListModel::Name);
      model_.setData(index, {}, Qt::CheckStateRole);
      return true;
    }
    if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && view->currentIndex().isValid()) {
      activated(view->currentIndex());
      return true;
    }
  }
  if ((event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) && !allowed())
    return true;
  return QWidget::eventFilter(watched, event);
}

}  // namespace ov::workbench
