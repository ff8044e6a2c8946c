#include "workbench/properties_sheet.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QTabWidget>
#include <QVBoxLayout>

#include "workbench/models/preview_texts.h"
#include "workbench/tree_models.h"

namespace ov::workbench {

CPropertiesSheet::CPropertiesSheet(const TreeEntry& e, const FolderCounts& contains, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("%1 Properties").arg(toQString(e.name)));
  auto* tabs = new QTabWidget(this);
  auto* page = new QWidget(tabs);
  const EntryIcons& icons = EntryIcons::get();
  QIcon icon = e.isFolder() ? (e.isLive() ? icons.liveFolder : icons.deletedFolder)
                            : (e.isLive() ? icons.liveFile : icons.deletedFile);
  auto* picture = new QLabel(page);
  picture->setPixmap(icon.pixmap(32, 32));
  auto* name = new QLabel(toQString(e.name), page);
  name->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* form = new QFormLayout;
  form->addRow(picture, name);
  auto text = [page](const std::string& s) {
    auto* l = new QLabel(QString::fromStdString(s), page);
    l->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return l;
  };
  form->addRow(tr("Type"), text(e.isFolder() ? "Folder" : "File"));
  form->addRow(tr("Size"), text(propertiesSizeText(e.isFolder() ? contains.bytes : e.size)));
  if (e.isFolder())
    form->addRow(tr("Contains"), text(std::to_string(contains.files) + " Files, " + std::to_string(contains.folders) + " Folders"));
  form->addRow(tr("Created"), text(propertiesDateText(e.createdDate)));
  form->addRow(tr("Modified"), text(propertiesDateText(e.accessedDate)));

  auto* attributes = new QGroupBox(tr("Attributes"), page);
  auto* grid = new QGridLayout(attributes);
  struct Box {
    const char* label;
    bool on;
  };
  const Box boxes[] = {{"&Read Only", (e.attributes & 0x01) != 0}, {"&Hidden", (e.attributes & 0x02) != 0},
                       {"&System", (e.attributes & 0x04) != 0},    {"&Deleted", (e.attributes & 0x08) == 0},
                       {"&Archive", (e.attributes & 0x20) != 0},   {"&Compressed", (e.attributes & 0x800) != 0}};
  for (int i = 0; i < 6; ++i) {
    auto* box = new QCheckBox(tr(boxes[i].label), attributes);
    box->setChecked(boxes[i].on);
    box->setAttribute(Qt::WA_TransparentForMouseEvents);
    box->setFocusPolicy(Qt::NoFocus);
    grid->addWidget(box, i / 2, i % 2);
  }
  auto* pageLayout = new QVBoxLayout(page);
  pageLayout->addLayout(form);
  pageLayout->addWidget(attributes);
  tabs->addTab(page, tr("General"));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs);
  layout->addWidget(buttons);
  setMinimumWidth(360);
}

}  // namespace ov::workbench
