#include "workbench/copy_pages.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QVBoxLayout>

#include <ctime>

#include "workbench/main_frame.h"

namespace ov::workbench {

std::string programText(const std::string& text, const EngineTexts& texts) {
  std::string out = text;
  std::string own = "(" + texts.fileSystem + ")";
  for (std::size_t at = out.find("(NTFS)"); at != std::string::npos; at = out.find("(NTFS)", at + own.size()))
    out.replace(at, 6, own);
  return out;
}

namespace {
std::string captionOf(const EngineTexts& texts) { return programText(kCopyMessageCaption, texts); }
}  // namespace

CWizardCloneDiskPage::CWizardCloneDiskPage(CWizardSheet& sheet)
    : WizardPage(sheet, tr("Select Source and Destination Disk(s)"),
                 sheet.frame().engine().texts().helpPrefix + "clonedisk.htm") {
  source_ = new DiskTree(body());
  destination_ = new DiskTree(body());
  sourceInfo_ = new InfoPanel(body());
  destinationInfo_ = new InfoPanel(body());
  auto* grid = new QHBoxLayout(body());
  auto column = [this](const QString& label, DiskTree* tree, InfoPanel* info) {
    auto* box = new QVBoxLayout;
    box->addWidget(new QLabel(label, body()));
    box->addWidget(tree, 2);
    box->addWidget(info, 3);
    return box;
  };
  grid->addLayout(column(tr("Source Disk # "), source_, sourceInfo_));
  grid->addLayout(column(tr("Destination Disk # "), destination_, destinationInfo_));
  info()->setLines({"HDRSteps to proceed. ", "Select source drive, the drive ", "which has to be cloned",
                    "Select the destination drive.", "Make sure that size of the ",
                    "destination drive should be equal or  ", "greater then source drive.",
                    "HDRWarning", "Everything on the destination drive is overwritten."});
  connect(source_, &DiskTree::diskSelected, this, [this](int index) {
    destination_->setEnabled(index >= 0);
    std::vector<std::string> lines;
    if (index >= 0) {
      lines = diskInformationLines(sheet_.disks()[static_cast<std::size_t>(index)]);
      lines.front() = "HDRSource Disk :" + lines.front().substr(3);
    }
    sourceInfo_->setLines(lines);
    Q_EMIT completeChanged();
  });
  connect(destination_, &DiskTree::diskSelected, this, [this](int index) {
    std::vector<std::string> lines;
    if (index >= 0) {
      lines = diskInformationLines(sheet_.disks()[static_cast<std::size_t>(index)]);
      lines.front() = "HDRDestination Disk :" + lines.front().substr(3);
    }
    destinationInfo_->setLines(lines);
    Q_EMIT completeChanged();
  });
}

void CWizardCloneDiskPage::initializePage() {
  syncStartupBox();
  source_->setDisks(sheet_.disks());
  destination_->setDisks(sheet_.disks());
  destination_->setEnabled(false);
}

bool CWizardCloneDiskPage::isComplete() const { return source_->selectedDisk() >= 0 && destination_->selectedDisk() >= 0; }

bool CWizardCloneDiskPage::validatePage() {
  int from = source_->selectedDisk(), to = destination_->selectedDisk();
  if (from < 0 || to < 0) return false;
  CMainFrame& frame = sheet_.frame();
  const DiskInfo& source = sheet_.disks()[static_cast<std::size_t>(from)];
  const DiskInfo& target = sheet_.disks()[static_cast<std::size_t>(to)];
  if (from == to) {
    QMessageBox::warning(this, tr("Error"), tr("The source and the destination are the same disk."));
    return false;
  }
  if (!askYesNo(this, tr("Confirm"),
                tr("Everything on %1 (%2, %3) will be overwritten by the copy of %4.\nDo you want to continue?")
                    .arg(QString::fromStdString(target.deviceName), QString::fromStdString(target.model),
                         QString::fromStdString(target.sizeText), QString::fromStdString(source.deviceName))))
    return false;
  if (!sheet_.openDisk(source, this)) return false;
  std::string destination = devicePath(target.deviceName, frame.environment().deviceDirectory);
  sheet_.copyMapPath.clear();
  sheet_.copy = CopyRequest{CopyKind::Cloning, destination,
                            cloningRunEntry(source.deviceName, source.model, source.serialNumber, destination)};
  return true;
}

CWizardImageDiskPage::CWizardImageDiskPage(CWizardSheet& sheet)
    : WizardPage(sheet, tr("Step 1: Select source drive"), sheet.frame().engine().texts().helpPrefix + "diskimaging2.htm") {
  tree_ = new DiskTree(body());
  auto* step2 = new QLabel(tr("Step 2: Select destination path"), body());
  QFont bold = step2->font();
  bold.setBold(true);
  step2->setFont(bold);
  auto* choose = new QPushButton(tr("Select &destination path"), body());
  destination_ = new QLabel(body());
  destination_->setWordWrap(true);
  keepMap_ = new QCheckBox(tr("&Keep a map to resume later"), body());
  keepMap_->setToolTip(tr("Writes IMAGE.map beside the image (GNU ddrescue's mapfile format). Imaging the same "
                          "disk to the same image again continues where it stopped and tries only what is left."));
  connect(keepMap_, &QCheckBox::toggled, this, [this] { showDestination(); });
  auto* layout = new QVBoxLayout(body());
  layout->addWidget(tree_, 1);
  layout->addWidget(step2);
  layout->addWidget(choose, 0, Qt::AlignLeft);
  layout->addWidget(destination_);
  layout->addWidget(keepMap_);
  info()->setLines({"HDRSteps to proceed. ", "1. Select the drive to copy.",
                    "2. Choose where the image file goes: on another drive, with as much free space as the "
                    "drive is large.",
                    "3. Click Finish."});
  connect(tree_, &DiskTree::diskSelected, this, [this](int index) {
    if (index >= 0) info()->setLines(diskInformationLines(sheet_.disks()[static_cast<std::size_t>(index)]));
    Q_EMIT completeChanged();
  });
  connect(choose, &QPushButton::clicked, this, [this] {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const EngineTexts& texts = sheet_.frame().engine().texts();
    QString name = QString::fromStdString(programText(defaultImageName(local), texts));
    QString filter = QString::fromStdString(texts.programTitle) + tr(" Image File (*.ov2)");
    QString path = QFileDialog::getSaveFileName(this, tr("Select destination path"), name, filter);
    if (!path.isEmpty()) setImagePath(path);
  });
}

void CWizardImageDiskPage::setImagePath(const QString& path) {
  path_ = QString::fromStdString(withImageExtension(path.toStdString()));
  showDestination();
  Q_EMIT completeChanged();
}

void CWizardImageDiskPage::showDestination() {
  QString text = tr("Destination path :") + path_;
  if (keepMap_->isChecked() && !path_.isEmpty()) text += "\n" + tr("Map :") + path_ + QStringLiteral(".map");
  destination_->setText(text);
}

void CWizardImageDiskPage::initializePage() {
  syncStartupBox();
  tree_->setDisks(sheet_.disks());
}

bool CWizardImageDiskPage::isComplete() const { return tree_->selectedDisk() >= 0 && !path_.isEmpty(); }

bool CWizardImageDiskPage::validatePage() {
  int index = tree_->selectedDisk();
  if (index < 0 || path_.isEmpty()) return false;
  CMainFrame& frame = sheet_.frame();
  const DiskInfo& disk = sheet_.disks()[static_cast<std::size_t>(index)];
  const QString caption = QString::fromStdString(captionOf(frame.engine().texts()));
  std::uint64_t sectors = std::stoull(disk.totalSectors.empty() ? "0" : disk.totalSectors);
  auto bytesPerSector = static_cast<std::uint16_t>(std::stoul(disk.bytesPerSector.empty() ? "512" : disk.bytesPerSector));
  FreeSpaceCheck space = checkImageFreeSpace(path_.toStdString(), bytesPerSector, sectors);
  if (space.verdict == FreeSpaceVerdict::Unknown) {
    QMessageBox::information(this, caption, QString::fromLatin1(kImageSpaceUnknownText));
    return false;
  }
  if (space.verdict == FreeSpaceVerdict::NotEnough &&
      QMessageBox::question(this, caption, QString::fromLatin1(kImageSpaceQuestionText),
                            QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel) != QMessageBox::Yes)
    return false;
  if (!sheet_.openDisk(disk, this)) return false;
  std::string image = path_.toStdString();
  sheet_.copy = CopyRequest{CopyKind::Imaging, image, imagingRunEntry(disk.deviceName, disk.model, disk.serialNumber, image)};
  sheet_.copyMapPath = keepMap_->isChecked() ? image + ".map" : std::string();
  return true;
}

CVarientCloneImageDialog::CVarientCloneImageDialog(CopyKind kind, const EngineTexts& texts, QWidget* parent)
    : QDialog(parent), kind_(kind) {
  bool cloning = kind == CopyKind::Cloning;
  setWindowTitle(QString::fromStdString(texts.programTitle) + (cloning ? tr(" Disk Cloning") : tr(" Disk Imaging")));
  auto* heading = new QLabel(cloning ? tr("Disk Cloning...") : tr("Disk Imaging..."), this);
  QFont bold = heading->font();
  bold.setBold(true);
  heading->setFont(bold);
  percent_ = new QLabel(QStringLiteral("0 %"), this);
  sector_ = new QLabel(this);
  bar_ = new QProgressBar(this);
  bar_->setRange(0, 100);
  bar_->setTextVisible(false);
  auto* stop = new QPushButton(cloning ? tr("&Stop Cloning") : tr("&Stop Imaging"), this);
  connect(stop, &QPushButton::clicked, this, &CVarientCloneImageDialog::stopRequested);
  auto* top = new QHBoxLayout;
  top->addWidget(heading, 1);
  top->addWidget(percent_);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(sector_, 1);
  bottom->addWidget(stop);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(bar_);
  layout->addLayout(bottom);
  setMinimumWidth(460);
}

void CVarientCloneImageDialog::setProgress(std::uint64_t total, std::uint64_t position) {
  // Full 64-bit numbers: the low 32 bits would be wrong for disks beyond 2 TiB.
  int percent = total == 0 ? 100 : static_cast<int>(std::min(100.0, static_cast<double>(position) / static_cast<double>(total) * 100.0));
  if (percent != lastPercent_) {
    lastPercent_ = percent;
    percent_->setText(QStringLiteral("%1 %").arg(percent));
    bar_->setValue(percent);
  }
  if (position != lastPosition_) {
    lastPosition_ = position;
    sector_->setText(QStringLiteral("%1 sector %2 of %3")
                         .arg(QString::fromStdString(copySectorWord(kind_)))
                         .arg(position)
                         .arg(total));
  }
}

}  // namespace ov::workbench
