#include "workbench/preview_window.h"

#include <QFontDatabase>
#include <QHeaderView>
#include <QImageReader>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTreeView>

#include "workbench/models/preview_texts.h"
#include "workbench/tree_models.h"

namespace ov::workbench {

bool isImageName(const std::u16string& name) {
  std::string ext = nameExtension(name);
  if (ext.empty()) return false;
  for (const QByteArray& format : QImageReader::supportedImageFormats())
    if (format.toLower().toStdString() == ext) return true;
  return false;
}

HexLinesModel::HexLinesModel(std::vector<std::uint8_t> data, bool failed, QObject* parent)
    : QAbstractTableModel(parent), data_(std::move(data)), failed_(failed) {}

int HexLinesModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  return failed_ ? 1 : static_cast<int>(std::min<std::size_t>(hexLineCount(data_.size()), INT32_MAX));
}

int HexLinesModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 3; }

QVariant HexLinesModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid()) return {};
  if (failed_) return index.column() == 1 ? QStringLiteral("Preview failed.") : QString();
  HexLine line = hexLine(data_, static_cast<std::size_t>(index.row()));
  const std::string& text = index.column() == 0 ? line.offset : index.column() == 1 ? line.binary : line.ansi;
  return QString::fromStdString(text);
}

QVariant HexLinesModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* kTitles[] = {"Offset", "Binary", "ANSI"};
  return section >= 0 && section < 3 ? QString::fromLatin1(kTitles[section]) : QVariant();
}

CPreviewWnd::CPreviewWnd(const std::u16string& name, std::vector<std::uint8_t> bytes, bool failed, QWidget* parent)
    : QMainWindow(parent) {
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(QStringLiteral("%1 hex view").arg(toQString(name)));
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  auto* tabs = new QTabWidget(this);
  std::optional<std::u16string> text = failed ? std::nullopt : decodeText(bytes);
  if (text) {
    auto* edit = new QPlainTextEdit(tabs);
    edit->setReadOnly(true);
    edit->setFont(mono);
    edit->setPlainText(QString::fromStdU16String(*text));
    tabs->addTab(edit, tr("Text"));
  }
  auto* hex = new QTreeView(tabs);
  hex->setModel(new HexLinesModel(std::move(bytes), failed, hex));
  hex->setRootIsDecorated(false);
  hex->setUniformRowHeights(true);
  hex->setFont(mono);
  hex->setAlternatingRowColors(true);
  QFontMetrics metrics(mono);
  hex->setColumnWidth(0, metrics.horizontalAdvance(QStringLiteral("000000000  ")));
  hex->setColumnWidth(1, metrics.horizontalAdvance(QString(62, QLatin1Char('0'))));
  tabs->addTab(hex, tr("Hex"));
  setCentralWidget(tabs);
  resize(metrics.horizontalAdvance(QString(100, QLatin1Char('0'))), 520);
}

CImageViewWindow::CImageViewWindow(const std::u16string& name, QWidget* parent) : QMainWindow(parent) {
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(toQString(name));
  picture_ = new QLabel(this);
  picture_->setAlignment(Qt::AlignCenter);
  picture_->setBackgroundRole(QPalette::Dark);
  picture_->setAutoFillBackground(true);
  picture_->setText(tr("Please Wait. Loading Image file..."));
  setCentralWidget(picture_);
  resize(800, 600);
}

CImageViewWindow::CImageViewWindow(const std::u16string& name, const std::vector<std::uint8_t>& bytes, QWidget* parent)
    : CImageViewWindow(name, parent) {
  QImage image;
  image.loadFromData(bytes.data(), static_cast<int>(std::min<std::size_t>(bytes.size(), INT32_MAX)));
  showImage(image);
}

CImageViewWindow::CImageViewWindow(const std::u16string& name, const QString& file, QWidget* parent)
    : CImageViewWindow(name, parent) {
  QImageReader reader(file);
  reader.setAutoTransform(true);
  showImage(reader.read());
}

void CImageViewWindow::showImage(const QImage& image) {
  if (!image.isNull()) {
    pixmap_ = QPixmap::fromImage(image);
    drawn_ = !pixmap_.isNull();
  }
  if (!drawn_) picture_->setText(tr("Drawing Failed..."));
  fit();
}

void CImageViewWindow::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  fit();
}

void CImageViewWindow::fit() {
  if (!drawn_) return;
  QSize room = picture_->size();
  bool fits = pixmap_.width() <= room.width() && pixmap_.height() <= room.height();
  picture_->setPixmap(fits ? pixmap_ : pixmap_.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

}  // namespace ov::workbench
