#include "workbench/wizard.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QStorageInfo>
#include <QVBoxLayout>

#include "disk/image_formats.h"
#include "workbench/copy_pages.h"
#include "workbench/main_frame.h"
#include "workbench/search_dialogs.h"

namespace ov::workbench {

namespace {

std::vector<std::string> mainPageHelp() {
  return {"HDRRecover your data from disk",
          "Finds the volumes of a disk attached to this computer and rebuilds their folders, with the "
          "deleted files beside the live ones.",
          "HDRRecover data from disk image",
          "Does the same with an image file of a disk (a copy made earlier, by this program or by dd).",
          "HDRClone Disk",
          "Copies a disk sector by sector onto another disk.",
          "HDRCreate disk Image",
          "Copies a disk sector by sector into an image file, so that a failing disk is read only once.",
          "HDRSteps to proceed. ",
          "Choose an option and click Next."};
}

std::vector<std::string> drivePageHelp() {
  return {"HDRSteps to proceed. ",
          "1. Select the hard drive that holds the lost data.",
          "2. Choose how its volumes are found:",
          "HDRDisplay default partition(s)",
          "Reads the partition table. Use it when the disk's partitions are still there.",
          "HDRSearch for lost partition(s)",
          "Searches the disk for volumes whose partition was deleted or whose table is damaged.",
          "3. Click Next."};
}

std::vector<std::string> imagePageHelp() {
  return {"HDRSteps to proceed. ",
          "1. Click \"Select Image File\" and choose the image of the disk.",
          "2. Choose how its volumes are found (Image Processing Mode).",
          "3. Click Next.",
          "HDRImage files",
          "Images made by this program (.ov2) and raw copies of a disk or of one volume (dd, .img) are read, "
          "and so are E01 images, virtual disks (VHD, VHDX, VMDK, qcow2) and raw images split into pieces "
          "(choose the first piece, NAME.001). A differencing disk needs its parent in the same folder."};
}

std::vector<std::string> partitionPageHelp() {
  return {"HDRSteps to proceed. ", "Select the logical drive that held the lost data and click Finish.",
          "Its folders are rebuilt; the deleted files are shown beside the live ones."};
}

}  // namespace

WizardPage::WizardPage(CWizardSheet& sheet, const QString& title, const std::string& helpTopic)
    : sheet_(sheet), helpTopic_(helpTopic) {
  setTitle(title);
  body_ = new QWidget(this);
  info_ = new InfoPanel(this);
  info_->setMaximumWidth(280);
  startup_ = new QCheckBox(tr("&Run wizard on startup"), this);
  connect(startup_, &QCheckBox::toggled, this, [this](bool on) { sheet_.runOnStartup = on; });
  auto* row = new QHBoxLayout;
  row->addWidget(body_, 1);
  row->addWidget(info_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(row, 1);
  layout->addWidget(startup_);
}

void WizardPage::syncStartupBox() {
  QSignalBlocker block(startup_);
  startup_->setChecked(sheet_.runOnStartup);
}

CWizardMainPage::CWizardMainPage(CWizardSheet& sheet)
    : WizardPage(sheet, tr("Select appropriate Option"), sheet.frame().engine().texts().helpPrefix + "wizardwin.htm") {
  const char* names[] = {"Recover your data from disk", "Recover data from disk image", "Clone Disk",
                         "Create disk Image"};
  auto* layout = new QVBoxLayout(body());
  for (int i = 0; i < 4; ++i) {
    options_[i] = new QRadioButton(tr(names[i]), body());
    layout->addWidget(options_[i]);
    connect(options_[i], &QRadioButton::toggled, this, [this, i](bool on) {
      if (on) sheet_.option = static_cast<WizardChoice>(i);
      Q_EMIT completeChanged();
    });
  }
  layout->addStretch(1);
  info()->setLines(mainPageHelp());
}

void CWizardMainPage::initializePage() {
  sheet_.mode = ProcessingMode::PartitionTable;
  syncStartupBox();
}

bool CWizardMainPage::isComplete() const {
  for (auto* o : options_)
    if (o->isChecked() && o->isEnabled()) return true;
  return false;
}

int CWizardMainPage::nextId() const {
  for (int i = 0; i < 4; ++i)
    if (options_[i]->isChecked()) return i + 1;
  return 1;
}

ModeChoice::ModeChoice(QWidget* parent) : QWidget(parent) {
  table_ = new QRadioButton(tr("&Display default partition(s)"), this);
  search_ = new QRadioButton(tr("&Search for lost partition(s)"), this);
  table_->setChecked(true);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(table_);
  layout->addWidget(search_);
}

ProcessingMode ModeChoice::mode() const {
  return search_->isChecked() ? ProcessingMode::LostVolumeSearch : ProcessingMode::PartitionTable;
}

void ModeChoice::setMode(ProcessingMode mode) {
  (mode == ProcessingMode::LostVolumeSearch ? search_ : table_)->setChecked(true);
}

CWizardDriveSelectionPage::CWizardDriveSelectionPage(CWizardSheet& sheet)
    : WizardPage(sheet, tr("Step 1: Select Hard Drive"), sheet.frame().engine().texts().helpPrefix + "recoverdata.htm"),
      help_(drivePageHelp()) {
  tree_ = new DiskTree(body());
  modes_ = new ModeChoice(body());
  auto* step2 = new QLabel(tr("Step 2: Select Appropriate Option"), body());
  QFont bold = step2->font();
  bold.setBold(true);
  step2->setFont(bold);
  auto* layout = new QVBoxLayout(body());
  layout->addWidget(tree_, 1);
  layout->addWidget(step2);
  layout->addWidget(modes_);
  connect(tree_, &DiskTree::diskSelected, this, &CWizardDriveSelectionPage::showDisk);
  connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this] {
    if (isComplete()) wizard()->next();
  });
}

void CWizardDriveSelectionPage::initializePage() {
  syncStartupBox();
  tree_->setDisks(sheet_.disks());
  modes_->setMode(sheet_.mode);
  showDisk(-1);
}

void CWizardDriveSelectionPage::showDisk(int index) {
  if (index < 0 || index >= static_cast<int>(sheet_.disks().size())) {
    std::vector<std::string> lines = help_;
    if (sheet_.disks().empty()) {
      lines.push_back("HDRNo disk listed");
      lines.push_back("No disk could be listed. Recover from an image file instead, or start the program "
                      "with access to the disks (see Help).");
    }
    info()->setLines(lines);
  } else {
    info()->setLines(diskInformationLines(sheet_.disks()[static_cast<std::size_t>(index)]));
  }
  Q_EMIT completeChanged();
}

bool CWizardDriveSelectionPage::isComplete() const { return tree_->selectedDisk() >= 0; }

bool CWizardDriveSelectionPage::validatePage() {
  int index = tree_->selectedDisk();
  if (index < 0) return false;
  CMainFrame& frame = sheet_.frame();
  RecoveryEngine& engine = frame.engine();
  sheet_.sourceDisk = index;
  sheet_.mode = modes_->mode();
  const DiskInfo& disk = sheet_.disks()[static_cast<std::size_t>(index)];
  if (!sheet_.openDisk(disk, this)) return false;
  if (sheet_.mode == ProcessingMode::PartitionTable) {
    sheet_.runEntry.description = "Disk Processing :Partition Table";
    bool found = false;
    frame.worker().runAndWait([&] { found = engine.readPartitionTable(); });
    if (!found) {
      QMessageBox::information(this, tr("Information"), tr("Use search for lost partition(s) option."));
      return false;
    }
    sheet_.logRunEntry();
    return true;
  }
  sheet_.runEntry.description = "Disk Processing :Logical Volume Scan";
  sheet_.logRunEntry();
  frame.lastSearchMode() = ProcessingMode::LostVolumeSearch;
  return sheet_.runVolumeSearch();
}

CwizardImageSelection::CwizardImageSelection(CWizardSheet& sheet)
    : WizardPage(sheet, tr("Select image to recover data"),
                 sheet.frame().engine().texts().helpPrefix + "selectanimagefileforproce.htm") {
  auto* choose = new QPushButton(tr("Select &Image File"), body());
  pathLabel_ = new QLabel(body());
  pathLabel_->setWordWrap(true);
  pathLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  spaceLabel_ = new QLabel(body());
  auto* group = new QGroupBox(tr("Image Processing Mode"), body());
  modes_ = new ModeChoice(group);
  auto* groupLayout = new QVBoxLayout(group);
  groupLayout->addWidget(modes_);
  group->setEnabled(false);
  sectorSize_ = new QComboBox(body());
  sectorSize_->addItem(tr("Automatic"), 0);
  for (int size : {512, 1024, 2048, 4096}) sectorSize_->addItem(tr("%1 bytes").arg(size), size);
  sectorSize_->setToolTip(tr("Found from the image itself; choose it only for an image of a disk with 4096-byte "
                             "sectors that is not recognised."));
  auto* sizeRow = new QHBoxLayout;
  sizeRow->addWidget(new QLabel(tr("Sector si&ze:"), body()));
  sizeRow->addWidget(sectorSize_);
  sizeRow->addStretch(1);
  static_cast<QLabel*>(sizeRow->itemAt(0)->widget())->setBuddy(sectorSize_);
  auto* layout = new QVBoxLayout(body());
  layout->addWidget(choose, 0, Qt::AlignLeft);
  layout->addWidget(pathLabel_);
  layout->addWidget(spaceLabel_);
  layout->addWidget(group);
  layout->addLayout(sizeRow);
  layout->addStretch(1);
  info()->setLines(imagePageHelp());
  connect(choose, &QPushButton::clicked, this, [this, group] {
    const std::string& title = sheet_.frame().engine().texts().programTitle;
    QString filter = tr("Disk images (%2);;%1 Image File (*.ov2);;All files (*)")
                         .arg(QString::fromStdString(title.substr(title.find("Dodedoz"))),
                              QString::fromLatin1(kImageFilePatterns));
    QString path = QFileDialog::getOpenFileName(this, tr("Select Image File"), QFileInfo(path_).path(), filter);
    if (!path.isEmpty()) setImagePath(path);
    group->setEnabled(!path_.isEmpty());
  });
  connect(this, &QWizardPage::completeChanged, group, [this, group] { group->setEnabled(!path_.isEmpty()); });
}

void CwizardImageSelection::setImagePath(const QString& path) {
  path_ = path;
  pathLabel_->setText(tr("File Path :") + path);
  QStorageInfo storage(QFileInfo(path).absolutePath());
  spaceLabel_->setText(tr("Space Available : %1 bytes").arg(storage.isValid() ? storage.bytesAvailable() : 0));
  Q_EMIT completeChanged();
}

bool CwizardImageSelection::isComplete() const { return !path_.isEmpty(); }

bool CwizardImageSelection::validatePage() {
  CMainFrame& frame = sheet_.frame();
  RecoveryEngine& engine = frame.engine();
  sheet_.mode = modes_->mode();
  frame.clearViews();
  int error = 0;
  std::string path = path_.toStdString();
  auto sectorSize = static_cast<std::uint16_t>(sectorSize_->currentData().toInt());
  frame.worker().runAndWait([&] {
    engine.source().setSectorSizeOverride(sectorSize);
    error = engine.openImage(path);
  });
  if (error != 0) {
    const std::string& why = engine.source().openFailure();
    QMessageBox::warning(this, tr("Error"),
                         why.empty() ? tr("The image %1 cannot be opened: %2.").arg(path_, QString::fromStdString(systemErrorText(error)))
                                     : QString::fromStdString(why));
    return false;
  }
  sheet_.runEntry = LogEntry{"Selected: " + path, {}, LogKind::Started, {}};
  if (sheet_.mode == ProcessingMode::PartitionTable) {
    sheet_.runEntry.description = "Image Processing Mode:Partition Table";
    bool found = false;
    frame.worker().runAndWait([&] { found = engine.readPartitionTable(); });
    if (!found) {
      QMessageBox::information(this, tr("Information"), tr("Please use search for lost partition(s)."));
      return false;
    }
    sheet_.logRunEntry();
    return true;
  }
  sheet_.runEntry.description = "Image Processing Mode:Logical Volume Scan";
  sheet_.logRunEntry();
  frame.lastSearchMode() = ProcessingMode::LostVolumeSearch;
  return sheet_.runVolumeSearch();
}

CWizardPartitionListPage::CWizardPartitionListPage(CWizardSheet& sheet)
    : WizardPage(sheet, tr("Select the partition to recover"), sheet.frame().engine().texts().helpPrefix + "wizardwin.htm") {
  list_ = new QTreeWidget(body());
  list_->setRootIsDecorated(false);
  list_->setHeaderLabels({tr("Name"), tr("Start Sector"), tr("Size"), tr("Partition")});
  list_->header()->resizeSection(0, 190);
  list_->header()->resizeSection(1, 110);
  list_->header()->resizeSection(2, 100);
  empty_ = new QLabel(tr("No Logical Drives Found"), body());
  auto* layout = new QVBoxLayout(body());
  layout->addWidget(list_, 1);
  layout->addWidget(empty_);
  info()->setLines(partitionPageHelp());
  connect(list_, &QTreeWidget::currentItemChanged, this, &QWizardPage::completeChanged);
  connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] {
    if (isComplete()) wizard()->accept();
  });
}

void CWizardPartitionListPage::initializePage() {
  syncStartupBox();
  list_->clear();
  RecoveryEngine& engine = sheet_.frame().engine();
  bool named = false;
  for (std::size_t i = 0; i < engine.volumeCount(); ++i) {
    VolumeRow row = engine.volumeRow(i);
    QString partition;
    if (!row.partitionName.empty() || !row.partitionType.empty()) {
      named = true;
      partition = QString::fromStdString(row.partitionName);
      if (!row.partitionType.empty())
        partition += (partition.isEmpty() ? QString() : QStringLiteral(" ")) + "(" + QString::fromStdString(row.partitionType) + ")";
    }
    auto* item = new QTreeWidgetItem(list_, {QString::fromStdString(row.name), QString::fromStdString(row.startText),
                                             QString::fromStdString(row.sizeText), partition});
    item->setData(0, Qt::UserRole, static_cast<int>(i));
    item->setTextAlignment(1, Qt::AlignRight);
    item->setTextAlignment(2, Qt::AlignRight);
  }
  list_->setColumnHidden(3, !named);
  empty_->setVisible(engine.volumeCount() == 0);
  if (list_->topLevelItemCount() > 0) list_->setCurrentItem(list_->topLevelItem(0));
}

bool CWizardPartitionListPage::isComplete() const { return list_->currentItem() != nullptr; }

bool CWizardPartitionListPage::validatePage() {
  QTreeWidgetItem* item = list_->currentItem();
  if (!item) return false;
  int index = item->data(0, Qt::UserRole).toInt();
  CMainFrame& frame = sheet_.frame();
  RecoveryEngine& engine = frame.engine();
  sheet_.runEntry.name = "Selected " + item->text(0).toStdString();
  sheet_.runEntry.description = "Starting Sector " + item->text(1).toStdString() + ", Size " + item->text(2).toStdString();
  bool ok = false;
  frame.worker().runAndWait([&] { ok = engine.selectVolume(static_cast<std::size_t>(index)); });
  if (!ok) {
    QMessageBox::information(this, tr("Information"),
                             tr("Critical structures not found.\nPlease cancel wizard and use Turbo Scan\n\nTools->Turbo Scan."));
    // Keep the volume current so that the Turbo Scan can run on it.
    frame.worker().runAndWait([&] { engine.useVolume(static_cast<std::size_t>(index)); });
    frame.rememberVolume(index);
    sheet_.chosenVolume = index;
    return false;
  }
  sheet_.chosenVolume = index;
  sheet_.logRunEntry();
  return true;
}

CWizardSheet::CWizardSheet(CMainFrame& frame) : QWizard(&frame), frame_(frame) {
  setWindowTitle(QString::fromStdString(frame.engine().texts().programTitle + " Wizard"));
  setWizardStyle(QWizard::ClassicStyle);
  setOption(QWizard::HaveHelpButton, true);
  setOption(QWizard::NoBackButtonOnStartPage, true);
  runOnStartup = frame.settings().value(QStringLiteral("Wizard/StartUp"), 0).toInt() != 0;
  ProgramEnvironment env = frame.environment();
  std::unique_ptr<DiskProvider> machineDisks;
  std::unique_ptr<SizeQuery> machineSizes;
  DiskProvider* provider = env.diskProvider;
  SizeQuery* sizes = env.sizeQuery;
  if (!provider) {
    machineDisks = std::make_unique<SysfsDiskProvider>();
    provider = machineDisks.get();
  }
  if (!sizes) {
    machineSizes = std::make_unique<DeviceSizeQuery>();
    sizes = machineSizes.get();
  }
  enumeratePhysicalDisks(*provider, *sizes, disks_, frame.host(), env.deviceDirectory);

  setPage(MainPage, new CWizardMainPage(*this));
  drivePage_ = new CWizardDriveSelectionPage(*this);
  setPage(DrivePage, drivePage_);
  imagePage_ = new CwizardImageSelection(*this);
  setPage(ImagePage, imagePage_);
  clonePage_ = new CWizardCloneDiskPage(*this);
  setPage(ClonePage, clonePage_);
  imagingPage_ = new CWizardImageDiskPage(*this);
  setPage(ImagingPage, imagingPage_);
  partitionPage_ = new CWizardPartitionListPage(*this);
  setPage(PartitionPage, partitionPage_);
  setStartId(MainPage);
  connect(this, &QWizard::helpRequested, this, &CWizardSheet::showHelp);
  connect(this, &QDialog::finished, this, [this] {
    frame_.settings().setValue(QStringLiteral("Wizard/StartUp"), runOnStartup ? 1 : 0);
  });
  resize(760, 500);
}

void CWizardSheet::setImagePath(const QString& path) {
  option = WizardChoice::RecoverFromImage;
  imagePage_->setImagePath(path);
  setStartId(ImagePage);
}

void CWizardSheet::startAtVolumeList() {
  option = WizardChoice::RecoverFromDisk;
  mode = frame_.lastSearchMode();
  setStartId(PartitionPage);
}

bool CWizardSheet::openDisk(const DiskInfo& disk, QWidget* parent) {
  frame_.clearViews();
  int error = 0;
  std::string name;
  RecoveryEngine& engine = frame_.engine();
  frame_.worker().runAndWait([&] {
    engine.close();
    engine.source().setSectorSizeOverride(0);
    error = openSourceDisk(engine.source(), disk, name, frame_.environment().deviceDirectory);
  });
  runEntry = LogEntry{name, {}, LogKind::Started, {}};
  if (error == 0) return true;
  QString text = tr("The disk %1 cannot be opened: %2.")
                     .arg(QString::fromStdString(disk.deviceName), QString::fromStdString(systemErrorText(error)));
  if (error == EACCES || error == EPERM)
    text += tr("\n\nReading disks needs administrator rights: start the program with pkexec or sudo, or add "
               "your user to the \"disk\" group and log in again.");
  QMessageBox::warning(parent, tr("Error"), text);
  return false;
}

void CWizardSheet::logRunEntry() {
  frame_.addLogEntry(runEntry);
  frame_.logModel().log().setRunEntry(runEntry);
}

bool CWizardSheet::runVolumeSearch() {
  RecoveryEngine& engine = frame_.engine();
  CChooseSectorRange range(engine.source().totalSectors(), engine.source().bytesPerSector(), engine.texts(), this);
  if (range.exec() != QDialog::Accepted) return false;
  CLogicalDrivesFound search(engine, frame_.host(), frame_.worker(), range.kind(), range.start(), range.end(), this);
  search.exec();
  return true;
}

void CWizardSheet::showHelp() {
  auto* page = dynamic_cast<WizardPage*>(currentPage());
  frame_.showHelp(page ? page->helpTopic() : frame_.engine().texts().helpPrefix + "wizardwin.htm");
}

void CWizardSheet::reject() {
  if (frame_.worker().busy()) return;
  QString caption = currentId() == PartitionPage
                        ? QString::fromStdString(frame_.engine().texts().programTitle.substr(
                              frame_.engine().texts().programTitle.find("Dodedoz")))
                        : tr("Confirm");
  if (!askYesNo(this, caption, tr("Do you want to close wizard?"))) return;
  QWizard::reject();
}

}  // namespace ov::workbench
