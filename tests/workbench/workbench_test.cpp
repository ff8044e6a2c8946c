// The workbench on the offscreen platform: marks, sorting, the wizard over images as disks, refusals while busy.
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QTest>

#include <tuple>

#include "disk/physical_disks.h"
#include "ntfs/ntfs_engine.h"
#include "tests/support/test_support.h"
#include "tests/workbench/gui_driver.h"
#include "workbench/main_frame.h"
#include "workbench/find_dialog.h"
#include "workbench/startup.h"

using namespace ov;
using namespace ov::workbench;

namespace {

FolderNode* addFolder(FolderNode& parent, const char16_t* name, std::uint32_t files, std::uint64_t bytes) {
  auto node = std::make_unique<FolderNode>();
  node->entry.name = name;
  node->entry.attributes = 0x18;
  node->entry.key = parent.children.size() + 100 * (parent.entry.key + 1);
  node->own.files = files;
  node->own.bytes = bytes;
  node->parent = &parent;
  node->row = static_cast<int>(parent.children.size());
  parent.children.push_back(std::move(node));
  return parent.children.back().get();
}

// "#" holding A (2 files, 300 bytes) with A1 (1 file, 50) and A2 (empty), and B (3 files, 600).
struct SmallTree {
  FolderNode top;
  FolderNode *a, *a1, *a2, *b;
  SmallTree() {
    top.entry.attributes = 0x18;
    top.entry.isTop = true;
    a = addFolder(top, u"A", 2, 300);
    a1 = addFolder(*a, u"A1", 1, 50);
    a2 = addFolder(*a, u"A2", 0, 0);
    b = addFolder(top, u"B", 3, 600);
    for (FolderNode* n : {a1, a2, b}) n->subtree = n->own;
    a->subtree = {350, 3, 2};
    top.subtree = {950, 6, 4};
  }
};

char state(const FolderNode* n) { return n->check == Qt::Checked ? 'x' : n->check == Qt::PartiallyChecked ? '~' : '-'; }

std::string states(const SmallTree& t) { return {state(&t.top), state(t.a), state(t.a1), state(t.a2), state(t.b)}; }

TreeEntry fileEntry(const char16_t* name, std::uint64_t size, std::uint32_t number, std::uint16_t created) {
  TreeEntry e;
  e.name = name, e.size = size, e.number = number, e.key = number, e.createdDate = created, e.attributes = 0x08;
  return e;
}

using Program = test::Program<ntfs::NtfsEngine>;

}  // namespace

class WorkbenchTest : public QObject {
  Q_OBJECT
 private Q_SLOTS:
  void markingRules();
  void sortOrders();
  void wizardListsTheVolumesOfADiskAndSendsAZeroedTableToTheSearch();
  void commandsAreRefusedWhileBusy();
  void oneRecoveryProgramAtATime();
  void findScanInformationAndCopyRefusals();
  void turboScanAfterCriticalStructuresAreGone();
};

void WorkbenchTest::markingRules() {
  // Each row applies one action to a fresh tree, or continues the previous row's tree; states of top, A, A1, A2, B.
  const std::vector<std::tuple<bool, std::function<void(SmallTree&)>, const char*>> rows = {
      {true, [](SmallTree& t) { markFolder(*t.a, true); }, "~xxx-"},    // a folder marks all below it
      {false, [](SmallTree& t) { markFolder(*t.a1, false); }, "~~-x-"},  // one subfolder unmarked: its parent partly
      {true, [](SmallTree& t) { markFolder(*t.a2, true); markFolder(*t.a2, false); }, "-----"},  // last one of an empty-filed folder
      {true, [](SmallTree& t) { markFolder(t.top, true); }, "xxxxx"},
      {false, [](SmallTree& t) { markFile(*t.b, 7, 200, false); }, "~xxx~"},  // a file unmarked: its folders partly
      {false, [](SmallTree& t) { markFile(*t.b, 7, 200, true); }, "xxxxx"},   // marked again: the full mark back
      {true, [](SmallTree& t) { markFile(*t.a1, 9, 50, true); }, "~~x--"},    // one file alone: its folder partly
      {true, [](SmallTree& t) { markFolder(*t.a1, true); markFolder(*t.a2, true); }, "~~xx-"},  // subfolders, not own files
  };
  auto tree = std::make_unique<SmallTree>();
  for (const auto& [fresh, act, expected] : rows) {
    if (fresh) tree = std::make_unique<SmallTree>();
    act(*tree);
    QCOMPARE_EQ(states(*tree), std::string(expected));
  }
}

void WorkbenchTest::sortOrders() {
  FolderTreeModel folders;
  FileListModel list(folders);
  list.setFolder(nullptr, {fileEntry(u"b", 10, 10, 0x5A21), fileEntry(u"A", 9, 9, 0x5A22), fileEntry(u"c", 100, 100, 0),
                           fileEntry(u"D", 9, 1000, 0x4A21)});
  auto names = [&] {
    QStringList out;
    for (int r = 0; r < list.rowCount(); ++r) out << list.data(list.index(r, FileListModel::Name)).toString();
    return out.join(',');
  };
  list.sort(FileListModel::Size, Qt::AscendingOrder);
  QCOMPARE(names(), QStringLiteral("A,D,b,c"));  // 9 before 10, ties by name
  list.sort(FileListModel::Created, Qt::AscendingOrder);
  QCOMPARE(names(), QStringLiteral("c,D,b,A"));  // empty first, then by date
  // The header rule: any click after a sort goes the other way from the last direction used.
  QCOMPARE(list.nextOrder(FileListModel::Name), Qt::DescendingOrder);
  list.sort(FileListModel::Size, Qt::DescendingOrder);
  QCOMPARE(list.nextOrder(FileListModel::Name), Qt::AscendingOrder);
}

void WorkbenchTest::wizardListsTheVolumesOfADiskAndSendsAZeroedTableToTheSearch() {
  Program p({"mbr_ntfs_fat", "mbr_ntfs_fat_zeroed"});
  const auto manifest = test::manifest("mbr_ntfs_fat");
  int ntfsVolumes = 0;
  for (const auto& part : manifest["partitions"]) ntfsVolumes += part["fs"] == "ntfs";

  CWizardSheet sheet(*p.frame);
  sheet.show();
  QVERIFY(!sheet.button(QWizard::NextButton)->isEnabled());  // nothing chosen yet
  sheet.findChildren<QRadioButton*>().front()->click();  // "Recover your data from disk"
  sheet.next();
  QCOMPARE(sheet.currentId(), int(CWizardSheet::DrivePage));
  QVERIFY(!sheet.button(QWizard::NextButton)->isEnabled());
  DiskTree* tree = sheet.drivePage()->tree();
  tree->setCurrentItem(tree->topLevelItem(0)->child(0));
  QVERIFY(sheet.button(QWizard::NextButton)->isEnabled());
  sheet.next();
  QCOMPARE(sheet.currentId(), int(CWizardSheet::PartitionPage));
  QTreeWidget* list = sheet.partitionPage()->list();
  QCOMPARE(list->topLevelItemCount(), ntfsVolumes);
  QCOMPARE(list->topLevelItem(0)->text(0), QStringLiteral("NTFS logical drive 1"));
  QCOMPARE(list->topLevelItem(0)->text(1), QString::number(manifest["partitions"][0]["start"].get<int>()));

  // The copy whose tables are zeroed: the wizard says to search (the search itself: the end-to-end tests).
  sheet.back();
  QCOMPARE(sheet.currentId(), int(CWizardSheet::DrivePage));
  tree->setCurrentItem(tree->topLevelItem(0)->child(1));
  QCOMPARE(test::messageAfter([&] { sheet.next(); }), QStringLiteral("Use search for lost partition(s) option."));
  QCOMPARE(sheet.currentId(), int(CWizardSheet::DrivePage));
}

void WorkbenchTest::commandsAreRefusedWhileBusy() {
  Program p({"sample"});
  RecoveryEngine& engine = p.engine;
  QCOMPARE(engine.openImage(test::image("sample").string()), 0);
  QVERIFY(engine.readPartitionTable());
  QVERIFY(engine.selectVolume(0));
  // Hold the run at its first test of `running`, as a paused operation is.
  engine.run().pause();
  p.frame->startProcessing(0, false);
  QVERIFY(p.frame->operationRunning() && !p.frame->actions.wizard->isEnabled() && !p.frame->actions.turboScan->isEnabled());
  QVERIFY(test::waitFor([&] { return engine.run().running(); }));
  bool closed = true;
  QCOMPARE(test::messageAfter([&] { closed = p.frame->close(); }), QStringLiteral("Please stop running process"));
  QVERIFY(!closed);
  // Stop: "Do you want to stop process?" answered Yes ends the run as aborted.
  QString said;
  test::answerMessage(QMessageBox::Yes, &said);
  p.frame->stopCurrentProcess();
  QCOMPARE(said, QStringLiteral("Do you want to stop process?"));
  QVERIFY(test::waitFor([&] { return !p.frame->operationRunning(); }));
  const auto& log = p.frame->logModel().log().entries();
  QVERIFY(std::any_of(log.begin(), log.end(), [](const auto& e) { return e.name == "Aborted processing Internal File System Structure"; }));
  QVERIFY(p.frame->actions.wizard->isEnabled());
}

void WorkbenchTest::oneRecoveryProgramAtATime() {
  // Either program (they share the lock) running makes the other refuse, until it ends.
  auto running = std::make_unique<InstanceLock>(kRecoveryProgramLock);
  QCOMPARE(running->acquire(), InstanceLock::Result::Held);
  InstanceLock second(kRecoveryProgramLock);
  QCOMPARE(instanceRefusal(second.acquire(), QStringLiteral("Ovelin Dodedoz Avov Ovavized (FAT)")),
           QStringLiteral("Ovelin Dodedoz avov Ovavized is already running.\nPlease close the running instance first."));
  running.reset();
  InstanceLock third(kRecoveryProgramLock);
  QVERIFY(instanceRefusal(third.acquire(), {}).isEmpty());
}

// Over a processed sample volume: Find and F3 visit each match once, a saved scan reopens the
// same tree, and an image written over its own source is refused.
void WorkbenchTest::findScanInformationAndCopyRefusals() {
  Program p({"sample"});
  CMainFrame& frame = *p.frame;
  QVERIFY(p.engine.openImage(test::image("sample").string()) == 0);
  QVERIFY(p.engine.readPartitionTable() && p.engine.selectVolume(0));
  test::answerMessage(QMessageBox::Ok);  // "You have just completed Basic Scan ..."
  frame.startProcessing(0, false);
  QVERIFY(test::waitFor([&] { return !frame.operationRunning() && frame.folderModel().top(); }));
  QString totals = frame.totalsPane()->text();

  auto found = [&] {
    std::vector<int> rows = frame.listView()->selectedRows();
    return rows.empty() ? QString() : toQString(frame.fileModel().entryAt(rows.front()).name);
  };
  test::onModal<COVNTFSFindFile>([](COVNTFSFindFile* dialog) {
    QTest::keyClicks(dialog->pattern(), QStringLiteral("*.PDF"));
    QVERIFY(dialog->searchNow()->isEnabled());
    dialog->searchNow()->click();
  });
  frame.find();
  QStringList matches{found()};
  frame.findNext();
  matches << found();
  matches.sort();
  QCOMPARE(matches, QStringList({QStringLiteral("old-report.pdf"), QStringLiteral("report.pdf")}));
  // After the last match: nothing.
  QCOMPARE(test::messageAfter([&] { frame.findNext(); }), QStringLiteral("Search Item not found."));

  QString scan = QString::fromStdString((test::scratchDir() / "round-trip").string());
  test::answerFileDialog(scan);
  frame.saveTreeInfo();
  QVERIFY2(QFileInfo::exists(scan + ".ovt"), frame.logModel().log().entries().back().description.c_str());
  frame.clearViews();
  frame.loadTreeInfo(scan + ".ovt");
  QVERIFY(test::waitFor([&] { return !frame.operationRunning() && frame.folderModel().top(); }));
  QCOMPARE(frame.totalsPane()->text(), totals);
  QCOMPARE(frame.logModel().log().entries().back().name, std::string("Partition scan information opened successfully."));

  // Imaging the source onto itself: refused before anything is written.
  std::string source = test::image("sample").string();
  std::vector<std::uint8_t> before = test::readFile(source);
  QVERIFY2(!test::messageAfter([&] {
    frame.startCopy(CopyRequest{CopyKind::Imaging, source, LogEntry{"Imaging Disk :sample", {}, LogKind::Started, {}}});
  }, 5000).isEmpty(), "no refusal shown");
  QVERIFY(!frame.operationRunning());
  QVERIFY(test::readFile(source) == before);
}

// A volume whose MFT is gone: the wizard says so and stays; the Turbo Scan then rebuilds the tree.
void WorkbenchTest::turboScanAfterCriticalStructuresAreGone() {
  Program p({"ntfs_turbo"});
  CMainFrame& frame = *p.frame;
  CWizardSheet sheet(frame);
  sheet.setImagePath(QString::fromStdString(test::image("ntfs_turbo").string()));
  sheet.show();
  sheet.next();
  QCOMPARE(sheet.currentId(), int(CWizardSheet::PartitionPage));
  bool valid = true;
  const QString said = test::messageAfter([&] { valid = sheet.validateCurrentPage(); });
  QVERIFY2(said.startsWith(QStringLiteral("Critical structures not found.")), qPrintable(said));
  QVERIFY(!valid);
  sheet.hide();
  QVERIFY(frame.actions.turboScan->isEnabled());
  QCOMPARE(test::messageAfter([&] { frame.actions.turboScan->trigger(); }), QStringLiteral("Turbo Scan Completed"));
  QVERIFY(test::waitFor([&] { return !frame.operationRunning() && frame.folderModel().top(); }));
  const auto manifest = test::manifest("ntfs_turbo");
  std::uint32_t files = 0;
  for (const auto& f : manifest["files"]) files += f["type"] == "file";
  QVERIFY2(frame.folderModel().totals().files >= files, qPrintable(frame.totalsPane()->text()));
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  // Lock files of this run's own, away from any program running on the machine.
  qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(ov::test::scratchDir().string()));
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((ov::test::scratchDir() / "config").string()));
  QApplication app(argc, argv);
  WorkbenchTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "workbench_test.moc"
