// The first page of Kestrin: the physical disks under "My Computer" with the chosen disk's facts,
// and an image file of a disk to be carved in the same way.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QPushButton>

#include <vector>

#include "apps/carver/kestrin.h"
#include "workbench/common_widgets.h"

namespace ov::kestrin {

class CarverDiskPage final : public QDialog {
  Q_OBJECT
 public:
  static constexpr const char* kHelpTopic = "::/ovfrusingovfr.htm";

  explicit CarverDiskPage(CarverSession& session, QWidget* parent = nullptr);

  workbench::DiskTree* tree() const { return tree_; }
  workbench::InfoPanel* info() const { return info_; }
  QPushButton* nextButton() const { return next_; }
  QPushButton* imageButton() const { return image_; }
  QComboBox* sectorSize() const { return sectorSize_; }
  const std::vector<CarverDiskEntry>& disks() const { return disks_; }
  // Adds the image to the list under "My Computer" and chooses it (what "Image file..." does
  // after its file dialog).
  void chooseImage(const QString& path);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void listDisks();
  void showWelcome();
  void showChosen();
  void choose(int index);
  void goNext();
  void pickImage();

  CarverSession& session_;
  workbench::DiskTree* tree_;
  workbench::InfoPanel* info_;
  QPushButton* refresh_;
  QPushButton* image_;
  QComboBox* sectorSize_;
  QPushButton* next_;
  std::vector<CarverDiskEntry> disks_;
  QString imagePath_;
  int chosen_ = -1;  // an index of disks_, or disks_.size() for the image
  bool shown_ = false;
};

}  // namespace ov::kestrin
