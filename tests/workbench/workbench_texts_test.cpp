// The texts of the workbench's windows at their thresholds, the hex and text previews, and the
// find dialog's rules: the parts of the windows that a wrong number or a lost byte would break.
#include <gtest/gtest.h>

#include "workbench/models/file_search.h"
#include "workbench/models/find_files.h"
#include "workbench/models/list_texts.h"
#include "workbench/models/preview_texts.h"

namespace ov {
namespace {

TEST(WorkbenchTexts, SizesSwitchUnitsAtTheirThresholds) {
  struct Row {
    std::uint64_t bytes;
    const char* totals;
    const char* properties;
  };
  const Row rows[] = {
      {0, "  0.000 KB in 3 Files in 1 Folders", "(0.000   KB) 0 bytes"},
      {1048575, "1023.999 KB in 3 Files in 1 Folders", "(1023.999 KB) 1048575 bytes"},
      {1048576, "  1.000 MB in 3 Files in 1 Folders", "(1.000   MB) 1048576 bytes"},
      {1073741823, "1024.000 MB in 3 Files in 1 Folders", "(1024.000 MB) 1073741823 bytes"},
      {1073741824, "  1.000 GB in 3 Files in 1 Folders", "(1.000   GB) 1073741824 bytes"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(totalsText(row.bytes, 3, 1), row.totals) << row.bytes;
    EXPECT_EQ(totalsText(row.bytes, 3, 1, true), std::string("Marked ") + row.totals) << row.bytes;
    EXPECT_EQ(propertiesSizeText(row.bytes), row.properties) << row.bytes;
  }
}

TEST(WorkbenchTexts, DatesOfTheListAndTheProperties) {
  const std::uint16_t sept9of2008 = static_cast<std::uint16_t>((28 << 9) | (9 << 5) | 9);
  EXPECT_EQ(listDateText(sept9of2008), "09-09-2008");
  EXPECT_EQ(propertiesDateText(sept9of2008), "Tuesday, September 09, 2008");
  for (std::uint16_t impossible : {std::uint16_t{0}, std::uint16_t((28 << 9) | (13 << 5) | 1), std::uint16_t(28 << 9)}) {
    EXPECT_EQ(propertiesDateText(impossible), "N\\A") << impossible;
  }
  EXPECT_EQ(listDateText(0), "");
}

TEST(WorkbenchTexts, HexLinesOfAShortFile) {
  std::vector<std::uint8_t> data(20);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(0x40 + i);
  data[16] = 0x41, data[17] = 0x2E, data[18] = 0x7A, data[19] = 0x00;
  ASSERT_EQ(hexLineCount(data.size()), 2u);
  HexLine first = hexLine(data, 0), second = hexLine(data, 1);
  EXPECT_EQ(first.offset, "00000000");
  EXPECT_EQ(first.binary, "    40 41 42 43 44 45 46 47 - 48 49 4A 4B 4C 4D 4E 4F    ");
  EXPECT_EQ(first.ansi, ".ABCDEFGHIJKLMNO");
  EXPECT_EQ(second.offset, "00000010");
  EXPECT_EQ(second.binary, "    41 2E 7A 00" + std::string(4 * 3, ' ') + " - " + std::string(8 * 3 - 1, ' ') + "    ");
  EXPECT_EQ(second.ansi, "A.z.");
  EXPECT_EQ(first.binary.size(), second.binary.size());
  EXPECT_EQ(hexLine({0xC9, 0xD7, 0x8A}, 0).ansi, "\xC3\x89.\xC5\xA0");  // É, ×, Š in Windows-1252
}

TEST(WorkbenchTexts, TextIsRecognisedOnlyWhenItIsText) {
  struct Row {
    std::vector<std::uint8_t> bytes;
    std::optional<std::u16string> text;
  };
  const Row rows[] = {
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
  for (const auto& row : rows) EXPECT_EQ(decodeText(row.bytes), row.text);
}

TEST(FindRules, SizeAndDateCriteria) {
  FindCriteria c;
  c.pattern = u"*";
  c.sizeOn = true;
  for (auto [bytes, usable] : {std::pair<std::uint64_t, bool>{0, false}, {1, true}, {kMaxFindSizeBytes, true},
                               {kMaxFindSizeBytes + 1, false}}) {
    c.sizeBytes = bytes;
    EXPECT_EQ(findCriteriaUsable(c), usable) << bytes;
  }
  EXPECT_EQ(findSizeBytes(99999, 2), 99999ull << 30);
  EXPECT_EQ(findSizeBytes(UINT64_MAX, 0), UINT64_MAX);  // never wraps to a small size

  // "At most" 1 KB, accessed in 2008.
  c.sizeAtMost = true;
  c.sizeBytes = findSizeBytes(1, 0);
  c.dateOn = true;
  c.dateFrom = static_cast<std::uint16_t>((28 << 9) | (1 << 5) | 1);
  c.dateTo = static_cast<std::uint16_t>((28 << 9) | (12 << 5) | 31);
  auto entry = [](std::uint64_t size, int year) {
    TreeEntry e;
    e.size = size;
    e.accessedDate = static_cast<std::uint16_t>(((year - 1980) << 9) | (6 << 5) | 15);
    return e;
  };
  EXPECT_TRUE(passesSizeAndDate(entry(1024, 2008), c));
  EXPECT_FALSE(passesSizeAndDate(entry(1025, 2008), c));
  EXPECT_FALSE(passesSizeAndDate(entry(10, 2009), c));
  c.creationDate = true;  // the creation date (0 here) is before the range
  EXPECT_FALSE(passesSizeAndDate(entry(10, 2008), c));
}

}  // namespace
}  // namespace ov
