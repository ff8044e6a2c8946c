// "%S Properties": what an entry is, its size, what a folder holds, its dates and attributes.
#pragma once

#include <QDialog>

#include "disk/recovery_engine.h"

namespace ov::workbench {

class CPropertiesSheet final : public QDialog {
  Q_OBJECT
 public:
  // `contains` gives the files and folders below a folder (ignored for files).
  CPropertiesSheet(const TreeEntry& entry, const FolderCounts& contains, QWidget* parent = nullptr);
};

}  // namespace ov::workbench
