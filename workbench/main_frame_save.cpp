// Saving recovered files from the main window: what is marked, what is selected, or the whole
// tree, into a folder the user chooses, on the worker, with progress and an honest account.
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>

#include <set>

#include "disk/destination_guard.h"
#include "workbench/common_widgets.h"
#include "workbench/main_frame.h"
#include "workbench/models/list_texts.h"
#include "workbench/models/output_folder.h"
#include "workbench/models/file_saving.h"
#include "workbench/models/recovery_report.h"
#include "workbench/models/save_account.h"
#include "workbench/progress_window.h"
#include "workbench/save_dialog.h"

namespace ov::workbench {
namespace {

constexpr int kMaxDepth = 4096;  // deeper trees come only from damaged data

struct SaveItem {
  std::vector<std::u16string> folders;  // below the destination
  TreeEntry entry;
};

// The name a folder gets in the destination: the root's leading blank helps nobody.
std::u16string folderName(const TreeEntry& e) { return e.isRoot && !e.isTop ? u"Root" : e.name; }

std::vector<std::u16string> pathOf(const FolderNode* node) {
  std::vector<std::u16string> path;
  for (const FolderNode* n = node; n && !n->entry.isTop; n = n->parent) path.insert(path.begin(), folderName(n->entry));
  return path;
}

void collectSubtree(RecoveryEngine& engine, const TreeEntry& folder, std::vector<std::u16string>& path,
                    std::vector<SaveItem>& out, std::set<std::uint64_t>& visited, int depth) {
  if (depth > kMaxDepth || !visited.insert(folder.key).second) return;
  for (auto& e : engine.listFolder(folder)) {
    if (e.isFolder()) {
      path.push_back(folderName(e));
      collectSubtree(engine, e, path, out, visited, depth + 1);
      path.pop_back();
    } else {
      out.push_back({path, std::move(e)});
    }
  }
}

void collectMarked(RecoveryEngine& engine, const FolderNode& node, std::vector<SaveItem>& out,
                   std::set<std::uint64_t>& visited) {
  std::vector<std::u16string> path = pathOf(&node);
  if (node.check == Qt::Checked) {
    collectSubtree(engine, node.entry, path, out, visited, 0);
    return;
  }
  if (node.check == Qt::Unchecked) return;
  if (node.filesAll || !node.exceptions.empty())
    for (auto& e : engine.listFolder(node.entry))
      if (!e.isFolder() && node.fileMarked(e.key)) out.push_back({path, std::move(e)});
  for (const auto& child : node.children) collectMarked(engine, *child, out, visited);
}

struct SaveJob {
  std::string destination;
  bool recreate = true;
  std::vector<SaveItem> items;
  SaveAccount account;
  int volume = -1;  // the volume whose tree is shown
  std::shared_ptr<SavedReport> report = std::make_shared<SavedReport>();
};

// Writes every item through the save loop the command line uses too; the account says what
// happened to each file.
void runSave(RecoveryEngine& engine, EngineHost& host, SaveJob& job) {
  int error = 0;
  OutputFolder top = OutputFolder::open(job.destination, error);
  job.report->source = reportSource(engine.source());
  job.report->volume.fileSystem = engine.texts().fileSystem;
  if (job.volume >= 0 && static_cast<std::size_t>(job.volume) < engine.volumeCount())
    job.report->volume = reportVolume(engine.volumeRow(static_cast<std::size_t>(job.volume)), engine.source().bytesPerSector());
  if (!top.isOpen()) {
    job.account.plan(job.items.size());
    job.account.failed(job.destination, systemErrorText(error));
    return;
  }
  std::uint64_t total = 0, doneBefore = 0;
  for (const auto& item : job.items) total += item.entry.size;
  RunControl& run = engine.run();
  std::vector<PlannedFile> plan;
  plan.reserve(job.items.size());
  for (const auto& item : job.items) {
    PlannedFile file;
    if (job.recreate) file.folders = item.folders;
    file.name = item.entry.outputName();
    file.size = item.entry.size;
    file.sizeCut = item.entry.sizeCut;
    file.claimedSize = item.entry.claimedSize;
    file.damageNote = item.entry.damageNote;
    file.times = item.entry.times;
    file.save = [&engine, &host, &run, &total, &doneBefore, entry = item.entry](int fd, std::uint64_t& written) {
      FileDataSaved outcome = engine.saveFileData(
          entry, fd, [&](std::uint64_t done) { host.progress(total, doneBefore + done); },
          [&run] { return !run.proceed(); });
      written = outcome.written;
      return outcome.ok;
    };
    plan.push_back(std::move(file));
  }
  SavedReport& report = *job.report;
  std::vector<bool> tried(plan.size());
  SaveHooks hooks;
  hooks.beforeFile = [&](std::uint64_t before) {
    doneBefore = before;
    host.progress(total, before);
  };
  // What the report of this save will say of each file: where it lay on the disk and how it ended.
  hooks.fileDone = [&](const PlannedFile& file, const FileSaveOutcome& outcome) {
    const auto index = static_cast<std::size_t>(&file - plan.data());
    const SaveItem& item = job.items[index];
    ReportedFile reported = reportedFile(item.folders, item.entry, engine.fileLayout(item.entry));
    recordSaveOutcome(reported, outcome);
    if (outcome.state == FileSaveState::Failed || outcome.state == FileSaveState::Interrupted) ++report.failed;
    else ++report.saved;
    report.files.push_back(std::move(reported));
    tried[index] = true;
  };
  job.account = saveRecoveredFiles(top, plan, engine.source(), hooks);
  for (std::size_t i = 0; i < plan.size(); ++i)
    if (!tried[i]) report.files.push_back(reportedFile(job.items[i].folders, job.items[i].entry, {}));
  host.progress(1, 1);
}

}  // namespace

void CMainFrame::saveMarked() {
  if (busy_ || refreshing_ || !folders_->top()) return;
  startSaving({}, {folders_->top()}, true);
}

void CMainFrame::saveAll() {
  if (busy_ || refreshing_ || !folders_->top()) return;
  startSaving({}, {folders_->top()}, false);
}

void CMainFrame::saveSelected() {
  if (busy_ || refreshing_ || !folders_->top()) return;
  std::vector<TreeEntry> entries;
  std::vector<FolderNode*> folders;
  QWidget* focus = focusWidget();
  bool fromTree = focus == tree_ || list_->selectedRows().empty();
  if (fromTree) {
    if (FolderNode* n = folders_->current()) folders.push_back(n);
  } else {
    for (int row : list_->selectedRows()) {
      const TreeEntry& e = files_->entryAt(row);
      if (e.isFolder()) {
        if (FolderNode* n = files_->folderNodeAt(row)) folders.push_back(n);
      } else {
        entries.push_back(e);
      }
    }
  }
  if (entries.empty() && folders.empty()) return;
  startSaving(std::move(entries), folders, false);
}

void CMainFrame::startSaving(std::vector<TreeEntry> entries, const std::vector<FolderNode*>& folders, bool useMarks) {
  FolderCounts what;
  if (useMarks) {
    what = markedCounts(*folders_->top());
  } else {
    for (const auto& e : entries) {
      what.bytes += e.size;
      ++what.files;
    }
    for (const FolderNode* n : folders) {
      what.bytes += n->subtree.bytes;
      what.files += n->subtree.files;
      what.folders += n->subtree.folders + 1;
    }
  }
  QString summary = QString::fromStdString(totalsText(what.bytes, what.files, what.folders, useMarks));
  if (!useMarks) summary = tr("Selected ") + summary;
  auto source = identifySource(engine_.source());
  SaveDataDialog dialog(
      summary,
      [source](const std::string& path) -> std::optional<std::string> {
        if (!source) return std::nullopt;
        std::string conflict = destinationConflict(*source, path);
        if (conflict.empty()) return std::nullopt;
        return "Please ensure that you are not saving data to\nthe same location from where you are recovering. "
               "\n\nSaving data to the same location would result in\npermanent data loss.\n\n" +
               conflict;
      },
      this);
  dialog.setDestination(settings_.value(QStringLiteral("Save/Folder"), QDir::homePath()).toString());
  if (dialog.exec() != QDialog::Accepted) return;
  QString folder = QDir(dialog.destination()).absolutePath();
  settings_.setValue(QStringLiteral("Save/Folder"), folder);
  // Only now, with every check passed, may the folder be created.
  if (!QDir().mkpath(folder)) {
    QMessageBox::warning(this, tr("Error"), tr("The folder %1 cannot be created.").arg(folder));
    return;
  }

  auto job = std::make_shared<SaveJob>();
  job->destination = folder.toStdString();
  job->recreate = dialog.recreateFolders();
  job->volume = processedVolume_;
  job->report->destination = job->destination;
  std::vector<const FolderNode*> roots(folders.begin(), folders.end());
  FolderNode* current = folders_->current();
  beginOperation(QStringLiteral("Saving"));
  saving_ = true;
  progressPane_->clear();
  worker_->start(
      [this, job, entries = std::move(entries), roots, useMarks, current] {
        std::set<std::uint64_t> visited;
        if (useMarks) {
          collectMarked(engine_, *roots.front(), job->items, visited);
        } else {
          std::vector<std::u16string> here = pathOf(current);
          for (const auto& e : entries) job->items.push_back({here, e});
          for (const FolderNode* n : roots) {
            std::vector<std::u16string> path = pathOf(n);
            collectSubtree(engine_, n->entry, path, job->items, visited, 0);
          }
        }
        runSave(engine_, host_, *job);
      },
      [this, job] {
        saving_ = false;
        lastReport_ = job->report;
        finishOperation();
        const SaveAccount& a = job->account;
        QMessageBox box(this);
        box.setWindowTitle(tr("Information"));
        if (a.complete()) {
          box.setIcon(QMessageBox::Information);
          box.setText(tr("Saving data completed."));
        } else {
          std::vector<std::string> lines = a.summary(job->destination);
          box.setIcon(QMessageBox::Warning);
          box.setText(a.interruptions().empty() ? tr("Saving data failed for some files.") : tr("Saving data was stopped."));
          QString details;
          for (const auto& line : lines) details += QString::fromStdString(line) + "\n";
          box.setInformativeText(QString::fromStdString(lines.empty() ? std::string() : lines.front()));
          box.setDetailedText(details);
        }
        box.addButton(QMessageBox::Ok);
        QPushButton* report = box.addButton(tr("Save Recovery &Report..."), QMessageBox::ActionRole);
        box.setDefaultButton(QMessageBox::Ok);
        box.exec();
        if (box.clickedButton() == report) saveRecoveryReport();
      });
}

void CMainFrame::saveRecoveryReport() {
  if (!lastReport_ || busy_) return;
  QString folder = settings_.value(QStringLiteral("Save/Folder"), QDir::homePath()).toString();
  QString path = QFileDialog::getSaveFileName(this, tr("Save Recovery Report"), folder + "/recovery-report.xml",
                                              tr("DFXML Report (*.xml);;JSON Lines Report (*.jsonl)"));
  if (path.isEmpty()) return;
  if (auto problem = outputConflict(path.toStdString())) {
    QMessageBox::warning(this, tr("Warning"), QString::fromStdString(*problem));
    return;
  }
  std::string why;
  std::optional<RecoveryReport> report = RecoveryReport::create(path.toStdString(), why);
  bool ok = report.has_value();
  if (report) {
    const SavedReport& r = *lastReport_;
    report->begin(r.source, r.volume, QCoreApplication::applicationName().toStdString() + ": saved into " + r.destination);
    for (const ReportedFile& f : r.files) report->add(f);
    ok = report->finish(r.saved, r.failed);
    if (!ok) why = "the report could not be written whole";
  }
  if (!ok) {
    QMessageBox::warning(this, tr("Error"), tr("The report %1 was not saved: %2").arg(path, QString::fromStdString(why)));
    return;
  }
  statusBar()->showMessage(tr("Recovery report saved to %1").arg(path), 5000);
}

}  // namespace ov::workbench
