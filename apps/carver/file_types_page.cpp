#include "apps/carver/file_types_page.h"

#include <QEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QRegularExpressionValidator>
#include <QTimer>
#include <QVBoxLayout>

#include "apps/carver/page_common.h"
#include "workbench/common_widgets.h"

namespace ov::kestrin {

namespace {

// Selects the size field's whole text whenever it gets the focus.
class SelectOnFocus final : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::FocusIn)
      if (auto* edit = qobject_cast<QLineEdit*>(watched)) QTimer::singleShot(0, edit, &QLineEdit::selectAll);
    return false;
  }
};

void showPageMessage(QWidget* parent, const carver::CataloguePageMessage& m) {
  QMessageBox box(m.icon ? workbench::messageIcon(*m.icon) : QMessageBox::NoIcon, QString::fromStdString(m.caption),
                  QString::fromStdString(m.text), QMessageBox::Ok, parent);
  box.exec();
}

}  // namespace

COvelinKnownFileTypes::COvelinKnownFileTypes(CarverSession& session, QWidget* parent)
    : QDialog(parent), session_(session) {
  setWindowTitle(QString::fromLatin1(kProgramName));
  category_ = new QComboBox(this);
  category_->setMinimumWidth(160);
  auto* categoryLabel = new QLabel(tr("&Category:"), this);
  categoryLabel->setBuddy(category_);
  selectAll_ = new QPushButton(tr("&Select All"), this);
  auto* deselectAll = new QPushButton(tr("&Deselect All"), this);
  list_ = new QTreeWidget(this);
  list_->setColumnCount(3);
  list_->setHeaderLabels({tr("Name"), tr("Extension"), tr("Category")});
  list_->setRootIsDecorated(false);
  list_->setAlternatingRowColors(true);
  list_->setUniformRowHeights(true);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->header()->setSectionsClickable(true);
  list_->header()->setStretchLastSection(false);
  list_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  list_->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
  list_->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
  size_ = new QLineEdit(this);
  size_->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), size_));
  size_->setMaximumWidth(90);
  size_->installEventFilter(new SelectOnFocus(size_));
  auto* sizeLabel = new QLabel(tr("&Maximum file size:"), this);
  sizeLabel->setBuddy(size_);
  unit_ = new QComboBox(this);
  unit_->addItems({QStringLiteral("KB"), QStringLiteral("MB"), QStringLiteral("GB")});
  auto* sizeHint = new QLabel(tr("Files whose end cannot be found are carved at this size (1 KB to 4 GB)."), this);
  sizeHint->setEnabled(false);

  auto* help = new QPushButton(tr("Help"), this);
  auto* back = new QPushButton(tr("< &Back"), this);
  next_ = new QPushButton(tr("&Next >"), this);
  next_->setDefault(true);
  auto* cancel = new QPushButton(tr("Cancel"), this);

  auto* top = new QHBoxLayout;
  top->addWidget(categoryLabel);
  top->addWidget(category_);
  top->addStretch(1);
  top->addWidget(selectAll_);
  top->addWidget(deselectAll);
  auto* sizeRow = new QHBoxLayout;
  sizeRow->addWidget(sizeLabel);
  sizeRow->addWidget(size_);
  sizeRow->addWidget(unit_);
  sizeRow->addSpacing(10);
  sizeRow->addWidget(sizeHint, 1);
  auto* body = new QVBoxLayout;
  body->setContentsMargins(11, 8, 11, 0);
  body->addLayout(top);
  body->addWidget(list_, 1);
  body->addLayout(sizeRow);
  auto* buttons = new QHBoxLayout;
  buttons->setContentsMargins(11, 0, 11, 0);
  buttons->addWidget(help);
  buttons->addStretch(1);
  buttons->addWidget(back);
  buttons->addWidget(next_);
  buttons->addSpacing(8);
  buttons->addWidget(cancel);
  auto* rule = new QFrame(this);
  rule->setFrameShape(QFrame::HLine);
  rule->setFrameShadow(QFrame::Sunken);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 11);
  layout->addWidget(pageBanner(tr("Select file types to search"),
                               tr("Kestrin finds files by the signatures their types begin with. Check the types "
                                  "to search the disk for."),
                               this));
  layout->addLayout(body, 1);
  layout->addWidget(rule);
  layout->addLayout(buttons);
  resize(720, 520);

  // The catalogue: a file that is missing or damaged leaves the page empty, with the message.
  const QString path = session_.signatureFile();
  const std::string defect = carver::catalogueFileDefect(path.toStdString());
  if (!QFileInfo::exists(path) || defect.empty()) {
    model_.open(path.toStdString());
  } else {
    model_.open(std::vector<carver::SignatureRecord>{});
    QTimer::singleShot(0, this, [this, path, defect] {
      QMessageBox::critical(this, tr("Error"),
                            QString::fromLatin1(carver::CataloguePageModel::kLoadFailedText) +
                                tr("\n\n%1: %2").arg(path, QString::fromStdString(defect)));
    });
  }
  if (auto m = model_.takeMessage()) QTimer::singleShot(0, this, [this, m] { showPageMessage(this, *m); });
  for (const auto& c : model_.categories()) category_->addItem(QString::fromStdString(c));
  category_->setCurrentText(QString::fromLatin1(carver::CataloguePageModel::kAllCategories));
  size_->setMaxLength(static_cast<int>(model_.sizeTextLimit()));
  size_->setText(QString::fromStdString(model_.sizeText()));
  fillList();

  connect(category_, &QComboBox::currentTextChanged, this, [this](const QString& text) {
    model_.chooseCategory(text.toStdString());
    sortColumn_ = -1;
    fillList();
  });
  connect(list_->header(), &QHeaderView::sectionClicked, this, [this](int column) {
    model_.sortBy(column);
    sortColumn_ = column;
    fillList();
  });
  connect(list_, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int column) {
    if (column != 0 || !(item->flags() & Qt::ItemIsUserCheckable)) return;
    const auto row = static_cast<std::size_t>(item->data(0, Qt::UserRole).toULongLong());
    const bool checked = item->checkState(0) == Qt::Checked;
    if (row < model_.rows().size() && model_.rows()[row].checked != checked) model_.toggleRow(row);
    updateNext();
  });
  connect(selectAll_, &QPushButton::clicked, this, [this] {
    model_.selectAll();
    fillList();
  });
  connect(deselectAll, &QPushButton::clicked, this, [this] {
    model_.deselectAll();
    fillList();
  });
  connect(unit_, &QComboBox::currentIndexChanged, this, [this](int index) {
    model_.setUnit(static_cast<carver::SizeUnit>(index));
    size_->setMaxLength(static_cast<int>(model_.sizeTextLimit()));
    size_->setText(QString::fromStdString(model_.sizeText()));
    updateNext();
  });
  connect(size_, &QLineEdit::textEdited, this, &COvelinKnownFileTypes::sizeEdited);
  connect(next_, &QPushButton::clicked, this, &COvelinKnownFileTypes::goNext);
  connect(back, &QPushButton::clicked, this, [this] {
    model_.close();
    done(PageBack);
  });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(help, &QPushButton::clicked, this, [this] { showHelp(session_, this, kHelpTopic); });
  bindHelpKey(session_, this, kHelpTopic);
}

void COvelinKnownFileTypes::fillList() {
  QSignalBlocker quiet(list_);
  list_->clear();
  if (auto empty = model_.emptyText()) {
    auto* item = new QTreeWidgetItem(list_, QStringList{QString::fromStdString(*empty)});
    item->setFlags(Qt::NoItemFlags);
  }
  const auto& rows = model_.rows();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    auto* item = new QTreeWidgetItem(list_, QStringList{QString::fromStdString(rows[i].name),
                                                        QString::fromStdString(rows[i].extension),
                                                        QString::fromStdString(rows[i].category)});
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    item->setCheckState(0, rows[i].checked ? Qt::Checked : Qt::Unchecked);
    item->setData(0, Qt::UserRole, static_cast<qulonglong>(i));
  }
  list_->header()->setSortIndicatorShown(sortColumn_ >= 0);
  if (sortColumn_ >= 0) list_->header()->setSortIndicator(sortColumn_, Qt::AscendingOrder);
  updateNext();
}

void COvelinKnownFileTypes::updateNext() { next_->setEnabled(model_.nextEnabled()); }

void COvelinKnownFileTypes::sizeEdited(const QString& text) {
  if (!model_.setSizeText(text.toStdString())) {
    size_->setText(QString::fromStdString(model_.sizeText()));
    return;
  }
  auto message = model_.takeMessage();
  updateNext();
  // An emptied field only disables Next: the message would come at every keystroke of a new number.
  if (message && !text.isEmpty()) {
    showPageMessage(this, *message);
    size_->setFocus();
    size_->selectAll();
  }
}

void COvelinKnownFileTypes::goNext() {
  auto list = model_.next();
  if (!list) return;
  session_.setSelected(std::move(*list));
  done(PageNext);
}

}  // namespace ov::kestrin
