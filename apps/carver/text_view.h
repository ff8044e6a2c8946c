// The text view of a carved item that is not a picture: its bytes as characters, 32 to a line,
// with decimal line numbers. Only the lines in sight are drawn, so a large item opens at once.
#pragma once

#include <QAbstractScrollArea>
#include <QMainWindow>

#include <cstdint>
#include <string>
#include <vector>

namespace ov::kestrin {

class CHexView final : public QAbstractScrollArea {
  Q_OBJECT
 public:
  explicit CHexView(std::vector<std::uint8_t> bytes, QWidget* parent = nullptr);

  std::uint64_t lineCount() const { return lines_; }
  int lineHeight() const { return lineHeight_; }
  QString lineText(std::uint64_t line) const;
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void updateScrollBars();

  std::vector<std::uint8_t> bytes_;
  std::uint64_t lines_ = 0;
  int lineHeight_ = 0;
  int lineWidth_ = 0;
};

// The window that holds the text view, titled with the item's name.
class CTextViewFrame final : public QMainWindow {
  Q_OBJECT
 public:
  CTextViewFrame(const std::u16string& name, std::vector<std::uint8_t> bytes, QWidget* parent = nullptr);
  CHexView* view() const { return view_; }

 private:
  CHexView* view_;
};

}  // namespace ov::kestrin
