// Kestrin's burning windows on the offscreen platform: the rename dialog's rules, and the saving
// options' page "Burn data to CD/DVD" with its writers (libburn's pseudo-drives stand in for
// optical writers: "stdio:" is a drive without a medium).
#include <QApplication>
#include <QClipboard>
#include <QTest>

#include <filesystem>

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
  void renameRules_data();
  void renameRules();
  void burnPage();
};

void KestrinBurnTest::renameRules_data() {
  QTest::addColumn<QString>("oldName");
  QTest::addColumn<QString>("typed");
  QTest::addColumn<bool>("pasted");
  QTest::addColumn<bool>("ok");
  QTest::addColumn<bool>("message");
  QTest::addColumn<QString>("newName");
  const QString longName = QString(110, QLatin1Char('a')) + QStringLiteral(".jpeg");
  QTest::newRow("the whole extension is kept") << longName << "short" << false << true << false << "short.jpeg";
  QTest::newRow("a name without a dot") << QString(110, QLatin1Char('b')) << "short" << false << true << false
                                       << "short";
  QTest::newRow("40 characters at most") << longName << QString(45, QLatin1Char('x')) << false << true << false
                                        << QString(40, QLatin1Char('x')) + QStringLiteral(".jpeg");
  QTest::newRow("empty") << longName << "" << false << false << false << ".jpeg";
  QTest::newRow("a blank") << longName << "two words" << false << false << false << "two words.jpeg";
  for (QChar c : QStringLiteral("\\/:*?\"<>|"))
    QTest::newRow(qPrintable(QStringLiteral("ending with ") + c))
        << longName << QStringLiteral("name") + c << false << false << true << QStringLiteral("name") + c + ".jpeg";
  QTest::newRow("a slash inside, pasted") << longName << "a/b" << true << false << true << "a/b.jpeg";
}

void KestrinBurnTest::renameRules() {
  QFETCH(QString, oldName);
  QFETCH(QString, typed);
  QFETCH(bool, pasted);
  QFETCH(bool, ok);
  QFETCH(bool, message);
  QFETCH(QString, newName);
  CInputName dialog(oldName);
  dialog.show();
  QString seen;
  if (message) test::answerMessage(QMessageBox::Ok, &seen);
  if (pasted) {
    QApplication::clipboard()->setText(typed);
    QTest::keyClick(dialog.field(), Qt::Key_V, Qt::ControlModifier);
  } else {
    QTest::keyClicks(dialog.field(), typed);
  }
  if (message) {
    QVERIFY(test::waitFor([&] { return !seen.isEmpty(); }, 5000));
    QCOMPARE(seen, QString::fromLatin1(CInputName::kBadCharactersText));
    // The text is selected, to be typed over.
    QCOMPARE(dialog.field()->selectedText(), dialog.field()->text());
  }
  QCOMPARE(dialog.okButton()->isEnabled(), ok);
  QCOMPARE(dialog.newName(), newName);
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
