#include "apps/carver/results_dialog.h"

#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QShortcut>
#include <QSplitter>
#include <QTimer>
#include <QVBoxLayout>

#include <cerrno>
#include <cstring>

#include "apps/carver/find_dialog.h"
#include "apps/carver/page_common.h"
#include "apps/carver/saving_options.h"
#include "apps/carver/text_view.h"
#include "workbench/models/output_folder.h"
#include "workbench/preview_window.h"

namespace ov::kestrin {

namespace {

// A picture is written to a temporary file for its window; one larger than this would fill the
// temporary folder for a picture no reader decodes anyway.
constexpr std::uint64_t kMaxPicturePreviewBytes = 268435456;

// The item list, which says so when a folder holds nothing.
class ItemListView final : public QTreeView {
 public:
  using QTreeView::QTreeView;

 protected:
  void paintEvent(QPaintEvent* event) override {
    QTreeView::paintEvent(event);
    if (model() && model()->rowCount() > 0) return;
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Disabled, QPalette::Text));
    painter.drawText(viewport()->rect().adjusted(0, 20, 0, 0), Qt::AlignHCenter | Qt::AlignTop,
                     QString::fromLatin1(COvelinDataFoundDialog::kEmptyListText));
  }
};

}  // namespace

COvelinDataFoundDialog::COvelinDataFoundDialog(CarverSession& session, bool showHint, QWidget* parent)
    : QDialog(parent), session_(session), folders_(session.tree().root()), showHint_(showHint) {
  setWindowTitle(QString::fromLatin1(kProgramName));
  setWindowFlag(Qt::WindowMaximizeButtonHint);
  ResultNode& root = session_.tree().root();
  clearChecks(root);

  tree_ = new QTreeView(this);
  tree_->setModel(&folders_);
  tree_->setHeaderHidden(true);
  tree_->setMinimumWidth(220);
  list_ = new ItemListView(this);
  list_->setModel(&items_);
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setAlternatingRowColors(true);
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list_->setSortingEnabled(true);
  list_->sortByColumn(ResultListModel::NameColumn, Qt::AscendingOrder);
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  list_->header()->setStretchLastSection(false);
  list_->header()->setSectionResizeMode(ResultListModel::NameColumn, QHeaderView::Stretch);
  list_->header()->setSectionResizeMode(ResultListModel::SizeColumn, QHeaderView::Interactive);
  list_->header()->resizeSection(ResultListModel::SizeColumn, 130);
  auto* splitter = new QSplitter(Qt::Horizontal, this);
  splitter->addWidget(tree_);
  splitter->addWidget(list_);
  splitter->setStretchFactor(0, 1);
  splitter->setStretchFactor(1, 2);

  auto* status = new QGridLayout;
  status->setHorizontalSpacing(40);
  for (int i = 0; i < 3; ++i) {
    totals_[i] = new QLabel(this);
    selected_[i] = new QLabel(this);
    status->addWidget(totals_[i], i, 0);
    status->addWidget(selected_[i], i, 1);
  }
  status->setColumnStretch(2, 1);

  find_ = new QPushButton(tr("Find (Ctrl + F)"), this);
  findNext_ = new QPushButton(tr("Find Next (F3)"), this);
  findNext_->setEnabled(false);
  auto* help = new QPushButton(tr("Help"), this);
  back_ = new QPushButton(tr("&Back"), this);
  save_ = new QPushButton(tr("&Save "), this);
  save_->setDefault(true);
  exit_ = new QPushButton(tr("Exit"), this);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(find_);
  buttons->addWidget(findNext_);
  buttons->addStretch(1);
  buttons->addWidget(help);
  buttons->addWidget(back_);
  buttons->addWidget(save_);
  buttons->addWidget(exit_);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 11);
  layout->addWidget(pageBanner(tr("Files found"),
                               tr("The found files sorted by category and type. Double click a file to preview it."),
                               this));
  auto* body = new QVBoxLayout;
  body->setContentsMargins(11, 8, 11, 0);
  body->addWidget(splitter, 1);
  body->addLayout(status);
  body->addLayout(buttons);
  layout->addLayout(body, 1);
  resize(920, 620);

  // Totals of the whole tree, counted once.
  const TreeTotals all = treeTotals(root);
  totals_[0]->setText(tr("Total Files     : [%1]").arg(all.files));
  totals_[1]->setText(tr("Total Folders: [%1]").arg(all.folders));
  totals_[2]->setText(tr("Total Data    : ") + QString::fromStdString(resultsSizeText(all.bytes)));

  connect(&folders_, &ResultFolderModel::marksChanged, this, &COvelinDataFoundDialog::marksChanged);
  connect(&items_, &ResultListModel::marksChanged, this, &COvelinDataFoundDialog::marksChanged);
  connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& current) {
    items_.setFolder(current.isValid() ? ResultFolderModel::nodeOf(current) : nullptr);
  });
  connect(list_, &QTreeView::doubleClicked, this, &COvelinDataFoundDialog::listActivated);
  connect(list_, &QWidget::customContextMenuRequested, this, &COvelinDataFoundDialog::contextMenu);
  connect(find_, &QPushButton::clicked, this, &COvelinDataFoundDialog::openFind);
  connect(findNext_, &QPushButton::clicked, this, &COvelinDataFoundDialog::findNext);
  connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_F), this), &QShortcut::activated, this,
          &COvelinDataFoundDialog::openFind);
  connect(new QShortcut(QKeySequence(Qt::Key_F3), this), &QShortcut::activated, this, [this] {
    if (findNext_->isEnabled()) findNext();
  });
  connect(save_, &QPushButton::clicked, this, &COvelinDataFoundDialog::goSave);
  connect(back_, &QPushButton::clicked, this, [this] { done(PageBack); });
  connect(exit_, &QPushButton::clicked, this, &QDialog::reject);
  connect(help, &QPushButton::clicked, this, [this] { showHelp(session_, this, kHelpTopic); });
  bindHelpKey(session_, this, kHelpTopic);

  // "Root" selected, and the categories in sight.
  const QModelIndex top = folders_.index(0, 0);
  tree_->setCurrentIndex(top);
  tree_->expandToDepth(1);
  marksChanged();
}

QStringList COvelinDataFoundDialog::totalsTexts() const {
  QStringList out;
  for (QLabel* l : totals_) out << l->text();
  for (QLabel* l : selected_) out << l->text();
  return out;
}

void COvelinDataFoundDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (shown_) return;
  shown_ = true;
  if (showHint_)
    QTimer::singleShot(0, this, [this] {
      if (!session_.closing()) QMessageBox::information(this, tr("Information"), QString::fromLatin1(kHintText));
    });
}

void COvelinDataFoundDialog::keyPressEvent(QKeyEvent* event) {
  // Escape does not leave the results: Exit does.
  if (event->key() == Qt::Key_Escape) return;
  QDialog::keyPressEvent(event);
}

void COvelinDataFoundDialog::marksChanged() {
  folders_.refreshChecks();
  items_.refreshChecks();
  const ResultNode& root = session_.tree().root();
  const SelectionTotals s = selectionTotals(root);
  selected_[0]->setText(tr("Selected Files     : [%1]").arg(s.files));
  selected_[1]->setText(tr("Selected Folders: [%1]").arg(s.folders));
  selected_[2]->setText(tr("Selected Data    : ") + QString::fromStdString(resultsSizeText(s.bytes)));
  save_->setEnabled(canSave(root));
}

void COvelinDataFoundDialog::showFolder(const ResultNode* folder) {
  const QModelIndex index = folders_.indexOf(folder);
  if (!index.isValid()) return;
  tree_->scrollTo(index);
  tree_->setCurrentIndex(index);
  tree_->expand(index);
}

void COvelinDataFoundDialog::listActivated(const QModelIndex& index) {
  const ResultNode* node = items_.nodeAt(index.row());
  if (!node) return;
  if (node->isFolder) showFolder(node);
  else preview(node);
}

void COvelinDataFoundDialog::contextMenu(const QPoint& pos) {
  QModelIndex index = list_->indexAt(pos);
  if (!index.isValid()) index = list_->currentIndex();
  ResultNode* node = items_.nodeAt(index.row());
  if (!node) return;
  QMenu menu(this);
  if (!node->isFolder) {
    QAction* show = menu.addAction(tr("&Preview"));
    show->setEnabled(!previewOpen());
    connect(show, &QAction::triggered, this, [this, node] { preview(node); });
  }
  QAction* mark = menu.addAction(node->checked ? tr("&Deselect Item") : tr("&Select Item"));
  connect(mark, &QAction::triggered, this, [this, node] {
    toggleChecked(*node);
    marksChanged();
  });
  menu.exec(list_->viewport()->mapToGlobal(list_->visualRect(index).center()));
}

void COvelinDataFoundDialog::preview(const ResultNode* item) {
  if (!item || item->isFolder || previewOpen()) return;
  carver::CarverDisk& disk = session_.disk();
  if (workbench::isImageName(item->name)) {
    if (item->size > kMaxPicturePreviewBytes) {
      QMessageBox::critical(this, tr("Error"), QString::fromLatin1(kPreviewTooLargeText));
      return;
    }
    // The picture is written to a file of its own in the program's private temporary folder, and
    // the picture window reads it from there.
    const QString folderPath = session_.previewFolder();
    int error = EIO;
    std::string used;
    if (!folderPath.isEmpty()) {
      OutputFolder folder = OutputFolder::open(folderPath.toStdString(), error);
      if (folder.isOpen()) {
        error = -1;
        session_.worker().runAndWait([&] { error = writeCarvedItemFile(disk, *item, folder, used); });
      }
    }
    if (error == -1) return;  // the disk went away; shown already
    if (error != 0) {
      QMessageBox::critical(this, tr("Error"),
                            tr("The picture cannot be written for its preview: %1")
                                .arg(QString::fromStdString(std::strerror(error))));
      return;
    }
    auto* window = new workbench::CImageViewWindow(item->name, QDir(folderPath).filePath(QString::fromStdString(used)));
    preview_ = window;
    window->move(geometry().center() - window->rect().center());
    window->show();
    return;
  }
  if (item->size > kMaxTextPreviewBytes) {
    QMessageBox::critical(this, tr("Error"), QString::fromLatin1(kPreviewTooLargeText));
    return;
  }
  auto bytes = std::make_shared<std::vector<std::uint8_t>>();
  bool read = false;
  session_.worker().runAndWait([&] {
    *bytes = readCarvedItem(disk, *item);
    read = true;
  });
  if (!read) return;  // the disk went away; shown already
  auto* window = new CTextViewFrame(item->name, std::move(*bytes));
  preview_ = window;
  window->show();
}

void COvelinDataFoundDialog::openFind() {
  CFindDialog dialog(session_.finder().hasCriteria() ? session_.finder().criteria() : ResultFindCriteria{}, this);
  if (dialog.exec() != QDialog::Accepted) return;
  const ResultNode* match = session_.finder().find(session_.tree().root(), dialog.criteria());
  if (!match) {
    findNext_->setEnabled(false);
    notFound();
    return;
  }
  findNext_->setEnabled(true);
  showMatch(match);
}

void COvelinDataFoundDialog::findNext() {
  const ResultNode* match = session_.finder().findNext(session_.tree().root());
  if (!match) {
    findNext_->setEnabled(false);
    notFound();
    return;
  }
  showMatch(match);
}

void COvelinDataFoundDialog::notFound() {
  QMessageBox box(QMessageBox::NoIcon, QString(), QString::fromLatin1(kEntryNotFoundText), QMessageBox::Ok, this);
  box.exec();
}

void COvelinDataFoundDialog::showMatch(const ResultNode* match) {
  showFolder(match->parent);
  const int row = items_.rowOf(match);
  if (row < 0) return;
  const QModelIndex index = items_.index(row, 0);
  list_->setCurrentIndex(index);
  list_->scrollTo(index, QAbstractItemView::PositionAtCenter);
  list_->viewport()->update();
}

void COvelinDataFoundDialog::goSave() {
  if (!canSave(session_.tree().root())) return;
  SavingOptionsDialog options(session_, this);
  if (options.exec() != QDialog::Accepted) return;
  settings_ = options.settings();
  burn_.reset();
  if (options.burning()) burn_ = options.burnSettings();
  done(PageSave);
}

}  // namespace ov::kestrin
