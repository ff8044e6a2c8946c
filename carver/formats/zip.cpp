// Handler 239: ZIP archives and the formats built on them (Office Open XML, OpenDocument, EPUB,
// Java and Android packages). The archive ends with its end-of-central-directory record and the
// comment after it: the record is searched for from the first local header, and taken when the
// central directory it describes ends right where the record (or its ZIP64 form) begins and
// starts with a central header. The central directory's names and the "mimetype" or
// "[Content_Types].xml" entry then tell the kind of file, which names the item.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint8_t kLocal[] = {'P', 'K', 3, 4};
constexpr std::uint8_t kCentral[] = {'P', 'K', 1, 2};
constexpr std::uint8_t kEnd[] = {'P', 'K', 5, 6};
constexpr std::uint8_t kEnd64[] = {'P', 'K', 6, 6};
constexpr std::uint8_t kLocator64[] = {'P', 'K', 6, 7};
constexpr std::uint64_t kEndRecord = 22, kLocatorBytes = 20;
// Central headers read to tell the kind; a real document has far fewer entries.
constexpr std::uint32_t kMaxEntriesRead = 4096;
// "[Content_Types].xml" is inflated this far; the main part's type is near its start.
constexpr std::size_t kTypesBytes = 64 * 1024;
constexpr std::uint64_t kTypesInput = 1024 * 1024;
constexpr std::uint16_t kStored = 0, kDeflated = 8;

struct Directory {
  std::uint64_t offset = 0, size = 0, entries = 0;
  std::uint64_t end = 0;  // the archive's end: the record and its comment
};

// The central directory described by the end record at `at`, when it is consistent with it.
std::optional<Directory> directoryAt(DiskBytes& d, std::uint64_t at) {
  Directory dir;
  dir.entries = d.le16(at + 10);
  dir.size = d.le32(at + 12);
  dir.offset = d.le32(at + 16);
  dir.end = at + kEndRecord + d.le16(at + 20);
  std::uint64_t directoryEnd = at;
  if (dir.offset == 0xFFFFFFFFu || dir.size == 0xFFFFFFFFu || dir.entries == 0xFFFFu) {
    if (at < kLocatorBytes || !d.matches(at - kLocatorBytes, kLocator64)) return std::nullopt;
    const std::uint64_t record = d.le64(at - kLocatorBytes + 8);
    if (record >= at || !d.matches(record, kEnd64)) return std::nullopt;
    dir.entries = d.le64(record + 32);
    dir.size = d.le64(record + 40);
    dir.offset = d.le64(record + 48);
    directoryEnd = record;
  } else if (d.le16(at + 4) != 0 || d.le16(at + 6) != 0) {
    return std::nullopt;  // one part of a split archive
  }
  if (dir.offset > directoryEnd || directoryEnd - dir.offset != dir.size) return std::nullopt;
  if (dir.entries != 0 && !d.matches(dir.offset, kCentral)) return std::nullopt;
  return dir;
}

std::string nameAt(DiskBytes& d, std::uint64_t at, std::uint16_t length) {
  std::string out;
  out.reserve(length);
  for (std::uint64_t i = 0; i < length; ++i) out.push_back(static_cast<char>(d.u8(at + i)));
  return out;
}

struct Member {
  std::uint64_t local = 0;  // offset of its local header
  std::uint64_t packed = 0;
  std::uint16_t method = 0;
  bool found = false;
};

// The first bytes of a member's data, inflated when it is deflated.
std::string memberText(DiskBytes& d, const Member& m) {
  if (!d.matches(m.local, kLocal)) return {};
  const std::uint64_t data = m.local + 30 + d.le16(m.local + 26) + d.le16(m.local + 28);
  const std::uint64_t input = std::min(m.packed, kTypesInput);
  std::string out;
  if (m.method == kStored) {
    const auto n = static_cast<std::uint16_t>(std::min<std::uint64_t>(input, 256));
    return nameAt(d, data, n);
  }
  if (m.method != kDeflated) return {};
  z_stream z{};
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return {};
  std::array<unsigned char, 16384> chunk{};
  out.resize(kTypesBytes);
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  std::uint64_t fed = 0;
  int rc = Z_OK;
  while (rc == Z_OK && z.avail_out != 0 && fed < input) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), input - fed));
    for (std::size_t i = 0; i < n; ++i) chunk[i] = d.u8(data + fed + i);
    fed += n;
    z.next_in = chunk.data();
    z.avail_in = static_cast<uInt>(n);
    rc = inflate(&z, Z_NO_FLUSH);
  }
  out.resize(out.size() - z.avail_out);
  inflateEnd(&z);
  return out;
}

struct Kind {
  const char* extension;
  const char* category;
};

// The main part's content type in [Content_Types].xml.
constexpr std::pair<std::string_view, Kind> kOfficeTypes[] = {
    {"wordprocessingml.document.main", {"docx", "Documents"}},
    {"ms-word.document.macroEnabled.main", {"docm", "Documents"}},
    {"wordprocessingml.template.main", {"dotx", "Documents"}},
    {"spreadsheetml.sheet.main", {"xlsx", "Documents"}},
    {"ms-excel.sheet.macroEnabled.main", {"xlsm", "Documents"}},
    {"spreadsheetml.template.main", {"xltx", "Documents"}},
    {"presentationml.presentation.main", {"pptx", "Documents"}},
    {"ms-powerpoint.presentation.macroEnabled.main", {"pptm", "Documents"}},
    {"presentationml.slideshow.main", {"ppsx", "Documents"}},
    {"presentationml.template.main", {"potx", "Documents"}},
};
// The media type stored in "mimetype".
constexpr std::pair<std::string_view, Kind> kMediaTypes[] = {
    {"application/vnd.oasis.opendocument.text", {"odt", "Documents"}},
    {"application/vnd.oasis.opendocument.spreadsheet", {"ods", "Documents"}},
    {"application/vnd.oasis.opendocument.presentation", {"odp", "Documents"}},
    {"application/vnd.oasis.opendocument.graphics", {"odg", "Documents"}},
    {"application/epub+zip", {"epub", "Documents"}},
};

Kind kindOf(DiskBytes& d, const Directory& dir) {
  Member types, mimetype;
  bool word = false, excel = false, powerpoint = false, manifest = false, android = false, dex = false;
  std::uint64_t at = dir.offset;
  const std::uint64_t entries = std::min<std::uint64_t>(dir.entries, kMaxEntriesRead);
  for (std::uint64_t i = 0; i < entries && d.matches(at, kCentral) && d.context().running(); ++i) {
    const std::uint16_t nameLength = d.le16(at + 28);
    const std::string name = nameAt(d, at + 46, std::min<std::uint16_t>(nameLength, 64));
    Member m{d.le32(at + 42), d.le32(at + 20), d.le16(at + 10), true};
    if (name == "[Content_Types].xml") types = m;
    else if (name == "mimetype") mimetype = m;
    else if (name == "word/document.xml") word = true;
    else if (name == "xl/workbook.xml") excel = true;
    else if (name == "ppt/presentation.xml") powerpoint = true;
    else if (name == "META-INF/MANIFEST.MF") manifest = true;
    else if (name == "AndroidManifest.xml") android = true;
    else if (name == "classes.dex") dex = true;
    at += 46 + std::uint64_t{nameLength} + d.le16(at + 30) + d.le16(at + 32);
  }
  if (mimetype.found) {
    const std::string text = memberText(d, mimetype);
    for (const auto& [type, kind] : kMediaTypes)
      if (text.starts_with(type) && (text.size() == type.size() || text[type.size()] == '\r' || text[type.size()] == '\n'))
        return kind;
  }
  if (types.found) {
    const std::string text = memberText(d, types);
    for (const auto& [type, kind] : kOfficeTypes)
      if (text.find(type) != std::string::npos) return kind;
  }
  if (word) return {"docx", "Documents"};
  if (excel) return {"xlsx", "Documents"};
  if (powerpoint) return {"pptx", "Documents"};
  if (android && dex) return {"apk", "Archives"};
  if (manifest) return {"jar", "Archives"};
  return {"zip", "Archives"};
}

CarveResult findZipEnd(const CarveContext& ctx) {
  DiskBytes d(ctx, 8);
  if (d.available() == 0 || !d.matches(0, kLocal)) return rejected(d);
  // The first local header: a version below 10.0, a known method and a name.
  const std::uint16_t method = d.le16(8);
  if (d.u8(4) > 100 || d.le16(26) == 0 || (method > 19 && method != 93 && method != 95 && method != 98 && method != 99))
    return rejected(d);
  const std::uint64_t limit = typeLimit(d);
  std::uint64_t from = 30;
  while (ctx.running()) {
    const auto at = findBytes(d, from, limit, kEnd);
    if (!at) break;
    if (const auto dir = directoryAt(d, *at); dir && dir->end <= d.available()) {
      const Kind kind = kindOf(d, *dir);
      CarveResult r = endAt(d, dir->end);
      r.extension = kind.extension;
      r.category = kind.category;
      return settle(d, r);
    }
    from = *at + 1;
  }
  // No directory within reach: a damaged or cut archive, sized by the scanner's rule.
  return sizeOnly(d, 0);
}

}  // namespace

extern const FormatRoutine kZipFormat{239, "zip", &findZipEnd};

}  // namespace ov::carver
