// Kestrin's burning windows offscreen: the rename dialog's rules, and the "Burn data to CD/DVD" page
// with libburn's pseudo-drives as writers ("stdio:" is a drive without a medium).
#include <QApplication>
#include <QClipboard>
#include <QTest>

#include <filesystem>
#include <vector>

#include "apps/carver/input_name.h"
#include "apps/carver/kestrin.h"
#include "apps/carver/saving_options.h"
#include "tests/support/test_support.h"
#include "tests/workbench/gui_driver.h"

using namespace ov;
using namespace ov::kestrin;

class KestrinBurnTest : public QObject {
  Q_OBJECT
 private Q_SLOTS:
  void renameRules();
  void burnPage();
};

void KestrinBurnTest::renameRules() {
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
    QString seen;
    if (row.message) test::answerMessage(QMessageBox::Ok, &seen);
    if (row.pasted) {
      QApplication::clipboard()->setText(row.typed);
      QTest::keyClick(dialog.field(), Qt::Key_V, Qt::ControlModifier);
    } else {
      QTest::keyClicks(dialog.field(), row.typed);
    }
    if (row.message) {
      QVERIFY(test::waitFor([&] { return !seen.isEmpty(); }, 5000));
      QCOMPARE(seen, QString::fromLatin1(CInputName::kBadCharactersText));
      QCOMPARE(dialog.field()->selectedText(), dialog.field()->text());  // selected, to be typed over
    }
    QCOMPARE(dialog.okButton()->isEnabled(), row.ok);
    QCOMPARE(dialog.newName(), row.newName);
  }
}

void KestrinBurnTest::burnPage() {
  const std::filesystem::path folder = test::scratchDir() / "burn-page";
  std::filesystem::create_directories(folder / "cache");
  FakeDiskProvider disks;
  FakeSizeQuery sizes;
  KestrinEnvironment env;
  env.diskProvider = &disks;
  env.sizeQuery = &sizes;
  std::vector<disc::Writer> writers;
  env.listWriters = [&writers] { return writers; };

  struct Row {
    const char* what;
    std::vector<disc::Writer> writers;
    bool image;           // "Save as disc image (.iso)" chosen
    const char* message;  // shown on OK; null: the dialog is accepted
  };
  const Row rows[] = {
      {"a writer without a disc", {{"stdio:", "Empty drive"}}, false, disc::kInsertMediaText},
      {"no writer, a disc image", {}, true, nullptr},
  };
  for (const Row& row : rows) {
    writers = row.writers;
    CarverSession session(QStringLiteral("nobody-listens"), env);
    SavingOptionsDialog options(session);
    options.show();
    options.showBurnPage();
    QStringList entries;
    for (int i = 0; i < options.writers()->count(); ++i) entries << options.writers()->itemText(i);
    QStringList expected;
    for (const disc::Writer& w : row.writers) expected << QString::fromStdString(w.name);
    expected << QString::fromLatin1(SavingOptionsDialog::kImageEntryText);
    QCOMPARE(entries, expected);
    QCOMPARE(options.writersNote()->isVisible(), row.writers.empty());
    QCOMPARE(options.writersNote()->text(), QString::fromLatin1(disc::kNoBurningDeviceText));
    options.writers()->setCurrentIndex(row.image ? options.writers()->count() - 1 : 0);
    QCOMPARE(options.imagePath()->isEnabled(), row.image);
    options.imagePath()->setText(QString::fromStdString((folder / "disc").string()));
    options.mediumSize()->setCurrentIndex(1);
    options.cacheFolder()->setText(QString::fromStdString((folder / "cache").string()));
    QString seen;
    if (row.message) test::answerMessage(QMessageBox::Ok, &seen);
    options.accept();
    if (row.message) {
      QVERIFY(test::waitFor([&] { return !seen.isEmpty(); }, 5000));
      QCOMPARE(seen, QString::fromLatin1(row.message));
      QVERIFY(options.isVisible());
      continue;
    }
    QCOMPARE(options.result(), int(QDialog::Accepted));
    QVERIFY(options.burning());
    const BurnSettings burn = options.burnSettings();
    QVERIFY(burn.writer.empty());
    QCOMPARE(burn.imagePath, (folder / "disc.iso").string());  // ".iso" added
    QCOMPARE(burn.mediumBytes, std::uint64_t{360000} * 2048);   // a CD
    QCOMPARE(burn.cacheFolder, (folder / "cache").string());
  }
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  KestrinBurnTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "kestrin_burn_test.moc"
