#include "carver/catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <tuple>

#include "carver/catalogue_page.h"
#include "tests/support/builders.h"

namespace ov::carver {
namespace {

SignatureRecord sample() {
  SignatureRecord r;
  r.reserved0 = 0x5A, r.selected = 1, r.signatureLength = 3, r.signatureOffset = 0x0201;
  for (std::size_t i = 0; i < r.signature.size(); ++i) r.signature[i] = static_cast<std::uint8_t>(i);
  for (std::size_t i = 0; i < r.reserved1.size(); ++i) r.reserved1[i] = static_cast<std::uint8_t>(0xFF - i % 256);
  r.name = "Caf\u00e9 \u20ac";  // é and € are single bytes in Windows-1252
  r.extension = "jpg", r.category = "Pictures";
  r.defaultSize = 0x11121314u, r.maxSize = 0x21222324u, r.carvedSize = 0x31323334u, r.skipBytes = 0x41424344u;
  r.sizeKnown = 1, r.reserved2 = 0x77, r.handlerCode = 0x51525354u, r.moreFollows = 0x61626364u;
  return r;
}

SignatureRecord type(const std::string& name, const std::string& ext, const std::string& category,
                     std::vector<std::uint8_t> signature, std::uint16_t offset, std::uint32_t handler,
                     std::uint8_t selected = 1) {
  SignatureRecord r;
  r.name = name, r.extension = ext, r.category = category, r.signatureOffset = offset;
  r.signatureLength = static_cast<std::uint8_t>(signature.size());
  std::copy(signature.begin(), signature.end(), r.signature.begin());
  r.handlerCode = handler, r.selected = selected;
  return r;
}

std::vector<std::uint8_t> bytesOf(const std::string& s) { return std::vector<std::uint8_t>(s.begin(), s.end()); }

std::filesystem::path writeTemp(const std::string& name, const std::vector<std::uint8_t>& bytes) {
  test::writeFile(test::scratchDir() / name, bytes);
  return test::scratchDir() / name;
}


TEST(SignatureRecordCodec, LayoutRoundTripAndTextLimits) {
  const auto b = encodeSignatureRecord(sample());
  test::expectLayout(std::vector<std::uint8_t>(b.begin(), b.end()), 848,
                     {{0, 1, 0x5A}, {1, 1, 1}, {2, 1, 3}, {3, 2, 0x0201}, {5, 2, 0x0100}, {260, 1, 0xFF},  // signature
                      {261, 2, 0xFEFF}, {517, 1, 0xFF},                                                // reserved1
                      {518, 1, 'C'}, {521, 2, 0x20E9}, {523, 2, 0x0080}, {773, 1, 0},  // name in Windows-1252
                      {774, 1, 'j'}, {776, 2, 'g'}, {806, 4, 0x11121314u}, {810, 4, 0x21222324u},
                      {814, 4, 0x31323334u}, {818, 4, 0x41424344u}, {822, 1, 1}, {823, 1, 0x77}, {824, 1, 'P'},
                      {831, 2, 's'}, {840, 4, 0x51525354u}, {844, 4, 0x61626364u}});
  EXPECT_EQ(decodeSignatureRecord(b), sample());
  EXPECT_FALSE(decodeSignatureRecord(Bytes(b.data(), 847)));
  // Every non-zero byte in every text field, NUL-padded, comes back unchanged.
  std::array<std::uint8_t, 848> raw{};
  for (std::size_t i = 0; i < 518; ++i) raw[i] = static_cast<std::uint8_t>(i * 7 + 1);
  for (std::size_t i = 0; i < 255; ++i) raw[518 + i] = static_cast<std::uint8_t>(i + 1);
  for (std::size_t i = 0; i < 31; ++i) raw[774 + i] = static_cast<std::uint8_t>(0x80 + i);
  for (std::size_t i = 806; i < 824; ++i) raw[i] = static_cast<std::uint8_t>(i);
  for (std::size_t i = 0; i < 15; ++i) raw[824 + i] = static_cast<std::uint8_t>(0xF0 + i);
  for (std::size_t i = 840; i < 848; ++i) raw[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(encodeSignatureRecord(*decodeSignatureRecord(Bytes(raw))), raw);
  // Texts too long are cut to keep their NUL; a field without NUL is read to its end.
  SignatureRecord r;
  r.name = std::string(300, 'n'), r.extension = std::string(40, 'e'), r.category = "Camera raw images";  // 17 for 16 bytes
  auto back = decodeSignatureRecord(encodeSignatureRecord(r));
  EXPECT_EQ(back->name + back->extension + back->category, std::string(255, 'n') + std::string(31, 'e') + "Camera raw imag");
  raw.fill(0);
  std::fill(raw.begin() + 824, raw.begin() + 840, 'c');
  EXPECT_EQ(decodeSignatureRecord(Bytes(raw))->category, std::string(16, 'c'));
  EXPECT_EQ(windows1252ToUtf8(Bytes(bytesOf("\x80\x99\xE9\x81"))), "\u20ac\u2122\u00e9\u0081");
  EXPECT_EQ(utf8ToWindows1252("\u20ac\u00ff\u4e2d\U0001F600"), (std::vector<std::uint8_t>{0x80, 0xFF, '?', '?'}));
}

TEST(Catalogue, LoadsTheChainOfRecordsAndNothingElse) {
  const auto abc = encodeCatalogue({type("A", "a", "X", {1}, 0, 1), type("Bee", "b", "X", {2}, 0, 1),
                                    type("C", "c", "Y", {3}, 0, 1)});
  auto trailing = abc;
  const auto extra = encodeCatalogue({type("D", "d", "Z", {4}, 0, 1)});
  trailing.insert(trailing.end(), extra.begin(), extra.end());
  std::vector<std::uint8_t> endless;
  for (std::size_t i = 0; i < kMaxCatalogueRecords + 10; ++i) {
    auto r = encodeSignatureRecord(type("T", "t", "X", {static_cast<std::uint8_t>(i)}, 0, 1));
    r[844] = 1;
    endless.insert(endless.end(), r.begin(), r.end());
  }
  // {what, the file, the names loaded (none: checked by number), how many}
  const std::vector<std::tuple<const char*, std::vector<std::uint8_t>, std::vector<std::string>, std::size_t>> rows = {
      {"three records and trailing bytes", trailing, {"A", "Bee", "C"}, 3},
      {"a file ending inside a record's name", std::vector<std::uint8_t>(abc.begin(), abc.begin() + 848 + 600), {"A", "Bee"}, 2},
      {"a file ending at a record boundary", std::vector<std::uint8_t>(abc.begin(), abc.begin() + 848), {"A"}, 1},
      {"an empty file", {}, {}, 0},
      {"a chain that never ends stops at the limit", endless, {}, kMaxCatalogueRecords},
  };
  for (const auto& [what, file, names, count] : rows) {
    SCOPED_TRACE(what);
    auto loaded = LoadCatalogue(writeTemp("catalogue.sig", file));
    ASSERT_TRUE(loaded);
    ASSERT_EQ(loaded->size(), count);
    for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ((*loaded)[i].name, names[i]);
    if (file.size() % 848 != 0) {
      EXPECT_EQ(loaded->back().moreFollows, 0u);  // the rest of a record cut short reads as zeros
    }
    EXPECT_EQ(parseCatalogue(Bytes(file)), *loaded);
  }
  EXPECT_FALSE(LoadCatalogue(test::scratchDir() / "no-such-Signature"));
}

TEST(Catalogue, AbsurdLengthsAndOffsetsNeverMatchOutsideTheSector) {
  std::array<std::uint8_t, 848> raw{};
  raw.fill(0xFF);  // length 255, offset 65535, texts without NUL, every size at its maximum
  raw[844] = raw[845] = raw[846] = raw[847] = 0;
  auto loaded = LoadCatalogue(writeTemp("absurd.sig", std::vector<std::uint8_t>(raw.begin(), raw.end())));
  ASSERT_TRUE(loaded);
  ASSERT_EQ(loaded->size(), 1u);
  EXPECT_EQ((*loaded)[0].name.size(), 256u * 2);  // 256 × "ÿ", two UTF-8 bytes each
  auto index = BuildIndex(*loaded);
  ASSERT_EQ(index.groups.size(), 1u);
  std::vector<std::uint8_t> sector(4096, 0xFF);
  EXPECT_FALSE(Lookup(index.groups[0], Bytes(sector)));
  // Offset 300 + 255 bytes passes a 512-byte sector but fits a 4096-byte one.
  auto late = BuildIndex({type("Late", "l", "X", std::vector<std::uint8_t>(255, 0xAB), 300, 1)});
  std::vector<std::uint8_t> big(4096, 0xAB);
  EXPECT_FALSE(Lookup(late.groups[0], Bytes(big.data(), 512)));
  EXPECT_TRUE(Lookup(late.groups[0], Bytes(big)));
}


TEST(Index, GroupsInFirstOccurrenceOrderWithAlternatives) {
  std::vector<SignatureRecord> catalogue{
      type("Early", "ear", "X", {0xAA, 0xBB}, 0, 0),  // same bytes and place as "Late"
      type("Other", "oth", "X", {0xCC, 0xDD}, 0, 1),
      type("Shifted", "shf", "X", {0xAA, 0xBB}, 8, 1),  // same bytes, another offset
      type("Middle", "mid", "X", {0xAA, 0xBB}, 0, 1),
      type("Late", "lat", "X", {0xAA, 0xBB}, 0, 167),
      type("Long", "lng", "X", {0xAA, 0xBB, 0xCC}, 0, 1),
  };
  auto list = buildSelectedList(catalogue, 1024);
  auto index = BuildIndex(list.records);
  std::vector<std::pair<int, int>> shapes;  // {length, offset}
  for (const SignatureGroup& g : index.groups) shapes.emplace_back(g.signatureLength, g.signatureOffset);
  ASSERT_EQ(shapes, (std::vector<std::pair<int, int>>{{3, 0}, {2, 0}, {2, 8}}));
  ASSERT_EQ(index.groups[1].entries.size(), 2u);

  std::vector<std::uint8_t> sector(512, 0);
  sector[0] = 0xAA; sector[1] = 0xBB;
  auto hit = Lookup(index.groups[1], Bytes(sector));
  ASSERT_TRUE(hit);
  // The later record in the file is the entry; the earlier ones are its alternatives, in order.
  EXPECT_EQ(hit->record.name, "Late");
  EXPECT_EQ(hit->record.maxSize, 1024u);
  EXPECT_EQ(hit->alternatives, (std::vector<std::string>{"mid", "ear"}));
  EXPECT_FALSE(Lookup(index.groups[2], Bytes(sector)));  // nothing at offset 8
  sector[8] = 0xAA; sector[9] = 0xBB;
  EXPECT_EQ(Lookup(index.groups[2], Bytes(sector))->record.name, "Shifted");
  sector[0] = 0xCC; sector[1] = 0xDD;
  EXPECT_EQ(Lookup(index.groups[1], Bytes(sector))->record.name, "Other");
  EXPECT_TRUE(Lookup(index.groups[1], Bytes(sector))->alternatives.empty());
  sector[1] = 0xDE;
  EXPECT_FALSE(Lookup(index.groups[1], Bytes(sector)));
}

TEST(Index, LookupsGiveCopiesEmptySignaturesMatchAllAndKeysHaveTheGroupsLength) {
  auto index = BuildIndex({type("A", "a", "X", {1, 2}, 0, 235)});
  std::vector<std::uint8_t> sector{1, 2, 3};
  auto hit = Lookup(index.groups[0], Bytes(sector));
  ASSERT_TRUE(hit);
  hit->record.extension = "xls";
  hit->record.sizeKnown = 1;
  EXPECT_EQ(Lookup(index.groups[0], Bytes(sector))->record.extension, "a");
  EXPECT_EQ(Lookup(index.groups[0], Bytes(sector))->record.sizeKnown, 0);
  auto any = BuildIndex({type("Any", "any", "X", {}, 0, 1)});
  EXPECT_TRUE(Lookup(any.groups[0], Bytes(std::vector<std::uint8_t>(512, 0x42))));
  EXPECT_TRUE(Lookup(any.groups[0], Bytes()));
  auto mp3 = BuildIndex({type("MP3", "mp3", "Audio", {'I', 'D'}, 0, 62)});
  EXPECT_EQ(LookupKey(mp3.groups[0], Bytes(bytesOf("ID")))->record.handlerCode, 62u);
  EXPECT_FALSE(LookupKey(mp3.groups[0], Bytes(bytesOf("ID3"))));
  EXPECT_FALSE(HoldsKey(mp3.groups[0], Bytes(bytesOf("ID3"))));
}


// Which row names a real file, and the groups' order, are checked on the carving image.
TEST(ShippedCatalogue, EveryRowMatchesItsOwnSignature) {
  auto records = LoadCatalogue(OV_SIGNATURE_FILE).value_or(std::vector<SignatureRecord>{});
  ASSERT_FALSE(records.empty());
  for (auto& r : records) r.selected = 1;
  auto index = BuildIndex(buildSelectedList(records, 1u << 20).records);
  for (const auto& r : records) {
    SCOPED_TRACE(r.name);
    std::vector<std::uint8_t> sector(512, 0x20);
    std::copy(r.signatureBytes().begin(), r.signatureBytes().end(), sector.begin() + r.signatureOffset);
    auto group = std::find_if(index.groups.begin(), index.groups.end(), [&](const SignatureGroup& g) {
      return g.signatureLength == r.signatureLength && g.signatureOffset == r.signatureOffset;
    });
    ASSERT_NE(group, index.groups.end());
    auto hit = Lookup(*group, Bytes(sector));
    ASSERT_TRUE(hit);
    EXPECT_TRUE(hit->record.name == r.name ||
                std::find(hit->alternatives.begin(), hit->alternatives.end(), r.extension) != hit->alternatives.end());
  }
}


std::vector<SignatureRecord> pageTypes() {
  return {type("JPEG image", "jpg", "Pictures", {0xFF, 0xD8}, 0, 167, 1),
          type("ZIP archive", "zip", "Archives", {'P', 'K'}, 0, 1, 0),
          type("PNG image", "png", "Pictures", {0x89, 'P'}, 0, 185, 0),
          type("MP3 audio", "mp3", "audio", {'I', 'D'}, 0, 62, 1)};
}

// The size field's range and Next on the real page: kestrin_test.cpp.
TEST(CataloguePage, ChecksStayWithTheirRecordsAndNextHandsOverTheReversedSelection) {
  CataloguePageModel page;
  page.open(pageTypes());
  EXPECT_EQ(page.categories(), (std::vector<std::string>{"All", "Archives", "audio", "Pictures"}));
  // A category filter (its name compared exactly) keeps the check states; select and deselect act within it.
  page.chooseCategory("Pictures");
  page.toggleRow(1);
  page.chooseCategory("pictures");
  EXPECT_TRUE(page.rows().empty());
  page.chooseCategory("All");
  EXPECT_TRUE(page.rows()[2].checked && page.catalogue()[2].selected);
  page.chooseCategory("Pictures");
  page.deselectAll();
  EXPECT_TRUE(page.catalogue()[3].selected && page.nextEnabled());
  page.chooseCategory("All");
  page.deselectAll();
  EXPECT_FALSE(page.nextEnabled());
  // Sorted, rows stay tied to their records; Next hands them over last first, the maximum clamped, not wrapped.
  page.sortBy(1);
  ASSERT_EQ(page.rows()[3].extension, "zip");
  page.toggleRow(3);
  page.toggleRow(1);
  page.setUnit(SizeUnit::GB);
  ASSERT_TRUE(page.setSizeText("4"));
  auto list = page.next();
  ASSERT_TRUE(list);
  ASSERT_EQ(list->records.size(), 2u);
  EXPECT_EQ(list->records[0].extension, "mp3");
  EXPECT_EQ(list->records[1].extension, "zip");
  for (const auto& r : list->records) EXPECT_EQ(r.maxSize, 0xFFFFFFFFu);
  EXPECT_TRUE(page.catalogue().empty());  // handed over and freed
  EXPECT_FALSE(page.nextEnabled());
  // Rows of the same texts keep to their own records.
  auto types = pageTypes();
  types.push_back(types[0]);
  types[4].selected = 0;
  CataloguePageModel twins;
  twins.open(types);
  twins.toggleRow(4);
  EXPECT_TRUE(twins.catalogue()[0].selected && twins.catalogue()[4].selected);
  ASSERT_TRUE(twins.setSizeText("0"));
  EXPECT_FALSE(twins.next());
  EXPECT_EQ(twins.catalogue().size(), 5u);
  // A missing file leaves the page empty, with a message.
  CataloguePageModel missing;
  missing.open(test::scratchDir() / "absent" / "Signature");
  auto m = missing.takeMessage();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->text, "Failed to retrieve signatures");
  EXPECT_EQ(missing.emptyText(), "No File Types found.");
  EXPECT_FALSE(missing.next());
}

}  // namespace
}  // namespace ov::carver
