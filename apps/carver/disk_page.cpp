#include "apps/carver/disk_page.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>

#include <cerrno>

#include "apps/carver/page_common.h"
#include "disk/destination_guard.h"
#include "disk/sector_source.h"

namespace ov::kestrin {

namespace {

std::string escaped(const std::string& text) { return QString::fromStdString(text).toHtmlEscaped().toStdString(); }

std::string bullet(const char* caption, const std::string& value) {
  return "&#8226;&nbsp;<b>" + std::string(caption) + "</b> " + escaped(value);
}

}  // namespace

CarverDiskPage::CarverDiskPage(CarverSession& session, QWidget* parent) : QDialog(parent), session_(session) {
  setWindowTitle(QString::fromLatin1(kProgramName));
  tree_ = new workbench::DiskTree(this);
  tree_->setMinimumWidth(260);
  info_ = new workbench::InfoPanel(this);
  info_->setMinimumWidth(330);
  refresh_ = new QPushButton(tr("&Refresh Drives"), this);
  image_ = new QPushButton(tr("Image file..."), this);
  image_->setToolTip(tr("Carve an image file of a disk (\".ov2\" or a raw copy) as a disk is carved"));
  sectorSize_ = new QComboBox(this);
  sectorSize_->addItem(tr("Automatic"), 0);
  for (int size : {512, 1024, 2048, 4096}) sectorSize_->addItem(tr("%1 bytes").arg(size), size);
  sectorSize_->setToolTip(tr("Found from the image itself; choose it only for an image of a disk with larger "
                             "sectors that is not recognised."));
  sectorSize_->setEnabled(false);
  auto* sizeLabel = new QLabel(tr("Image sector si&ze:"), this);
  sizeLabel->setBuddy(sectorSize_);

  auto* help = new QPushButton(tr("Help"), this);
  auto* back = new QPushButton(tr("< &Back"), this);
  back->setEnabled(false);
  next_ = new QPushButton(tr("&Next >"), this);
  next_->setDefault(true);
  next_->setEnabled(false);
  auto* cancel = new QPushButton(tr("Cancel"), this);

  auto* panes = new QHBoxLayout;
  panes->addWidget(tree_, 1);
  panes->addWidget(info_, 1);
  auto* tools = new QHBoxLayout;
  tools->addWidget(refresh_);
  tools->addWidget(image_);
  tools->addSpacing(12);
  tools->addWidget(sizeLabel);
  tools->addWidget(sectorSize_);
  tools->addStretch(1);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(help);
  buttons->addStretch(1);
  buttons->addWidget(back);
  buttons->addWidget(next_);
  buttons->addSpacing(8);
  buttons->addWidget(cancel);
  auto* rule = new QFrame(this);
  rule->setFrameShape(QFrame::HLine);
  rule->setFrameShadow(QFrame::Sunken);
  auto* body = new QVBoxLayout;
  body->setContentsMargins(11, 8, 11, 0);
  body->addLayout(panes, 1);
  body->addLayout(tools);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 11);
  layout->addWidget(pageBanner(tr("Select physical disk to process"),
                               tr("Choose the disk (or an image file of a disk) that held the lost files."), this));
  layout->addLayout(body, 1);
  layout->addWidget(rule);
  auto* buttonRow = new QWidget(this);
  buttonRow->setLayout(buttons);
  buttons->setContentsMargins(11, 0, 11, 0);
  layout->addWidget(buttonRow);
  resize(720, 480);

  connect(tree_, &workbench::DiskTree::diskSelected, this, [this](int index) {
    if (index < 0) showWelcome();
    else choose(index);
  });
  connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
    if (item && item->parent()) goNext();
  });
  connect(refresh_, &QPushButton::clicked, this, &CarverDiskPage::listDisks);
  connect(image_, &QPushButton::clicked, this, &CarverDiskPage::pickImage);
  connect(next_, &QPushButton::clicked, this, &CarverDiskPage::goNext);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(help, &QPushButton::clicked, this, [this] { showHelp(session_, this, kHelpTopic); });
  bindHelpKey(session_, this, kHelpTopic);
  // The launcher learns where to send its close request before anything can hold the page up
  // (listing the disks may show messages).
  session_.sendDiskPageOpened();
  listDisks();
}

void CarverDiskPage::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (shown_) return;
  shown_ = true;
  if (disks_.empty())
    QTimer::singleShot(0, this, [this] {
      if (disks_.empty() && imagePath_.isEmpty())
        QMessageBox::critical(this, tr("Error"),
                              tr("Failed to retrieve logical drives") +
                                  tr("\n\nNo disk of this computer can be read. Carve an image file of a disk "
                                     "with \"Image file...\", or start Kestrin from a recovery program that "
                                     "runs with access to the disks."));
    });
}

void CarverDiskPage::listDisks() {
  std::vector<DiskInfo> found;
  enumeratePhysicalDisks(session_.diskProvider(), session_.sizeQuery(), found, session_.host(),
                         session_.environment().deviceDirectory);
  disks_ = carverDiskList(found);
  std::vector<DiskInfo> shown;
  for (const auto& d : disks_) shown.push_back(d.info);
  QSignalBlocker quiet(tree_);
  tree_->setDisks(shown);
  QTreeWidgetItem* root = tree_->topLevelItem(0);
  for (int i = 0; i < root->childCount(); ++i) {
    root->child(i)->setText(0, QString::fromStdString(disks_[static_cast<std::size_t>(i)].label));
    root->child(i)->setToolTip(0, QString::fromStdString(disks_[static_cast<std::size_t>(i)].modelLabel));
  }
  if (!imagePath_.isEmpty()) {
    auto* item = new QTreeWidgetItem(root, QStringList{tr("Image: %1").arg(QFileInfo(imagePath_).fileName())});
    item->setIcon(0, style()->standardIcon(QStyle::SP_FileIcon));
    item->setData(0, Qt::UserRole, static_cast<int>(disks_.size()));
    item->setToolTip(0, imagePath_);
  }
  chosen_ = -1;
  next_->setEnabled(false);
  sectorSize_->setEnabled(false);
  showWelcome();
}

void CarverDiskPage::showWelcome() {
  info_->setRichLines(
      {std::string("HDR") + kProgramName,
       "&#8226;&nbsp;Kestrin recovers data in difficult cases: from disks and memory cards whose file system is "
       "damaged, formatted or gone, where the files can only be found by their contents.",
       "&#8226;&nbsp;The physical disks of this computer are listed in the left pane. Select the disk that held "
       "the lost data and press <b>Next</b>. An image file of a disk is carved the same way: press <b>Image "
       "file...</b>.",
       "&#8226;&nbsp;Kestrin searches the whole disk thoroughly for the file types you select and recovers all "
       "data found."});
}

void CarverDiskPage::showChosen() {
  if (chosen_ < 0) return showWelcome();
  if (chosen_ == static_cast<int>(disks_.size())) {
    QFileInfo file(imagePath_);
    info_->setRichLines({std::string("HDR") + kProgramName, bullet("Image file:", imagePath_.toStdString()),
                         bullet("Size:", std::to_string(file.size()) + " bytes (" +
                                             diskSizeText(static_cast<std::uint64_t>(file.size())) + ")"),
                         bullet("Sector Size:", sectorSize_->currentText().toStdString())});
    return;
  }
  const CarverDiskEntry& d = disks_[static_cast<std::size_t>(chosen_)];
  info_->setRichLines({std::string("HDR") + kProgramName, bullet("Model Name:", d.modelLabel),
                       bullet("Serial number:", d.info.serialNumber), bullet("Interface type:", d.info.interfaceType),
                       bullet("Media type:", d.info.mediaType), bullet("Total cylinders:", d.info.totalCylinders),
                       bullet("Sector Size:", d.info.bytesPerSector), bullet("Total sectors:", d.info.totalSectors)});
}

void CarverDiskPage::choose(int index) {
  const bool image = !imagePath_.isEmpty() && index == static_cast<int>(disks_.size());
  if (!image && (index < 0 || index >= static_cast<int>(disks_.size()))) return;
  chosen_ = index;
  next_->setEnabled(true);
  sectorSize_->setEnabled(image);
  showChosen();
}

void CarverDiskPage::pickImage() {
  QString path = QFileDialog::getOpenFileName(
      this, tr("Image file"), imagePath_.isEmpty() ? QString() : QFileInfo(imagePath_).path(),
      tr("Disk images (*.ov2 *.img *.dd *.raw *.bin *.iso *.001);;All files (*)"));
  if (!path.isEmpty()) chooseImage(path);
}

void CarverDiskPage::chooseImage(const QString& path) {
  imagePath_ = QFileInfo(path).absoluteFilePath();
  listDisks();
  QTreeWidgetItem* root = tree_->topLevelItem(0);
  tree_->setCurrentItem(root->child(root->childCount() - 1));
}

void CarverDiskPage::goNext() {
  if (chosen_ < 0) return;
  const bool image = chosen_ == static_cast<int>(disks_.size());
  int error = 0;
  QString name;
  if (image) {
    name = imagePath_;
    if (std::string why = unusableSourceReason(imagePath_.toStdString()); !why.empty()) {
      QMessageBox::critical(this, tr("Error"), QString::fromStdString(why));
      return;
    }
    error = session_.openImage(imagePath_, static_cast<std::uint16_t>(sectorSize_->currentData().toInt()));
  } else {
    const CarverDiskEntry& d = disks_[static_cast<std::size_t>(chosen_)];
    name = QString::fromStdString(d.label);
    error = session_.openDisk(d, session_.environment().deviceDirectory);
  }
  if (error == -1) return;  // shown already
  if (error != 0) {
    const QString why = QString::fromStdString(systemErrorText(error));
    QString text;
    if (!image && (error == ENOENT || error == ENODEV || error == ENXIO || error == ENOMEDIUM))
      text = tr("Please reconnect disk to continue.");
    else if (image)
      text = tr("The image %1 cannot be opened: %2.").arg(name, why);
    else
      text = tr("The disk %1 cannot be opened: %2.").arg(name, why);
    if (error == EACCES || error == EPERM)
      text += tr("\n\nReading disks needs administrator rights: start the recovery program with pkexec or sudo, "
                 "or add your user to the \"disk\" group and log in again.");
    QMessageBox::critical(this, tr("Error"), text);
    return;
  }
  if (session_.disk().totalSectors() == 0) {
    QMessageBox::critical(this, tr("Error"), tr("%1 holds no whole sector.").arg(name));
    session_.resetWizard();
    return;
  }
  done(PageNext);
}

}  // namespace ov::kestrin
