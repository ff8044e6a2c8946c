#include "apps/carver/find_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QVBoxLayout>

namespace ov::kestrin {

namespace {

QDate unpacked(std::uint16_t date) {
  QDate d(1980 + (date >> 9), (date >> 5) & 0x0F, date & 0x1F);
  return d.isValid() ? d : QDate::currentDate();
}

}  // namespace

CFindDialog::CFindDialog(const ResultFindCriteria& last, QWidget* parent) : QDialog(parent) {
  setWindowTitle(tr("Find (Ctrl + F)"));
  auto* label = new QLabel(tr("&Find What"), this);
  pattern_ = new QLineEdit(this);
  pattern_->setMinimumWidth(240);
  label->setBuddy(pattern_);
  matchCase_ = new QCheckBox(tr("&Match Case"), this);
  searchNow_ = new QPushButton(tr("&Search Now"), this);
  searchNow_->setDefault(true);
  auto* cancel = new QPushButton(tr("Cancel"), this);
  options_ = new QPushButton(this);

  optionsArea_ = new QWidget(this);
  sizeOn_ = new QCheckBox(tr("&Size"), optionsArea_);
  relation_ = new QComboBox(optionsArea_);
  relation_->addItems({tr("At most"), tr("At least")});
  size_ = new QLineEdit(optionsArea_);
  size_->setMaximumWidth(100);
  dateOn_ = new QCheckBox(tr("&Date"), optionsArea_);
  dateKind_ = new QComboBox(optionsArea_);
  dateKind_->addItems({tr("Access Date"), tr("Creation Date")});
  from_ = new QDateEdit(QDate::currentDate(), optionsArea_);
  to_ = new QDateEdit(QDate::currentDate(), optionsArea_);
  for (QDateEdit* d : {from_, to_}) {
    d->setCalendarPopup(true);
    d->setMinimumDate(QDate(1980, 1, 1));
    d->setMaximumDate(QDate(2107, 12, 31));
  }
  auto* grid = new QGridLayout(optionsArea_);
  grid->setContentsMargins(0, 6, 0, 0);
  grid->addWidget(sizeOn_, 0, 0);
  grid->addWidget(relation_, 0, 1);
  auto* sizeRow = new QHBoxLayout;
  sizeRow->addWidget(size_);
  sizeRow->addWidget(new QLabel(QStringLiteral("KB"), optionsArea_));
  sizeRow->addStretch(1);
  grid->addLayout(sizeRow, 0, 2, 1, 3);
  grid->addWidget(dateOn_, 1, 0);
  grid->addWidget(dateKind_, 1, 1);
  grid->addWidget(from_, 1, 2);
  grid->addWidget(new QLabel(tr("and"), optionsArea_), 1, 3);
  grid->addWidget(to_, 1, 4);

  auto* left = new QVBoxLayout;
  left->addWidget(label);
  left->addWidget(pattern_);
  left->addWidget(matchCase_);
  left->addStretch(1);
  auto* right = new QVBoxLayout;
  right->addWidget(searchNow_);
  right->addWidget(cancel);
  right->addWidget(options_);
  right->addStretch(1);
  auto* top = new QHBoxLayout;
  top->addLayout(left, 1);
  top->addLayout(right);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(optionsArea_);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  pattern_->setText(QString::fromStdU16String(last.pattern));
  matchCase_->setChecked(last.matchCase);
  sizeOn_->setChecked(last.sizeOn);
  relation_->setCurrentIndex(last.relation == SizeRelation::AtLeast ? 1 : 0);
  kilobytes_ = std::max<std::uint64_t>(1, last.sizeBytes / 1024);
  size_->setText(QString::number(kilobytes_));
  dateOn_->setChecked(last.dateOn);
  dateKind_->setCurrentIndex(last.dateKind == DateKind::Creation ? 1 : 0);
  if (last.dateFrom) from_->setDate(unpacked(last.dateFrom));
  if (last.dateTo) to_->setDate(unpacked(last.dateTo));
  showOptions(false);

  connect(searchNow_, &QPushButton::clicked, this, &CFindDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(options_, &QPushButton::clicked, this, [this] { showOptions(!optionsShown_); });
  connect(pattern_, &QLineEdit::textChanged, this, &CFindDialog::update);
  connect(sizeOn_, &QCheckBox::toggled, this, &CFindDialog::update);
  connect(dateOn_, &QCheckBox::toggled, this, &CFindDialog::update);
  // Checked as the field is left, as on "Search Now".
  connect(size_, &QLineEdit::editingFinished, this, [this] {
    if (sizeOn_->isChecked()) checkSize();
  });
  update();
}

void CFindDialog::showOptions(bool shown) {
  optionsShown_ = shown;
  optionsArea_->setVisible(shown);
  options_->setText(shown ? tr(">>&Hide Options") : tr("<<&Show Options"));
}

bool CFindDialog::checkSize() {
  std::uint64_t kilobytes = 0;
  if (auto message = checkFindSizeField(size_->text().toStdU16String(), kilobytes)) {
    QMessageBox::critical(this, tr("Error"), QString::fromStdString(*message));
    size_->setFocus();
    size_->selectAll();
    return false;
  }
  kilobytes_ = kilobytes;
  return true;
}

void CFindDialog::accept() {
  if (pattern_->text().isEmpty()) return;
  if (sizeOn_->isChecked() && !checkSize()) return;
  QDialog::accept();
}

ResultFindCriteria CFindDialog::criteria() const {
  ResultFindCriteria c;
  c.pattern = pattern_->text().toStdU16String();
  c.matchCase = matchCase_->isChecked();
  c.sizeOn = sizeOn_->isChecked();
  c.relation = relation_->currentIndex() == 1 ? SizeRelation::AtLeast : SizeRelation::AtMost;
  c.sizeBytes = kilobytes_ * 1024;
  c.dateOn = dateOn_->isChecked();
  c.dateKind = dateKind_->currentIndex() == 1 ? DateKind::Creation : DateKind::Access;
  c.dateFrom = packFindDate(from_->date().year(), from_->date().month(), from_->date().day());
  c.dateTo = packFindDate(to_->date().year(), to_->date().month(), to_->date().day());
  return c;
}

void CFindDialog::update() {
  relation_->setEnabled(sizeOn_->isChecked());
  size_->setEnabled(sizeOn_->isChecked());
  for (QWidget* w : {static_cast<QWidget*>(dateKind_), static_cast<QWidget*>(from_), static_cast<QWidget*>(to_)})
    w->setEnabled(dateOn_->isChecked());
  searchNow_->setEnabled(!pattern_->text().isEmpty());
}

}  // namespace ov::kestrin
