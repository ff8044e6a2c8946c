// Build-time tool for the carver's catalogue.
//
//   make_signature_file SOURCE.txt SIGNATURE      writes the binary Signature file
//   make_signature_file --dump SIGNATURE          prints a Signature file in the source form
//   make_signature_file --check SOURCE.txt SIGNATURE
//                                                 exits 0 when the file holds exactly the source
//
// The source form is described at the top of signatures.txt.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "carver/catalogue.h"

namespace {

using ov::carver::SignatureRecord;

// A sector of 512 bytes is the smallest the carver reads; a signature must fit in it.
constexpr std::size_t kSmallestSector = 512;

std::string trim(const std::string& s) {
  auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

std::vector<std::string> splitFields(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream in(line);
  std::string field;
  while (std::getline(in, field, '|')) fields.push_back(trim(field));
  if (!line.empty() && line.back() == '|') fields.emplace_back();
  return fields;
}

std::optional<std::uint64_t> parseNumber(const std::string& text, std::uint64_t limit) {
  if (text.empty() || text.size() > 12) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (v > limit) return std::nullopt;
  return v;
}

std::optional<std::uint32_t> parseSize(std::string text) {
  std::uint64_t unit = 1;
  if (!text.empty()) {
    char last = text.back();
    if (last == 'K') unit = 1024;
    else if (last == 'M') unit = 1024 * 1024;
    else if (last == 'G') unit = 1024 * 1024 * 1024;
    if (unit != 1) text.pop_back();
  }
  auto n = parseNumber(trim(text), UINT32_MAX);
  if (!n || *n * unit > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(*n * unit);
}

std::optional<std::vector<std::uint8_t>> parseHex(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  int pending = -1;
  for (char c : text) {
    if (c == ' ' || c == '\t') continue;
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else return std::nullopt;
    if (pending < 0) {
      pending = digit;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(pending * 16 + digit));
      pending = -1;
    }
  }
  if (pending >= 0) return std::nullopt;
  return bytes;
}

bool setText(std::string& field, const std::string& text, std::size_t width) {
  if (text.empty() || text.find('|') != std::string::npos) return false;
  // The stored field keeps a NUL at its end, so the text may use one byte less than the field.
  if (ov::carver::utf8ToWindows1252(text).size() >= width) return false;
  if (ov::carver::windows1252ToUtf8(ov::carver::utf8ToWindows1252(text)) != text) return false;
  field = text;
  return true;
}

std::optional<std::vector<SignatureRecord>> parseSource(const std::filesystem::path& path) {
  std::ifstream in(path);
  if (!in) {
    std::cerr << path.string() << ": cannot be read\n";
    return std::nullopt;
  }
  std::vector<SignatureRecord> records;
  std::string line;
  int number = 0;
  bool ok = true;
  auto fail = [&](const std::string& what) {
    std::cerr << path.string() << ":" << number << ": " << what << "\n";
    ok = false;
  };
  while (std::getline(in, line)) {
    ++number;
    auto text = trim(line);
    if (text.empty() || text[0] == '#') continue;
    auto f = splitFields(text);
    if (f.size() != 8) { fail("expected 8 fields separated by |, found " + std::to_string(f.size())); continue; }
    SignatureRecord r;
    if (!setText(r.name, f[0], ov::carver::kNameBytes)) fail("name is empty, too long or not Windows-1252");
    if (!setText(r.extension, f[1], ov::carver::kExtensionBytes)) fail("extension is empty, too long or not Windows-1252");
    if (!setText(r.category, f[2], ov::carver::kCategoryBytes)) fail("category is empty, too long or not Windows-1252");
    auto signature = parseHex(f[3]);
    if (!signature || signature->empty() || signature->size() > 255) {
      fail("signature must be 1 to 255 bytes of hex");
      continue;
    }
    r.signatureLength = static_cast<std::uint8_t>(signature->size());
    std::copy(signature->begin(), signature->end(), r.signature.begin());
    auto offset = parseNumber(f[4], UINT16_MAX);
    if (!offset || *offset + signature->size() > kSmallestSector) {
      fail("offset plus signature length must stay within " + std::to_string(kSmallestSector) + " bytes");
      continue;
    }
    r.signatureOffset = static_cast<std::uint16_t>(*offset);
    auto handler = parseNumber(f[5], UINT32_MAX);
    if (!handler) fail("handler must be a number");
    else r.handlerCode = static_cast<std::uint32_t>(*handler);
    auto size = parseSize(f[6]);
    if (!size) fail("default size must be a number of bytes (with K, M or G) below 4 GB");
    else r.defaultSize = *size;
    if (f[7] != "0" && f[7] != "1") fail("selected must be 0 or 1");
    else r.selected = f[7] == "1" ? 1 : 0;
    records.push_back(r);
  }
  if (records.empty()) fail("no file types");
  if (records.size() > ov::carver::kMaxCatalogueRecords) fail("too many file types");
  if (!ok) return std::nullopt;
  return records;
}

std::string sizeText(std::uint32_t bytes) {
  if (bytes != 0 && bytes % (1024u * 1024u * 1024u) == 0) return std::to_string(bytes >> 30) + "G";
  if (bytes != 0 && bytes % (1024u * 1024u) == 0) return std::to_string(bytes >> 20) + "M";
  if (bytes != 0 && bytes % 1024u == 0) return std::to_string(bytes >> 10) + "K";
  return std::to_string(bytes);
}

void dump(const std::vector<SignatureRecord>& records, std::ostream& out) {
  out << "# name | extension | category | signature | offset | handler | default size | selected\n";
  for (const auto& r : records) {
    std::string hex;
    char two[4];
    for (std::uint8_t b : r.signatureBytes()) {
      std::snprintf(two, sizeof two, "%02X", b);
      if (!hex.empty()) hex += ' ';
      hex += two;
    }
    out << r.name << " | " << r.extension << " | " << r.category << " | " << hex << " | " << r.signatureOffset
        << " | " << r.handlerCode << " | " << sizeText(r.defaultSize) << " | " << (r.selected != 0 ? 1 : 0) << "\n";
    // Fields that the source form cannot carry are shown so a damaged file is not mistaken for a clean one.
    if (r.maxSize != 0 || r.carvedSize != 0 || r.skipBytes != 0 || r.sizeKnown != 0 || r.selected > 1)
      out << "#   run-time fields set: maxSize " << r.maxSize << ", carvedSize " << r.carvedSize << ", skipBytes "
          << r.skipBytes << ", sizeKnown " << unsigned{r.sizeKnown} << ", selected " << unsigned{r.selected} << "\n";
  }
}

bool writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  // Written beside the target and renamed, so an interrupted build leaves no half file behind.
  auto temporary = path;
  temporary += ".part";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) return false;
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  return !ec;
}

int usage() {
  std::cerr << "usage: make_signature_file SOURCE.txt SIGNATURE\n"
               "       make_signature_file --dump SIGNATURE\n"
               "       make_signature_file --check SOURCE.txt SIGNATURE\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "--dump") {
    auto records = ov::carver::LoadCatalogue(args[1]);
    if (!records) {
      std::cerr << args[1] << ": cannot be read\n";
      return 1;
    }
    dump(*records, std::cout);
    return 0;
  }
  if (args.size() == 3 && args[0] == "--check") {
    auto source = parseSource(args[1]);
    if (!source) return 1;
    std::ifstream in(args[2], std::ios::binary);
    std::vector<std::uint8_t> built((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.eof() && !in) {
      std::cerr << args[2] << ": cannot be read\n";
      return 1;
    }
    if (built != ov::carver::encodeCatalogue(*source)) {
      std::cerr << args[2] << ": does not hold what " << args[1] << " describes\n";
      return 1;
    }
    return 0;
  }
  if (args.size() == 2 && args[0].rfind("--", 0) != 0) {
    auto records = parseSource(args[0]);
    if (!records) return 1;
    if (!writeFile(args[1], ov::carver::encodeCatalogue(*records))) {
      std::cerr << args[1] << ": cannot be written\n";
      return 1;
    }
    return 0;
  }
  return usage();
}
