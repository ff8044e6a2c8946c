#include "apps/carver/text_view.h"

#include <QGuiApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>

#include <algorithm>

#include "carver/results.h"

namespace ov::kestrin {

namespace {

// The scroll bar counts lines: an item of more than 2^31 lines would not fit its range in pixels.
QFont viewFont() {
  QFont font(QStringLiteral("Courier New"), 10);
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  return font;
}

}  // namespace

CHexView::CHexView(std::vector<std::uint8_t> bytes, QWidget* parent)
    : QAbstractScrollArea(parent), bytes_(std::move(bytes)) {
  lines_ = textViewLineCount(bytes_.size());
  setFont(viewFont());
  QFontMetrics metrics(font());
  lineHeight_ = metrics.height() + metrics.leading();
  lineWidth_ = metrics.horizontalAdvance(lineText(0)) + 4;
  viewport()->setBackgroundRole(QPalette::Base);
  updateScrollBars();
}

QString CHexView::lineText(std::uint64_t line) const {
  return QString::fromStdU16String(textViewLine(Bytes(bytes_.data(), bytes_.size()), line));
}

QSize CHexView::sizeHint() const {
  return {lineWidth_ + verticalScrollBar()->sizeHint().width() + 2 * frameWidth(), 32 * lineHeight_};
}

void CHexView::updateScrollBars() {
  // The vertical bar moves line by line; the horizontal one pixel by pixel.
  const int visible = std::max(1, viewport()->height() / std::max(1, lineHeight_));
  const std::uint64_t top = lines_ > static_cast<std::uint64_t>(visible) ? lines_ - static_cast<std::uint64_t>(visible) : 0;
  verticalScrollBar()->setRange(0, static_cast<int>(std::min<std::uint64_t>(top, INT32_MAX)));
  verticalScrollBar()->setPageStep(visible);
  verticalScrollBar()->setSingleStep(1);
  horizontalScrollBar()->setRange(0, std::max(0, lineWidth_ - viewport()->width()));
  horizontalScrollBar()->setPageStep(viewport()->width());
}

void CHexView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  updateScrollBars();
}

void CHexView::paintEvent(QPaintEvent* event) {
  QPainter painter(viewport());
  painter.setFont(font());
  painter.setPen(palette().color(QPalette::Text));
  const std::uint64_t first = static_cast<std::uint64_t>(verticalScrollBar()->value());
  const int dx = -horizontalScrollBar()->value();
  const QRect area = event->rect();
  const int ascent = QFontMetrics(font()).ascent();
  // Only the lines that fall into the part to be drawn.
  for (std::uint64_t line = first + static_cast<std::uint64_t>(std::max(0, area.top() - 2) / lineHeight_);
       line < lines_; ++line) {
    const int y = static_cast<int>(line - first) * lineHeight_ + 2;
    if (y > area.bottom()) break;
    painter.drawText(2 + dx, y + ascent, lineText(line));
  }
}

CTextViewFrame::CTextViewFrame(const std::u16string& name, std::vector<std::uint8_t> bytes, QWidget* parent)
    : QMainWindow(parent) {
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(QString::fromStdU16String(name));
  view_ = new CHexView(std::move(bytes), this);
  setCentralWidget(view_);
  resize(view_->sizeHint().width(), 520);
  // Centred on the screen.
  if (QScreen* screen = QGuiApplication::primaryScreen()) move(screen->availableGeometry().center() - rect().center());
}

}  // namespace ov::kestrin
