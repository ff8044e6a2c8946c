#include "carver/catalogue.h"

#include <algorithm>
#include <fstream>

namespace ov::carver {

namespace {

// Code points of 0x80-0x9F in Windows-1252; the unassigned bytes keep their C1 code point.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::string textField(Bytes field) {
  auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
  return windows1252ToUtf8(field.first(static_cast<std::size_t>(end - field.begin())));
}

void putText(ByteWriter& w, const std::string& text, std::size_t width) {
  auto bytes = utf8ToWindows1252(text);
  // Keep one byte for the NUL, and stop at an embedded NUL as the reader would.
  auto nul = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
  std::size_t used = std::min(static_cast<std::size_t>(nul - bytes.begin()), width - 1);
  w.raw(Bytes(bytes.data(), used));
  w.zeros(width - used);
}

}  // namespace

std::string windows1252ToUtf8(Bytes text) {
  std::u16string units;
  units.reserve(text.size());
  for (std::uint8_t b : text) {
    if (b >= 0x80 && b < 0xA0) units.push_back(kHighControls[b - 0x80u]);
    else units.push_back(static_cast<char16_t>(b));
  }
  return utf16ToUtf8(units);
}

std::vector<std::uint8_t> utf8ToWindows1252(const std::string& text) {
  std::vector<std::uint8_t> out;
  for (char16_t c : utf8ToUtf16(text)) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      out.push_back(static_cast<std::uint8_t>(c));
      continue;
    }
    auto it = std::find(kHighControls.begin(), kHighControls.end(), c);
    if (it != kHighControls.end()) out.push_back(static_cast<std::uint8_t>(0x80 + (it - kHighControls.begin())));
    else if (c >= 0xDC00 && c <= 0xDFFF) continue;  // second half of a pair: one "?" for the character
    else out.push_back('?');
  }
  return out;
}

std::array<std::uint8_t, kSignatureRecordBytes> encodeSignatureRecord(const SignatureRecord& r) {
  ByteWriter w;
  w.u8(r.reserved0);
  w.u8(r.selected);
  w.u8(r.signatureLength);
  w.u16(r.signatureOffset);
  w.raw(Bytes(r.signature));
  w.raw(Bytes(r.reserved1));
  putText(w, r.name, kNameBytes);
  putText(w, r.extension, kExtensionBytes);
  w.u32(r.defaultSize);
  w.u32(r.maxSize);
  w.u32(r.carvedSize);
  w.u32(r.skipBytes);
  w.u8(r.sizeKnown);
  w.u8(r.reserved2);
  putText(w, r.category, kCategoryBytes);
  w.u32(r.handlerCode);
  w.u32(r.moreFollows);
  std::array<std::uint8_t, kSignatureRecordBytes> out{};
  const auto& bytes = w.bytes();
  std::copy_n(bytes.begin(), std::min(bytes.size(), out.size()), out.begin());
  return out;
}

std::optional<SignatureRecord> decodeSignatureRecord(Bytes stored) {
  if (stored.size() < kSignatureRecordBytes) return std::nullopt;
  SignatureRecord r;
  ByteReader in(stored);
  r.reserved0 = in.u8();
  r.selected = in.u8();
  r.signatureLength = in.u8();
  r.signatureOffset = in.u16();
  std::copy_n(stored.begin() + 5, kSignatureBytes, r.signature.begin());
  std::copy_n(stored.begin() + 261, r.reserved1.size(), r.reserved1.begin());
  r.name = textField(stored.subspan(518, kNameBytes));
  r.extension = textField(stored.subspan(774, kExtensionBytes));
  ByteReader tail(stored.subspan(806));
  r.defaultSize = tail.u32();
  r.maxSize = tail.u32();
  r.carvedSize = tail.u32();
  r.skipBytes = tail.u32();
  r.sizeKnown = tail.u8();
  r.reserved2 = tail.u8();
  r.category = textField(stored.subspan(824, kCategoryBytes));
  ByteReader last(stored.subspan(840));
  r.handlerCode = last.u32();
  r.moreFollows = last.u32();
  return r;
}

std::vector<SignatureRecord> parseCatalogue(Bytes file) {
  std::vector<SignatureRecord> records;
  std::size_t offset = 0;
  while (records.size() < kMaxCatalogueRecords) {
    // A short read leaves the rest of the record zero, which ends the list. A read that got
    // nothing adds no record: a blank row is no file type.
    std::array<std::uint8_t, kSignatureRecordBytes> raw{};
    std::size_t n = offset < file.size() ? std::min(raw.size(), file.size() - offset) : 0;
    if (n == 0) break;
    std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(offset), n, raw.begin());
    offset += n;
    records.push_back(*decodeSignatureRecord(Bytes(raw)));
    if (records.back().moreFollows == 0) break;
  }
  return records;
}

std::optional<std::vector<SignatureRecord>> LoadCatalogue(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  // Read record by record, so a huge file costs no more than the records actually kept.
  std::vector<SignatureRecord> records;
  while (records.size() < kMaxCatalogueRecords) {
    std::array<std::uint8_t, kSignatureRecordBytes> raw{};
    in.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
    if (in.gcount() == 0) break;
    records.push_back(*decodeSignatureRecord(Bytes(raw)));
    if (records.back().moreFollows == 0 || !in) break;
  }
  return records;
}

std::string catalogueDefect(Bytes file) {
  if (file.empty()) return "the file is empty";
  std::size_t offset = 0;
  for (std::size_t n = 0; n < kMaxCatalogueRecords; ++n, offset += kSignatureRecordBytes) {
    if (file.size() - offset < kSignatureRecordBytes)
      return "it ends inside record " + std::to_string(n + 1) + " (records are 848 bytes)";
    const SignatureRecord r = *decodeSignatureRecord(file.subspan(offset, kSignatureRecordBytes));
    const std::string where = "record " + std::to_string(n + 1);
    if (r.signatureLength == 0) return where + " has no signature";
    if (r.extension.empty()) return where + " has no extension";
    for (const std::string* text : {&r.name, &r.extension, &r.category})
      for (char c : *text)
        if (static_cast<unsigned char>(c) < 0x20) return where + " holds control characters in its texts";
    if (r.moreFollows == 0) return {};
  }
  return "it holds more than " + std::to_string(kMaxCatalogueRecords) + " records";
}

std::string catalogueFileDefect(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "it cannot be opened";
  // No more than the largest catalogue, and one byte to tell that a file is larger.
  std::vector<std::uint8_t> bytes(kMaxCatalogueRecords * kSignatureRecordBytes + 1);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return catalogueDefect(Bytes(bytes.data(), bytes.size()));
}

std::vector<std::uint8_t> encodeCatalogue(const std::vector<SignatureRecord>& records) {
  std::vector<std::uint8_t> out;
  out.reserve(records.size() * kSignatureRecordBytes);
  for (std::size_t i = 0; i < records.size(); ++i) {
    SignatureRecord r = records[i];
    r.moreFollows = i + 1 < records.size() ? 1u : 0u;
    auto bytes = encodeSignatureRecord(r);
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  return out;
}

SelectedList buildSelectedList(const std::vector<SignatureRecord>& catalogue, std::uint32_t maxSize) {
  SelectedList list;
  for (const auto& r : catalogue) {
    if (r.selected == 0) continue;
    ++list.count;
    list.records.push_back(r);
    list.records.back().maxSize = maxSize;
  }
  // The list is built by prepending, so the scanner sees the selected types last-first.
  std::reverse(list.records.begin(), list.records.end());
  return list;
}

bool KeyLess::operator()(Bytes a, Bytes b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
}

SignatureIndex BuildIndex(const std::vector<SignatureRecord>& selectedList) {
  SignatureIndex index;
  for (const auto& r : selectedList) {
    auto group = std::find_if(index.groups.begin(), index.groups.end(), [&](const SignatureGroup& g) {
      return g.signatureLength == r.signatureLength && g.signatureOffset == r.signatureOffset;
    });
    if (group == index.groups.end()) {
      index.groups.push_back(SignatureGroup{r.signatureLength, r.signatureOffset, {}});
      group = std::prev(index.groups.end());
    }
    auto key = r.signatureBytes();
    auto found = group->entries.find(key);
    if (found != group->entries.end()) {
      found->second.alternatives.push_back(r.extension);
    } else {
      group->entries.emplace(std::vector<std::uint8_t>(key.begin(), key.end()), IndexEntry{r, {}});
    }
  }
  return index;
}

bool HoldsKey(const SignatureGroup& group, Bytes key) {
  return key.size() == group.signatureLength && group.entries.find(key) != group.entries.end();
}

std::optional<IndexEntry> LookupKey(const SignatureGroup& group, Bytes key) {
  if (key.size() != group.signatureLength) return std::nullopt;
  auto found = group.entries.find(key);
  if (found == group.entries.end()) return std::nullopt;
  return found->second;
}

std::optional<IndexEntry> Lookup(const SignatureGroup& group, Bytes sector) {
  if (!fits(sector, group.signatureOffset, group.signatureLength)) return std::nullopt;
  return LookupKey(group, sector.subspan(group.signatureOffset, group.signatureLength));
}

void ReleaseIndex(SignatureIndex& index) {
  index.groups.clear();
  index.groups.shrink_to_fit();
}

}  // namespace ov::carver
