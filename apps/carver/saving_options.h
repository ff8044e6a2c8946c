// "Saving Options": where the marked items go, whether they are packed into zip archives, and
// which file types are left out.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>

#include "apps/carver/kestrin.h"

namespace ov::kestrin {

class SavingOptionsDialog final : public QDialog {
  Q_OBJECT
 public:
  static constexpr const char* kSameLocationText =
      "Please ensure that you are not saving data to\nthe same location from where you are recovering. \n\n"
      "Saving data to the same location would result in\npermanent data loss.";
  static constexpr const char* kBadExtensionText =
      "Text box is empty or entered file type already exists";
  static constexpr const char* kLongExtensionText =
      "Please enter file extension length less then or equals to 219 characters.";
  static constexpr const char* kBadCharactersText =
      "A file extension cannot contain following characters:\n\\/ : * ? \" < > |";

  explicit SavingOptionsDialog(CarverSession& session, QWidget* parent = nullptr);

  // The settings chosen (after OK): the destination folder, compression, excluded extensions.
  SaveSettings settings() const;
  QLineEdit* destination() const { return destination_; }
  QCheckBox* compress() const { return compress_; }
  QLineEdit* extension() const { return extension_; }
  QPushButton* addButton() const { return add_; }
  const QStringList& excluded() const { return excluded_; }

  void accept() override;

 private:
  void addExtension();
  void showList();

  CarverSession& session_;
  QLineEdit* destination_;
  QCheckBox* compress_;
  QLineEdit* extension_;
  QPushButton* add_;
  QLabel* excludedText_;
  QStringList excluded_;
};

}  // namespace ov::kestrin
