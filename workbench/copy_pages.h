// Copying a whole disk: the wizard's cloning and imaging pages, and the window that shows the
// copy running (with Stop, and the unreadable sectors at the end).
#pragma once

#include <QDialog>
#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "scans/disk_copy.h"
#include "disk/recovery_engine.h"
#include "workbench/wizard.h"

namespace ov::workbench {

// "(NTFS)" in a fixed text becomes the program's own "(FAT)" in the FAT program.
std::string programText(const std::string& text, const EngineTexts& texts);

class CWizardCloneDiskPage final : public WizardPage {
  Q_OBJECT
 public:
  explicit CWizardCloneDiskPage(CWizardSheet& sheet);
  void initializePage() override;
  bool isComplete() const override;
  bool validatePage() override;
  int nextId() const override { return -1; }
  DiskTree* sourceTree() const { return source_; }
  DiskTree* destinationTree() const { return destination_; }

 private:
  DiskTree* source_;
  DiskTree* destination_;
  InfoPanel* sourceInfo_;
  InfoPanel* destinationInfo_;
};

class CWizardImageDiskPage final : public WizardPage {
  Q_OBJECT
 public:
  explicit CWizardImageDiskPage(CWizardSheet& sheet);
  void initializePage() override;
  bool isComplete() const override;
  bool validatePage() override;
  int nextId() const override { return -1; }
  DiskTree* tree() const { return tree_; }
  void setImagePath(const QString& path);

 private:
  void showDestination();

  DiskTree* tree_;
  QLabel* destination_;
  QCheckBox* keepMap_;
  QString path_;
};

class CVarientCloneImageDialog final : public QDialog {
  Q_OBJECT
 public:
  CVarientCloneImageDialog(CopyKind kind, const EngineTexts& texts, QWidget* parent = nullptr);
  void setProgress(std::uint64_t total, std::uint64_t position);

 Q_SIGNALS:
  void stopRequested();

 protected:
  void reject() override { Q_EMIT stopRequested(); }

 private:
  CopyKind kind_;
  QLabel* percent_;
  QLabel* sector_;
  QProgressBar* bar_;
  int lastPercent_ = -1;
  std::uint64_t lastPosition_ = UINT64_MAX;
};

}  // namespace ov::workbench
