// The process log docked below the tree and the list: one row per event, the newest drawn orange.
#pragma once

#include <QAbstractTableModel>
#include <QTreeView>

#include "scans/process_log.h"

namespace ov::workbench {

class ProcessLogModel final : public QAbstractTableModel {
  Q_OBJECT
 public:
  explicit ProcessLogModel(ProcessLog& log, QObject* parent = nullptr) : QAbstractTableModel(parent), log_(log) {}

  // Stamps and appends the entry (the log's own rules), then shows it.
  void add(const LogEntry& entry);
  void clearAll();
  // Tells the views that the log changed behind the model (a run entry completed, say).
  void appendedBehind(int countBefore);
  ProcessLog& log() { return log_; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

 private:
  ProcessLog& log_;
};

class ProcessLogView final : public QTreeView {
  Q_OBJECT
 public:
  ProcessLogView(ProcessLogModel& model, QWidget* parent = nullptr);

 Q_SIGNALS:
  void saveRequested();
  void clearRequested();

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;
};

}  // namespace ov::workbench
