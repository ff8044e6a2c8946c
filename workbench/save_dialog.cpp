#include "workbench/save_dialog.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace ov::workbench {

SaveDataDialog::SaveDataDialog(const QString& summary,
                               std::function<std::optional<std::string>(const std::string&)> checkDestination,
                               QWidget* parent)
    : QDialog(parent), check_(std::move(checkDestination)) {
  setWindowTitle(tr("Save data to local drive"));
  auto* what = new QLabel(summary, this);
  auto* label = new QLabel(tr("&Provide location to save data:"), this);
  path_ = new QLineEdit(this);
  label->setBuddy(path_);
  auto* browse = new QPushButton(tr("&Browse..."), this);
  connect(browse, &QPushButton::clicked, this, [this] {
    QString folder = QFileDialog::getExistingDirectory(this, tr("Provide location to save data"), path_->text());
    if (!folder.isEmpty()) path_->setText(folder);
  });
  recreate_ = new QCheckBox(tr("&Recreate the folder structure"), this);
  recreate_->setChecked(true);
  auto* note = new QLabel(tr("A file whose name is taken already is saved as \"#0\" + its name (then \"#1\", ...).\n"
                             "Save to another disk than the one being recovered."),
                          this);
  note->setWordWrap(true);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setText(tr("&Save"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* row = new QHBoxLayout;
  row->addWidget(path_, 1);
  row->addWidget(browse);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(what);
  layout->addWidget(label);
  layout->addLayout(row);
  layout->addWidget(recreate_);
  layout->addWidget(note);
  layout->addWidget(buttons);
  resize(520, 220);
}

void SaveDataDialog::accept() {
  QString folder = destination();
  if (folder.isEmpty()) {
    QMessageBox::information(this, tr("Information"), tr("Please provide the location to save data."));
    return;
  }
  if (check_) {
    if (auto problem = check_(QDir(folder).absolutePath().toStdString())) {
      QMessageBox::warning(this, tr("Warning"), QString::fromStdString(*problem));
      return;
    }
  }
  QDialog::accept();
}

}  // namespace ov::workbench
