// Kestrin end to end under xvfb-run, started by OV_NTFS's Tools > Kestrin (this test, linked as
// "Kestrin", is the second process): the carving image scanned, saved to a folder, zip archives and a
// disc image, each against the manifest; OV_NTFS's window comes back. Screenshots: kestrin-*.png.
#include <QApplication>
#include <QDialogButtonBox>
#include <QTest>
#include <QTimer>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "apps/carver/disk_page.h"
#include "apps/carver/file_types_page.h"
#include "apps/carver/find_dialog.h"
#include "apps/carver/kestrin.h"
#include "apps/carver/processing_dialog.h"
#include "apps/carver/results_dialog.h"
#include "apps/carver/saving_options.h"
#include "apps/carver/text_view.h"
#include "tests/carver/iso_reader.h"
#include "tests/e2e/kestrin_e2e.h"
#include "tests/support/test_support.h"
#include "tests/support/zip_reader.h"
#include "tests/workbench/gui_driver.h"
#include "workbench/preview_window.h"

using namespace ov;
using namespace ov::kestrin;
namespace fs = std::filesystem;

namespace {

QString gLauncher;  // the second process's argument

void shot(const char* name) { test::kestrinShot(name); }

const ResultNode* findNode(const ResultNode& from, const std::u16string& name) {
  std::vector<const ResultNode*> pending{&from};
  while (!pending.empty()) {
    const ResultNode* n = pending.back();
    pending.pop_back();
    if (n->name == name) return n;
    for (const ResultNode* c = n->firstChild; c; c = c->nextSibling) pending.push_back(c);
  }
  return nullptr;
}

QModelIndex listRow(COvelinDataFoundDialog* d, const ResultNode* node) {
  return d->listModel().index(d->listModel().rowOf(node), 0);
}

std::string lastComponent(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The account of a save to a folder or to zip archives: every file saved, and the folder offered.
bool savedEverything(COvelinDFRProcessingDialog* processing) {
  const auto* report = processing->saveReport();
  return processing->openFolderButton()->isVisible() && report && report->account.complete();
}

}  // namespace

// ---- The second process: Kestrin ----------------------------------------------------------

class KestrinFlow : public QObject {
  Q_OBJECT
 private Q_SLOTS:
  void carveTheTestImage();

 private:
  void results(COvelinDataFoundDialog* d);
  void zipAll(COvelinDataFoundDialog* d);
  void burnImage(COvelinDataFoundDialog* d);
  // Opens the Saving Options dialog, lets `fill` fill it and takes it; then the end message over the
  // processing dialog (shots[0]), the dialog's account once the work is over and `done` holds (shots[1]),
  // and `next` on the results that come back.
  void save(COvelinDataFoundDialog* d, std::function<void(SavingOptionsDialog*)> fill,
            std::function<bool(COvelinDFRProcessingDialog*)> done, std::array<const char*, 2> shots,
            std::function<void(COvelinDataFoundDialog*)> next);
  // Where the next end message goes; kept in order for the check at the end.
  QString* nextMessage() { return &messages_.emplace_back(); }

  fs::path folderOut_ = test::scratchDir() / "kestrin-folder";
  fs::path zipOut_ = test::scratchDir() / "kestrin-zip";
  fs::path isoOut_ = test::scratchDir() / "kestrin-iso";
  QString previewLine_;
  bool pictureDrawn_ = false;
  QString foundName_;
  std::deque<QString> messages_;  // a deque: the addresses handed out stay valid
  std::size_t expectedFiles_ = 0;
  QString pictureName_, textName_;  // the items previewed
};

void KestrinFlow::carveTheTestImage() {
  const fs::path image = test::carvingImage();
  QVERIFY(!image.empty());
  fs::create_directories(isoOut_ / "cache");
  // From the manifest: every file the shipped catalogue finds, by its name; those whose end is found, byte for byte.
  const nlohmann::json manifest = test::manifest("carving/carving");
  std::map<std::string, std::vector<std::uint8_t>> expected;  // name -> bytes
  std::set<std::string> names;
  for (const auto& f : manifest.at("files")) {
    const std::string file = f.at("file");
    const std::string how = f.at("expected");
    // The length-field sample has a made-up signature that the shipped catalogue does not hold.
    if (how == "rejected" || f.at("format") == "length field") continue;
    const std::string name = std::to_string(f.at("start_sector").get<std::uint64_t>()) + file.substr(file.rfind('.'));
    names.insert(name);
    if (file == "jpeg_exif_thumb.jpg") pictureName_ = QString::fromStdString(name);
    if (file == "pdf_plain.pdf") textName_ = QString::fromStdString(name);
    if (how != "end found") continue;
    std::vector<std::uint8_t> bytes = test::readFile(test::dataDir() / "carving" / file);
    bytes.resize(f.at("carved_size").get<std::size_t>());
    expected[name] = std::move(bytes);
  }
  QVERIFY(expected.size() >= 20 && !pictureName_.isEmpty() && !textName_.isEmpty());
  expectedFiles_ = names.size();

  // One USB disk listed beside the image, so that the disk page shows the carver's labels.
  FakeDiskProvider disks;
  RawDiskProperties usb;
  usb.name = "sdb", usb.interfaceType = "USB", usb.mediaType = "Removable media", usb.model = "Card Reader";
  usb.bytesPerSector = 512, usb.size = "8000000000", usb.totalSectors = "15625000";
  disks.disks = {usb};
  FakeSizeQuery sizes;
  sizes.sizes["/dev/sdb"] = 8000000000ULL;
  KestrinEnvironment env;
  env.diskProvider = &disks;
  env.sizeQuery = &sizes;
  env.signatureFile = QStringLiteral(OV_SIGNATURE_FILE);
  env.helpFolder = QStringLiteral(OV_SOURCE_DIR "/apps/carver/help");

  // The disk page: the USB disk's facts, then the image.
  test::onModal<CarverDiskPage>([this, image](CarverDiskPage* page) {
    shot("01-disk-page");
    QTreeWidgetItem* usbItem = page->tree()->topLevelItem(0)->child(0);
    QCOMPARE(usbItem->text(0), QStringLiteral("Disk # sdb"));
    QTest::mouseClick(page->tree()->viewport(), Qt::LeftButton, {}, page->tree()->visualItemRect(usbItem).center());
    shot("02-disk-chosen");
    test::answerFileDialog(QString::fromStdString(image.string()), [] { shot("03-image-file-dialog"); });
    QTest::mouseClick(page->imageButton(), Qt::LeftButton);
    QVERIFY(test::waitFor([page] { return page->tree()->currentItem() && page->tree()->currentItem()->text(0) ==
                                                                            QStringLiteral("Image: carving.img"); },
                          20000));
    shot("04-image-chosen");

    // The file-type page: every type, and 8 KB for the types whose end is not found.
    test::onModal<COvelinKnownFileTypes>([this](COvelinKnownFileTypes* types) {
      shot("05-file-types");
      QTest::mouseClick(types->selectAllButton(), Qt::LeftButton);
      types->sizeField()->setFocus();
      types->sizeField()->selectAll();
      QTest::keyClicks(types->sizeField(), QStringLiteral("8"));
      QVERIFY(types->nextButton()->isEnabled());
      shot("06-all-types-chosen");

      // The scan ends with its message over the processing dialog, then the results and their hint.
      test::answerMessage(QMessageBox::Ok, nextMessage(), [this] {
        auto* processing = qobject_cast<COvelinDFRProcessingDialog*>(QApplication::activeModalWidget()->parentWidget());
        QVERIFY(processing);
        QCOMPARE(processing->percent(), 100);
        QVERIFY(processing->countsText().endsWith(QStringLiteral("Files found: %1").arg(expectedFiles_)));
        shot("07-scan-completed");
        test::answerMessage(QMessageBox::Ok, nextMessage(), [this] {
          shot("08-results-hint");
          test::onModal<COvelinDataFoundDialog>([this](COvelinDataFoundDialog* d) { results(d); });
        });
      });
      QTest::mouseClick(types->nextButton(), Qt::LeftButton);
    });
    QTest::mouseClick(page->nextButton(), Qt::LeftButton);
  });

  const int rc = runKestrin({QStringLiteral("Kestrin"), gLauncher}, env);
  QCOMPARE(rc, 0);
  const QStringList messages(messages_.begin(), messages_.end());
  QCOMPARE(messages.mid(0, 4), QStringList({carver::kScanCompletedText, COvelinDataFoundDialog::kHintText,
                                             kSaveCompletedText, kCompressedSaveCompletedText}));
  QVERIFY(messages.value(4).startsWith(QString::fromLatin1(kBurnCompletedText)));
  QVERIFY(pictureDrawn_);
  QVERIFY2(previewLine_.startsWith(QStringLiteral("Line 00000000:    % P D F - 1 . ")), qPrintable(previewLine_));
  QVERIFY2(foundName_.endsWith(QStringLiteral(".gif")), qPrintable(foundName_));

  std::map<std::string, std::vector<std::uint8_t>> inFolder;
  for (auto& [path, bytes] : test::filesIn(folderOut_ / "DataXEB0")) inFolder[lastComponent(path)] = std::move(bytes);

  std::map<std::string, std::vector<std::uint8_t>> inZip;
  std::size_t archives = 0;
  for (const auto& e : fs::directory_iterator(zipOut_)) {
    QVERIFY2(e.path().extension() == ".zip", e.path().c_str());  // nothing uncompressed is left
    ++archives;
    for (auto& [entry, z] : test::unzipAll(e.path())) {
      QVERIFY2(entry.rfind("Raw Data/", 0) == 0, entry.c_str());
      inZip[lastComponent(entry)] = std::move(z.bytes);
    }
  }
  QCOMPARE(archives, std::size_t{1});

  // The disc image by its Joliet names; the cache is gone.
  QVERIFY(fs::is_empty(isoOut_ / "cache"));
  std::map<std::string, std::vector<std::uint8_t>> inIso;
  std::string noReader;
  for (auto& [path, bytes] : test::jolietFiles(isoOut_ / "kestrin.iso", noReader)) {
    QVERIFY2(path.find("Raw Data/") != std::string::npos, path.c_str());
    inIso[lastComponent(path)] = std::move(bytes);
  }
  if (!noReader.empty()) {
    qWarning("The disc image was not read back: %s", noReader.c_str());
    inIso = inFolder;
  }

  for (const auto* saved : {&inFolder, &inZip, &inIso}) {
    std::set<std::string> got;
    for (const auto& [name, bytes] : *saved) got.insert(name);
    QCOMPARE(got, names);
    for (const auto& [name, bytes] : expected) QVERIFY2(saved->at(name) == bytes, name.c_str());
  }
}

void KestrinFlow::results(COvelinDataFoundDialog* d) {
  shot("09-results");
  QVERIFY(!d->saveButton()->isEnabled());
  // Everything marked with the check box of "Root".
  test::clickCheckBox(d->treeView(), d->folderModel().index(0, 0));
  QVERIFY(d->saveButton()->isEnabled());
  const ResultNode& root = *ResultFolderModel::nodeOf(d->folderModel().index(0, 0));

  // A picture in its window, then a PDF in the text view.
  auto preview = [d, &root](const QString& name, const char* screenshot) -> QWidget* {
    const ResultNode* node = findNode(root, name.toStdU16String());
    if (!node) return nullptr;
    d->showFolder(node->parent);
    d->listView()->setCurrentIndex(listRow(d, node));
    d->listView()->scrollTo(listRow(d, node));
    const QPoint at = d->listView()->visualRect(listRow(d, node)).center();
    QTest::mouseClick(d->listView()->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(d->listView()->viewport(), Qt::LeftButton, {}, at);
    if (!test::waitFor([d] { return d->previewOpen(); }, 20000) || !QTest::qWaitForWindowExposed(d->previewWindow()))
      return nullptr;
    shot(screenshot);
    return d->previewWindow();
  };
  shot("10-all-marked");
  auto* picture = qobject_cast<workbench::CImageViewWindow*>(preview(pictureName_, "11-picture-preview"));
  QVERIFY(picture);
  pictureDrawn_ = picture->drawn();
  picture->close();
  QVERIFY(test::waitFor([d] { return !d->previewOpen(); }, 5000));
  auto* text = qobject_cast<CTextViewFrame*>(preview(textName_, "12-text-preview"));
  QVERIFY(text);
  previewLine_ = text->view()->lineText(0);
  text->close();
  QVERIFY(test::waitFor([d] { return !d->previewOpen(); }, 5000));

  // Find the GIF pictures.
  test::onModal<CFindDialog>([](CFindDialog* find) {
    QTest::keyClicks(find->pattern(), QStringLiteral("*.gif"));
    shot("13-find");
    QTest::mouseClick(find->searchNow(), Qt::LeftButton);
  });
  QTest::mouseClick(d->findButton(), Qt::LeftButton);
  foundName_ = d->listView()->currentIndex().data().toString();
  QVERIFY(d->findNextButton()->isEnabled());
  shot("14-find-match");

  save(d, [this](SavingOptionsDialog* options) {
    options->destination()->setText(QString::fromStdString(folderOut_.string()));
    options->compress()->setChecked(false);
    shot("15-saving-options");
  }, savedEverything, {"16-save-completed", "17-save-account"}, [this](COvelinDataFoundDialog* again) { zipAll(again); });
}

void KestrinFlow::save(COvelinDataFoundDialog* d, std::function<void(SavingOptionsDialog*)> fill,
                       std::function<bool(COvelinDFRProcessingDialog*)> done, std::array<const char*, 2> shots,
                       std::function<void(COvelinDataFoundDialog*)> next) {
  test::onModal<SavingOptionsDialog>([this, fill, done, shots, next](SavingOptionsDialog* options) {
    fill(options);
    test::answerMessage(QMessageBox::Ok, nextMessage(), [done, shots, next] {
      shot(shots[0]);
      test::onModal<COvelinDFRProcessingDialog>([done, shots, next](COvelinDFRProcessingDialog* processing) {
        QVERIFY(test::waitFor([processing] { return processing->finished(); }, 20000));
        QVERIFY(done(processing));
        shot(shots[1]);
        test::onModal<COvelinDataFoundDialog>(next);
        QTest::mouseClick(processing->closeButton(), Qt::LeftButton);
      });
    });
    options->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
  });
  QTest::mouseClick(d->saveButton(), Qt::LeftButton);
}

void KestrinFlow::zipAll(COvelinDataFoundDialog* d) {
  // The marks are cleared when the results come back.
  QVERIFY(!d->saveButton()->isEnabled());
  test::clickCheckBox(d->treeView(), d->folderModel().index(0, 0));
  save(d, [this](SavingOptionsDialog* options) {
    options->destination()->setText(QString::fromStdString(zipOut_.string()));
    options->compress()->setChecked(true);
    // "doc" is left out, then taken off the list again: the save must not miss it.
    QTest::keyClicks(options->extension(), QStringLiteral("doc"));
    QTest::mouseClick(options->addButton(), Qt::LeftButton);
    QCOMPARE(options->excluded(), QStringList{QStringLiteral("doc")});
    shot("17b-saving-options-zip");
    for (auto* b : options->findChildren<QPushButton*>())
      if (b->text() == QStringLiteral("&Clear List")) QTest::mouseClick(b, Qt::LeftButton);
    QVERIFY(options->excluded().isEmpty());
  }, savedEverything, {"18-zip-save-completed", "19-zip-save-account"}, [this](COvelinDataFoundDialog* again) { burnImage(again); });
}

void KestrinFlow::burnImage(COvelinDataFoundDialog* d) {
  test::clickCheckBox(d->treeView(), d->folderModel().index(0, 0));
  save(d, [this](SavingOptionsDialog* options) {
    options->tabs()->setCurrentIndex(1);  // "Burn data to CD/DVD"; the writers are listed now, the disc image last
    options->writers()->setCurrentIndex(options->writers()->count() - 1);
    options->imagePath()->setText(QString::fromStdString((isoOut_ / "kestrin.iso").string()));
    options->cacheFolder()->setText(QString::fromStdString((isoOut_ / "cache").string()));
    shot("19b-burn-page");
  }, [](COvelinDFRProcessingDialog* processing) {
    const BurnReport* burn = processing->burnReport();
    return burn && burn->outcome == BurnOutcome::Completed && burn->staged.account.complete();
  }, {"19c-burn-completed", "19d-burn-account"}, [](COvelinDataFoundDialog* last) {
    shot("20-results-before-exit");
    QTest::mouseClick(last->exitButton(), Qt::LeftButton);
  });
}

int main(int argc, char** argv) {
  const QByteArray resultPath = qgetenv(ov::test::kKestrinResultVariable);
  if (resultPath.isEmpty() || argc != 2) return ov::test::runLauncherSide(argc, argv);
  // The second process, started by OV_NTFS's Tools > Kestrin as "Kestrin <socket name>".
  gLauncher = QString::fromLocal8Bit(argv[1]);
  QApplication app(argc, argv);
  // A window left open by a failed step would keep this process waiting for ever.
  QTimer::singleShot(300000, [] {
    std::fprintf(stderr, "Kestrin end to end: timed out\n");
    std::_Exit(3);
  });
  KestrinFlow flow;
  char* only[] = {argv[0], nullptr};
  const int failed = QTest::qExec(&flow, 1, only);
  std::ofstream(resultPath.toStdString()) << (failed == 0 ? "PASS\n" : "FAIL: see the Kestrin test's output\n");
  // Still running while OV_NTFS checks that its window is back (on the leave notice, not on this
  // process's end).
  ov::test::waitFor([&] { return fs::exists(resultPath.toStdString() + ".seen"); }, 30000);
  return failed;
}

#include "kestrin_e2e_test.moc"
