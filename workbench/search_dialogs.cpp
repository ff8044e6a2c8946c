#include "workbench/search_dialogs.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "workbench/common_widgets.h"
#include "workbench/models/sector_range.h"

namespace ov::workbench {

CChooseSectorRange::CChooseSectorRange(std::uint64_t totalSectors, std::uint32_t bytesPerSector,
                                       const EngineTexts& texts, QWidget* parent)
    : QDialog(parent), total_(totalSectors), bytesPerSector_(bytesPerSector == 0 ? 512 : bytesPerSector) {
  setWindowTitle(tr("Please specify disk scan range"));
  auto* validator = new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{1,20}")), this);
  startEdit_ = new QLineEdit(this);
  endEdit_ = new QLineEdit(this);
  startEdit_->setValidator(validator);
  endEdit_->setValidator(validator);
  startSize_ = new QLabel(this);
  endSize_ = new QLabel(this);
  auto* form = new QFormLayout;
  auto row = [&](const QString& label, QLineEdit* edit, QLabel* size) {
    auto* line = new QHBoxLayout;
    line->addWidget(edit, 1);
    line->addWidget(new QLabel(tr("sectors"), this));
    line->addWidget(size);
    form->addRow(label, line);
  };
  row(tr("&Start sector:"), startEdit_, startSize_);
  row(tr("&End sector:"), endEdit_, endSize_);
  form->addRow(tr("Total sectors:"), new QLabel(QString::number(total_), this));

  auto* kindBox = new QGroupBox(tr("Search"), this);
  quick_ = new QRadioButton(QString::fromStdString(texts.quickWord + " Scan"), kindBox);
  thorough_ = new QRadioButton(tr("Thorough Scan"), kindBox);
  quick_->setToolTip(tr("Looks for boot sectors at the usual partition boundaries: fast."));
  thorough_->setToolTip(tr("Examines every sector of the range: slow, also finds volumes whose boot sector is gone."));
  quick_->setChecked(true);
  auto* kindLayout = new QVBoxLayout(kindBox);
  kindLayout->addWidget(quick_);
  kindLayout->addWidget(thorough_);

  auto* defaults = new QPushButton(tr("&Default Range"), this);
  connect(defaults, &QPushButton::clicked, this, [this] { setRange(0, total_); });
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->addButton(defaults, QDialogButtonBox::ResetRole);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(startEdit_, &QLineEdit::textChanged, this, &CChooseSectorRange::updateSizes);
  connect(endEdit_, &QLineEdit::textChanged, this, &CChooseSectorRange::updateSizes);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(kindBox);
  layout->addWidget(buttons);
  setRange(0, total_);
}

VolumeSearch CChooseSectorRange::kind() const {
  return thorough_->isChecked() ? VolumeSearch::Thorough : VolumeSearch::Quick;
}

void CChooseSectorRange::setKind(VolumeSearch kind) {
  (kind == VolumeSearch::Thorough ? thorough_ : quick_)->setChecked(true);
}

void CChooseSectorRange::setRange(std::uint64_t start, std::uint64_t end) {
  startEdit_->setText(QString::number(start));
  endEdit_->setText(QString::number(end));
  updateSizes();
}

void CChooseSectorRange::updateSizes() {
  auto bytes = [this](const QString& text) {
    std::uint64_t sectors = text.toULongLong();
    return QString::fromStdString(rangeSizeText(sectors > UINT64_MAX / bytesPerSector_ ? UINT64_MAX
                                                                                        : sectors * bytesPerSector_));
  };
  startSize_->setText(bytes(startEdit_->text()));
  endSize_->setText(bytes(endEdit_->text()));
}

void CChooseSectorRange::accept() {
  bool okStart = false, okEnd = false;
  std::uint64_t start = startEdit_->text().toULongLong(&okStart);
  std::uint64_t end = endEdit_->text().toULongLong(&okEnd);
  std::optional<std::string> problem;
  if (!okStart || !okEnd) problem = "Please enter the sectors as whole numbers.";
  else problem = checkSectorRange(start, end, total_);
  if (problem) {
    QMessageBox::warning(this, tr("Error"), QString::fromStdString(*problem));
    return;
  }
  start_ = start;
  end_ = end;
  QDialog::accept();
}

CLogicalDrivesFound::CLogicalDrivesFound(RecoveryEngine& engine, QtEngineHost& host, EngineWorker& worker,
                                         VolumeSearch kind, std::uint64_t start, std::uint64_t end, QWidget* parent)
    : QDialog(parent),
      engine_(engine),
      host_(host),
      worker_(worker),
      kind_(kind),
      start_(start),
      end_(end),
      model_(searchDialogWords(engine.texts().fileSystem, kind == VolumeSearch::Thorough,
                               engine.texts().quickWord == "Basic")) {
  setWindowTitle(QString::fromStdString(model_.words().modeTitle));
  auto* caption = new QLabel(QString::fromLatin1(VolumeSearchDialogModel::caption()), this);
  QFont bold = caption->font();
  bold.setBold(true);
  caption->setFont(bold);
  percent_ = new QLabel(QStringLiteral("0 %"), this);
  scanning_ = new QLabel(this);
  bar_ = new QProgressBar(this);
  bar_->setRange(0, 100);
  bar_->setTextVisible(false);
  rows_ = new QTreeWidget(this);
  rows_->setHeaderLabels({tr("Name"), tr("Starting Location")});
  rows_->setRootIsDecorated(false);
  rows_->header()->resizeSection(0, 220);
  abort_ = new QPushButton(tr("&Abort Process"), this);
  connect(abort_, &QPushButton::clicked, this, &CLogicalDrivesFound::askAbort);

  auto* top = new QHBoxLayout;
  top->addWidget(caption, 1);
  top->addWidget(percent_);
  auto* bottom = new QHBoxLayout;
  bottom->addStretch(1);
  bottom->addWidget(abort_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(bar_);
  layout->addWidget(scanning_);
  layout->addWidget(rows_, 1);
  layout->addLayout(bottom);
  resize(480, 360);
}

CLogicalDrivesFound::~CLogicalDrivesFound() { host_.setSearchListener(nullptr); }

int CLogicalDrivesFound::exec() {
  host_.setSearchListener(this);
  host_.statusText(model_.words().statusText);
  running_ = worker_.start([this] { engine_.searchVolumes(kind_, start_, end_); },
                           [this] {
                             running_ = false;
                             host_.statusText("Ready");
                             done(completed_ ? QDialog::Accepted : QDialog::Rejected);
                           });
  if (!running_) return QDialog::Rejected;
  return QDialog::exec();
}

void CLogicalDrivesFound::onSearchProgress(std::uint64_t position, std::uint64_t end) {
  if (model_.onProgress(position, end)) {
    percent_->setText(QString::fromStdString(model_.percentText()));
    bar_->setValue(static_cast<int>(std::min<std::uint32_t>(model_.percent(), 100)));
  }
  scanning_->setText(QString::fromStdString(model_.scanningText()));
}

void CLogicalDrivesFound::onVolumeFound(std::uint64_t startSector, const std::string& driveWord) {
  model_.onVolumeFound(startSector, driveWord);
  const auto& row = model_.rows().back();
  new QTreeWidgetItem(rows_, {QString::fromStdString(row.name), QString::fromStdString(row.startLocation)});
}

void CLogicalDrivesFound::onSearchFinished(bool completed) {
  completed_ = completed;
  abort_->setEnabled(false);
  SearchFinishMessage m = model_.onFinished(completed);
  host_.addLogEntry(m.logEntry);
  showMessage(this, m.title, m.text, m.icon);
}

void CLogicalDrivesFound::askAbort() {
  if (!running_ || !engine_.run().running()) return;
  engine_.run().pause();
  bool yes = askYesNo(this, tr("Confirm"), QString::fromLatin1(VolumeSearchDialogModel::abortQuestion()));
  if (yes) engine_.run().stop();
  else engine_.run().resume();
}

void CLogicalDrivesFound::reject() {
  if (running_) {
    askAbort();
    return;
  }
  QDialog::reject();
}

}  // namespace ov::workbench
