#include "workbench/common_widgets.h"

#include <QAbstractTextDocumentLayout>
#include <QHeaderView>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTextDocument>

namespace ov::workbench {

namespace {

constexpr int kRichRole = Qt::UserRole + 1;

// Draws the rich lines of an information panel as formatted text wrapped to the panel's width.
class RichLineDelegate final : public QStyledItemDelegate {
 public:
  explicit RichLineDelegate(QListWidget* list) : QStyledItemDelegate(list), list_(list) {}

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    if (!index.data(kRichRole).toBool()) return QStyledItemDelegate::paint(painter, option, index);
    QTextDocument doc;
    layout(doc, index, option.rect.width());
    painter->save();
    painter->translate(option.rect.topLeft());
    doc.drawContents(painter);
    painter->restore();
  }

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    if (!index.data(kRichRole).toBool()) return QStyledItemDelegate::sizeHint(option, index);
    QTextDocument doc;
    const int width = list_->viewport()->width();
    layout(doc, index, width);
    return {width, static_cast<int>(doc.size().height())};
  }

 private:
  void layout(QTextDocument& doc, const QModelIndex& index, int width) const {
    doc.setDefaultFont(list_->font());
    doc.setDocumentMargin(3);
    doc.setHtml(index.data().toString());
    doc.setTextWidth(width);
  }
  QListWidget* list_;
};

}  // namespace

InfoPanel::InfoPanel(QWidget* parent) : QListWidget(parent) {
  setSelectionMode(QAbstractItemView::NoSelection);
  setFocusPolicy(Qt::NoFocus);
  setWordWrap(true);
  setMinimumWidth(220);
}

void InfoPanel::setLines(const std::vector<std::string>& lines) { addLines(lines, false); }

void InfoPanel::setRichLines(const std::vector<std::string>& lines) {
  if (!dynamic_cast<RichLineDelegate*>(itemDelegate())) {
    setItemDelegate(new RichLineDelegate(this));
    // Wrapped lines change their height with the panel's width.
    setResizeMode(QListView::Adjust);
  }
  addLines(lines, true);
}

void InfoPanel::addLines(const std::vector<std::string>& lines, bool rich) {
  clear();
  for (const auto& line : lines) {
    bool heading = line.rfind("HDR", 0) == 0;
    auto* item = new QListWidgetItem(QString::fromStdString(heading ? line.substr(3) : line), this);
    item->setData(kRichRole, rich && !heading);
    if (heading) {
      QFont font = item->font();
      font.setBold(true);
      item->setFont(font);
      item->setBackground(QColor(0, 84, 147));
      item->setForeground(Qt::white);
    }
  }
}

DiskTree::DiskTree(QWidget* parent) : QTreeWidget(parent) {
  setHeaderHidden(true);
  setColumnCount(1);
  connect(this, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    Q_EMIT diskSelected(item && item->parent() ? item->data(0, Qt::UserRole).toInt() : -1);
  });
}

void DiskTree::setDisks(const std::vector<DiskInfo>& disks) {
  clear();
  auto* root = new QTreeWidgetItem(this, QStringList{tr("My Computer")});
  root->setIcon(0, style()->standardIcon(QStyle::SP_ComputerIcon));
  for (std::size_t i = 0; i < disks.size(); ++i) {
    auto* item = new QTreeWidgetItem(root, QStringList{QString::fromStdString(disks[i].deviceName)});
    item->setIcon(0, style()->standardIcon(QStyle::SP_DriveHDIcon));
    item->setData(0, Qt::UserRole, static_cast<int>(i));
    item->setToolTip(0, QString::fromStdString(disks[i].model + ", " + disks[i].sizeText));
  }
  root->setExpanded(true);
  setCurrentItem(root);
}

int DiskTree::selectedDisk() const {
  QTreeWidgetItem* item = currentItem();
  return item && item->parent() ? item->data(0, Qt::UserRole).toInt() : -1;
}

QMessageBox::Icon messageIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Error:
      return QMessageBox::Critical;
    case MessageIcon::Warning:
      return QMessageBox::Warning;
    case MessageIcon::Question:
      return QMessageBox::Question;
    default:
      return QMessageBox::Information;
  }
}

void showMessage(QWidget* parent, const std::string& title, const std::string& text, MessageIcon icon) {
  QMessageBox box(messageIcon(icon), QString::fromStdString(title), QString::fromStdString(text), QMessageBox::Ok,
                  parent);
  box.exec();
}

bool askYesNo(QWidget* parent, const QString& title, const QString& text) {
  return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
         QMessageBox::Yes;
}

}  // namespace ov::workbench
