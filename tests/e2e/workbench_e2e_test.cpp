// OV_NTFS and OV_FAT end to end in real windows under xvfb-run: wizard, marks by mouse, saves checked
// against the images' manifests; a screenshot of each step goes to the build folder's screenshots/.
#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QTest>

#include <filesystem>
#include <map>
#include <fstream>

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
  QApplication::processEvents();
  QTest::qWait(150);
  QDir().mkpath(QStringLiteral(OV_SCREENSHOT_DIR));
  QScreen* screen = QGuiApplication::primaryScreen();
  QString path = QStringLiteral(OV_SCREENSHOT_DIR "/%1-%2.png").arg(QString::fromLatin1(program), QString::fromLatin1(name));
  screen->grabWindow(0).save(path);
}

QModelIndex childNamed(QAbstractItemModel& model, const QModelIndex& parent, const QString& name) {
  for (int r = 0; r < model.rowCount(parent); ++r) {
    QModelIndex i = model.index(r, 0, parent);
    if (i.data().toString() == name) return i;
  }
  return {};
}

int rowNamed(FileListModel& list, const QString& name) {
  for (int r = 0; r < list.rowCount(); ++r)
    if (list.data(list.index(r, 0)).toString() == name) return r;
  return -1;
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
  QtEngineHost host;
  RunControl run;
  ntfs::NtfsEngine engine(host, run);
  // The sample image stands for a disk of this machine, so that it can be imaged too.
  const fs::path sample = test::image("sample");
  ImageDiskProvider disks(sample.parent_path(), {sample.filename().string()});
  DeviceSizeQuery sizes;
  ProgramEnvironment env;
  env.diskProvider = &disks;
  env.sizeQuery = &sizes;
  env.deviceDirectory = sample.parent_path().string();
  CMainFrame frame(engine, host, env);
  frame.setGeometry(QGuiApplication::primaryScreen()->availableGeometry());
  frame.show();
  QVERIFY(QTest::qWaitForWindowExposed(&frame));
  shot("01-main-window");

  // The wizard opens on the image page with the sample image chosen, as the command line does.
  test::onModal<CWizardSheet>([](CWizardSheet* wizard) {
    shot("02-wizard-image-page");
    QTest::mouseClick(wizard->button(QWizard::NextButton), Qt::LeftButton);
    QCOMPARE(wizard->currentId(), int(CWizardSheet::PartitionPage));
    shot("03-wizard-volume-list");
    QTest::mouseClick(wizard->button(QWizard::FinishButton), Qt::LeftButton);
  });
  QString message;
  test::answerMessage(QMessageBox::Ok, &message, [] { shot("04-processing-completed"); });
  frame.runWizardWithImage(QString::fromStdString(test::image("sample").string()));
  QVERIFY(test::waitFor([&] { return !frame.operationRunning() && !message.isEmpty(); }));
  QVERIFY(message.startsWith(QStringLiteral("You have just completed Basic Scan")));
  shot("05-tree");
  const QString totals = frame.totalsPane()->text();

  // Mark the folder "Photos" in the tree, and the deleted "draft.txt" in the list of "Documents".
  FolderTreeModel& folders = frame.folderModel();
  QModelIndex top = folders.index(0, 0);
  QModelIndex root = childNamed(folders, top, QStringLiteral(" Root"));
  QVERIFY(root.isValid());
  frame.treeView()->expand(root);
  QModelIndex photos = childNamed(folders, root, QStringLiteral("Photos"));
  QModelIndex documents = childNamed(folders, root, QStringLiteral("Documents"));
  QVERIFY(photos.isValid() && documents.isValid());
  test::clickCheckBox(frame.treeView(), photos);
  QCOMPARE(FolderTreeModel::nodeOf(root)->check, Qt::PartiallyChecked);
  QTest::mouseClick(frame.treeView()->viewport(), Qt::LeftButton, {},
                    frame.treeView()->visualRect(documents).center());
  QCOMPARE(frame.folderModel().current(), FolderTreeModel::nodeOf(documents));
  FileListModel& list = frame.fileModel();
  const int draft = rowNamed(list, QStringLiteral("draft.txt"));
  QVERIFY(draft >= 0 && !list.entryAt(draft).isLive());
  test::clickCheckBox(frame.listView()->details(), list.index(draft, 0));
  QVERIFY(frame.totalsPane()->text().startsWith(QStringLiteral("Marked ")));
  shot("06-marked");

  // Save what is marked into a fresh folder.
  fs::path out = test::scratchDir() / "gui-saved";
  fs::remove_all(out);
  test::onModal<SaveDataDialog>([&out](SaveDataDialog* dialog) {
    auto* path = dialog->findChild<QLineEdit*>();
    path->clear();
    QTest::keyClicks(path, QString::fromStdString(out.string()));
    shot("07-save-dialog");
    QTest::mouseClick(dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok), Qt::LeftButton);
  });
  QString saved;
  test::answerMessage(QMessageBox::Ok, &saved, [] { shot("08-saving-completed"); });
  frame.actions.saveMarked->trigger();
  QVERIFY(test::waitFor([&] { return !saved.isEmpty(); }));
  QCOMPARE(saved, QStringLiteral("Saving data completed."));

  // Exactly the marked files, byte-identical to what was written to the image.
  std::map<std::string, std::string> expected;
  const auto manifest = test::manifest("sample");
  for (const auto& f : manifest["files"]) {
    std::string p = f["path"];
    if (f["type"] == "file" && (p.rfind("/Photos/", 0) == 0 || p == "/Documents/draft.txt"))
      expected["Root" + p] = f["sha256"];
  }
  std::map<std::string, std::string> found;
  for (const std::string& path : test::filesUnder(out)) found[path] = test::sha256Hex(test::readFile(out / path));
  QCOMPARE(found, expected);

  // Preview: a picture, and a text file (which has its hex lines too).
  auto selectInList = [&](const QString& name) {
    const int r = rowNamed(list, name);
    frame.listView()->details()->setFocus();
    frame.listView()->details()->setCurrentIndex(list.index(r, 0));
    return r >= 0;
  };
  auto topWindow = [&](const char* type) -> QWidget* {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->isVisible() && w->inherits(type)) return w;
    return nullptr;
  };
  frame.showFolder(FolderTreeModel::nodeOf(photos));
  QVERIFY(selectInList(QStringLiteral("beach.jpg")));
  frame.preview();
  QWidget* image = topWindow("ov::workbench::CImageViewWindow");
  QVERIFY(image);
  image->resize(640, 480);
  shot("09-preview-picture");
  image->close();
  frame.showFolder(FolderTreeModel::nodeOf(documents));
  QVERIFY(selectInList(QStringLiteral("budget.csv")));
  frame.preview();
  QWidget* text = topWindow("ov::workbench::CPreviewWnd");
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
  QVERIFY(toQString(list.entryAt(frame.listView()->selectedRows().front()).name).endsWith(QStringLiteral(".png")));
  test::onModal<CPropertiesSheet>([](CPropertiesSheet* sheet) {
    shot("12-properties");
    sheet->accept();
  });
  frame.listView()->details()->setFocus();
  frame.showProperties();

  // Image the disk into an ".ov2", then recover from the image: the same tree.
  fs::path ov2 = test::scratchDir() / "sample-copy.ov2";
  fs::remove(ov2);
  QString imaged;
  test::onModal<CWizardSheet>([&](CWizardSheet* wizard) {
    wizard->findChildren<QRadioButton*>().at(3)->click();  // "Create disk Image"
    QTest::mouseClick(wizard->button(QWizard::NextButton), Qt::LeftButton);
    QCOMPARE(wizard->currentId(), int(CWizardSheet::ImagingPage));
    DiskTree* tree = wizard->imagingPage()->tree();
    tree->setCurrentItem(tree->topLevelItem(0)->child(0));
    wizard->imagingPage()->setImagePath(QString::fromStdString(ov2.string()));
    shot("13-imaging-page");
    test::answerMessage(QMessageBox::Ok, &imaged, [] { shot("14-imaging-completed"); });
    QTest::mouseClick(wizard->button(QWizard::FinishButton), Qt::LeftButton);
  });
  frame.runWizard();
  QVERIFY(test::waitFor([&] { return !imaged.isEmpty() && !frame.operationRunning(); }));
  QCOMPARE(imaged, QStringLiteral("Disk Imaging Completed"));
  QVERIFY(fs::exists(ov2));
  message.clear();
  test::onModal<CWizardSheet>([&message](CWizardSheet* wizard) {
    QTest::mouseClick(wizard->button(QWizard::NextButton), Qt::LeftButton);
    test::answerMessage(QMessageBox::Ok, &message);
    QTest::mouseClick(wizard->button(QWizard::FinishButton), Qt::LeftButton);
  });
  frame.runWizardWithImage(QString::fromStdString(ov2.string()));
  QVERIFY(test::waitFor([&] { return !frame.operationRunning() && !message.isEmpty(); }));
  QCOMPARE(frame.totalsPane()->text(), totals);
  shot("15-recovered-from-image");
}

// OV_FAT: a disk whose partition tables are zeroed; the Basic search finds its FAT volumes, and a
// deleted file of the FAT32 one is saved byte-identical.
void WorkbenchEndToEnd::fatFindsALostVolumeAndSavesADeletedFile() {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) QSKIP("needs an X server (run under xvfb-run)");
  program = "ov_fat";
  QtEngineHost host;
  RunControl run;
  fat::FatEngine engine(host, run);
  FakeDiskProvider noDisks;
  FakeSizeQuery noSizes;
  ProgramEnvironment env;
  env.diskProvider = &noDisks;
  env.sizeQuery = &noSizes;
  CMainFrame frame(engine, host, env);
  frame.setGeometry(QGuiApplication::primaryScreen()->availableGeometry());
  frame.show();
  QVERIFY(QTest::qWaitForWindowExposed(&frame));

  const auto manifest = test::manifest("fat_mbr_zeroed");
  const std::uint64_t fat32Start = 83968;
  QString searchTitle, searchDone, processed;
  QStringList foundRows;
  test::onModal<CWizardSheet>([&](CWizardSheet* wizard) {
    wizard->imagePage()->modes()->setMode(ProcessingMode::LostVolumeSearch);
    shot("02-wizard-image-page");
    test::onModal<CChooseSectorRange>([&](CChooseSectorRange* range) {
      shot("03-scan-range");
      test::onModal<CLogicalDrivesFound>([&](CLogicalDrivesFound* search) {
        searchTitle = search->windowTitle();
        test::onModal<QMessageBox>([&, search](QMessageBox* box) {
          searchDone = box->text();
          for (const auto& row : search->model().rows()) foundRows << QString::fromStdString(row.name);
          shot("04-basic-search-done");
          box->button(QMessageBox::Ok)->click();
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
    // Only now: the search's own message box must not be taken for the processing's.
    test::answerMessage(QMessageBox::Ok, &processed);
    QTest::mouseClick(wizard->button(QWizard::FinishButton), Qt::LeftButton);
  });
  frame.runWizardWithImage(QString::fromStdString(test::image("fat_mbr_zeroed").string()));
  QVERIFY(test::waitFor([&] { return !frame.operationRunning() && !processed.isEmpty(); }));
  QCOMPARE(searchTitle, QStringLiteral("Basic Scan"));
  QCOMPARE(searchDone, QStringLiteral("Basic scan of drives completed."));
  QVERIFY(foundRows.contains(QStringLiteral("FAT logical drive #1")));

  // The deleted draft in /Projects, marked in the list and saved.
  FolderTreeModel& folders = frame.folderModel();
  QModelIndex projects = childNamed(folders, folders.index(0, 0), QStringLiteral("Projects"));
  QVERIFY(projects.isValid());
  QTest::mouseClick(frame.treeView()->viewport(), Qt::LeftButton, {}, frame.treeView()->visualRect(projects).center());
  FileListModel& list = frame.fileModel();
  const int draft = rowNamed(list, QStringLiteral("old draft.txt"));
  QVERIFY(draft >= 0 && !list.entryAt(draft).isLive());
  test::clickCheckBox(frame.listView()->details(), list.index(draft, 0));
  shot("06-deleted-file-marked");
  fs::path out = test::scratchDir() / "gui-saved-fat";
  fs::remove_all(out);
  test::onModal<SaveDataDialog>([&out](SaveDataDialog* dialog) {
    dialog->setDestination(QString::fromStdString(out.string()));
    QTest::mouseClick(dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok), Qt::LeftButton);
  });
  QString saved;
  test::answerMessage(QMessageBox::Ok, &saved);
  frame.actions.saveMarked->trigger();
  QVERIFY(test::waitFor([&] { return !saved.isEmpty(); }));
  QCOMPARE(saved, QStringLiteral("Saving data completed."));
  std::string expected;
  for (const auto& f : manifest["files"])
    if (f["partition"] == 2 && f["path"] == "/Projects/old draft.txt") expected = f["sha256"];
  QVERIFY(!expected.empty());
  QCOMPARE(test::sha256Hex(test::readFile(out / "Projects" / "old draft.txt")), expected);
  QCOMPARE(std::distance(fs::recursive_directory_iterator(out), fs::recursive_directory_iterator()), 2);

  // The report of that save names the file, where it went, and the hash of the copy.
  const QString reportPath = QString::fromStdString((test::scratchDir() / "gui-saved-fat.jsonl").string());
  QFile::remove(reportPath);
  test::onModal<QFileDialog>([reportPath](QFileDialog* dialog) {
    dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(reportPath);
    QMetaObject::invokeMethod(dialog, "accept");
  });
  QVERIFY(frame.actions.saveReport->isEnabled());
  frame.actions.saveReport->trigger();
  std::vector<nlohmann::json> files;
  std::ifstream lines(reportPath.toStdString());
  for (std::string line; std::getline(lines, line);)
    if (auto row = nlohmann::json::parse(line); row["type"] == "file") files.push_back(row);
  QCOMPARE(files.size(), size_t{1});
  QCOMPARE(files[0]["saved_path"].get<std::string>(), std::string("Projects/old draft.txt"));
  QCOMPARE(files[0]["sha256"].get<std::string>(), expected);
  program = "ov_ntfs";
}

int main(int argc, char** argv) {
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((ov::test::scratchDir() / "config").string()));
  QApplication app(argc, argv);
  WorkbenchEndToEnd test;
  return QTest::qExec(&test, argc, argv);
}

#include "workbench_e2e_test.moc"
