// OV_NTFS and OV_FAT end to end in real windows under xvfb-run: wizard, marks by mouse, saves checked
// against the images' manifests; a screenshot of each step goes to the build folder's screenshots/.
#include <QApplication>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "fat/fat_engine.h"
#include "ntfs/ntfs_engine.h"
#include "tests/support/test_support.h"
#include "tests/workbench/gui_driver.h"
#include "workbench/main_frame.h"
#include "workbench/copy_pages.h"
#include "workbench/find_dialog.h"
#include "workbench/properties_sheet.h"
#include "workbench/save_dialog.h"
#include "workbench/search_dialogs.h"

using namespace ov;
using namespace ov::workbench;
namespace fs = std::filesystem;

namespace {

const char* program = "ov_ntfs";

void shot(const char* name) {
  test::screenshot(QStringLiteral("%1-%2").arg(QLatin1String(program), QLatin1String(name)));
}

QModelIndex childNamed(QAbstractItemModel& model, const QModelIndex& parent, const QString& name) {
  for (int r = 0; r < model.rowCount(parent); ++r) {
    QModelIndex i = model.index(r, 0, parent);
    if (i.data().toString() == name) return i;
  }
  return {};
}

// The wizard over `image` (none: as File > Wizard opens it), `pages` driving it up to Finish, which is
// pressed here; the message that ends the work once it is over. `doneShot` is taken of that message.
QString runWizard(CMainFrame& frame, const fs::path& image, std::function<void(CWizardSheet*)> pages,
                  const char* doneShot = nullptr) {
  auto message = std::make_shared<QString>();
  test::onModal<CWizardSheet>([message, pages, doneShot](CWizardSheet* wizard) {
    pages(wizard);
    // Only now: a message box of the pages (the lost-volume search's) must not be taken for the work's.
    test::answerMessage(QMessageBox::Ok, message.get(), [doneShot, message] { if (doneShot) shot(doneShot); });
    QTest::mouseClick(wizard->button(QWizard::FinishButton), Qt::LeftButton);
  });
  if (image.empty()) frame.runWizard();
  else frame.runWizardWithImage(QString::fromStdString(image.string()));
  test::waitFor([&] { return !frame.operationRunning() && !message->isEmpty(); });
  return *message;
}

// Marks the deleted `name` in the list of `folder`, as a person would.
void markDeleted(CMainFrame& frame, const QModelIndex& folder, const QString& name) {
  QTest::mouseClick(frame.treeView()->viewport(), Qt::LeftButton, {}, frame.treeView()->visualRect(folder).center());
  const QModelIndex row = childNamed(frame.fileModel(), {}, name);
  QVERIFY(row.isValid() && !frame.fileModel().entryAt(row.row()).isLive());
  test::clickCheckBox(frame.listView()->details(), row);
}

// Saves what is marked into `out`, its path typed into the Save dialog; the message that ends the save.
QString saveMarked(CMainFrame& frame, const fs::path& out, const char* dialogShot = nullptr,
                   const char* doneShot = nullptr) {
  test::onModal<SaveDataDialog>([&out, dialogShot](SaveDataDialog* dialog) {
    auto* path = dialog->findChild<QLineEdit*>();
    path->clear();
    QTest::keyClicks(path, QString::fromStdString(out.string()));
    if (dialogShot) shot(dialogShot);
    QTest::mouseClick(dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok), Qt::LeftButton);
  });
  return test::messageAfter([&frame] { frame.actions.saveMarked->trigger(); }, 60000,
                            [doneShot] { if (doneShot) shot(doneShot); });
}

}  // namespace

class WorkbenchEndToEnd : public QObject {
  Q_OBJECT
 private Q_SLOTS:
  void recoverMarkedFilesFromTheSampleImage();
  void fatFindsALostVolumeAndSavesADeletedFile();
};

void WorkbenchEndToEnd::recoverMarkedFilesFromTheSampleImage() {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) QSKIP("needs an X server (run under xvfb-run)");
  test::Program<ntfs::NtfsEngine> p({"sample"});
  CMainFrame& frame = *p.frame;
  QVERIFY(test::showOnScreen(frame));
  shot("01-main-window");

  // The wizard opens on the image page with the sample image chosen, as the command line does.
  const QString message = runWizard(frame, test::image("sample"), [](CWizardSheet* wizard) {
    shot("02-wizard-image-page");
    QTest::mouseClick(wizard->button(QWizard::NextButton), Qt::LeftButton);
    QCOMPARE(wizard->currentId(), int(CWizardSheet::PartitionPage));
    shot("03-wizard-volume-list");
  }, "04-processing-completed");
  QVERIFY2(message.startsWith(QStringLiteral("You have just completed Basic Scan")), qPrintable(message));
  shot("05-tree");
  const QString totals = frame.totalsPane()->text();

  // Mark the folder "Photos" in the tree, and the deleted "draft.txt" in the list of "Documents".
  FolderTreeModel& folders = frame.folderModel();
  QModelIndex root = childNamed(folders, folders.index(0, 0), QStringLiteral(" Root"));
  QVERIFY(root.isValid());
  frame.treeView()->expand(root);
  QModelIndex photos = childNamed(folders, root, QStringLiteral("Photos"));
  QModelIndex documents = childNamed(folders, root, QStringLiteral("Documents"));
  QVERIFY(photos.isValid() && documents.isValid());
  test::clickCheckBox(frame.treeView(), photos);
  markDeleted(frame, documents, QStringLiteral("draft.txt"));
  QVERIFY(frame.totalsPane()->text().startsWith(QStringLiteral("Marked ")));
  shot("06-marked");

  // Saved: exactly the marked files, byte-identical to what was written to the image.
  std::map<std::string, std::string> expected;
  for (const auto& [path, f] : test::manifestFiles("sample"))
    if (path.rfind("/Photos/", 0) == 0 || path == "/Documents/draft.txt") expected["Root" + path] = f["sha256"];
  const fs::path out = test::scratchDir() / "gui-saved";
  QCOMPARE(saveMarked(frame, out, "07-save-dialog", "08-saving-completed"), QStringLiteral("Saving data completed."));
  QCOMPARE(test::fileHashesUnder(out), expected);

  // Preview: a picture, and a text file (which has its hex lines too).
  auto preview = [&](const QModelIndex& folder, const QString& name, const char* type) -> QWidget* {
    frame.showFolder(FolderTreeModel::nodeOf(folder));
    frame.listView()->details()->setFocus();
    frame.listView()->details()->setCurrentIndex(childNamed(frame.fileModel(), {}, name));
    frame.preview();
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->isVisible() && w->inherits(type)) return w;
    return nullptr;
  };
  QWidget* image = preview(photos, QStringLiteral("beach.jpg"), "ov::workbench::CImageViewWindow");
  QVERIFY(image);
  image->resize(640, 480);
  shot("09-preview-picture");
  image->close();
  QWidget* text = preview(documents, QStringLiteral("budget.csv"), "ov::workbench::CPreviewWnd");
  QVERIFY(text);
  QCOMPARE(text->windowTitle(), QStringLiteral("budget.csv hex view"));
  shot("10-preview-text");
  text->close();

  // Find and properties.
  test::onModal<COVNTFSFindFile>([](COVNTFSFindFile* dialog) {
    QTest::keyClicks(dialog->pattern(), QStringLiteral("*.png"));
    shot("11-find");
    dialog->searchNow()->click();
  });
  frame.find();
  QVERIFY(toQString(frame.fileModel().entryAt(frame.listView()->selectedRows().front()).name).endsWith(QStringLiteral(".png")));
  test::onModal<CPropertiesSheet>([](CPropertiesSheet* sheet) {
    shot("12-properties");
    sheet->accept();
  });
  frame.listView()->details()->setFocus();
  frame.showProperties();

  // Image the disk into an ".ov2", then recover from the image: the same tree.
  const fs::path ov2 = test::scratchDir() / "sample-copy.ov2";
  const QString imaged = runWizard(frame, {}, [&ov2](CWizardSheet* wizard) {
    wizard->findChildren<QRadioButton*>().at(3)->click();  // "Create disk Image"
    QTest::mouseClick(wizard->button(QWizard::NextButton), Qt::LeftButton);
    QCOMPARE(wizard->currentId(), int(CWizardSheet::ImagingPage));
    DiskTree* tree = wizard->imagingPage()->tree();
    tree->setCurrentItem(tree->topLevelItem(0)->child(0));
    wizard->imagingPage()->setImagePath(QString::fromStdString(ov2.string()));
    shot("13-imaging-page");
  }, "14-imaging-completed");
  QCOMPARE(imaged, QStringLiteral("Disk Imaging Completed"));
  runWizard(frame, ov2,
            [](CWizardSheet* wizard) { QTest::mouseClick(wizard->button(QWizard::NextButton), Qt::LeftButton); });
  QCOMPARE(frame.totalsPane()->text(), totals);
  shot("15-recovered-from-image");
}

// OV_FAT: a disk whose partition tables are zeroed; the Basic search finds its FAT volumes, and a
// deleted file of the FAT32 one is saved byte-identical.
void WorkbenchEndToEnd::fatFindsALostVolumeAndSavesADeletedFile() {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) QSKIP("needs an X server (run under xvfb-run)");
  program = "ov_fat";
  test::Program<fat::FatEngine> p({"fat_mbr_zeroed"});
  CMainFrame& frame = *p.frame;
  QVERIFY(test::showOnScreen(frame));

  const std::uint64_t fat32Start = 83968;
  QString searchDone;
  QStringList foundRows;
  runWizard(frame, test::image("fat_mbr_zeroed"), [&](CWizardSheet* wizard) {
    wizard->imagePage()->modes()->setMode(ProcessingMode::LostVolumeSearch);
    shot("02-wizard-image-page");
    test::onModal<CChooseSectorRange>([&](CChooseSectorRange* range) {
      shot("03-scan-range");
      test::onModal<CLogicalDrivesFound>([&](CLogicalDrivesFound* search) {
        test::answerMessage(QMessageBox::Ok, &searchDone, [&foundRows, search] {
          for (const auto& row : search->model().rows()) foundRows << QString::fromStdString(row.name);
          shot("04-basic-search-done");
        });
      });
      range->accept();  // Basic, over the whole disk
    });
    QTest::mouseClick(wizard->button(QWizard::NextButton), Qt::LeftButton);
    QCOMPARE(wizard->currentId(), int(CWizardSheet::PartitionPage));
    QTreeWidget* list = wizard->partitionPage()->list();
    for (int i = 0; i < list->topLevelItemCount(); ++i)
      if (list->topLevelItem(i)->text(1) == QString::number(fat32Start)) list->setCurrentItem(list->topLevelItem(i));
    QCOMPARE(list->currentItem()->text(1), QString::number(fat32Start));
    shot("05-wizard-volume-list");
  });
  QCOMPARE(searchDone, QStringLiteral("Basic scan of drives completed."));
  QVERIFY(foundRows.contains(QStringLiteral("FAT logical drive #1")));

  // The deleted draft in /Projects, marked in the list and saved alone.
  QModelIndex projects = childNamed(frame.folderModel(), frame.folderModel().index(0, 0), QStringLiteral("Projects"));
  QVERIFY(projects.isValid());
  markDeleted(frame, projects, QStringLiteral("old draft.txt"));
  shot("06-deleted-file-marked");
  const std::string expected = test::manifestFiles("fat_mbr_zeroed", 2).at("/Projects/old draft.txt")["sha256"];
  const fs::path out = test::scratchDir() / "gui-saved-fat";
  QCOMPARE(saveMarked(frame, out), QStringLiteral("Saving data completed."));
  const std::map<std::string, std::string> saved{{"Projects/old draft.txt", expected}};
  QCOMPARE(test::fileHashesUnder(out), saved);

  // The report of that save names the file, where it went, and the hash of the copy.
  const QString reportPath = QString::fromStdString((test::scratchDir() / "gui-saved-fat.jsonl").string());
  test::answerFileDialog(reportPath);
  QVERIFY(frame.actions.saveReport->isEnabled());
  frame.actions.saveReport->trigger();
  std::map<std::string, std::string> reported;
  std::ifstream lines(reportPath.toStdString());
  for (std::string line; std::getline(lines, line);)
    if (auto row = nlohmann::json::parse(line); row["type"] == "file") reported[row["saved_path"]] = row["sha256"];
  QCOMPARE(reported, saved);
  program = "ov_ntfs";
}

int main(int argc, char** argv) {
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((ov::test::scratchDir() / "config").string()));
  QApplication app(argc, argv);
  WorkbenchEndToEnd test;
  return QTest::qExec(&test, argc, argv);
}

#include "workbench_e2e_test.moc"
