// The workbench's models: texts at their thresholds, previews, find rules, and the output folder names never leave.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "tests/support/test_support.h"
#include "workbench/models/file_search.h"
#include "workbench/models/find_files.h"
#include "workbench/models/list_texts.h"
#include "workbench/models/output_folder.h"
#include "workbench/models/preview_texts.h"
#include "workbench/models/sector_range.h"
#include "workbench/models/volume_search_dialog.h"

namespace ov {
namespace {

TEST(WorkbenchTexts, SizesSwitchUnitsAtTheirThresholds) {
  const std::tuple<std::uint64_t, const char*, const char*> rows[] = {
      {1048575, "1023.999 KB in 3 Files in 1 Folders", "(1023.999 KB) 1048575 bytes"},
      {1048576, "  1.000 MB in 3 Files in 1 Folders", "(1.000   MB) 1048576 bytes"},
      {1073741824, "  1.000 GB in 3 Files in 1 Folders", "(1.000   GB) 1073741824 bytes"},
  };
  for (const auto& [bytes, totals, properties] : rows) {
    EXPECT_EQ(totalsText(bytes, 3, 1), totals) << bytes;
    EXPECT_EQ(propertiesSizeText(bytes), properties) << bytes;
  }
}

TEST(WorkbenchTexts, ImpossibleDatesAShortHexLineAndTextRecognisedOnlyWhenItIsText) {
  EXPECT_EQ(propertiesDateText(static_cast<std::uint16_t>((28 << 9) | (9 << 5) | 9)), "Tuesday, September 09, 2008");
  for (std::uint16_t impossible : {std::uint16_t{0}, std::uint16_t((28 << 9) | (13 << 5) | 1), std::uint16_t(28 << 9)})
    EXPECT_EQ(propertiesDateText(impossible), "N\\A") << impossible;
  EXPECT_EQ(listDateText(0), "");
  // A last line of four bytes keeps the full line's width; ANSI bytes show as Windows-1252.
  const std::vector<std::uint8_t> data = {0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49,
                                          0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F, 0x41, 0x2E, 0xC9, 0x00};
  ASSERT_EQ(hexLineCount(data.size()), 2u);
  const HexLine first = hexLine(data, 0), second = hexLine(data, 1);
  EXPECT_EQ(second.offset, "00000010");
  EXPECT_EQ(second.binary, "    41 2E C9 00" + std::string(4 * 3, ' ') + " - " + std::string(8 * 3 - 1, ' ') + "    ");
  EXPECT_EQ(second.ansi, "A.\xC3\x89.");
  EXPECT_EQ(first.binary.size(), second.binary.size());
  const std::pair<std::vector<std::uint8_t>, std::optional<std::u16string>> texts[] = {
      {{'h', 'i', '\r', '\n'}, u"hi\r\n"},
      {{0xEF, 0xBB, 0xBF, 0xC3, 0xA9}, u"\u00e9"},       // UTF-8 with its mark
      {{0xC3, 0xA9, 't', 0xC3, 0xA9}, u"\u00e9t\u00e9"},  // UTF-8 without
      {{0xFF, 0xFE, 'a', 0, 0x3A, 0x04}, u"a\u043a"},     // UTF-16 little-endian
      {{0xFE, 0xFF, 0, 'a'}, u"a"},
      {{'c', 'a', 'f', 0xE9}, u"caf\u00e9"},  // Windows-1252
      {{0x80}, u"\u20ac"},
      {{'a', 0, 'b'}, std::nullopt},  // binary
      {{0x81}, std::nullopt},         // undefined in Windows-1252
  };
  for (const auto& [bytes, text] : texts) EXPECT_EQ(decodeText(bytes), text);
}

TEST(FindRules, NamesSizesAndDates) {
  const std::tuple<const char16_t*, const char16_t*, bool, bool> rows[] = {  // pattern, name, match case, matches
      {u"*.txt", u".txt", false, true},         {u"*.txt", u"a.txt1", false, false}, {u"a?c", u"ac", false, false},
      {u"readme.*", u"README.TXT", false, true}, {u"readme.*", u"README.TXT", true, false},
      {u"*a*b*c", u"xxaxxbxxbxc", false, true},  {u"*a*b*c", u"xxaxxbxxbx", false, false}, {u"a", u"", false, false}};
  for (const auto& [pattern, name, matchCase, matches] : rows) EXPECT_EQ(matchName(pattern, name, matchCase), matches);
  FindCriteria c;
  c.pattern = u"*";
  c.sizeOn = true;
  for (auto [bytes, usable] : {std::pair<std::uint64_t, bool>{0, false}, {1, true}, {kMaxFindSizeBytes, true},
                               {kMaxFindSizeBytes + 1, false}}) {
    c.sizeBytes = bytes;
    EXPECT_EQ(findCriteriaUsable(c), usable) << bytes;
  }
  EXPECT_EQ(findSizeBytes(UINT64_MAX, 0), UINT64_MAX);  // never wraps to a small size

  // "At most" 1 KB, accessed in 2008.
  c.sizeAtMost = true;
  c.sizeBytes = findSizeBytes(1, 0);
  c.dateOn = true;
  c.dateFrom = static_cast<std::uint16_t>((28 << 9) | (1 << 5) | 1);
  c.dateTo = static_cast<std::uint16_t>((28 << 9) | (12 << 5) | 31);
  auto entry = [](std::uint64_t size, int year) {
    TreeEntry e;
    e.size = size, e.accessedDate = static_cast<std::uint16_t>(((year - 1980) << 9) | (6 << 5) | 15);
    return e;
  };
  EXPECT_TRUE(passesSizeAndDate(entry(1024, 2008), c));
  EXPECT_FALSE(passesSizeAndDate(entry(1025, 2008), c));
  EXPECT_FALSE(passesSizeAndDate(entry(10, 2009), c));
  c.creationDate = true;  // the creation date (0 here) is before the range
  EXPECT_FALSE(passesSizeAndDate(entry(10, 2008), c));
}

TEST(SectorRange, ChecksAndAPercentageOfHugePositions) {
  EXPECT_EQ(checkSectorRange(100, 50, 1000), "End sector should be greater than start sector");
  EXPECT_EQ(checkSectorRange(1000, 1001, 1000), "Start sector should be less than total sectors");
  EXPECT_EQ(checkSectorRange(0, 1001, 1000), "End sector should be less than total sectors");
  EXPECT_FALSE(checkSectorRange(0, 1000, 1000));
  EXPECT_EQ(rangeSizeText(1000), "1000 bytes");
  EXPECT_EQ(rangeSizeText(5ull << 30), "5.00 GB");
  VolumeSearchDialogModel m(searchDialogWords("NTFS", true));
  m.onProgress(UINT64_MAX / 2, UINT64_MAX);
  EXPECT_EQ(m.percent(), 50u);  // no overflow
}

namespace fs = std::filesystem;

TEST(SafeOutputName, NeverLeavesTheFolderAndLongNamesKeepTheirExtensionAndWholeCharacters) {
  const std::pair<std::u16string, std::string> rows[] = {{u"a/b", "a_b"}, {u"..", "_.."}, {u".", "_."}, {u"", "_"},
      {std::u16string(u"x\0y", 3), "x_y"}, {u"caf\u00e9.txt", "caf\xC3\xA9.txt"}};
  for (const auto& [name, safe] : rows) EXPECT_EQ(safeOutputName(name), safe);
  std::u16string longName(250, u'\u65E5');  // 3 bytes each in UTF-8
  longName += u".txt";
  std::string name = safeOutputName(longName);
  EXPECT_LE(name.size(), kMaxOutputNameBytes);
  EXPECT_EQ(name.substr(name.size() - 4), ".txt");
  EXPECT_EQ((name.size() - 4) % 3, 0u);
}

// Clashes get numbered names; an existing folder is reused; planted links are not followed.
TEST(OutputFolder, ClashesAndPlantedLinks) {
  fs::path dir = test::freshDir("links");
  fs::path outside = test::freshDir("outside");
  fs::create_directory(dir / "Photos");
  fs::create_directory_symlink(outside, dir / "Docs");
  fs::create_symlink(outside / "victim.txt", dir / "victim.txt");
  int error = 0;
  OutputFolder out = OutputFolder::open(dir.string(), error);
  ASSERT_TRUE(out.isOpen());
  std::string used;
  auto create = [&](OutputFolder& folder, const char16_t* name) {
    const int fd = folder.createFile(name, used, error);
    EXPECT_GE(fd, 0) << used;
    if (fd >= 0) ::close(fd);
    return used;
  };
  for (const char* expected : {"a.txt", "#0a.txt", "#1a.txt"}) EXPECT_EQ(create(out, u"a.txt"), expected);
  EXPECT_EQ(create(out, u"victim.txt"), "#0victim.txt");
  OutputFolder docs = out.subfolder(u"Docs", error);
  ASSERT_TRUE(docs.isOpen());
  create(docs, u"x.txt");
  EXPECT_TRUE(fs::exists(dir / "#0Docs" / "x.txt"));
  EXPECT_TRUE(fs::is_empty(outside));
  OutputFolder photos = out.subfolder(u"Photos", error);
  create(photos, u"p.jpg");
  EXPECT_TRUE(fs::exists(dir / "Photos" / "p.jpg"));
}

}  // namespace
}  // namespace ov
