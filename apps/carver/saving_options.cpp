#include "apps/carver/saving_options.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QListWidget>
#include <QMessageBox>
#include <QVBoxLayout>

#include "disk/destination_guard.h"

namespace ov::kestrin {

namespace {

// The media a disc image may be meant for, with what they hold (whole 2048-byte blocks).
struct MediumChoice {
  const char* text;
  std::uint64_t bytes;
};
constexpr MediumChoice kMedia[] = {
    {"Any size", 0},
    {"CD (700 MB)", 360000ULL * 2048},
    {"DVD (4.7 GB)", 2295104ULL * 2048},
    {"DVD DL (8.5 GB)", 4173824ULL * 2048},
    {"BD (25 GB)", 12219392ULL * 2048},
};

QLabel* greyNote(const QString& text, QWidget* parent) {
  auto* note = new QLabel(text, parent);
  note->setWordWrap(true);
  note->setEnabled(false);
  return note;
}

QPushButton* browseButton(QWidget* parent) {
  auto* browse = new QPushButton(QStringLiteral("..."), parent);
  browse->setFixedWidth(36);
  return browse;
}

}  // namespace

SavingOptionsDialog::SavingOptionsDialog(CarverSession& session, QWidget* parent)
    : QDialog(parent), session_(session) {
  setWindowTitle(tr("Saving Options"));
  tabs_ = new QTabWidget(this);
  auto* page = new QWidget(tabs_);
  tabs_->addTab(page, tr("Save data to local drive"));

  auto* whereLabel = new QLabel(tr("&Provide location to save data:"), page);
  destination_ = new QLineEdit(QDir::homePath(), page);
  whereLabel->setBuddy(destination_);
  auto* browse = browseButton(page);
  browse->setToolTip(tr("Choose the folder"));
  compress_ = new QCheckBox(tr("&Compress Data"), page);
  compress_->setToolTip(tr("Pack the recovered files into zip archives beside the output folder"));
  auto* outputNote = greyNote(tr("A new folder DataXEB0, DataXEB1, ... is made in this folder for the "
                                 "recovered data. Choose a folder on another disk than the one being carved."),
                              page);
  auto* whereRow = new QHBoxLayout;
  whereRow->addWidget(destination_, 1);
  whereRow->addWidget(browse);
  auto* pageLayout = new QVBoxLayout(page);
  pageLayout->addWidget(whereLabel);
  pageLayout->addLayout(whereRow);
  pageLayout->addWidget(outputNote);
  pageLayout->addWidget(compress_);
  pageLayout->addStretch(1);
  tabs_->addTab(makeBurnPage(), tr("Burn data to CD/DVD"));

  // The excluded types apply to both pages.
  auto* group = new QGroupBox(tr("&Ignore these file types before saving"), this);
  extension_ = new QLineEdit(group);
  extension_->setMaxLength(260);
  add_ = new QPushButton(tr("&Add to list"), group);
  auto* view = new QPushButton(tr("&View List"), group);
  auto* clear = new QPushButton(tr("&Clear List"), group);
  auto* listLabel = new QLabel(tr("&File types to exclude:"), group);
  excludedText_ = new QLabel(tr("(none)"), group);
  excludedText_->setWordWrap(true);
  listLabel->setBuddy(view);
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

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_);
  layout->addWidget(group);
  layout->addWidget(buttons);
  resize(580, 470);

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
  connect(tabs_, &QTabWidget::currentChanged, this, [this](int index) {
    if (index == 1) listWriters();
  });
}

QWidget* SavingOptionsDialog::makeBurnPage() {
  auto* page = new QWidget(tabs_);
  auto* writersLabel = new QLabel(tr("&CD/DVD Burning Devices:"), page);
  writers_ = new QComboBox(page);
  writersLabel->setBuddy(writers_);
  writersNote_ = new QLabel(page);
  QPalette red = writersNote_->palette();
  red.setColor(QPalette::WindowText, QColor(170, 30, 30));
  writersNote_->setPalette(red);
  writersNote_->setVisible(false);

  auto* imageLabel = new QLabel(tr("Disc &image file:"), page);
  imagePath_ = new QLineEdit(QDir(QDir::homePath()).filePath(QStringLiteral("Ovelin.iso")), page);
  imageLabel->setBuddy(imagePath_);
  imageBrowse_ = browseButton(page);
  imageBrowse_->setToolTip(tr("Choose the disc image file"));
  auto* mediumLabel = new QLabel(tr("Image must &fit on:"), page);
  medium_ = new QComboBox(page);
  for (const MediumChoice& m : kMedia) medium_->addItem(tr(m.text), QVariant::fromValue<qulonglong>(m.bytes));
  mediumLabel->setBuddy(medium_);
  burnCompress_ = new QCheckBox(tr("&Compress Data"), page);
  burnCompress_->setToolTip(tr("Burn the recovered files packed into zip archives"));
  auto* cacheLabel = new QLabel(tr("Select drive to save temporary cache"), page);
  cache_ = new QLineEdit(QDir::homePath(), page);
  cacheLabel->setBuddy(cache_);
  auto* cacheBrowse = browseButton(page);
  cacheBrowse->setToolTip(tr("Choose the folder for the temporary cache"));
  auto* cacheNote = greyNote(tr("The files to burn are gathered in a folder \"OVTmp\" made in this folder, and "
                                "deleted afterwards. Choose a folder on another disk than the one being carved, "
                                "with room for the marked data."),
                             page);

  auto* grid = new QGridLayout;
  grid->addWidget(imageLabel, 0, 0);
  auto* imageRow = new QHBoxLayout;
  imageRow->addWidget(imagePath_, 1);
  imageRow->addWidget(imageBrowse_);
  grid->addLayout(imageRow, 0, 1);
  grid->addWidget(mediumLabel, 1, 0);
  grid->addWidget(medium_, 1, 1, Qt::AlignLeft);
  grid->setColumnStretch(1, 1);
  auto* cacheRow = new QHBoxLayout;
  cacheRow->addWidget(cache_, 1);
  cacheRow->addWidget(cacheBrowse);
  auto* layout = new QVBoxLayout(page);
  layout->addWidget(writersLabel);
  layout->addWidget(writers_);
  layout->addWidget(writersNote_);
  layout->addSpacing(4);
  layout->addLayout(grid);
  layout->addWidget(burnCompress_);
  layout->addSpacing(6);
  layout->addWidget(cacheLabel);
  layout->addLayout(cacheRow);
  layout->addWidget(cacheNote);
  layout->addStretch(1);

  connect(writers_, &QComboBox::currentIndexChanged, this, &SavingOptionsDialog::targetChanged);
  connect(imageBrowse_, &QPushButton::clicked, this, [this] {
    // The dialog asks before an existing file is replaced; the answer is kept.
    QString file = QFileDialog::getSaveFileName(this, tr("Save as disc image"), imagePath_->text(),
                                                tr("Disc images (*.iso)"));
    if (file.isEmpty()) return;
    if (QFileInfo(file).suffix().isEmpty()) file += QStringLiteral(".iso");
    imagePath_->setText(file);
    replaceImage_ = QFileInfo::exists(file);
  });
  connect(imagePath_, &QLineEdit::textEdited, this, [this] { replaceImage_ = false; });
  connect(cacheBrowse, &QPushButton::clicked, this, [this] {
    QString folder = QFileDialog::getExistingDirectory(this, tr("Select drive to save temporary cache"), cache_->text());
    if (!folder.isEmpty()) cache_->setText(folder);
  });
  return page;
}

void SavingOptionsDialog::showBurnPage() {
  tabs_->setCurrentIndex(1);
  listWriters();
}

void SavingOptionsDialog::listWriters() {
  if (listed_) return;
  listed_ = true;
  const auto& list = session_.environment().listWriters;
  session_.worker().runAndWait([this, &list] { found_ = list ? list() : disc::listWriters(); });
  writers_->clear();
  for (const disc::Writer& w : found_) writers_->addItem(QString::fromStdString(w.name));
  writers_->addItem(tr(kImageEntryText));
  writersNote_->setText(QString::fromLatin1(disc::kNoBurningDeviceText));
  writersNote_->setVisible(found_.empty());
  writers_->setCurrentIndex(0);
  targetChanged();
}

void SavingOptionsDialog::targetChanged() {
  const bool image = writers_->currentIndex() >= static_cast<int>(found_.size());
  imagePath_->setEnabled(image);
  imageBrowse_->setEnabled(image);
  medium_->setEnabled(image);
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
  burning_ = tabs_->currentIndex() == 1;
  if (burning_ ? acceptBurn() : acceptSave()) QDialog::accept();
}

bool SavingOptionsDialog::acceptSave() {
  const QString text = destination_->text().trimmed();
  if (text.isEmpty()) {
    QMessageBox::information(this, tr("Information"), tr("Please provide location to save data."));
    return false;
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
      return false;
    }
  }
  if (QFileInfo(folder).exists() && !QFileInfo(folder).isDir()) {
    QMessageBox::critical(this, tr("Error"), tr("%1 is not a folder.").arg(folder));
    return false;
  }
  if (!QDir().mkpath(folder)) {
    QMessageBox::critical(this, tr("Error"), tr("The folder %1 cannot be created.").arg(folder));
    return false;
  }
  destination_->setText(folder);
  return true;
}

bool SavingOptionsDialog::acceptBurn() {
  listWriters();
  const auto source = identifySource(session_.chosen().path);
  auto conflictOf = [&source](const QString& path) {
    return source ? destinationConflict(*source, path.toStdString()) : std::string();
  };
  // The cache first: both targets need it.
  const QString cacheText = cache_->text().trimmed();
  if (cacheText.isEmpty()) {
    QMessageBox::information(this, tr("Information"), tr("Please select drive to save temporary cache."));
    return false;
  }
  const QString cache = QDir(cacheText).absolutePath();
  if (const std::string conflict = conflictOf(cache); !conflict.empty()) {
    // Refused, not merely warned about: the cache would be written over what is being carved.
    QMessageBox::warning(this, tr("Warning"),
                         QString::fromLatin1(kCacheOnSourceText) + QStringLiteral("\n\n") +
                             QString::fromStdString(conflict));
    return false;
  }
  if (QFileInfo(cache).exists() && !QFileInfo(cache).isDir()) {
    QMessageBox::critical(this, tr("Error"), tr("%1 is not a folder.").arg(cache));
    return false;
  }
  if (!QDir().mkpath(cache)) {
    QMessageBox::critical(this, tr("Error"), tr("The folder %1 cannot be created.").arg(cache));
    return false;
  }
  cache_->setText(cache);

  const int index = writers_->currentIndex();
  if (index >= 0 && index < static_cast<int>(found_.size())) {
    const disc::Writer& writer = found_[static_cast<std::size_t>(index)];
    if (const std::string conflict = conflictOf(QString::fromStdString(writer.address)); !conflict.empty()) {
      QMessageBox::warning(this, tr("Warning"),
                           QString::fromLatin1(kSameLocationText) + QStringLiteral("\n\n") +
                               QString::fromStdString(conflict));
      return false;
    }
    disc::Medium medium;
    session_.worker().runAndWait([&] { medium = disc::checkMedium(writer.address); });
    if (!medium.problem.empty()) {
      QMessageBox::critical(this, tr("Error"), QString::fromStdString(medium.problem));
      return false;
    }
    return true;
  }

  // A disc image file.
  QString file = imagePath_->text().trimmed();
  if (file.isEmpty()) {
    QMessageBox::information(this, tr("Information"), tr("Please provide a name for the disc image."));
    return false;
  }
  if (QFileInfo(file).suffix().isEmpty()) file += QStringLiteral(".iso");
  file = QDir(file).absolutePath();
  if (const std::string conflict = conflictOf(file); !conflict.empty()) {
    QMessageBox::warning(this, tr("Warning"),
                         QString::fromLatin1(kSameLocationText) + QStringLiteral("\n\n") +
                             QString::fromStdString(conflict));
    return false;
  }
  const QFileInfo info(file);
  if (!info.dir().exists()) {
    QMessageBox::critical(this, tr("Error"), tr("The folder %1 does not exist.").arg(info.absolutePath()));
    return false;
  }
  if (info.exists() || info.isSymLink()) {
    if (info.isDir() || info.isSymLink() || !info.isFile()) {
      QMessageBox::critical(this, tr("Error"), tr("%1 is not a file that can be replaced.").arg(file));
      return false;
    }
    if (!replaceImage_ &&
        QMessageBox::question(this, tr("Confirm"), tr("%1 already exists.\nDo you want to replace it?").arg(file),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
      return false;
    replaceImage_ = true;
  } else {
    replaceImage_ = false;
  }
  imagePath_->setText(file);
  return true;
}

SaveSettings SavingOptionsDialog::settings() const {
  SaveSettings s;
  s.destination = destination_->text().toStdString();
  s.compress = burning_ ? burnCompress_->isChecked() : compress_->isChecked();
  for (const QString& e : excluded_) s.excludedExtensions.push_back(e.toStdU16String());
  return s;
}

BurnSettings SavingOptionsDialog::burnSettings() const {
  BurnSettings b;
  const int index = writers_->currentIndex();
  if (index >= 0 && index < static_cast<int>(found_.size())) {
    b.writer = found_[static_cast<std::size_t>(index)].address;
    b.writerName = found_[static_cast<std::size_t>(index)].name;
  } else {
    b.imagePath = imagePath_->text().toStdString();
    b.replaceImage = replaceImage_;
    b.mediumBytes = medium_->currentData().toULongLong();
  }
  b.cacheFolder = cache_->text().toStdString();
  return b;
}

}  // namespace ov::kestrin
