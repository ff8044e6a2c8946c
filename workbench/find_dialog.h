// "Find files and folders": the name pattern, and optionally a size and a date range.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>

#include "workbench/models/file_search.h"

namespace ov::workbench {

class COVNTFSFindFile final : public QDialog {
  Q_OBJECT
 public:
  explicit COVNTFSFindFile(QWidget* parent = nullptr);

  FindCriteria criteria() const;
  void setCriteria(const FindCriteria& c);
  QPushButton* searchNow() const { return searchNow_; }
  QLineEdit* pattern() const { return pattern_; }
  void showOptions(bool shown);

 private:
  void update();

  QLineEdit* pattern_;
  QCheckBox* matchCase_;
  QPushButton* searchNow_;
  QPushButton* options_;
  QWidget* optionsArea_;
  QCheckBox* sizeOn_;
  QComboBox* sizeMode_;
  QLineEdit* size_;
  QComboBox* unit_;
  QCheckBox* dateOn_;
  QComboBox* dateKind_;
  QDateEdit* from_;
  QDateEdit* to_;
  bool optionsShown_ = false;
};

}  // namespace ov::workbench
