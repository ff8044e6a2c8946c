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

#include "tests/support/test_support.h"
#include "tests/support/zip_reader.h"

namespace ov {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDisconnectedText = "Source disk is disconnected.\nPlease connect the disk and restart scanning.";

// A disk in memory that records every read; hooks let a test act in the middle of a save.
class MemorySource : public CarvedDataSource {
 public:
  MemorySource(std::uint64_t sectors, std::uint32_t bytesPerSector)
      : bps_(bytesPerSector), bytes_(sectors * bytesPerSector) {
    std::mt19937 rng(7);
    for (auto& b : bytes_) b = static_cast<std::uint8_t>(rng());
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
  return CarvedFind{category, extension, carved, 0, 0};
}

ResultNode* child(ResultNode& node, const std::u16string& name) {
  for (ResultNode* c = node.firstChild; c; c = c->nextSibling)
    if (c->name == name) return c;
  return nullptr;
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

TEST(ResultTree, CatalogueTextsCannotClimbOutOfTheirFolder) {
  EXPECT_EQ(carvedNamePart(u"../../etc"), u"___.__etc");
  EXPECT_EQ(carvedNamePart(u".."), u"__");
  EXPECT_EQ(carvedNamePart(u"a\\b"), u"a_b");
  EXPECT_EQ(carvedNamePart(u""), u"_");
  EXPECT_EQ(carvedNamePart(u"tar.gz"), u"tar.gz");  // the items saved from such texts: SaveToFolder below
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

// ---- Copying and finding ----

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

// ---- Saving to folders ----

SaveReport save(ResultTree& tree, CarvedDataSource& disk, SaveSettings& settings, SaveHost& host) {
  RunControl run;
  run.start();
  return saveMarkedItems(tree.root(), disk, settings, host, run);
}
SaveReport save(Fixture& f, SaveSettings& settings, SaveHost& host) { return save(f.tree, f.disk, settings, host); }

SaveSettings to(const fs::path& dest, bool compress = false, std::uint64_t split = 0) {
  SaveSettings s;
  s.destination = dest.string();
  s.compress = compress;
  if (split) s.archiveSplitBytes = split;
  return s;
}

// The name of the n-th archive after `before`.
std::string archive(std::uint32_t before, std::uint32_t n) { return "DataXEB0" + std::to_string(before + n) + ".zip"; }

std::vector<std::uint8_t> text(const std::string& t) { return {t.begin(), t.end()}; }

TEST(SaveToFolder, WritesExactlyTheMarkedItemsAndNumbersOutputFolders) {
  Fixture f;
  setChecked(*child(f.tree.rawData(), u"Pictures"), true);
  setChecked(*f.pdf, true);
  fs::path dest = test::freshDir("folders");
  SaveSettings settings = to(dest.string() + "/");
  std::vector<std::string> shown;
  settings.showDestination = [&](const std::string& t) { shown.push_back(t); };
  SaveHost host;
  SaveReport report = save(f, settings, host);

  EXPECT_EQ(report.outcome, SaveOutcome::Completed);
  EXPECT_EQ(report.outputFolder, (dest / "DataXEB0").string());
  EXPECT_EQ(report.resultFolder, report.outputFolder);
  EXPECT_EQ(shown, std::vector<std::string>{"Saving recovered data to " + report.outputFolder + ":"});
  const std::map<std::string, ResultNode*> written = {{"Raw Data/Pictures/jpg/10.jpg", f.jpgA},
                                                      {"Raw Data/Pictures/jpg/100.jpg", f.jpgB},
                                                      {"Raw Data/Documents/pdf/300.pdf", f.pdf}};
  EXPECT_EQ(test::filesUnder(dest / "DataXEB0").size(), written.size());
  for (const auto& [path, item] : written) EXPECT_EQ(test::readFile(dest / "DataXEB0" / path), f.disk.expected(*item)) << path;
  EXPECT_EQ(report.itemsWritten, 3u + 5u);  // Raw Data, 2 categories, 2 extensions
  ASSERT_FALSE(host.progressCalls.empty());
  EXPECT_EQ(host.progressCalls.front(), (std::pair<std::uint64_t, std::uint64_t>{3, 1}));
  EXPECT_EQ(host.statuses, std::vector<std::string>{kSaveCompletedStatus});
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, kSaveCompletedText);

  EXPECT_EQ(save(f, settings, host).outputFolder, (dest / "DataXEB1").string());
  EXPECT_EQ(test::filesUnder(dest / "DataXEB1").size(), 3u);
}

TEST(SaveToFolder, ItemsWhoseFolderVanishedGoToOrphanFilesInTheDestination) {
  Fixture f;
  setChecked(*f.jpgA->parent, true);
  fs::path dest = test::freshDir("orphans");
  fs::create_directories(dest / "Orphan Files");
  test::writeFile(dest / "Orphan Files" / "10.jpg", text("older"));
  // While the first item (100.jpg, the newest) is copied, its folder is removed.
  f.disk.onRead = [&](std::size_t n) {
    if (n == 1) fs::remove_all(dest / "DataXEB0" / "Raw Data" / "Pictures" / "jpg");
  };
  SaveSettings settings = to(dest);
  SaveHost host;
  EXPECT_EQ(save(f, settings, host).outcome, SaveOutcome::Completed);
  EXPECT_EQ(test::readFile(dest / "Orphan Files" / "#010.jpg"), f.disk.expected(*f.jpgA));
  EXPECT_EQ(test::readFile(dest / "Orphan Files" / "10.jpg"), text("older"));
  EXPECT_FALSE(fs::exists(dest.parent_path() / "Orphan Files"));
}

TEST(SaveToFolder, StopEndsAfterTheCurrentItemAndSaysAborted) {
  Fixture f;
  setChecked(f.tree.root(), true);
  fs::path dest = test::freshDir("stop");
  SaveSettings settings = to(dest);
  SaveHost host;
  RunControl run;
  run.start();
  f.disk.onRead = [&](std::size_t) { run.stop(); };
  SaveReport report = saveMarkedItems(f.tree.root(), f.disk, settings, host, run);
  EXPECT_EQ(report.outcome, SaveOutcome::Stopped);
  EXPECT_EQ(test::filesUnder(dest / "DataXEB0").size(), 1u);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, kSaveAbortedText);
  EXPECT_TRUE(host.statuses.empty());
}

TEST(SaveToFolder, CatalogueTextsNeverLeadOutOfTheDestination) {
  MemorySource disk(64, 512);
  ResultTree tree;
  ResultNode& item = tree.addCarvedItem(3, find(u"../..", u"../../../escaped", 700), 512, disk.totalSectors());
  setChecked(tree.root(), true);
  fs::path dest = test::freshDir("escape/inner");
  SaveSettings settings = to(dest);
  SaveHost host;
  EXPECT_EQ(save(tree, disk, settings, host).outcome, SaveOutcome::Completed);
  std::set<std::string> files = test::filesUnder(dest.parent_path());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files.begin()->rfind("inner/DataXEB0/Raw Data/", 0), 0u) << *files.begin();
  EXPECT_EQ(test::readFile(dest.parent_path() / *files.begin()), disk.expected(item));
}

// ---- Mended faults ----

TEST(SaveFaults, ADisconnectedSourceIsAFailedSave) {
  Fixture f;
  setChecked(f.tree.root(), true);
  SaveSettings settings = to(test::freshDir("disconnect"));
  SaveHost host;
  f.disk.onRead = [&](std::size_t n) {
    if (n == 2) host.fail(kDisconnectedText);
  };
  EXPECT_EQ(save(f, settings, host).outcome, SaveOutcome::Failed);
  EXPECT_TRUE(host.saw(kDisconnectedText));
  EXPECT_TRUE(host.saw(kSaveFailedText));
  EXPECT_FALSE(host.saw(kSaveCompletedText));
  EXPECT_TRUE(host.statuses.empty());
}

TEST(SaveFaults, AMissingDestinationEndsTheSaveWithAClearMessage) {
  Fixture f;
  setChecked(f.tree.root(), true);
  fs::path dest = test::freshDir("missing") / "not here";
  SaveSettings settings = to(dest);
  SaveHost host;
  SaveReport report = save(f, settings, host);
  EXPECT_EQ(report.outcome, SaveOutcome::Failed);
  EXPECT_TRUE(report.outputFolder.empty());
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
  fs::path dest = test::freshDir("zipfail");
  SaveSettings settings = to(dest, true, 6000);  // 10.jpg needs a second archive
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
  EXPECT_EQ(report.archives, std::vector<std::string>{(dest / archive(before, 1)).string()});
  auto entries = test::unzipAll(report.archives.at(0));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries["Raw Data/Documents/pdf/300.pdf"].bytes, f.disk.expected(*f.pdf));
  EXPECT_EQ(entries["Raw Data/Pictures/jpg/100.jpg"].bytes, f.disk.expected(*f.jpgB));
  // The file the archive could not take stays uncompressed in the output folder, which is kept.
  EXPECT_EQ(test::filesUnder(dest / "DataXEB0"), std::set<std::string>{"Raw Data/Pictures/jpg/10.jpg"});
  EXPECT_EQ(test::readFile(dest / "DataXEB0/Raw Data/Pictures/jpg/10.jpg"), f.disk.expected(*f.jpgA));
}

// ---- Zip archives ----

TEST(SaveToZip, MarkedItemsByteForByteDeflatedAtLevelEightOrStored) {
  Fixture f;
  setChecked(f.tree.root(), true);
  setChecked(*f.doc, false);
  fs::path dest = test::freshDir("zip");
  SaveSettings settings = to(dest, true);
  std::vector<std::string> shown;
  settings.showDestination = [&](const std::string& t) { shown.push_back(t); };
  SaveHost host;
  const std::uint32_t before = archiveCounter();
  SaveReport report = save(f, settings, host);

  EXPECT_EQ(report.outcome, SaveOutcome::Completed);
  EXPECT_EQ(report.resultFolder, dest.string());
  const std::string zip = (dest / archive(before, 1)).string();
  EXPECT_EQ(report.archives, std::vector<std::string>{zip});
  EXPECT_EQ(shown, std::vector<std::string>{"Saving recovered data to " + zip + ":"});
  // The uncompressed copies and the output folder are gone.
  EXPECT_EQ(test::filesUnder(dest), std::set<std::string>{archive(before, 1)});

  auto entries = test::unzipAll(zip);
  const std::map<std::string, ResultNode*> expected = {{"Raw Data/Pictures/jpg/10.jpg", f.jpgA},
                                                       {"Raw Data/Pictures/jpg/100.jpg", f.jpgB},
                                                       {"Raw Data/Archives/gz/200.gz", f.gz},
                                                       {"Raw Data/Documents/pdf/300.pdf", f.pdf}};
  EXPECT_EQ(entries.size(), expected.size());
  for (const auto& [name, item] : expected) EXPECT_EQ(entries[name].bytes, f.disk.expected(*item)) << name;
  EXPECT_EQ(entries["Raw Data/Pictures/jpg/10.jpg"].method, 8u);
  EXPECT_EQ(entries["Raw Data/Pictures/jpg/10.jpg"].flag & 6u, 2u);  // the "maximum" flag of levels 8 and 9
  EXPECT_EQ(entries["Raw Data/Archives/gz/200.gz"].method, 0u);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, kCompressedSaveCompletedText);
}

TEST(SaveToZip, ANewArchiveWhenTheRunningTotalPassesTheLimit) {
  MemorySource disk(1024, 512);
  ResultTree tree;
  std::vector<ResultNode*> items;
  for (std::uint64_t s : {10u, 20u, 30u, 40u}) items.push_back(&tree.addCarvedItem(s, find(u"C", u"bin", 4000), 512, 1024));
  setChecked(tree.root(), true);
  fs::path dest = test::freshDir("split");
  SaveSettings settings = to(dest, true, 10000);
  SaveHost host;
  const std::uint32_t before = archiveCounter();
  SaveReport report = save(tree, disk, settings, host);
  EXPECT_EQ(report.archives, (std::vector<std::string>{(dest / archive(before, 1)).string(), (dest / archive(before, 2)).string()}));
  ASSERT_EQ(report.archives.size(), 2u);
  // Newest first: 40 and 30 fill the first archive; 20 would pass 10,000 bytes.
  auto first = test::unzipAll(report.archives[0]);
  auto second = test::unzipAll(report.archives[1]);
  EXPECT_EQ(first.size(), 2u);
  EXPECT_EQ(second.size(), 2u);
  EXPECT_EQ(first["Raw Data/C/bin/40.bin"].bytes, disk.expected(*items[3]));
  EXPECT_EQ(first["Raw Data/C/bin/30.bin"].bytes, disk.expected(*items[2]));
  EXPECT_EQ(second["Raw Data/C/bin/20.bin"].bytes, disk.expected(*items[1]));
  EXPECT_EQ(second["Raw Data/C/bin/10.bin"].bytes, disk.expected(*items[0]));
}

TEST(SaveToZip, AnExistingArchiveOrPlantedLinkIsNeverOverwritten) {
  Fixture f;
  setChecked(*f.pdf, true);
  fs::path dest = test::freshDir("zipclash");
  fs::path outside = test::freshDir("zipclash-outside") / "target";
  const std::uint32_t before = archiveCounter();
  test::writeFile(dest / archive(before, 1), text("earlier run"));
  fs::create_symlink(outside, dest / archive(before, 2));
  SaveSettings settings = to(dest, true);
  SaveHost host;
  SaveReport report = save(f, settings, host);
  EXPECT_EQ(report.outcome, SaveOutcome::Completed);
  EXPECT_EQ(report.archives, std::vector<std::string>{(dest / archive(before, 3)).string()});
  EXPECT_EQ(test::readFile(dest / archive(before, 1)), text("earlier run"));
  EXPECT_FALSE(fs::exists(outside));
  EXPECT_EQ(test::unzipAll(report.archives.at(0))["Raw Data/Documents/pdf/300.pdf"].bytes, f.disk.expected(*f.pdf));
}

TEST(SaveToZip, AFileTooLargeForAnArchiveIsAskedAbout) {
  for (bool keep : {true, false}) {
    Fixture f;
    setChecked(*f.gz, true);   // 7,000 bytes: above the limit
    setChecked(*f.pdf, true);  // 100 bytes
    fs::path dest = test::freshDir(keep ? "large-yes" : "large-no");
    test::writeFile(dest / "200.gz", text("mine"));
    SaveSettings settings = to(dest, true, 6000);
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
    EXPECT_EQ(test::readFile(dest / "200.gz"), text("mine"));  // never replaced
    EXPECT_EQ(fs::exists(dest / "#0200.gz"), keep);
    if (keep) {
      EXPECT_EQ(test::readFile(dest / "#0200.gz"), f.disk.expected(*f.gz));
    }
    ASSERT_EQ(report.archives.size(), 1u);
    auto entries = test::unzipAll(report.archives[0]);
    EXPECT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries["Raw Data/Documents/pdf/300.pdf"].bytes, f.disk.expected(*f.pdf));
  }
}

}  // namespace
}  // namespace ov
