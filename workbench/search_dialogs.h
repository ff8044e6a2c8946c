// The lost-volume search: the scan-range dialog and the dialog that shows the search running.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>

#include <memory>
#include <optional>

#include "disk/recovery_engine.h"
#include "workbench/models/volume_search_dialog.h"
#include "workbench/qt_host.h"

namespace ov::workbench {

// "Please specify disk scan range": the range in sectors and the kind of search.
class CChooseSectorRange final : public QDialog {
  Q_OBJECT
 public:
  CChooseSectorRange(std::uint64_t totalSectors, std::uint32_t bytesPerSector, const EngineTexts& texts,
                     QWidget* parent = nullptr);

  std::uint64_t start() const { return start_; }
  std::uint64_t end() const { return end_; }
  VolumeSearch kind() const;
  void setRange(std::uint64_t start, std::uint64_t end);
  void setKind(VolumeSearch kind);

  void accept() override;

 private:
  void updateSizes();

  std::uint64_t total_;
  std::uint32_t bytesPerSector_;
  std::uint64_t start_ = 0;
  std::uint64_t end_ = 0;
  QLineEdit* startEdit_;
  QLineEdit* endEdit_;
  QLabel* startSize_;
  QLabel* endSize_;
  QRadioButton* quick_;
  QRadioButton* thorough_;
};

// The search running: progress, the volumes as they are found, and "&Abort Process".
class CLogicalDrivesFound final : public QDialog, public SearchListener {
  Q_OBJECT
 public:
  CLogicalDrivesFound(RecoveryEngine& engine, QtEngineHost& host, EngineWorker& worker, VolumeSearch kind,
                      std::uint64_t start, std::uint64_t end, QWidget* parent = nullptr);
  ~CLogicalDrivesFound() override;

  // Starts the search when shown; returns when it has ended and its message was seen.
  int exec() override;
  bool completed() const { return completed_; }
  const VolumeSearchDialogModel& model() const { return model_; }

  void onSearchProgress(std::uint64_t position, std::uint64_t end) override;
  void onVolumeFound(std::uint64_t startSector, const std::string& driveWord) override;
  void onSearchFinished(bool completed) override;

 protected:
  void reject() override;  // the close button asks, as the abort button does

 private:
  void askAbort();

  RecoveryEngine& engine_;
  QtEngineHost& host_;
  EngineWorker& worker_;
  VolumeSearch kind_;
  std::uint64_t start_, end_;
  VolumeSearchDialogModel model_;
  QLabel* percent_;
  QLabel* scanning_;
  QProgressBar* bar_;
  QTreeWidget* rows_;
  QPushButton* abort_;
  bool completed_ = false;
  bool running_ = false;
};

}  // namespace ov::workbench
