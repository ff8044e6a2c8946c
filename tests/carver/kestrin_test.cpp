// Kestrin's windows on the offscreen platform: start-up refusals, disk list, totals, marks, find, size limit,
// renames, and the burn page with libburn's "stdio:" pseudo-drive (a drive without a medium) as a writer.
#include <QApplication>
#include <QClipboard>
#include <QTest>

#include <filesystem>
#include <map>
#include <optional>
#include <tuple>

#include "apps/carver/file_types_page.h"
#include "apps/carver/find_dialog.h"
#include "apps/carver/input_name.h"
#include "apps/carver/kestrin.h"
#include "apps/carver/results_dialog.h"
#include "apps/carver/saving_options.h"
#include "tests/support/test_support.h"
#include "tests/workbench/gui_driver.h"
#include "workbench/instance_lock.h"

using namespace ov;
using namespace ov::kestrin;

namespace {

// The shipped catalogue, and no disks.
KestrinEnvironment testEnvironment() {
  static FakeDiskProvider noDisks;
  static FakeSizeQuery noSizes;
  KestrinEnvironment env;
  env.signatureFile = QStringLiteral(OV_SIGNATURE_FILE);
  env.diskProvider = &noDisks, env.sizeQuery = &noSizes;
  return env;
}

// A session whose results hold the given items: {category, extension, start sector, size}.
struct Item {
  const char16_t* category;
  const char16_t* extension;
  std::uint64_t sector;
  std::uint64_t size;
};

struct Results {
  std::unique_ptr<CarverSession> session;
  std::unique_ptr<COvelinDataFoundDialog> dialog;
  std::map<std::u16string, ResultNode*> nodes;  // items and their folders by name

  explicit Results(const std::vector<Item>& items) {
    session = std::make_unique<CarverSession>(QStringLiteral("nobody-listens"), testEnvironment());
    for (const Item& i : items)
      for (ResultNode* n = &session->tree().addCarvedItem(i.sector, CarvedFind{i.category, i.extension, i.size, 0, 0}, 512, UINT64_MAX / 1024); n; n = n->parent)
        nodes.emplace(n->name, n);
    dialog = std::make_unique<COvelinDataFoundDialog>(*session, false);
  }
  // Sets a check box in the tree (a folder) or in the list of its folder (any item).
  void check(const std::u16string& name, bool inTree, bool on) {
    ResultNode* n = name == u"Root" ? &session->tree().root() : nodes.at(name);
    if (!inTree) dialog->showFolder(n->parent);
    QAbstractItemModel& model = inTree ? static_cast<QAbstractItemModel&>(dialog->folderModel()) : dialog->listModel();
    const QModelIndex index = !inTree ? dialog->listModel().index(dialog->listModel().rowOf(n), 0)
                              : name == u"Root" ? dialog->folderModel().index(0, 0) : dialog->folderModel().indexOf(n);
    QVERIFY(index.isValid());
    QVERIFY(model.setData(index, on ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole));
  }
  // The check states of the tree's folders from "Root" down, depth first: x, ~ or -.
  QString treeStates() {
    QString out;
    std::function<void(const QModelIndex&)> walk = [&](const QModelIndex& i) {
      const int s = i.data(Qt::CheckStateRole).toInt();
      out += s == Qt::Checked ? 'x' : s == Qt::PartiallyChecked ? '~' : '-';
      for (int r = 0; r < dialog->folderModel().rowCount(i); ++r) walk(dialog->folderModel().index(r, 0, i));
    };
    walk(dialog->folderModel().index(0, 0));
    return out;
  }
};

}  // namespace

class KestrinTest : public QObject {
  Q_OBJECT
 private Q_SLOTS:
  void startupRefusals();
  void diskList();
  void totalsAtSizeThresholds();
  void marksThroughTreeAndList();
  void find();
  void sizeLimitRange();
  void renameRules();
  void burnPage();
};

void KestrinTest::startupRefusals() {
  const QStringList alone{QStringLiteral("Kestrin")}, blank{QStringLiteral("Kestrin"), QStringLiteral("\" \"")},
      launched{QStringLiteral("Kestrin"), QStringLiteral("ov-recovery-1")};
  const std::vector<std::tuple<QStringList, bool, bool, const char*>> rows = {  // arguments, held locks, message
      {alone, true, false, kNoLauncherText},
      {blank, true, false, kNoLauncherText},
      {launched, false, false, kLauncherNotRunningText},
      {launched, true, true, kAlreadyRunningText},
  };
  for (const auto& [arguments, recoveryRunning, carverRunning, message] : rows) {
    // Locks held elsewhere: flock locks of other open files conflict also within one process.
    std::optional<workbench::InstanceLock> recovery, carver;
    if (recoveryRunning) QCOMPARE(recovery.emplace(workbench::kRecoveryProgramLock).acquire(), workbench::InstanceLock::Result::Held);
    if (carverRunning) QCOMPARE(carver.emplace(kCarverLock).acquire(), workbench::InstanceLock::Result::Held);
    int rc = 0;
    QCOMPARE(test::messageAfter([&] { rc = runKestrin(arguments, testEnvironment()); }), QString::fromLatin1(message));
    QCOMPARE(rc, 1);
  }
}

// The carver's disk list: empty card readers and drives without a medium (no sectors), and sizes
// past 64 bits, are left out; the media type keeps 16 characters.
void KestrinTest::diskList() {
  auto disk = [](const char* name, const char* bus, const char* bytesPerSector, const char* sectors) {
    DiskInfo d;
    d.deviceName = name, d.interfaceType = bus, d.model = "ACME Disk", d.mediaType = "Fixed hard disk media";
    d.bytesPerSector = bytesPerSector, d.totalSectors = sectors;
    return d;
  };
  QStringList shown;
  for (const CarverDiskEntry& e :
       carverDiskList({disk("sda", "SCSI", "512", "976773168"), disk("sdb", "USB", "512", "15625000"),
                       disk("sdc", "USB", "512", "0"), disk("mmcblk0", "SD", "512", "1024000"), disk("sdd", "USB", "", "0"),
                       disk("sde", "SCSI", "4096", "18446744073709551615")}))
    shown << QString::fromStdString(e.label + ": " + e.modelLabel + ", " + e.info.mediaType);
  QCOMPARE(shown, QStringList({QStringLiteral("Disk # sda: ACME Disk (465.76 GB), Fixed hard disk "),
                               QStringLiteral("Disk # sdb: USB disk (7.45 GB), Fixed hard disk "),
                               QStringLiteral("Disk # mmcblk0: ACME Disk (500.00 MB), Fixed hard disk ")}));
}

void KestrinTest::totalsAtSizeThresholds() {
  // One file per size, each marked alone: the unit changes at 1,024 of the smaller one.
  const std::vector<std::tuple<Item, const char16_t*, const char*>> rows = {{{u"Pictures", u"jpg", 20, 1048575}, u"20.jpg", "[1024.00 KB]"},
                                                                            {{u"Pictures", u"jpg", 30, 1048576}, u"30.jpg", "[1.00 MB]"},
                                                                            {{u"Video", u"avi", 50, 1073741824ULL}, u"50.avi", "[1.00 GB]"}};
  Results r({std::get<0>(rows[0]), std::get<0>(rows[1]), std::get<0>(rows[2])});
  QCOMPARE(r.dialog->totalsTexts().mid(0, 3), QStringList({QStringLiteral("Total Files     : [3]"), QStringLiteral("Total Folders: [5]"),
                                                           QStringLiteral("Total Data    : [1.00 GB]")}));
  for (const auto& [item, name, data] : rows) {
    r.check(name, false, true);
    QCOMPARE(r.dialog->totalsTexts().mid(3), QStringList({QStringLiteral("Selected Files     : [1]"), QStringLiteral("Selected Folders: [3]"),
                                                          QStringLiteral("Selected Data    : ") + QString::fromLatin1(data)}));
    r.check(name, false, false);
  }
}

void KestrinTest::marksThroughTreeAndList() {
  Results r({{u"Pictures", u"jpg", 64, 5564}, {u"Pictures", u"jpg", 512, 100}, {u"Pictures", u"png", 119, 8710},
             {u"Documents", u"pdf", 287, 701}});
  // {name, in the tree, on, the folders' states afterwards, the list of the item's folder afterwards, Save enabled};
  // folders depth first, newest first: Root, Raw Data, Documents, pdf, Pictures, png, jpg.
  const std::vector<std::tuple<const char16_t*, bool, bool, const char*, const char*, bool>> rows = {
      {u"jpg", true, true, "~~--~-x", "", true},            // a type folder in the tree marks its files
      {u"64.jpg", false, false, "~~--~-~", "0,2", true},    // a file unmarked: its folders partly marked
      {u"512.jpg", false, false, "-------", "0,0", false},  // the last file unmarked unmarks every folder above
      {u"Pictures", false, true, "~~--xxx", "0,2", true},   // a category folder in the list marks all below it
      {u"Root", true, true, "xxxxxxx", "", true},
      {u"Root", true, false, "-------", "", false},
  };
  for (const auto& [name, inTree, on, tree, listChecks, saveEnabled] : rows) {
    r.check(name, inTree, on);
    QCOMPARE(r.treeStates(), QString::fromLatin1(tree));
    if (*listChecks) {
      QStringList checks;
      for (int i = 0; i < r.dialog->listModel().rowCount(); ++i)
        checks << QString::number(r.dialog->listModel().index(i, 0).data(Qt::CheckStateRole).toInt());
      QCOMPARE(checks.join(','), QString::fromLatin1(listChecks));
    }
    QCOMPARE(r.dialog->saveButton()->isEnabled(), saveEnabled);
  }
}

// One search per row, then Find Next until "Entry not found"; stored order is newest first.
void KestrinTest::find() {
  Results r({{u"Pictures", u"jpg", 64, 5564}, {u"Pictures", u"jpg", 512, 102400}, {u"Pictures", u"png", 119, 102399}});
  const std::vector<std::tuple<const char*, bool, const char*>> rows = {
      {"*.jpg", false, "512.jpg,64.jpg"},
      {"JPG", false, "jpg"},  // the folder itself; its contents are not searched
      {"*", true, "512.jpg"},  // at least 100 KB; folders never match
  };
  for (const auto& [pattern, sizeOn, matches] : rows) {
    test::onModal<CFindDialog>([pattern, sizeOn](CFindDialog* d) {
      d->pattern()->setText(QString::fromLatin1(pattern));
      d->showOptions(true);
      d->sizeOption()->setChecked(sizeOn);
      d->relation()->setCurrentIndex(1);  // at least
      d->sizeField()->setText(QStringLiteral("100"));
      QTest::mouseClick(d->searchNow(), Qt::LeftButton);
    });
    QStringList found;
    QString notFound;
    test::answerMessage(QMessageBox::Ok, &notFound);
    r.dialog->openFind();
    while (notFound.isEmpty() && r.dialog->findNextButton()->isEnabled()) {
      found << r.dialog->listView()->currentIndex().data().toString();
      r.dialog->findNext();
    }
    QCOMPARE(notFound, QString::fromLatin1(kEntryNotFoundText));
    QCOMPARE(found.join(','), QString::fromLatin1(matches));
  }
}

void KestrinTest::sizeLimitRange() {
  CarverSession session(QStringLiteral("nobody-listens"), testEnvironment());
  COvelinKnownFileTypes page(session);
  page.show();
  QTest::mouseClick(page.selectAllButton(), Qt::LeftButton);
  // {unit (0 KB, 1 MB, 2 GB), typed, what the field holds afterwards, a message, Next enabled}
  const std::vector<std::tuple<int, const char*, const char*, bool, bool>> rows = {
      {2, "5", "5", true, false},  {2, "4", "4", false, true}, {0, "0", "0", true, false},
      {0, "41943041", "4194304", false, true},  // seven digits at most
      {0, "4194305", "4194305", true, false}, {1, "4097", "4097", true, false},
  };
  for (const auto& [unit, typed, shown, message, next] : rows) {
    page.unit()->setCurrentIndex(unit == 0 ? 1 : 0);  // a change of unit resets the field to "1"
    page.unit()->setCurrentIndex(unit);
    QCOMPARE(page.sizeField()->text(), QStringLiteral("1"));
    page.sizeField()->setFocus();
    page.sizeField()->selectAll();
    // Where no message is due, a short wait shows that none comes.
    const QString seen = test::messageAfter([&] { QTest::keyClicks(page.sizeField(), QString::fromLatin1(typed)); },
                                            message ? 5000 : 300);
    QCOMPARE(seen, message ? QStringLiteral("Please provide value in range of1KB to 4GB.") : QString());
    QCOMPARE(page.sizeField()->text(), QString::fromLatin1(shown));
    QCOMPARE(page.nextButton()->isEnabled(), next);
  }
}

void KestrinTest::renameRules() {
  struct Row {
    QString oldName, typed;
    bool pasted, ok, message;
    QString newName;
  };
  const QString longName = QString(110, QLatin1Char('a')) + QStringLiteral(".jpeg");
  std::vector<Row> rows = {
      {longName, "short", false, true, false, "short.jpeg"},  // the whole extension is kept
      {QString(110, QLatin1Char('b')), "short", false, true, false, "short"},
      {longName, QString(45, QLatin1Char('x')), false, true, false, QString(40, QLatin1Char('x')) + ".jpeg"},
      {longName, "", false, false, false, ".jpeg"},
      {longName, "two words", false, false, false, "two words.jpeg"},
      {longName, "a/b", true, false, true, "a/b.jpeg"},  // pasted
  };
  for (QChar c : QStringLiteral("\\/:*?\"<>|")) rows.push_back({longName, "name" + QString(c), false, false, true, "name" + QString(c) + ".jpeg"});
  for (const Row& row : rows) {
    CInputName dialog(row.oldName);
    dialog.show();
    const QString seen = test::messageAfter([&] {
      if (row.pasted) QApplication::clipboard()->setText(row.typed);
      if (row.pasted) QTest::keyClick(dialog.field(), Qt::Key_V, Qt::ControlModifier);
      else QTest::keyClicks(dialog.field(), row.typed);
    }, row.message ? 5000 : 300);
    QCOMPARE(seen, row.message ? QString::fromLatin1(CInputName::kBadCharactersText) : QString());
    if (row.message) QCOMPARE(dialog.field()->selectedText(), dialog.field()->text());  // selected, to be typed over
    QCOMPARE(dialog.okButton()->isEnabled(), row.ok);
    QCOMPARE(dialog.newName(), row.newName);
  }
}

void KestrinTest::burnPage() {
  const std::filesystem::path folder = test::scratchDir() / "burn-page";
  std::filesystem::create_directories(folder / "cache");
  KestrinEnvironment env = testEnvironment();
  std::vector<disc::Writer> writers;
  env.listWriters = [&writers] { return writers; };
  CarverSession session(QStringLiteral("nobody-listens"), env);
  const QString imageEntry = QString::fromLatin1(SavingOptionsDialog::kImageEntryText);
  auto entries = [](SavingOptionsDialog& d) {
    d.show();
    d.showBurnPage();
    QStringList out;
    for (int i = 0; i < d.writers()->count(); ++i) out << d.writers()->itemText(i);
    return out;
  };
  {  // No writer: a note says so; the disc image is offered.
    SavingOptionsDialog none(session);
    QCOMPARE(entries(none), QStringList{imageEntry});
    QVERIFY(none.writersNote()->isVisible());
    QCOMPARE(none.writersNote()->text(), QString::fromLatin1(disc::kNoBurningDeviceText));
  }
  writers = {{"stdio:", "Empty drive"}};
  SavingOptionsDialog options(session);
  QCOMPARE(entries(options), QStringList({QStringLiteral("Empty drive"), imageEntry}));
  QVERIFY(!options.writersNote()->isVisible());
  options.writers()->setCurrentIndex(0);
  QVERIFY(!options.imagePath()->isEnabled());
  options.imagePath()->setText(QString::fromStdString((folder / "disc").string()));
  options.mediumSize()->setCurrentIndex(1);
  options.cacheFolder()->setText(QString::fromStdString((folder / "cache").string()));
  // A writer without a disc: the dialog says so and stays open.
  QCOMPARE(test::messageAfter([&] { options.accept(); }, 5000), QString::fromLatin1(disc::kInsertMediaText));
  QVERIFY(options.isVisible());
  // The disc image instead: accepted, with ".iso" added to its name.
  options.writers()->setCurrentIndex(1);
  QVERIFY(options.imagePath()->isEnabled());
  options.accept();
  QCOMPARE(options.result(), int(QDialog::Accepted));
  QVERIFY(options.burning());
  const BurnSettings burn = options.burnSettings();
  QVERIFY(burn.writer.empty());
  QCOMPARE(burn.imagePath, (folder / "disc.iso").string());
  QCOMPARE(burn.mediumBytes, std::uint64_t{360000} * 2048);  // a CD
  QCOMPARE(burn.cacheFolder, (folder / "cache").string());
}

int main(int argc, char** argv) {
  // The start-up locks live in a folder of this run, apart from any running program's.
  const std::filesystem::path runtime = ov::test::scratchDir() / "runtime";
  std::filesystem::create_directories(runtime);
  std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
  qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime.string()));
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  KestrinTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "kestrin_test.moc"
