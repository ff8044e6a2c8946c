// "Saving Options": where the marked items go (a folder, or a disc: a writer or a disc image
// file), whether they are packed into zip archives, and which file types are left out.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QTabWidget>

#include <vector>

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
  static constexpr const char* kImageEntryText = "Save as disc image (.iso)";

  explicit SavingOptionsDialog(CarverSession& session, QWidget* parent = nullptr);

  // The settings chosen (after OK): the destination folder, compression, excluded extensions.
  SaveSettings settings() const;
  // After OK on the page "Burn data to CD/DVD": the writer or the image, and the cache.
  bool burning() const { return burning_; }
  BurnSettings burnSettings() const;

  QTabWidget* tabs() const { return tabs_; }
  QLineEdit* destination() const { return destination_; }
  QCheckBox* compress() const { return compress_; }
  QLineEdit* extension() const { return extension_; }
  QPushButton* addButton() const { return add_; }
  const QStringList& excluded() const { return excluded_; }
  QComboBox* writers() const { return writers_; }
  QLabel* writersNote() const { return writersNote_; }
  QLineEdit* imagePath() const { return imagePath_; }
  QComboBox* mediumSize() const { return medium_; }
  QCheckBox* burnCompress() const { return burnCompress_; }
  QLineEdit* cacheFolder() const { return cache_; }
  // The burn page with its writers listed (listing them may take a moment, so it waits until
  // the page is first shown).
  void showBurnPage();

  void accept() override;

 private:
  QWidget* makeBurnPage();
  void listWriters();
  void targetChanged();
  bool acceptSave();
  bool acceptBurn();
  void addExtension();
  void showList();

  CarverSession& session_;
  QTabWidget* tabs_;
  QLineEdit* destination_;
  QCheckBox* compress_;
  QLineEdit* extension_;
  QPushButton* add_;
  QLabel* excludedText_;
  QStringList excluded_;

  QComboBox* writers_;
  QLabel* writersNote_;
  QLineEdit* imagePath_;
  QPushButton* imageBrowse_;
  QComboBox* medium_;
  QCheckBox* burnCompress_;
  QLineEdit* cache_;
  std::vector<disc::Writer> found_;
  bool listed_ = false;
  bool burning_ = false;
  bool replaceImage_ = false;
};

}  // namespace ov::kestrin
