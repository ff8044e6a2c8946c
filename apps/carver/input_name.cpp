#include "apps/carver/input_name.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QMessageBox>
#include <QVBoxLayout>

namespace ov::kestrin {

namespace {

bool badCharacter(QChar c) { return QStringLiteral("\\/:*?\"<>|").contains(c); }

}  // namespace

CInputName::CInputName(const QString& oldName, QWidget* parent) : QDialog(parent), oldName_(oldName) {
  setWindowTitle(tr("Rename"));
  // A long name has no blanks to wrap at: its middle gives way, the whole of it is the tooltip.
  auto* old = new QLabel(this);
  old->setText(old->fontMetrics().elidedText(oldName, Qt::ElideMiddle, 400));
  old->setToolTip(oldName);
  auto* prompt = new QLabel(QString::fromLatin1(kPromptText), this);
  auto* label = new QLabel(tr("&New Name"), this);
  field_ = new QLineEdit(this);
  field_->setMaxLength(kMaxLength);
  label->setBuddy(field_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  ok_ = buttons->button(QDialogButtonBox::Ok);
  ok_->setEnabled(false);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(old);
  layout->addWidget(prompt);
  layout->addSpacing(6);
  layout->addWidget(label);
  layout->addWidget(field_);
  layout->addWidget(buttons);
  resize(420, sizeHint().height());

  connect(buttons, &QDialogButtonBox::accepted, this, [this] {
    if (acceptable(field_->text())) accept();
  });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(field_, &QLineEdit::textEdited, this, &CInputName::edited);
  connect(field_, &QLineEdit::textChanged, this, [this](const QString& text) { ok_->setEnabled(acceptable(text)); });
}

bool CInputName::acceptable(const QString& typed) {
  if (typed.isEmpty()) return false;
  for (QChar c : typed)
    if (c.isSpace() || badCharacter(c)) return false;
  return true;
}

QString CInputName::renamed(const QString& typed, const QString& oldName) {
  const qsizetype dot = oldName.lastIndexOf(QLatin1Char('.'));
  if (dot < 0) return typed;
  return typed + QLatin1Char('.') + oldName.mid(dot + 1);
}

void CInputName::edited(const QString& text) {
  for (QChar c : text)
    if (badCharacter(c)) {
      QMessageBox::critical(this, tr("Error"), QString::fromLatin1(kBadCharactersText));
      field_->selectAll();
      return;
    }
}

}  // namespace ov::kestrin
