// "Rename": a new name for an item whose name is too long for a compressed burn.
#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QString>

namespace ov::kestrin {

class CInputName final : public QDialog {
  Q_OBJECT
 public:
  static constexpr const char* kPromptText = "filename too long. Please provide new filename.";
  static constexpr const char* kBadCharactersText =
      "A file extension cannot contain following characters:\n\\/ : * ? \" < > |";
  static constexpr int kMaxLength = 40;

  explicit CInputName(const QString& oldName, QWidget* parent = nullptr);

  // What OK accepts: some text, no blank, none of \ / : * ? " < > | (anywhere: a slash inside a
  // name would make it a path).
  static bool acceptable(const QString& typed);
  // The typed text with the old name's extension: everything after its last dot (a name
  // without a dot keeps only the typed text).
  static QString renamed(const QString& typed, const QString& oldName);

  QString newName() const { return renamed(field_->text(), oldName_); }
  QLineEdit* field() const { return field_; }
  QPushButton* okButton() const { return ok_; }

 private:
  void edited(const QString& text);

  QString oldName_;
  QLineEdit* field_;
  QPushButton* ok_;
};

}  // namespace ov::kestrin
