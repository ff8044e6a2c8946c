#include "workbench/models/output_folder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <tuple>

#include "tests/support/test_support.h"
#include "workbench/models/find_files.h"

namespace ov {
namespace {

namespace fs = std::filesystem;

TEST(SafeOutputName, NeverLeavesTheFolder) {
  EXPECT_EQ(safeOutputName(u"a/b"), "a_b");
  EXPECT_EQ(safeOutputName(u".."), "_..");
  EXPECT_EQ(safeOutputName(u"."), "_.");
  EXPECT_EQ(safeOutputName(u""), "_");
  EXPECT_EQ(safeOutputName(std::u16string(u"x\0y", 3)), "x_y");
  EXPECT_EQ(safeOutputName(u"caf\u00e9.txt"), "caf\xC3\xA9.txt");
}

TEST(SafeOutputName, LongNamesKeepTheirExtensionAndWholeCharacters) {
  std::u16string longName(250, u'\u65E5');  // 3 bytes each in UTF-8
  longName += u".txt";
  std::string name = safeOutputName(longName);
  EXPECT_LE(name.size(), kMaxOutputNameBytes);
  EXPECT_EQ(name.substr(name.size() - 4), ".txt");
  EXPECT_EQ((name.size() - 4) % 3, 0u);
}

TEST(OutputFolder, ClashesGetNumberedNames) {
  fs::path dir = test::freshDir("clash");
  int error = 0;
  OutputFolder out = OutputFolder::open(dir.string(), error);
  ASSERT_TRUE(out.isOpen());
  std::string used;
  for (const char* expected : {"a.txt", "#0a.txt", "#1a.txt"}) {
    int fd = out.createFile(u"a.txt", used, error);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(used, expected);
  }
}

TEST(OutputFolder, PlantedLinksAreNotFollowed) {
  fs::path dir = test::freshDir("links");
  fs::path outside = test::freshDir("outside");
  fs::create_directory_symlink(outside, dir / "Docs");
  fs::create_symlink(outside / "victim.txt", dir / "victim.txt");
  int error = 0;
  OutputFolder out = OutputFolder::open(dir.string(), error);
  OutputFolder docs = out.subfolder(u"Docs", error);
  ASSERT_TRUE(docs.isOpen());
  std::string used;
  int fd = docs.createFile(u"x.txt", used, error);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_TRUE(fs::exists(dir / "#0Docs" / "x.txt"));
  fd = out.createFile(u"victim.txt", used, error);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_EQ(used, "#0victim.txt");
  EXPECT_TRUE(fs::is_empty(outside));
}

TEST(OutputFolder, ExistingFolderIsReused) {
  fs::path dir = test::freshDir("reuse");
  fs::create_directory(dir / "Photos");
  int error = 0;
  OutputFolder out = OutputFolder::open(dir.string(), error);
  OutputFolder photos = out.subfolder(u"Photos", error);
  ASSERT_TRUE(photos.isOpen());
  std::string used;
  ::close(photos.createFile(u"p.jpg", used, error));
  EXPECT_TRUE(fs::exists(dir / "Photos" / "p.jpg"));
}

TEST(MatchName, StarsAndQuestionMarks) {
  const std::tuple<const char16_t*, const char16_t*, bool, bool> rows[] = {  // pattern, name, match case, matches
      {u"*.txt", u".txt", false, true},         {u"*.txt", u"a.txt1", false, false}, {u"a?c", u"ac", false, false},
      {u"readme.*", u"README.TXT", false, true}, {u"readme.*", u"README.TXT", true, false},
      {u"*a*b*c", u"xxaxxbxxbxc", false, true},  {u"*a*b*c", u"xxaxxbxxbx", false, false}, {u"a", u"", false, false}};
  for (const auto& [pattern, name, matchCase, matches] : rows) EXPECT_EQ(matchName(pattern, name, matchCase), matches);
}

}  // namespace
}  // namespace ov
