// Looking at a recovered file before saving it: pictures in the image window, anything else as
// hex lines (and as text when it is text). The data are read into memory; nothing is written.
#pragma once

#include <QAbstractTableModel>
#include <QLabel>
#include <QMainWindow>
#include <QScrollArea>

#include <cstdint>
#include <string>
#include <vector>

namespace ov::workbench {

// Whether Qt's image readers know the name's extension.
bool isImageName(const std::u16string& name);

class HexLinesModel final : public QAbstractTableModel {
  Q_OBJECT
 public:
  explicit HexLinesModel(std::vector<std::uint8_t> data, bool failed, QObject* parent = nullptr);
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

 private:
  std::vector<std::uint8_t> data_;
  bool failed_;
};

// "%S hex view": the file as lines of 16 bytes, and a text tab when the data are text.
class CPreviewWnd final : public QMainWindow {
  Q_OBJECT
 public:
  CPreviewWnd(const std::u16string& name, std::vector<std::uint8_t> data, bool failed, QWidget* parent = nullptr);
};

class CImageViewWindow final : public QMainWindow {
  Q_OBJECT
 public:
  CImageViewWindow(const std::u16string& name, const std::vector<std::uint8_t>& data, QWidget* parent = nullptr);
  // The picture in a file (the carver writes the item to a temporary file first).
  CImageViewWindow(const std::u16string& name, const QString& file, QWidget* parent = nullptr);
  bool drawn() const { return drawn_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  explicit CImageViewWindow(const std::u16string& name, QWidget* parent);
  void showImage(const QImage& image);
  void fit();
  QLabel* picture_;
  QPixmap pixmap_;
  bool drawn_ = false;
};

}  // namespace ov::workbench
