#include "apps/carver/saving_options.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QListWidget>
#include <QMessageBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "disk/destination_guard.h"

namespace ov::kestrin {

SavingOptionsDialog::SavingOptionsDialog(CarverSession& session, QWidget* parent)
    : QDialog(parent), session_(session) {
  setWindowTitle(tr("Saving Options"));
  auto* tabs = new QTabWidget(this);
  auto* page = new QWidget(tabs);
  tabs->addTab(page, tr("Save data to local drive"));

  auto* whereLabel = new QLabel(tr("&Provide location to save data:"), page);
  destination_ = new QLineEdit(QDir::homePath(), page);
  whereLabel->setBuddy(destination_);
  auto* browse = new QPushButton(QStringLiteral("..."), page);
  browse->setFixedWidth(36);
  browse->setToolTip(tr("Choose the folder"));
  compress_ = new QCheckBox(tr("&Compress Data"), page);
  compress_->setToolTip(tr("Pack the recovered files into zip archives beside the output folder"));
  auto* outputNote = new QLabel(tr("A new folder DataXEB0, DataXEB1, ... is made in this folder for the "
                                   "recovered data. Choose a folder on another disk than the one being carved."),
                                page);
  outputNote->setWordWrap(true);
  outputNote->setEnabled(false);

  auto* group = new QGroupBox(tr("&Ignore these file types before saving"), page);
  extension_ = new QLineEdit(group);
  extension_->setMaxLength(260);
  add_ = new QPushButton(tr("&Add to list"), group);
  auto* view = new QPushButton(tr("&View List"), group);
  auto* clear = new QPushButton(tr("&Clear List"), group);
  auto* listLabel = new QLabel(tr("&File types to exclude:"), group);
  excludedText_ = new QLabel(tr("(none)"), group);
  excludedText_->setWordWrap(true);
  listLabel->setBuddy(view);

  auto* whereRow = new QHBoxLayout;
  whereRow->addWidget(destination_, 1);
  whereRow->addWidget(browse);
  auto* addRow = new QHBoxLayout;
  addRow->addWidget(new QLabel(tr("Enter extension e.g. doc"), group));
  addRow->addWidget(extension_, 1);
  addRow->addWidget(add_);
  auto* listRow = new QHBoxLayout;
  listRow->addWidget(listLabel);
  listRow->addWidget(excludedText_, 1);
  listRow->addWidget(view);
  listRow->addWidget(clear);
  auto* groupLayout = new QVBoxLayout(group);
  groupLayout->addLayout(addRow);
  groupLayout->addLayout(listRow);
  auto* pageLayout = new QVBoxLayout(page);
  pageLayout->addWidget(whereLabel);
  pageLayout->addLayout(whereRow);
  pageLayout->addWidget(outputNote);
  pageLayout->addWidget(compress_);
  pageLayout->addSpacing(6);
  pageLayout->addWidget(group);
  pageLayout->addStretch(1);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs);
  layout->addWidget(buttons);
  resize(560, 360);

  connect(buttons, &QDialogButtonBox::accepted, this, &SavingOptionsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(browse, &QPushButton::clicked, this, [this] {
    QString folder = QFileDialog::getExistingDirectory(this, tr("Provide location to save data"), destination_->text());
    if (!folder.isEmpty()) destination_->setText(folder);
  });
  connect(add_, &QPushButton::clicked, this, &SavingOptionsDialog::addExtension);
  connect(extension_, &QLineEdit::returnPressed, this, &SavingOptionsDialog::addExtension);
  connect(view, &QPushButton::clicked, this, &SavingOptionsDialog::showList);
  connect(clear, &QPushButton::clicked, this, [this] {
    excluded_.clear();
    excludedText_->setText(tr("(none)"));
  });
}

void SavingOptionsDialog::addExtension() {
  QString text = extension_->text().trimmed();
  if (text.startsWith(QLatin1Char('.'))) text = text.mid(1);
  if (text.isEmpty() || excluded_.contains(text, Qt::CaseInsensitive)) {
    QMessageBox::critical(this, tr("Error"), QString::fromLatin1(kBadExtensionText));
    return;
  }
  if (text.size() > 219) {
    QMessageBox::critical(this, tr("Error"), QString::fromLatin1(kLongExtensionText));
    return;
  }
  for (QChar c : QStringLiteral("\\/:*?\"<>|"))
    if (text.contains(c)) {
      QMessageBox::critical(this, tr("Error"), QString::fromLatin1(kBadCharactersText));
      extension_->selectAll();
      return;
    }
  excluded_ << text;
  excludedText_->setText(excluded_.join(QStringLiteral(", ")));
  extension_->clear();
}

void SavingOptionsDialog::showList() {
  QDialog dialog(this);
  dialog.setWindowTitle(tr("Excluded File Types"));
  auto* list = new QListWidget(&dialog);
  list->addItems(excluded_);
  auto* close = new QPushButton(tr("&Close"), &dialog);
  connect(close, &QPushButton::clicked, &dialog, &QDialog::accept);
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(list);
  layout->addWidget(close, 0, Qt::AlignRight);
  dialog.resize(280, 300);
  dialog.exec();
}

void SavingOptionsDialog::accept() {
  const QString text = destination_->text().trimmed();
  if (text.isEmpty()) {
    QMessageBox::information(this, tr("Information"), tr("Please provide location to save data."));
    return;
  }
  const QString folder = QDir(text).absolutePath();
  // Writing onto the disk being carved could overwrite the very files that are to be saved: such
  // a folder is refused, before anything is created there.
  if (auto source = identifySource(session_.chosen().path)) {
    const std::string conflict = destinationConflict(*source, folder.toStdString());
    if (!conflict.empty()) {
      QMessageBox::warning(this, tr("Warning"),
                           QString::fromLatin1(kSameLocationText) + QStringLiteral("\n\n") +
                               QString::fromStdString(conflict));
      return;
    }
  }
  if (QFileInfo(folder).exists() && !QFileInfo(folder).isDir()) {
    QMessageBox::critical(this, tr("Error"), tr("%1 is not a folder.").arg(folder));
    return;
  }
  if (!QDir().mkpath(folder)) {
    QMessageBox::critical(this, tr("Error"), tr("The folder %1 cannot be created.").arg(folder));
    return;
  }
  destination_->setText(folder);
  QDialog::accept();
}

SaveSettings SavingOptionsDialog::settings() const {
  SaveSettings s;
  s.destination = destination_->text().toStdString();
  s.compress = compress_->isChecked();
  for (const QString& e : excluded_) s.excludedExtensions.push_back(e.toStdU16String());
  return s;
}

}  // namespace ov::kestrin
