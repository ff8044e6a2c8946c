#include "carver/results.h"
#include "carver/saving.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <tuple>

#include "tests/support/test_support.h"
#include "tests/support/zip_reader.h"

namespace ov {
namespace {

namespace fs = std::filesystem;
using Buffer = std::vector<std::uint8_t>;

constexpr const char* kDisconnectedText = "Source disk is disconnected.\nPlease connect the disk and restart scanning.";

// A disk of random bytes in memory that records every read; hooks let a test act in the middle of a save.
class MemorySource : public CarvedDataSource {
 public:
  MemorySource(std::uint64_t sectors, std::uint32_t bytesPerSector) : bps_(bytesPerSector), bytes_(sectors * bytesPerSector) {
    std::mt19937 rng(7);
    for (auto& b : bytes_) b = static_cast<std::uint8_t>(rng());
  }
  // Unreadable sectors, and bytes past the end, leave the caller's zeros.
  bool read(std::uint64_t sector, std::size_t sectors, std::uint8_t* out) override {
    reads.emplace_back(sector, sectors);
    if (onRead) onRead(reads.size());
    for (std::size_t i = 0; i < sectors * bps_; ++i) out[i] = byteAt(sector * bps_ + i, out[i]);
    return sector + sectors <= badFrom || sector >= badTo;
  }
  std::uint32_t sectorSize() const override { return bps_; }
  Buffer expected(const ResultNode& item) const {
    Buffer out(static_cast<std::size_t>(item.size), 0);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = byteAt(item.startSector() * bps_ + i, 0);
    return out;
  }
  std::uint64_t totalSectors() const { return bytes_.size() / bps_; }

  std::vector<std::pair<std::uint64_t, std::size_t>> reads;
  std::function<void(std::size_t)> onRead;
  std::uint64_t badFrom = 0, badTo = 0;

 private:
  std::uint8_t byteAt(std::uint64_t at, std::uint8_t otherwise) const {
    const bool bad = at / bps_ >= badFrom && at / bps_ < badTo;
    return bad || at >= bytes_.size() ? otherwise : bytes_[static_cast<std::size_t>(at)];
  }
  std::uint32_t bps_;
  Buffer bytes_;
};

class SaveHost : public test::RecordingHost {
 public:
  void progress(std::uint64_t total, std::uint64_t done) override { progressCalls.emplace_back(total, done); }
  void statusText(const std::string& text) override { statuses.push_back(text); }
  void showMessage(const std::string& title, const std::string& text, MessageIcon icon) override {
    if (onMessage) onMessage();
    RecordingHost::showMessage(title, text, icon);
  }
  bool saw(const std::string& part) const {
    return std::any_of(messages.begin(), messages.end(), [&](const Message& m) { return m.text.find(part) != std::string::npos; });
  }
  std::vector<std::pair<std::uint64_t, std::uint64_t>> progressCalls;
  std::vector<std::string> statuses;
  std::function<void()> onMessage;
};

CarvedFind find(const std::u16string& category, const std::u16string& extension, std::uint64_t carved) { return {category, extension, carved, 0, 0}; }

Buffer text(const std::string& t) { return {t.begin(), t.end()}; }

std::map<std::string, Buffer> zipContents(const std::string& zip) {
  std::map<std::string, Buffer> out;
  for (auto& [name, entry] : test::unzipAll(zip)) out[name] = std::move(entry.bytes);
  return out;
}

// A results tree over 4,096 random sectors of 512 bytes, and a save of its marked items into a fresh folder.
struct Fixture {
  MemorySource disk{4096, 512};
  ResultTree tree;
  ResultNode *jpgA, *doc, *jpgB, *gz, *pdf;
  fs::path dest;
  SaveSettings settings;
  SaveHost host;
  RunControl run;
  std::uint32_t before = archiveCounter();

  explicit Fixture(const std::string& folder, bool compress = false, std::uint64_t split = 0) : dest(test::freshDir(folder)) {
    jpgA = &add(10, find(u"Pictures", u"jpg", 5000));
    doc = &add(40, find(u"Documents", u"doc", 3000));
    jpgB = &add(100, find(u"Pictures", u"jpg", 1536));
    gz = &add(200, find(u"Archives", u"gz", 7000));
    pdf = &add(300, find(u"Documents", u"pdf", 100));
    settings.destination = dest.string(), settings.compress = compress;
    if (split) settings.archiveSplitBytes = split;
  }
  ResultNode& add(std::uint64_t sector, const CarvedFind& f) { return tree.addCarvedItem(sector, f, 512, disk.totalSectors()); }
  SaveReport save() {
    run.start();
    return saveMarkedItems(tree.root(), disk, settings, host, run);
  }
  // The n-th archive name after the ones taken before this fixture.
  std::string archive(std::uint32_t n) const { return "DataXEB0" + std::to_string(before + n) + ".zip"; }
};

TEST(Find, TheSizeFieldAndWildcards) {
  std::uint64_t kb = 0;
  for (const char16_t* bad : {u"0", u"-4", u"abc", u"99999999999999999999"})
    EXPECT_EQ(checkFindSizeField(bad, kb), std::optional<std::string>(kSizeAboveZeroText));
  EXPECT_EQ(checkFindSizeField(u"", kb), std::optional<std::string>(kProvideSizeText));
  EXPECT_EQ(checkFindSizeField(u"100", kb), std::nullopt);
  EXPECT_EQ(kb, 100u);
  const std::tuple<const char16_t*, const char16_t*, bool, bool> rows[] = {  // pattern, name, match case, matches
      {u"*", u"", false, true},           {u"a*b*c", u"aXbYbZc", true, true}, {u"a*b*c", u"aXbYbZ", true, false},
      {u"??.doc", u"40.doc", true, true}, {u"?.doc", u"40.doc", true, false},  {u"ABC", u"abc", false, true},
      {u"\u00C9", u"\u00E9", false, false}, {u"@", u"`", false, false}};  // only ASCII letters fold
  for (const auto& [pattern, name, matchCase, matches] : rows) EXPECT_EQ(matchResultName(pattern, name, matchCase), matches);
}

TEST(Copy, UnreadableRangesAreZerosAndARefusingSinkStops) {
  MemorySource disk(1024, 4096);  // the item: sectors 100 to 868
  disk.badFrom = 300;
  disk.badTo = 600;
  ResultTree tree;
  ResultNode& item = tree.addCarvedItem(100, find(u"C", u"bin", 3 * kCopyPieceBytes), 4096, disk.totalSectors());
  std::vector<std::uint8_t> copied = readCarvedItem(disk, item);
  EXPECT_EQ(copied, disk.expected(item));
  int calls = 0;
  EXPECT_FALSE(copyCarvedItem(disk, item, [&](Bytes) { return ++calls < 2; }));
  EXPECT_EQ(calls, 2);
}

TEST(SaveToFolder, WritesExactlyTheMarkedItemsAndNumbersOutputFolders) {
  Fixture f("folders");
  setChecked(*f.jpgA->parent->parent, true);
  setChecked(*f.pdf, true);
  f.settings.destination += "/";
  std::vector<std::string> shown;
  f.settings.showDestination = [&](const std::string& t) { shown.push_back(t); };
  SaveReport report = f.save();

  EXPECT_EQ(report.outcome, SaveOutcome::Completed);
  EXPECT_EQ(report.outputFolder, (f.dest / "DataXEB0").string());
  EXPECT_EQ(report.resultFolder, report.outputFolder);
  EXPECT_EQ(shown, std::vector<std::string>{"Saving recovered data to " + report.outputFolder + ":"});
  const std::map<std::string, ResultNode*> written = {{"Raw Data/Pictures/jpg/10.jpg", f.jpgA},
                                                      {"Raw Data/Pictures/jpg/100.jpg", f.jpgB},
                                                      {"Raw Data/Documents/pdf/300.pdf", f.pdf}};
  EXPECT_EQ(test::filesUnder(f.dest / "DataXEB0").size(), written.size());
  for (const auto& [path, item] : written) EXPECT_EQ(test::readFile(f.dest / "DataXEB0" / path), f.disk.expected(*item)) << path;
  EXPECT_EQ(report.itemsWritten, 3u + 5u);  // Raw Data, 2 categories, 2 extensions
  ASSERT_FALSE(f.host.progressCalls.empty());
  EXPECT_EQ(f.host.progressCalls.front(), (std::pair<std::uint64_t, std::uint64_t>{3, 1}));
  EXPECT_EQ(f.host.statuses, std::vector<std::string>{kSaveCompletedStatus});
  ASSERT_EQ(f.host.messages.size(), 1u);
  EXPECT_EQ(f.host.messages[0].text, kSaveCompletedText);

  EXPECT_EQ(f.save().outputFolder, (f.dest / "DataXEB1").string());
  EXPECT_EQ(test::filesUnder(f.dest / "DataXEB1").size(), 3u);
}

TEST(SaveToFolder, ItemsWhoseFolderVanishedGoToOrphanFilesInTheDestination) {
  Fixture f("orphans");
  setChecked(*f.jpgA->parent, true);
  fs::create_directories(f.dest / "Orphan Files");
  test::writeFile(f.dest / "Orphan Files" / "10.jpg", text("older"));
  // While the first item (100.jpg, the newest) is copied, its folder is removed.
  f.disk.onRead = [&](std::size_t n) {
    if (n == 1) fs::remove_all(f.dest / "DataXEB0" / "Raw Data" / "Pictures" / "jpg");
  };
  EXPECT_EQ(f.save().outcome, SaveOutcome::Completed);
  EXPECT_EQ(test::readFile(f.dest / "Orphan Files" / "#010.jpg"), f.disk.expected(*f.jpgA));
  EXPECT_EQ(test::readFile(f.dest / "Orphan Files" / "10.jpg"), text("older"));
  EXPECT_FALSE(fs::exists(f.dest.parent_path() / "Orphan Files"));
}

TEST(SaveToFolder, StopEndsAfterTheCurrentItemAndSaysAborted) {
  Fixture f("stop");
  setChecked(f.tree.root(), true);
  f.disk.onRead = [&](std::size_t) { f.run.stop(); };
  EXPECT_EQ(f.save().outcome, SaveOutcome::Stopped);
  EXPECT_EQ(test::filesUnder(f.dest / "DataXEB0").size(), 1u);
  ASSERT_EQ(f.host.messages.size(), 1u);
  EXPECT_EQ(f.host.messages[0].text, kSaveAbortedText);
  EXPECT_TRUE(f.host.statuses.empty());
}

// Catalogue texts that climb, or are empty, become names inside the output folder.
TEST(SaveToFolder, CatalogueTextsNeverLeadOutOfTheDestination) {
  Fixture f("escape/inner");
  ResultNode& climbing = f.add(3, find(u"../..", u"../../../escaped", 700));
  ResultNode& empty = f.add(5, find(u"", u"", 600));
  setChecked(climbing, true);
  setChecked(empty, true);
  EXPECT_EQ(f.save().outcome, SaveOutcome::Completed);
  std::set<std::string> files = test::filesUnder(f.dest.parent_path());
  ASSERT_EQ(files.size(), 2u);
  std::set<Buffer> contents;
  for (const std::string& file : files) {
    EXPECT_EQ(file.rfind("inner/DataXEB0/Raw Data/", 0), 0u) << file;
    contents.insert(test::readFile(f.dest.parent_path() / file));
  }
  EXPECT_EQ(contents, (std::set<Buffer>{f.disk.expected(climbing), f.disk.expected(empty)}));
}

TEST(SaveFaults, ADisconnectedSourceIsAFailedSave) {
  Fixture f("disconnect");
  setChecked(f.tree.root(), true);
  f.disk.onRead = [&](std::size_t n) {
    if (n == 2) f.host.fail(kDisconnectedText);
  };
  EXPECT_EQ(f.save().outcome, SaveOutcome::Failed);
  EXPECT_TRUE(f.host.saw(kDisconnectedText));
  EXPECT_TRUE(f.host.saw(kSaveFailedText));
  EXPECT_FALSE(f.host.saw(kSaveCompletedText));
  EXPECT_TRUE(f.host.statuses.empty());
}

TEST(SaveFaults, AMissingDestinationEndsTheSaveWithAClearMessage) {
  Fixture f("missing");
  const fs::path dest = f.dest / "not here";
  f.settings.destination = dest.string();
  setChecked(f.tree.root(), true);
  SaveReport report = f.save();
  EXPECT_EQ(report.outcome, SaveOutcome::Failed);
  EXPECT_TRUE(report.outputFolder.empty());
  ASSERT_EQ(f.host.messages.size(), 1u);
  EXPECT_TRUE(f.host.saw("does not exist") && f.host.saw(dest.string()));
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
  Fixture f("zipfail", true, 6000);  // 10.jpg needs a second archive
  setChecked(*f.jpgA->parent, true);  // written after 300.pdf: 100.jpg (1,536 bytes), then 10.jpg (5,000)
  setChecked(*f.pdf, true);           // 100 bytes
  DescriptorDrought drought;
  f.disk.onRead = [&](std::size_t n) {
    if (n == 3) drought.begin();  // while 10.jpg is copied
  };
  f.host.onMessage = [&] { drought.restore(); };
  SaveReport report = f.save();
  drought.restore();

  EXPECT_EQ(report.outcome, SaveOutcome::Completed);
  EXPECT_TRUE(report.keptUncompressed);
  EXPECT_TRUE(f.host.saw(kArchiveCreateFailedText) && f.host.saw(report.outputFolder));
  EXPECT_FALSE(f.host.saw(kCompressedSaveCompletedText));
  ASSERT_EQ(report.archives, std::vector<std::string>{(f.dest / f.archive(1)).string()});
  EXPECT_EQ(zipContents(report.archives[0]), (std::map<std::string, Buffer>{{"Raw Data/Documents/pdf/300.pdf", f.disk.expected(*f.pdf)},
                                                                          {"Raw Data/Pictures/jpg/100.jpg", f.disk.expected(*f.jpgB)}}));
  // The file the archive could not take stays uncompressed in the output folder, which is kept.
  EXPECT_EQ(test::filesUnder(f.dest / "DataXEB0"), std::set<std::string>{"Raw Data/Pictures/jpg/10.jpg"});
  EXPECT_EQ(test::readFile(f.dest / "DataXEB0/Raw Data/Pictures/jpg/10.jpg"), f.disk.expected(*f.jpgA));
}

TEST(SaveToZip, MarkedItemsByteForByteDeflatedAtLevelEightOrStored) {
  Fixture f("zip", true);
  setChecked(f.tree.root(), true);
  setChecked(*f.doc, false);
  std::vector<std::string> shown;
  f.settings.showDestination = [&](const std::string& t) { shown.push_back(t); };
  SaveReport report = f.save();

  EXPECT_EQ(report.outcome, SaveOutcome::Completed);
  EXPECT_EQ(report.resultFolder, f.dest.string());
  const std::string zip = (f.dest / f.archive(1)).string();
  EXPECT_EQ(report.archives, std::vector<std::string>{zip});
  EXPECT_EQ(shown, std::vector<std::string>{"Saving recovered data to " + zip + ":"});
  // The uncompressed copies and the output folder are gone.
  EXPECT_EQ(test::filesUnder(f.dest), std::set<std::string>{f.archive(1)});
  EXPECT_EQ(zipContents(zip), (std::map<std::string, Buffer>{{"Raw Data/Pictures/jpg/10.jpg", f.disk.expected(*f.jpgA)},
                                                             {"Raw Data/Pictures/jpg/100.jpg", f.disk.expected(*f.jpgB)},
                                                             {"Raw Data/Archives/gz/200.gz", f.disk.expected(*f.gz)},
                                                             {"Raw Data/Documents/pdf/300.pdf", f.disk.expected(*f.pdf)}}));
  auto entries = test::unzipAll(zip);
  EXPECT_EQ(entries["Raw Data/Pictures/jpg/10.jpg"].method, 8u);
  EXPECT_EQ(entries["Raw Data/Pictures/jpg/10.jpg"].flag & 6u, 2u);  // the "maximum" flag of levels 8 and 9
  EXPECT_EQ(entries["Raw Data/Archives/gz/200.gz"].method, 0u);
  ASSERT_EQ(f.host.messages.size(), 1u);
  EXPECT_EQ(f.host.messages[0].text, kCompressedSaveCompletedText);
}

TEST(SaveToZip, ANewArchiveWhenTheRunningTotalPassesTheLimit) {
  Fixture f("split", true, 10000);
  std::map<std::uint64_t, ResultNode*> items;
  for (std::uint64_t s : {20u, 30u, 40u, 50u}) setChecked(*(items[s] = &f.add(s, find(u"C", u"bin", 4000))), true);
  SaveReport report = f.save();
  ASSERT_EQ(report.archives, (std::vector<std::string>{(f.dest / f.archive(1)).string(), (f.dest / f.archive(2)).string()}));
  // Newest first: 50 and 40 fill the first archive; 30 would pass 10,000 bytes.
  auto entry = [&](std::uint64_t s) { return std::pair{"Raw Data/C/bin/" + std::to_string(s) + ".bin", f.disk.expected(*items[s])}; };
  EXPECT_EQ(zipContents(report.archives[0]), (std::map<std::string, Buffer>{entry(50), entry(40)}));
  EXPECT_EQ(zipContents(report.archives[1]), (std::map<std::string, Buffer>{entry(30), entry(20)}));
}

TEST(SaveToZip, AnExistingArchiveOrPlantedLinkIsNeverOverwritten) {
  Fixture f("zipclash", true);
  setChecked(*f.pdf, true);
  fs::path outside = test::freshDir("zipclash-outside") / "target";
  test::writeFile(f.dest / f.archive(1), text("earlier run"));
  fs::create_symlink(outside, f.dest / f.archive(2));
  SaveReport report = f.save();
  EXPECT_EQ(report.outcome, SaveOutcome::Completed);
  ASSERT_EQ(report.archives, std::vector<std::string>{(f.dest / f.archive(3)).string()});
  EXPECT_EQ(test::readFile(f.dest / f.archive(1)), text("earlier run"));
  EXPECT_FALSE(fs::exists(outside));
  EXPECT_EQ(zipContents(report.archives[0]), (std::map<std::string, Buffer>{{"Raw Data/Documents/pdf/300.pdf", f.disk.expected(*f.pdf)}}));
}

TEST(SaveToZip, AFileTooLargeForAnArchiveIsAskedAbout) {
  for (bool keep : {true, false}) {
    Fixture f(keep ? "large-yes" : "large-no", true, 6000);
    setChecked(*f.gz, true);   // 7,000 bytes: above the limit
    setChecked(*f.pdf, true);  // 100 bytes
    test::writeFile(f.dest / "200.gz", text("mine"));
    std::vector<std::string> questions;
    f.settings.askSaveUncompressed = [&](const std::string& q) {
      questions.push_back(q);
      return keep;
    };
    SaveReport report = f.save();
    EXPECT_EQ(report.outcome, SaveOutcome::Completed);
    EXPECT_EQ(questions, std::vector<std::string>{std::string("200.gz") + kTooLargeForArchiveText});
    EXPECT_FALSE(fs::exists(f.dest / "DataXEB0"));
    EXPECT_EQ(test::readFile(f.dest / "200.gz"), text("mine"));  // never replaced
    EXPECT_EQ(fs::exists(f.dest / "#0200.gz"), keep);
    if (keep) {
      EXPECT_EQ(test::readFile(f.dest / "#0200.gz"), f.disk.expected(*f.gz));
    }
    ASSERT_EQ(report.archives.size(), 1u);
    EXPECT_EQ(zipContents(report.archives[0]), (std::map<std::string, Buffer>{{"Raw Data/Documents/pdf/300.pdf", f.disk.expected(*f.pdf)}}));
  }
}

}  // namespace
}  // namespace ov
