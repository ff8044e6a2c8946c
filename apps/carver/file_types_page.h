// The file-type page: the catalogue's types with their categories, which of them to search for,
// and the largest size to carve.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include "apps/carver/kestrin.h"
#include "carver/catalogue_page.h"

namespace ov::kestrin {

class COvelinKnownFileTypes final : public QDialog {
  Q_OBJECT
 public:
  static constexpr const char* kHelpTopic = carver::CataloguePageModel::kHelpTopic;

  explicit COvelinKnownFileTypes(CarverSession& session, QWidget* parent = nullptr);

  const carver::CataloguePageModel& model() const { return model_; }
  QTreeWidget* list() const { return list_; }
  QComboBox* category() const { return category_; }
  QComboBox* unit() const { return unit_; }
  QLineEdit* sizeField() const { return size_; }
  QPushButton* selectAllButton() const { return selectAll_; }
  QPushButton* nextButton() const { return next_; }

 private:
  void fillList();
  void updateNext();
  void sizeEdited(const QString& text);
  void goNext();

  CarverSession& session_;
  carver::CataloguePageModel model_;
  QComboBox* category_;
  QTreeWidget* list_;
  QPushButton* selectAll_;
  QComboBox* unit_;
  QLineEdit* size_;
  QPushButton* next_;
  int sortColumn_ = -1;
};

}  // namespace ov::kestrin
