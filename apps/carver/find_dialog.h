// "Find (Ctrl + F)" of the results dialog: a name pattern, and optionally a size and a date range.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>

#include "carver/results.h"

namespace ov::kestrin {

class CFindDialog final : public QDialog {
  Q_OBJECT
 public:
  // Opens with the criteria of the last search.
  explicit CFindDialog(const ResultFindCriteria& last, QWidget* parent = nullptr);

  ResultFindCriteria criteria() const;
  QLineEdit* pattern() const { return pattern_; }
  QCheckBox* sizeOption() const { return sizeOn_; }
  QComboBox* relation() const { return relation_; }
  QLineEdit* sizeField() const { return size_; }
  QPushButton* searchNow() const { return searchNow_; }
  QPushButton* optionsButton() const { return options_; }
  bool optionsShown() const { return optionsShown_; }
  void showOptions(bool shown);

  void accept() override;

 private:
  // The size field's check; false after its message, with the focus back in the field.
  bool checkSize();
  void update();

  QLineEdit* pattern_;
  QCheckBox* matchCase_;
  QPushButton* searchNow_;
  QPushButton* options_;
  QWidget* optionsArea_;
  QCheckBox* sizeOn_;
  QComboBox* relation_;
  QLineEdit* size_;
  QCheckBox* dateOn_;
  QComboBox* dateKind_;
  QDateEdit* from_;
  QDateEdit* to_;
  bool optionsShown_ = false;
  std::uint64_t kilobytes_ = 1;
};

}  // namespace ov::kestrin
