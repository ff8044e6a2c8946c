// The main window's tools over a recovered tree: find, preview, properties, and saving and
// opening scan information.
#include <sys/mman.h>

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include <ctime>

#include "disk/destination_guard.h"
#include "scans/scan_file.h"
#include "workbench/common_widgets.h"
#include "workbench/find_dialog.h"
#include "workbench/main_frame.h"
#include "workbench/preview_window.h"
#include "workbench/properties_sheet.h"

namespace ov::workbench {

namespace {
std::tm localNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}
}  // namespace

// --- Find -------------------------------------------------------------------------------------

void CMainFrame::find() {
  if (busy_ || refreshing_ || !folders_->top()) return;
  COVNTFSFindFile dialog(this);
  if (search_.started()) dialog.setCriteria(search_.criteria());
  if (dialog.exec() != QDialog::Accepted) return;
  search_.start(dialog.criteria());
  findNext();
}

void CMainFrame::findNext() {
  if (busy_ || refreshing_ || !folders_->top()) return;
  if (!search_.started()) {
    find();
    return;
  }
  QApplication::setOverrideCursor(Qt::WaitCursor);
  std::optional<FindMatch> match;
  try {
    match = search_.next(engine_);
  } catch (const AlreadyReported&) {
    match.reset();
  }
  QApplication::restoreOverrideCursor();
  if (!match) {
    workbench::showMessage(this, "Information", "Search Item not found.", MessageIcon::Information);
    return;
  }
  // Follow the folder keys down the tree to the match's folder.
  FolderNode* node = folders_->top();
  for (std::size_t i = 1; i < match->folderKeys.size() && node; ++i) {
    FolderNode* next = nullptr;
    for (auto& c : node->children)
      if (c->entry.key == match->folderKeys[i]) next = c.get();
    node = next;
  }
  if (!node) return;
  showFolder(node);
  int row = files_->rowOfKey(match->entry.key);
  if (row < 0) return;
  QAbstractItemView* view = list_->current();
  QModelIndex index = files_->index(row, 0);
  view->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  view->scrollTo(index);
}

// --- Preview and properties ----------------------------------------------------------------

std::optional<TreeEntry> CMainFrame::chosenEntry() const {
  std::vector<int> rows = list_->selectedRows();
  bool fromList = focusWidget() != tree_ && !rows.empty();
  if (fromList) return files_->entryAt(rows.front());
  if (FolderNode* n = folders_->current()) return n->entry;
  return std::nullopt;
}

void CMainFrame::preview() {
  if (busy_ || refreshing_) return;
  auto entry = chosenEntry();
  if (!entry || entry->isFolder()) return;
  if (entry->size > kPreviewLimitBytes) {
    QMessageBox::information(this, tr("Information"),
                             tr("%1 is too large to preview (more than 30 MB). Save it to look at it.")
                                 .arg(toQString(entry->name)));
    return;
  }
  std::optional<std::vector<std::uint8_t>> bytes;
  TreeEntry e = *entry;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  worker_->runAndWait([&] { bytes = engine_.loadPreview(e); });
  QApplication::restoreOverrideCursor();
  QMainWindow* window = nullptr;
  if (bytes && isImageName(e.name)) {
    auto* image = new CImageViewWindow(e.name, *bytes, this);
    if (image->drawn()) window = image;
    else delete image;  // not a picture after all: show its bytes
  }
  if (!window) window = new CPreviewWnd(e.name, bytes ? std::move(*bytes) : std::vector<std::uint8_t>{}, !bytes, this);
  window->setWindowFlag(Qt::Window);
  window->show();
  window->raise();
}

void CMainFrame::showProperties() {
  if (busy_ || refreshing_) return;
  auto entry = chosenEntry();
  if (!entry) return;
  FolderCounts contains;
  if (entry->isFolder()) {
    // The folder's node knows everything below it.
    std::vector<FolderNode*> stack{folders_->top()};
    while (!stack.empty()) {
      FolderNode* n = stack.back();
      stack.pop_back();
      if (!n) continue;
      if (n->entry.key == entry->key) {
        contains = n->subtree;
        break;
      }
      for (auto& c : n->children) stack.push_back(c.get());
    }
  }
  CPropertiesSheet sheet(*entry, contains, this);
  sheet.exec();
}

// --- Scan information ------------------------------------------------------------------------

namespace {
QString withExtension(QString path, const QString& extension) {
  if (!path.endsWith(extension, Qt::CaseInsensitive)) path += extension;
  return path;
}
}  // namespace

std::optional<std::string> CMainFrame::outputConflict(const std::string& path) {
  auto source = identifySource(engine_.source());
  if (!source) return std::nullopt;
  std::string conflict = destinationConflict(*source, path);
  if (conflict.empty()) return std::nullopt;
  return conflict;
}

void CMainFrame::saveTreeInfo() {
  if (busy_ || refreshing_ || !engine_.hasTree()) return;
  QString name = QString::fromStdString(partitionScanDefaultName(localNow(), engine_.texts().fileSystem));
  QString path = QFileDialog::getSaveFileName(this, tr("Save Tree Info"), name, tr("Scan Info File (*.ovt)"));
  if (path.isEmpty()) return;
  path = withExtension(path, QStringLiteral(".ovt"));
  if (auto problem = outputConflict(path.toStdString())) {
    QMessageBox::warning(this, tr("Warning"), QString::fromStdString(*problem));
    return;
  }
  bool ok = false;
  std::string file = path.toStdString();
  worker_->runAndWait([&] { ok = engine_.savePartitionScanInfo(file); });
  if (ok) scanInfoPresent_ = false;
}

void CMainFrame::savePartitionInfo() {
  if (busy_ || refreshing_ || engine_.volumeCount() == 0) return;
  std::tm local = localNow();
  QString name = QString::fromStdString(diskScanDefaultName(local, engine_.texts().fileSystem));
  QString path = QFileDialog::getSaveFileName(this, tr("Save Partition Info"), name, tr("Scan Info File (*.ovd)"));
  if (path.isEmpty()) return;
  path = withExtension(path, QStringLiteral(".ovd"));
  if (auto problem = outputConflict(path.toStdString())) {
    QMessageBox::warning(this, tr("Warning"), QString::fromStdString(*problem));
    return;
  }
  std::string file = path.toStdString();
  worker_->runAndWait([&] { engine_.saveDiskScanInfo(file); });
}

void CMainFrame::loadTreeInfo(const QString& chosen) {
  if (busy_ || refreshing_ || worker_->busy()) return;
  QString path = chosen.isEmpty()
                     ? QFileDialog::getOpenFileName(this, tr("Load Tree Info"), {}, tr("Scan Info File (*.ovt);;All files (*)"))
                     : chosen;
  if (path.isEmpty()) return;
  clearViews();
  std::string file = path.toStdString();
  auto ok = std::make_shared<bool>(false);
  beginOperation(QStringLiteral("Scanning"));
  worker_->start([this, file, ok] { *ok = engine_.openPartitionScanInfo(file); },
                 [this, ok] {
                   if (!*ok) {
                     finishOperation();
                     return;
                   }
                   scanInfoPresent_ = true;
                   noSavePrompt_ = false;
                   processedVolume_ = engine_.volumeCount() > 0 ? 0 : -1;
                   fillTree([this] { finishOperation(); });
                 });
}

void CMainFrame::loadPartitionInfo(const QString& chosen) {
  if (busy_ || refreshing_ || worker_->busy()) return;
  QString path = chosen.isEmpty()
                     ? QFileDialog::getOpenFileName(this, tr("Load Partition Info"), {}, tr("Scan Info File (*.ovd);;All files (*)"))
                     : chosen;
  if (path.isEmpty()) return;
  clearViews();
  bool ok = false;
  std::string file = path.toStdString();
  worker_->runAndWait([&] { ok = engine_.openDiskScanInfo(file); });
  if (!ok) return;
  openFoundLogicalDrive();
}

// --- Closing ---------------------------------------------------------------------------------

bool CMainFrame::confirmClose() {
  if (!scanInfoPresent_ || noSavePrompt_ || !engine_.hasTree()) return true;
  auto answer = QMessageBox::question(this, tr("Confirm"), tr("Do you want to save scan information?"),
                                      QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes);
  if (answer == QMessageBox::Cancel) return false;
  if (answer == QMessageBox::Yes) saveTreeInfo();
  return true;
}

}  // namespace ov::workbench
