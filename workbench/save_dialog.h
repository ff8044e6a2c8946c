// "Save data to local drive": where recovered files go, and whether their folders are recreated.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>

#include <functional>
#include <optional>
#include <string>

namespace ov::workbench {

class SaveDataDialog final : public QDialog {
  Q_OBJECT
 public:
  // `summary` says what will be saved; `checkDestination` returns the reason a folder cannot be
  // used (it lies on the disk being recovered, say), checked before anything is created.
  SaveDataDialog(const QString& summary, std::function<std::optional<std::string>(const std::string&)> checkDestination,
                 QWidget* parent = nullptr);

  QString destination() const { return path_->text().trimmed(); }
  void setDestination(const QString& path) { path_->setText(path); }
  bool recreateFolders() const { return recreate_->isChecked(); }
  void accept() override;

 private:
  QLineEdit* path_;
  QCheckBox* recreate_;
  std::function<std::optional<std::string>(const std::string&)> check_;
};

}  // namespace ov::workbench
