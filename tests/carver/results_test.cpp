#include "carver/results.h"
#include "carver/saving.h"

#include <gtest/gtest.h>
#include <minizip/unzip.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "tests/support/test_support.h"

namespace ov {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDisconnectedText = "Source disk is disconnected.\nPlease connect the disk and restart scanning.";

// A disk in memory that records every read; hooks let a test act in the middle of a save.
class MemorySource : public CarvedDataSource {
 public:
  MemorySource(std::uint64_t sectors, std::uint32_t bytesPerSector)
      : bps_(bytesPerSector), bytes_(sectors * bytesPerSector) {
    std::uint32_t x = 2463534242u;
    for (auto& b : bytes_) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      b = static_cast<std::uint8_t>(x);
    }
  }
  bool read(std::uint64_t sector, std::size_t sectors, std::uint8_t* out) override {
    reads.emplace_back(sector, sectors);
    if (onRead) onRead(reads.size());
    bool readable = true;
    for (std::size_t i = 0; i < sectors * bps_; ++i) {
      std::uint64_t at = sector * bps_ + i;
      if (at / bps_ >= badFrom && at / bps_ < badTo) {
        readable = false;  // unreadable: the caller's zeros stay
        continue;
      }
      if (at < bytes_.size()) out[i] = bytes_[static_cast<std::size_t>(at)];
    }
    return readable;
  }
  std::uint32_t sectorSize() const override { return bps_; }

  std::vector<std::uint8_t> expected(const ResultNode& item) const {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(item.size), 0);
    std::uint64_t start = item.startSector() * bps_;
    for (std::size_t i = 0; i < out.size(); ++i) {
      std::uint64_t at = start + i;
      bool bad = at / bps_ >= badFrom && at / bps_ < badTo;
      if (!bad && at < bytes_.size()) out[i] = bytes_[static_cast<std::size_t>(at)];
    }
    return out;
  }
  std::uint64_t totalSectors() const { return bytes_.size() / bps_; }

  std::vector<std::pair<std::uint64_t, std::size_t>> reads;
  std::function<void(std::size_t)> onRead;
  std::uint64_t badFrom = 0, badTo = 0;

 private:
  std::uint32_t bps_;
  std::vector<std::uint8_t> bytes_;
};

class SaveHost : public test::RecordingHost {
 public:
  void progress(std::uint64_t total, std::uint64_t done) override { progressCalls.emplace_back(total, done); }
  void statusText(const std::string& text) override { statuses.push_back(text); }
  void showMessage(const std::string& title, const std::string& text, MessageIcon icon) override {
    if (onMessage) onMessage();
    RecordingHost::showMessage(title, text, icon);
  }
  bool saw(const std::string& text) const {
    return std::any_of(messages.begin(), messages.end(), [&](const Message& m) { return m.text == text; });
  }
  bool sawContaining(const std::string& part) const {
    return std::any_of(messages.begin(), messages.end(),
                       [&](const Message& m) { return m.text.find(part) != std::string::npos; });
  }
  std::vector<std::pair<std::uint64_t, std::uint64_t>> progressCalls;
  std::vector<std::string> statuses;
  std::function<void()> onMessage;
};

CarvedFind find(const std::u16string& category, const std::u16string& extension, std::uint64_t carved) {
  CarvedFind f;
  f.category = category;
  f.extension = extension;
  f.carvedSize = carved;
  return f;
}

std::vector<std::u16string> childNames(const ResultNode& node) {
  std::vector<std::u16string> names;
  for (const ResultNode* c = node.firstChild; c; c = c->nextSibling) names.push_back(c->name);
  return names;
}

ResultNode* child(ResultNode& node, const std::u16string& name) {
  for (ResultNode* c = node.firstChild; c; c = c->nextSibling)
    if (c->name == name) return c;
  return nullptr;
}

fs::path freshFolder(const std::string& name) {
  fs::path dir = test::scratchDir() / "carver" / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

std::vector<std::uint8_t> fileBytes(const fs::path& path) { return test::readFile(path); }

std::set<std::string> filesUnder(const fs::path& dir) {
  std::set<std::string> out;
  if (!fs::exists(dir)) return out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) out.insert(fs::relative(e.path(), dir).generic_string());
  return out;
}

struct ZipEntry {
  std::vector<std::uint8_t> bytes;
  unsigned long method = 0;
  unsigned long flag = 0;
};

// Reads an archive back with minizip's unzip side.
std::map<std::string, ZipEntry> unzipAll(const fs::path& path) {
  std::map<std::string, ZipEntry> out;
  unzFile zf = unzOpen64(path.c_str());
  if (!zf) {
    ADD_FAILURE() << "cannot open " << path;
    return out;
  }
  for (int rc = unzGoToFirstFile(zf); rc == UNZ_OK; rc = unzGoToNextFile(zf)) {
    unz_file_info64 info{};
    char name[512] = {};
    EXPECT_EQ(unzGetCurrentFileInfo64(zf, &info, name, sizeof name, nullptr, 0, nullptr, 0), UNZ_OK);
    ZipEntry entry;
    entry.method = info.compression_method;
    entry.flag = info.flag;
    EXPECT_EQ(unzOpenCurrentFile(zf), UNZ_OK);
    std::vector<std::uint8_t> buffer(65536);
    for (;;) {
      int n = unzReadCurrentFile(zf, buffer.data(), static_cast<unsigned>(buffer.size()));
      EXPECT_GE(n, 0);
      if (n <= 0) break;
      entry.bytes.insert(entry.bytes.end(), buffer.begin(), buffer.begin() + n);
    }
    EXPECT_EQ(unzCloseCurrentFile(zf), UNZ_OK);  // also checks the CRC
    out[name] = std::move(entry);
  }
  unzClose(zf);
  return out;
}

// A small results tree over a MemorySource of 4,096 sectors of 512 bytes.
struct Fixture {
  MemorySource disk{4096, 512};
  ResultTree tree;
  ResultNode* jpgA = nullptr;
  ResultNode* jpgB = nullptr;
  ResultNode* gz = nullptr;
  ResultNode* doc = nullptr;
  ResultNode* pdf = nullptr;

  Fixture() {
    const std::uint64_t total = disk.totalSectors();
    jpgA = &tree.addCarvedItem(10, find(u"Pictures", u"jpg", 5000), 512, total);
    doc = &tree.addCarvedItem(40, find(u"Documents", u"doc", 3000), 512, total);
    jpgB = &tree.addCarvedItem(100, find(u"Pictures", u"jpg", 1536), 512, total);
    gz = &tree.addCarvedItem(200, find(u"Archives", u"gz", 7000), 512, total);
    pdf = &tree.addCarvedItem(300, find(u"Documents", u"pdf", 100), 512, total);
  }
};

// ---- Tree ----

TEST(ResultTree, ShapeOrderAndNames) {
  Fixture f;
  const ResultNode& root = f.tree.root();
  EXPECT_EQ(root.name, u".");
  EXPECT_TRUE(root.isFolder);
  EXPECT_EQ(childNames(root), std::vector<std::u16string>{u"Raw Data"});
  // Newest first at every level.
  EXPECT_EQ(childNames(f.tree.rawData()), (std::vector<std::u16string>{u"Archives", u"Documents", u"Pictures"}));
  ResultNode* docs = child(f.tree.rawData(), u"Documents");
  ASSERT_NE(docs, nullptr);
  EXPECT_EQ(childNames(*docs), (std::vector<std::u16string>{u"pdf", u"doc"}));
  ResultNode* jpg = child(*child(f.tree.rawData(), u"Pictures"), u"jpg");
  ASSERT_NE(jpg, nullptr);
  EXPECT_EQ(childNames(*jpg), (std::vector<std::u16string>{u"100.jpg", u"10.jpg"}));
  EXPECT_EQ(f.jpgA->runs, std::vector<std::uint64_t>{10});
  EXPECT_EQ(f.jpgA->parent, jpg);
  EXPECT_FALSE(f.jpgA->isFolder);
  EXPECT_EQ(f.tree.foundCount(), 5u);

  f.tree.reset();
  EXPECT_EQ(childNames(f.tree.root()), std::vector<std::u16string>{u"Raw Data"});
  EXPECT_EQ(f.tree.foundCount(), 0u);
  // Categories are told apart by case.
  f.tree.addCarvedItem(1, find(u"Pictures", u"jpg", 10), 512, 100);
  f.tree.addCarvedItem(2, find(u"pictures", u"jpg", 10), 512, 100);
  EXPECT_EQ(childNames(f.tree.rawData()), (std::vector<std::u16string>{u"pictures", u"Pictures"}));
}

TEST(ResultTree, SizeRule) {
  ResultTree tree;
  CarvedFind f = find(u"C", u"x", 0);
  f.maxSize = 3000;
  f.defaultSize = 4000;
  EXPECT_EQ(tree.addCarvedItem(0, f, 512, 1000).size, 3000u);
  f.maxSize = 0;
  EXPECT_EQ(tree.addCarvedItem(0, f, 512, 1000).size, 4000u);
  f.defaultSize = 0;
  EXPECT_EQ(tree.addCarvedItem(0, f, 512, 100000).size, kFallbackCarvedSize);
  f.carvedSize = 123;
  f.maxSize = 999;
  EXPECT_EQ(tree.addCarvedItem(0, f, 512, 1000).size, 123u);
  // 10 sectors before the end, 1 MB: cut to the 10 sectors that remain.
  f.carvedSize = 1048576;
  EXPECT_EQ(tree.addCarvedItem(990, f, 512, 1000).size, 10u * 512);
  // Ending exactly at the end is not cut.
  f.carvedSize = 5120;
  EXPECT_EQ(tree.addCarvedItem(990, f, 512, 1000).size, 5120u);
}

TEST(ResultTree, CatalogueTextsCannotClimbOutOfTheirFolder) {
  EXPECT_EQ(carvedNamePart(u"../../etc"), u"___.__etc");
  EXPECT_EQ(carvedNamePart(u".."), u"__");
  EXPECT_EQ(carvedNamePart(u"a\\b"), u"a_b");
  EXPECT_EQ(carvedNamePart(u""), u"_");
  EXPECT_EQ(carvedNamePart(u"tar.gz"), u"tar.gz");
  ResultTree tree;
  ResultNode& item = tree.addCarvedItem(7, find(u"..", u"/x/../y", 10), 512, 100);
  EXPECT_EQ(item.name.find(u'/'), std::u16string::npos);
  EXPECT_EQ(item.name.find(u".."), std::u16string::npos);
  EXPECT_EQ(item.parent->parent->name, u"__");
}

// ---- Marks and totals ----

TEST(Marks, FoldersMarkWhatIsBelowAndTotalsFollowTheMarks) {
  Fixture f;
  ResultNode& pictures = *child(f.tree.rawData(), u"Pictures");
  EXPECT_EQ(checkState(pictures), CheckState::Unchecked);
  setChecked(*f.jpgA, true);
  EXPECT_EQ(checkState(*f.jpgA->parent), CheckState::Partial);
  EXPECT_EQ(checkState(pictures), CheckState::Partial);  // its only child is marked, half its files
  setChecked(pictures, true);
  EXPECT_TRUE(f.jpgB->checked);
  EXPECT_TRUE(f.tree.root().checked);
  EXPECT_FALSE(f.doc->checked);
  EXPECT_EQ(checkState(pictures), CheckState::Checked);
  toggleChecked(*f.jpgA);
  EXPECT_TRUE(pictures.checked);  // one child still marked
  toggleChecked(*f.jpgB);
  EXPECT_FALSE(pictures.checked);
  EXPECT_FALSE(f.tree.root().checked);
  EXPECT_FALSE(canSave(f.tree.root()));

  const TreeTotals all = treeTotals(f.tree.root());
  EXPECT_EQ(all.files, 5u);
  EXPECT_EQ(all.folders, 1u + 3u + 4u);  // Raw Data, three categories, four extensions
  EXPECT_EQ(all.bytes, 5000u + 3000u + 1536u + 7000u + 100u);
  setChecked(pictures, true);
  setChecked(*f.pdf, true);
  const SelectionTotals sel = selectionTotals(f.tree.root());
  EXPECT_EQ(sel.files, 3u);
  EXPECT_EQ(sel.folders, 1u + 2u + 2u);
  EXPECT_EQ(sel.bytes, 5000u + 1536u + 100u);
  EXPECT_TRUE(canSave(f.tree.root()));
  clearChecks(f.tree.root());
  EXPECT_EQ(selectionTotals(f.tree.root()).files, 0u);
  const std::pair<std::uint64_t, const char*> texts[] = {
      {1536, "[1.50 KB]"}, {1048575, "[1024.00 KB]"}, {1048576, "[1.00 MB]"}, {3221225472ULL, "[3.00 GB]"}};
  for (auto [bytes, text] : texts) EXPECT_EQ(resultsSizeText(bytes), text);
  EXPECT_EQ(savingSizeText(5u * 1048576), "  5.000 MB");
}

// ---- Find ----

TEST(Find, PatternWalksMatchesInTreeOrderThenStartsOver) {
  Fixture f;
  ResultFinder finder;
  ResultFindCriteria c;
  c.pattern = u"*.JPG";
  EXPECT_EQ(finder.find(f.tree.root(), c), f.jpgB);  // newest first
  EXPECT_EQ(finder.findNext(f.tree.root()), f.jpgA);
  EXPECT_EQ(finder.findNext(f.tree.root()), nullptr);
  // The found list was cleared: the next search starts over.
  EXPECT_EQ(finder.findNext(f.tree.root()), f.jpgB);

  c.matchCase = true;
  EXPECT_EQ(finder.find(f.tree.root(), c), nullptr);
  c.pattern = u"1?.jpg";
  EXPECT_EQ(finder.find(f.tree.root(), c), f.jpgA);
}

TEST(Find, AFolderNameIsAMatchAndItsContentsComeAfter) {
  Fixture f;
  ResultFinder finder;
  ResultFindCriteria c;
  c.pattern = u"jpg";
  EXPECT_EQ(finder.find(f.tree.root(), c), f.jpgA->parent);
  EXPECT_EQ(finder.findNext(f.tree.root()), nullptr);
  c.pattern = u"*";
  EXPECT_EQ(finder.find(f.tree.root(), c), &f.tree.rawData());
  EXPECT_EQ(finder.findNext(f.tree.root()), child(f.tree.rawData(), u"Archives"));
}

TEST(Find, SizeAndDateOptions) {
  ResultTree tree;
  ResultNode& exact = tree.addCarvedItem(1, find(u"C", u"bin", 102400), 512, 1000000);
  tree.addCarvedItem(2, find(u"C", u"bin", 102399), 512, 1000000);
  ResultFinder finder;
  ResultFindCriteria c;
  c.pattern = u"*";
  c.sizeOn = true;
  c.relation = SizeRelation::AtLeast;
  c.sizeBytes = 100 * 1024;
  EXPECT_EQ(finder.find(tree.root(), c), &exact);  // folders never match
  EXPECT_EQ(finder.findNext(tree.root()), nullptr);
  c.relation = SizeRelation::AtMost;
  const ResultNode* small = finder.find(tree.root(), c);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(small->size, 102399u);

  c.sizeOn = false;
  c.dateOn = true;
  c.dateFrom = packFindDate(1990, 1, 1);
  c.dateTo = packFindDate(2030, 12, 31);
  EXPECT_EQ(finder.find(tree.root(), c), nullptr);
  EXPECT_EQ(packFindDate(2000, 2, 3), (20 << 9) | (2 << 5) | 3);
}

TEST(Find, TheSizeFieldAndWildcards) {
  std::uint64_t kb = 0;
  for (const char16_t* bad : {u"0", u"-4", u"abc", u"99999999999999999999"})
    EXPECT_EQ(checkFindSizeField(bad, kb), std::optional<std::string>(kSizeAboveZeroText));
  EXPECT_EQ(checkFindSizeField(u"", kb), std::optional<std::string>(kProvideSizeText));
  EXPECT_EQ(checkFindSizeField(u"100", kb), std::nullopt);
  EXPECT_EQ(kb, 100u);
  struct Row {
    const char16_t* pattern;
    const char16_t* name;
    bool matchCase, matches;
  };
  const Row rows[] = {{u"*", u"", false, true},          {u"a*b*c", u"aXbYbZc", true, true},
                      {u"a*b*c", u"aXbYbZ", true, false}, {u"??.doc", u"40.doc", true, true},
                      {u"?.doc", u"40.doc", true, false},  {u"ABC", u"abc", false, true},
                      {u"\u00C9", u"\u00E9", false, false}, {u"@", u"`", false, false}};  // only ASCII letters fold
  for (const Row& row : rows) EXPECT_EQ(matchResultName(row.pattern, row.name, row.matchCase), row.matches);
}

// ---- Text view ----

TEST(TextView, LinesOfThirtyTwoBytesInWindows1252) {
  std::vector<std::uint8_t> item(100);
  for (std::size_t i = 0; i < item.size(); ++i) item[i] = static_cast<std::uint8_t>('A' + i % 26);
  EXPECT_EQ(textViewLineCount(100), 4u);
  EXPECT_EQ(textViewLineCount(96), 3u);
  std::u16string expected = u"Line 00000003:    S T U V ";
  expected.append(28 * 2, u' ');
  EXPECT_EQ(textViewLine(item, 3), expected);
  const std::string pdf = "%PDF-1.4\n";
  const std::u16string line = textViewLine(std::vector<std::uint8_t>(pdf.begin(), pdf.end()), 0);
  EXPECT_EQ(line.substr(0, 30), u"Line 00000000:    % P D F - 1 ");
  EXPECT_EQ(line.substr(34, 2), u". ");  // the line feed has no character
  const std::pair<std::uint8_t, char16_t> chars[] = {{0x80, u'\u20AC'}, {0x9F, u'\u0178'}, {0xE9, u'\u00E9'},
                                                     {0x81, u'.'},       {0x00, u'.'},       {'~', u'~'}};
  for (auto [byte, shown] : chars) EXPECT_EQ(textViewChar(byte), shown) << int{byte};
}

// ---- Copying ----

TEST(Copy, OneMebibytePiecesThenTheRestAsWholeSectors) {
  MemorySource disk(8192, 512);
  ResultTree tree;
  const std::uint64_t size = 2 * kCopyPieceBytes + 100;
  ResultNode& item = tree.addCarvedItem(7, find(u"C", u"bin", size), 512, disk.totalSectors());
  std::vector<std::size_t> pieces;
  std::vector<std::uint8_t> copied;
  EXPECT_TRUE(copyCarvedItem(disk, item, [&](Bytes b) {
    pieces.push_back(b.size());
    copied.insert(copied.end(), b.begin(), b.end());
    return true;
  }));
  EXPECT_EQ(pieces, (std::vector<std::size_t>{kCopyPieceBytes, kCopyPieceBytes, 100}));
  using Read = std::pair<std::uint64_t, std::size_t>;
  EXPECT_EQ(disk.reads, (std::vector<Read>{{7, 2048}, {7 + 2048, 2048}, {7 + 4096, 1}}));
  EXPECT_EQ(copied, disk.expected(item));
  EXPECT_EQ(readCarvedItem(disk, item), copied);
}

TEST(Copy, UnreadableRangesAreZerosAndARefusingSinkStops) {
  MemorySource disk(8192, 4096);
  disk.badFrom = 300;
  disk.badTo = 600;
  ResultTree tree;
  ResultNode& item = tree.addCarvedItem(100, find(u"C", u"bin", 3 * kCopyPieceBytes), 4096, disk.totalSectors());
  std::vector<std::uint8_t> copied = readCarvedItem(disk, item);
  EXPECT_EQ(copied, disk.expected(item));
  EXPECT_EQ(copied[(300 - 100) * 4096], 0);
  int calls = 0;
  EXPECT_FALSE(copyCarvedItem(disk, item, [&](Bytes) { return ++calls < 2; }));
  EXPECT_EQ(calls, 2);
}

TEST(Copy, PreviewFileTakesANumberedNameOnClash) {
  Fixture f;
  fs::path dir = freshFolder("preview");
  int error = 0;
  OutputFolder folder = OutputFolder::open(dir.string(), error);
  std::string used;
  EXPECT_EQ(writeCarvedItemFile(f.disk, *f.jpgA, folder, used), 0);
  EXPECT_EQ(used, "10.jpg");
  EXPECT_EQ(writeCarvedItemFile(f.disk, *f.jpgA, folder, used), 0);
  EXPECT_EQ(used, "#010.jpg");
  EXPECT_EQ(fileBytes(dir / "#010.jpg"), f.disk.expected(*f.jpgA));
}

// ---- Saving to folders ----

SaveReport save(Fixture& f, SaveSettings& settings, SaveHost& host) {
  RunControl run;
  run.start();
  return saveMarkedItems(f.tree.root(), f.disk, settings, host, run);
}

TEST(SaveToFolder, WritesExactlyTheMarkedItemsAndNumbersOutputFolders) {
  Fixture f;
  setChecked(*child(f.tree.rawData(), u"Pictures"), true);
  setChecked(*f.pdf, true);
  fs::path dest = freshFolder("folders");
  SaveSettings settings;
  settings.destination = dest.string() + "/";
  std::vector<std::string> shown;
  settings.showDestination = [&](const std::string& t) { shown.push_back(t); };
  SaveHost host;
  SaveReport report = save(f, settings, host);

  EXPECT_EQ(report.outcome, SaveOutcome::Completed);
  EXPECT_EQ(report.outputFolder, (dest / "DataXEB0").string());
  EXPECT_EQ(report.resultFolder, report.outputFolder);
  EXPECT_EQ(shown, std::vector<std::string>{"Saving recovered data to " + report.outputFolder + ":"});
  EXPECT_EQ(filesUnder(dest / "DataXEB0"),
            (std::set<std::string>{"Raw Data/Pictures/jpg/10.jpg", "Raw Data/Pictures/jpg/100.jpg",
                                   "Raw Data/Documents/pdf/300.pdf"}));
  EXPECT_FALSE(fs::exists(dest / "DataXEB0" / "Raw Data" / "Archives"));
  EXPECT_EQ(fileBytes(dest / "DataXEB0/Raw Data/Pictures/jpg/10.jpg"), f.disk.expected(*f.jpgA));
  EXPECT_EQ(fileBytes(dest / "DataXEB0/Raw Data/Pictures/jpg/100.jpg"), f.disk.expected(*f.jpgB));
  EXPECT_EQ(fileBytes(dest / "DataXEB0/Raw Data/Documents/pdf/300.pdf"), f.disk.expected(*f.pdf));
  EXPECT_EQ(report.filesWritten, 3u);
  EXPECT_EQ(report.itemsWritten, 3u + 5u);  // Raw Data, 2 categories, 2 extensions
  ASSERT_FALSE(host.progressCalls.empty());
  EXPECT_EQ(host.progressCalls.front(), (std::pair<std::uint64_t, std::uint64_t>{3, 1}));
  EXPECT_EQ(host.statuses, std::vector<std::string>{kSaveCompletedStatus});
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, kSaveCompletedText);
  EXPECT_EQ(host.messages[0].title, "Information");

  SaveReport second = save(f, settings, host);
  EXPECT_EQ(second.outputFolder, (dest / "DataXEB1").string());
  EXPECT_EQ(filesUnder(dest / "DataXEB1").size(), 3u);
}

TEST(SaveToFolder, SameNamesGetNumberedCopies) {
  Fixture f;
  // The same sector found twice under one extension gives two items of one name.
  f.tree.addCarvedItem(10, find(u"Pictures", u"jpg", 5000), 512, f.disk.totalSectors());
  f.tree.addCarvedItem(10, find(u"Pictures", u"jpg", 5000), 512, f.disk.totalSectors());
  setChecked(*f.jpgA->parent, true);
  fs::path dest = freshFolder("clash");
  SaveSettings settings;
  settings.destination = dest.string();
  SaveHost host;
  EXPECT_EQ(save(f, settings, host).outcome, SaveOutcome::Completed);
  EXPECT_EQ(filesUnder(dest / "DataXEB0/Raw Data/Pictures/jpg"),
            (std::set<std::string>{"10.jpg", "#010.jpg", "#110.jpg", "100.jpg"}));
}

TEST(SaveToFolder, ItemsWhoseFolderVanishedGoToOrphanFilesInTheDestination) {
  Fixture f;
  setChecked(*f.jpgA->parent, true);
  fs::path dest = freshFolder("orphans");
  fs::create_directories(dest / "Orphan Files");
  {
    std::FILE* existing = std::fopen((dest / "Orphan Files" / "10.jpg").c_str(), "wb");
    std::fputs("older", existing);
    std::fclose(existing);
  }
  // While the first item (100.jpg, the newest) is copied, its folder is removed.
  f.disk.onRead = [&](std::size_t n) {
    if (n == 1) fs::remove_all(dest / "DataXEB0" / "Raw Data" / "Pictures" / "jpg");
  };
  SaveSettings settings;
  settings.destination = dest.string();
  SaveHost host;
  SaveReport report = save(f, settings, host);
  EXPECT_EQ(report.outcome, SaveOutcome::Completed);
  EXPECT_EQ(fileBytes(dest / "Orphan Files" / "#010.jpg"), f.disk.expected(*f.jpgA));
  EXPECT_EQ(fileBytes(dest / "Orphan Files" / "10.jpg"), (std::vector<std::uint8_t>{'o', 'l', 'd', 'e', 'r'}));
  EXPECT_FALSE(fs::exists(dest.parent_path() / "Orphan Files"));
}

TEST(SaveToFolder, ExcludedExtensionsAreLeftOutAndTheListEmptied) {
  Fixture f;
  setChecked(f.tree.root(), true);
  fs::path dest = freshFolder("exclude");
  SaveSettings settings;
  settings.destination = dest.string();
  settings.excludedExtensions = {u"DOC", u".gz"};
  SaveHost host;
  save(f, settings, host);
  EXPECT_TRUE(settings.excludedExtensions.empty());
  EXPECT_EQ(filesUnder(dest / "DataXEB0"),
            (std::set<std::string>{"Raw Data/Pictures/jpg/10.jpg", "Raw Data/Pictures/jpg/100.jpg",
                                   "Raw Data/Documents/pdf/300.pdf"}));
  EXPECT_FALSE(fs::exists(dest / "DataXEB0/Raw Data/Archives"));
  EXPECT_FALSE(fs::exists(dest / "DataXEB0/Raw Data/Documents/doc"));
  EXPECT_FALSE(f.doc->checked);
}

TEST(SaveToFolder, StopEndsAfterTheCurrentItemAndSaysAborted) {
  Fixture f;
  setChecked(f.tree.root(), true);
  fs::path dest = freshFolder("stop");
  SaveSettings settings;
  settings.destination = dest.string();
  SaveHost host;
  RunControl run;
  run.start();
  f.disk.onRead = [&](std::size_t) { run.stop(); };
  SaveReport report = saveMarkedItems(f.tree.root(), f.disk, settings, host, run);
  EXPECT_EQ(report.outcome, SaveOutcome::Stopped);
  EXPECT_EQ(report.filesWritten, 1u);
  EXPECT_EQ(filesUnder(dest / "DataXEB0").size(), 1u);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, kSaveAbortedText);
  EXPECT_EQ(host.messages[0].title, "Error");
  EXPECT_TRUE(host.statuses.empty());
}

TEST(SaveToFolder, CatalogueTextsNeverLeadOutOfTheDestination) {
  MemorySource disk(64, 512);
  ResultTree tree;
  ResultNode& item = tree.addCarvedItem(3, find(u"../..", u"../../../escaped", 700), 512, disk.totalSectors());
  setChecked(tree.root(), true);
  fs::path dest = freshFolder("escape/inner");
  SaveSettings settings;
  settings.destination = dest.string();
  SaveHost host;
  RunControl run;
  run.start();
  EXPECT_EQ(saveMarkedItems(tree.root(), disk, settings, host, run).outcome, SaveOutcome::Completed);
  std::set<std::string> files = filesUnder(dest.parent_path());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files.begin()->rfind("inner/DataXEB0/Raw Data/", 0), 0u) << *files.begin();
  EXPECT_EQ(fileBytes(dest.parent_path() / *files.begin()), disk.expected(item));
}

// ---- Mended faults ----

TEST(SaveFaults, ADisconnectedSourceIsAFailedSave) {
  Fixture f;
  setChecked(f.tree.root(), true);
  fs::path dest = freshFolder("disconnect");
  SaveSettings settings;
  settings.destination = dest.string();
  SaveHost host;
  f.disk.onRead = [&](std::size_t n) {
    if (n == 2) host.fail(kDisconnectedText);
  };
  SaveReport report = save(f, settings, host);
  EXPECT_EQ(report.outcome, SaveOutcome::Failed);
  EXPECT_TRUE(host.saw(kDisconnectedText));
  EXPECT_TRUE(host.saw(kSaveFailedText));
  EXPECT_FALSE(host.saw(kSaveCompletedText));
  EXPECT_TRUE(host.statuses.empty());
}

TEST(SaveFaults, AMissingDestinationEndsTheSaveWithAClearMessage) {
  Fixture f;
  setChecked(f.tree.root(), true);
  fs::path dest = freshFolder("missing") / "not here";
  SaveSettings settings;
  settings.destination = dest.string();
  SaveHost host;
  SaveReport report = save(f, settings, host);
  EXPECT_EQ(report.outcome, SaveOutcome::Failed);
  EXPECT_TRUE(report.outputFolder.empty());
  EXPECT_TRUE(report.resultFolder.empty());
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_NE(host.messages[0].text.find("does not exist"), std::string::npos);
  EXPECT_NE(host.messages[0].text.find(dest.string()), std::string::npos);
  EXPECT_FALSE(fs::exists(dest));
  EXPECT_TRUE(f.disk.reads.empty());
}

// Lets no new file descriptor be opened until the next message is shown.
class DescriptorDrought {
 public:
  DescriptorDrought() { ::getrlimit(RLIMIT_NOFILE, &saved_); }
  ~DescriptorDrought() { restore(); }
  void begin() {
    rlimit none = saved_;
    none.rlim_cur = 0;
    ::setrlimit(RLIMIT_NOFILE, &none);
  }
  void restore() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

 private:
  rlimit saved_{};
};

TEST(SaveFaults, AnArchiveThatCannotBeCreatedKeepsTheFilesAndSaysSo) {
  Fixture f;
  setChecked(*f.jpgA->parent, true);  // written after 300.pdf: 100.jpg (1,536 bytes), then 10.jpg (5,000)
  setChecked(*f.pdf, true);           // 100 bytes
  fs::path dest = freshFolder("zipfail");
  SaveSettings settings;
  settings.destination = dest.string();
  settings.compress = true;
  settings.archiveSplitBytes = 6000;  // 10.jpg needs a second archive
  SaveHost host;
  DescriptorDrought drought;
  f.disk.onRead = [&](std::size_t n) {
    if (n == 3) drought.begin();  // while 10.jpg is copied
  };
  host.onMessage = [&] { drought.restore(); };
  const std::uint32_t before = archiveCounter();
  SaveReport report = save(f, settings, host);
  drought.restore();

  EXPECT_EQ(report.outcome, SaveOutcome::Completed);
  EXPECT_TRUE(report.keptUncompressed);
  EXPECT_TRUE(host.sawContaining(kArchiveCreateFailedText));
  EXPECT_TRUE(host.sawContaining(report.outputFolder));
  EXPECT_FALSE(host.saw(kCompressedSaveCompletedText));
  ASSERT_EQ(report.archives.size(), 1u);
  EXPECT_EQ(report.archives[0], (dest / ("DataXEB0" + std::to_string(before + 1) + ".zip")).string());
  auto entries = unzipAll(report.archives[0]);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries["Raw Data/Documents/pdf/300.pdf"].bytes, f.disk.expected(*f.pdf));
  EXPECT_EQ(entries["Raw Data/Pictures/jpg/100.jpg"].bytes, f.disk.expected(*f.jpgB));
  // The file the archive could not take stays uncompressed in the output folder, which is kept.
  EXPECT_EQ(filesUnder(dest / "DataXEB0"), std::set<std::string>{"Raw Data/Pictures/jpg/10.jpg"});
  EXPECT_EQ(fileBytes(dest / "DataXEB0/Raw Data/Pictures/jpg/10.jpg"), f.disk.expected(*f.jpgA));
}

// ---- Zip archives ----

TEST(SaveToZip, MarkedItemsByteForByteDeflatedAtLevelEightOrStored) {
  Fixture f;
  setChecked(f.tree.root(), true);
  setChecked(*f.doc, false);
  fs::path dest = freshFolder("zip");
  SaveSettings settings;
  settings.destination = dest.string();
  settings.compress = true;
  std::vector<std::string> shown;
  settings.showDestination = [&](const std::string& t) { shown.push_back(t); };
  SaveHost host;
  const std::uint32_t before = archiveCounter();
  SaveReport report = save(f, settings, host);

  EXPECT_EQ(report.outcome, SaveOutcome::Completed);
  EXPECT_EQ(report.resultFolder, dest.string());
  const std::string archive = (dest / ("DataXEB0" + std::to_string(before + 1) + ".zip")).string();
  EXPECT_EQ(report.archives, std::vector<std::string>{archive});
  EXPECT_EQ(shown, std::vector<std::string>{"Saving recovered data to " + archive + ":"});
  // The uncompressed copies and the output folder are gone.
  EXPECT_FALSE(fs::exists(dest / "DataXEB0"));
  EXPECT_EQ(filesUnder(dest), std::set<std::string>{"DataXEB0" + std::to_string(before + 1) + ".zip"});

  auto entries = unzipAll(archive);
  std::set<std::string> names;
  for (const auto& [name, entry] : entries) names.insert(name);
  EXPECT_EQ(names, (std::set<std::string>{"Raw Data/Pictures/jpg/10.jpg", "Raw Data/Pictures/jpg/100.jpg",
                                          "Raw Data/Archives/gz/200.gz", "Raw Data/Documents/pdf/300.pdf"}));
  EXPECT_EQ(entries["Raw Data/Pictures/jpg/10.jpg"].bytes, f.disk.expected(*f.jpgA));
  EXPECT_EQ(entries["Raw Data/Pictures/jpg/100.jpg"].bytes, f.disk.expected(*f.jpgB));
  EXPECT_EQ(entries["Raw Data/Archives/gz/200.gz"].bytes, f.disk.expected(*f.gz));
  EXPECT_EQ(entries["Raw Data/Documents/pdf/300.pdf"].bytes, f.disk.expected(*f.pdf));
  const ZipEntry& jpg = entries["Raw Data/Pictures/jpg/10.jpg"];
  EXPECT_EQ(jpg.method, 8u);
  EXPECT_EQ(jpg.flag & 6u, 2u);  // the "maximum" flag minizip sets for levels 8 and 9
  EXPECT_EQ(entries["Raw Data/Archives/gz/200.gz"].method, 0u);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, kCompressedSaveCompletedText);
}

TEST(SaveToZip, StoredExtensions) {
  for (const char* name : {"1.Z", "1.z", "2.zip", "3.ZOO", "4.arc", "5.lzh", "6.arj", "7.gz", "8.tar.gz", "9.TGZ"})
    EXPECT_TRUE(storedInArchive(name)) << name;
  for (const char* name : {"1.jpg", "2.gzip", "3.zipx", "z", "4.pdf"}) EXPECT_FALSE(storedInArchive(name)) << name;
}

TEST(SaveToZip, ANewArchiveWhenTheRunningTotalPassesTheLimit) {
  MemorySource disk(1024, 512);
  ResultTree tree;
  std::vector<ResultNode*> items;
  for (std::uint64_t s : {10u, 20u, 30u, 40u})
    items.push_back(&tree.addCarvedItem(s, find(u"C", u"bin", 4000), 512, 1024));
  setChecked(tree.root(), true);
  fs::path dest = freshFolder("split");
  SaveSettings settings;
  settings.destination = dest.string();
  settings.compress = true;
  settings.archiveSplitBytes = 10000;
  SaveHost host;
  RunControl run;
  run.start();
  const std::uint32_t before = archiveCounter();
  SaveReport report = saveMarkedItems(tree.root(), disk, settings, host, run);
  ASSERT_EQ(report.archives.size(), 2u);
  EXPECT_EQ(report.archives[0], (dest / ("DataXEB0" + std::to_string(before + 1) + ".zip")).string());
  EXPECT_EQ(report.archives[1], (dest / ("DataXEB0" + std::to_string(before + 2) + ".zip")).string());
  auto first = unzipAll(report.archives[0]);
  auto second = unzipAll(report.archives[1]);
  // Newest first: 40 and 30 fill the first archive; 20 would pass 10,000 bytes.
  EXPECT_EQ(first.size(), 2u);
  EXPECT_EQ(first["Raw Data/C/bin/40.bin"].bytes, disk.expected(*items[3]));
  EXPECT_EQ(first["Raw Data/C/bin/30.bin"].bytes, disk.expected(*items[2]));
  EXPECT_EQ(second.size(), 2u);
  EXPECT_EQ(second["Raw Data/C/bin/20.bin"].bytes, disk.expected(*items[1]));
  EXPECT_EQ(second["Raw Data/C/bin/10.bin"].bytes, disk.expected(*items[0]));
  EXPECT_EQ(archiveCounter(), before + 2);
}

TEST(SaveToZip, AnExistingArchiveOrPlantedLinkIsNeverOverwritten) {
  Fixture f;
  setChecked(*f.pdf, true);
  fs::path dest = freshFolder("zipclash");
  fs::path outside = freshFolder("zipclash-outside") / "target";
  const std::uint32_t before = archiveCounter();
  const std::string first = "DataXEB0" + std::to_string(before + 1) + ".zip";
  const std::string second = "DataXEB0" + std::to_string(before + 2) + ".zip";
  {
    std::FILE* old = std::fopen((dest / first).c_str(), "wb");
    std::fputs("earlier run", old);
    std::fclose(old);
  }
  fs::create_symlink(outside, dest / second);
  SaveSettings settings;
  settings.destination = dest.string();
  settings.compress = true;
  SaveHost host;
  SaveReport report = save(f, settings, host);
  EXPECT_EQ(report.outcome, SaveOutcome::Completed);
  ASSERT_EQ(report.archives.size(), 1u);
  EXPECT_EQ(report.archives[0], (dest / ("DataXEB0" + std::to_string(before + 3) + ".zip")).string());
  EXPECT_EQ(fileBytes(dest / first).size(), 11u);
  EXPECT_FALSE(fs::exists(outside));
  EXPECT_EQ(unzipAll(report.archives[0])["Raw Data/Documents/pdf/300.pdf"].bytes, f.disk.expected(*f.pdf));
}

TEST(SaveToZip, AFileTooLargeForAnArchiveIsAskedAbout) {
  for (bool keep : {true, false}) {
    Fixture f;
    setChecked(*f.gz, true);   // 7,000 bytes: above the limit
    setChecked(*f.pdf, true);  // 100 bytes
    fs::path dest = freshFolder(keep ? "large-yes" : "large-no");
    {
      std::FILE* old = std::fopen((dest / "200.gz").c_str(), "wb");
      std::fputs("mine", old);
      std::fclose(old);
    }
    SaveSettings settings;
    settings.destination = dest.string();
    settings.compress = true;
    settings.archiveSplitBytes = 6000;
    std::vector<std::string> questions;
    settings.askSaveUncompressed = [&](const std::string& q) {
      questions.push_back(q);
      return keep;
    };
    SaveHost host;
    SaveReport report = save(f, settings, host);
    EXPECT_EQ(report.outcome, SaveOutcome::Completed);
    EXPECT_EQ(questions, std::vector<std::string>{std::string("200.gz") + kTooLargeForArchiveText});
    EXPECT_FALSE(fs::exists(dest / "DataXEB0"));
    EXPECT_EQ(fileBytes(dest / "200.gz").size(), 4u);  // never replaced
    if (keep)
      EXPECT_EQ(fileBytes(dest / "#0200.gz"), f.disk.expected(*f.gz));
    else
      EXPECT_FALSE(fs::exists(dest / "#0200.gz"));
    ASSERT_EQ(report.archives.size(), 1u);
    auto entries = unzipAll(report.archives[0]);
    EXPECT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries["Raw Data/Documents/pdf/300.pdf"].bytes, f.disk.expected(*f.pdf));
  }
}

}  // namespace
}  // namespace ov
