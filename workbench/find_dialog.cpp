#include "workbench/find_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

namespace ov::workbench {

namespace {
std::uint16_t dosDate(const QDate& d) {
  if (!d.isValid() || d.year() < 1980 || d.year() > 2107) return 0;
  return static_cast<std::uint16_t>(((d.year() - 1980) << 9) | (d.month() << 5) | d.day());
}
QDate fromDosDate(std::uint16_t v) { return QDate(1980 + (v >> 9), (v >> 5) & 0x0F, v & 0x1F); }
}  // namespace

COVNTFSFindFile::COVNTFSFindFile(QWidget* parent) : QDialog(parent) {
  setWindowTitle(tr("Find files and folders"));
  auto* label = new QLabel(tr("&Find What"), this);
  pattern_ = new QLineEdit(this);
  label->setBuddy(pattern_);
  auto* hint = new QLabel(tr("e.g. filename*.* or *.ext\n\nPress F3 to repeat search."), this);
  matchCase_ = new QCheckBox(tr("&Match case"), this);
  searchNow_ = new QPushButton(tr("Search &Now"), this);
  searchNow_->setDefault(true);
  auto* cancel = new QPushButton(tr("&Cancel"), this);
  options_ = new QPushButton(tr("&Options>>"), this);

  optionsArea_ = new QWidget(this);
  sizeOn_ = new QCheckBox(tr("&Size"), optionsArea_);
  sizeMode_ = new QComboBox(optionsArea_);
  sizeMode_->addItems({tr("At least"), tr("At most")});
  size_ = new QLineEdit(optionsArea_);
  size_->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), size_));
  unit_ = new QComboBox(optionsArea_);
  unit_->addItems({QStringLiteral("KB"), QStringLiteral("MB"), QStringLiteral("GB")});
  dateOn_ = new QCheckBox(tr("&Date"), optionsArea_);
  dateKind_ = new QComboBox(optionsArea_);
  dateKind_->addItems({tr("Last access date"), tr("Creation date")});
  from_ = new QDateEdit(QDate::currentDate(), optionsArea_);
  to_ = new QDateEdit(QDate::currentDate(), optionsArea_);
  for (QDateEdit* d : {from_, to_}) {
    d->setCalendarPopup(true);
    d->setDisplayFormat(QStringLiteral("dd-MM-yyyy"));
    d->setMinimumDate(QDate(1980, 1, 1));
    d->setMaximumDate(QDate(2107, 12, 31));
  }
  auto* grid = new QGridLayout(optionsArea_);
  grid->addWidget(sizeOn_, 0, 0);
  grid->addWidget(sizeMode_, 0, 1);
  grid->addWidget(size_, 0, 2);
  grid->addWidget(unit_, 0, 3);
  grid->addWidget(dateOn_, 1, 0);
  grid->addWidget(dateKind_, 1, 1);
  grid->addWidget(new QLabel(tr("from"), optionsArea_), 2, 0, Qt::AlignRight);
  grid->addWidget(from_, 2, 1);
  grid->addWidget(new QLabel(tr("to"), optionsArea_), 2, 2, Qt::AlignRight);
  grid->addWidget(to_, 2, 3);
  optionsArea_->setVisible(false);

  auto* left = new QVBoxLayout;
  left->addWidget(label);
  left->addWidget(pattern_);
  left->addWidget(matchCase_);
  left->addWidget(hint);
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

  connect(searchNow_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(options_, &QPushButton::clicked, this, [this] { showOptions(!optionsShown_); });
  connect(pattern_, &QLineEdit::textChanged, this, &COVNTFSFindFile::update);
  connect(size_, &QLineEdit::textChanged, this, &COVNTFSFindFile::update);
  connect(sizeOn_, &QCheckBox::toggled, this, &COVNTFSFindFile::update);
  connect(dateOn_, &QCheckBox::toggled, this, &COVNTFSFindFile::update);
  connect(unit_, &QComboBox::currentIndexChanged, this, [this](int unit) {
    size_->clear();
    size_->setMaxLength(findSizeDigits(unit));
    update();
  });
  size_->setMaxLength(findSizeDigits(0));
  update();
}

void COVNTFSFindFile::showOptions(bool shown) {
  optionsShown_ = shown;
  optionsArea_->setVisible(shown);
  options_->setText(shown ? tr("<<&Options") : tr("&Options>>"));
}

FindCriteria COVNTFSFindFile::criteria() const {
  FindCriteria c;
  c.pattern = pattern_->text().toStdU16String();
  c.matchCase = matchCase_->isChecked();
  c.sizeOn = sizeOn_->isChecked();
  c.sizeAtMost = sizeMode_->currentIndex() == 1;
  bool ok = false;
  std::uint64_t number = size_->text().toULongLong(&ok);
  c.sizeBytes = ok ? findSizeBytes(number, unit_->currentIndex()) : 0;
  c.dateOn = dateOn_->isChecked();
  c.creationDate = dateKind_->currentIndex() == 1;
  c.dateFrom = dosDate(from_->date());
  c.dateTo = dosDate(to_->date());
  return c;
}

void COVNTFSFindFile::setCriteria(const FindCriteria& c) {
  pattern_->setText(QString::fromStdU16String(c.pattern));
  matchCase_->setChecked(c.matchCase);
  sizeOn_->setChecked(c.sizeOn);
  sizeMode_->setCurrentIndex(c.sizeAtMost ? 1 : 0);
  dateOn_->setChecked(c.dateOn);
  dateKind_->setCurrentIndex(c.creationDate ? 1 : 0);
  if (c.dateFrom) from_->setDate(fromDosDate(c.dateFrom));
  if (c.dateTo) to_->setDate(fromDosDate(c.dateTo));
  if (c.sizeOn || c.dateOn) showOptions(true);
  update();
}

void COVNTFSFindFile::update() {
  for (QWidget* w : {static_cast<QWidget*>(sizeMode_), static_cast<QWidget*>(size_), static_cast<QWidget*>(unit_)})
    w->setEnabled(sizeOn_->isChecked());
  for (QWidget* w : {static_cast<QWidget*>(dateKind_), static_cast<QWidget*>(from_), static_cast<QWidget*>(to_)})
    w->setEnabled(dateOn_->isChecked());
  searchNow_->setEnabled(findCriteriaUsable(criteria()));
}

}  // namespace ov::workbench
