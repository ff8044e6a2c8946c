#include "workbench/models/preview_texts.h"

#include <cstdio>
#include <ctime>

#include "disk/byte_io.h"
#include "workbench/models/list_texts.h"

namespace ov {

namespace {

// 0x80-0x9F of Windows-1252; 0 where the code page leaves a byte undefined.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

bool isLetterOrDigit1252(std::uint8_t b) {
  if ((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z')) return true;
  switch (b) {
    case 0x83: case 0x8A: case 0x8C: case 0x8E: case 0x9A: case 0x9C: case 0x9E: case 0x9F:
    case 0xAA: case 0xB5: case 0xBA:
      return true;
    default:
      return b >= 0xC0 && b != 0xD7 && b != 0xF7;
  }
}

void appendUtf8(std::string& out, char16_t c) {
  out += utf16ToUtf8(std::u16string(1, c));
}

}  // namespace

char16_t windows1252(std::uint8_t byte) {
  if (byte >= 0x80 && byte < 0xA0) return kHighControls[byte - 0x80];
  return byte;
}

HexLine hexLine(const std::vector<std::uint8_t>& data, std::size_t n) {
  HexLine line;
  char text[16];
  std::snprintf(text, sizeof text, "%.8X", static_cast<unsigned>(16 * n));
  line.offset = text;
  line.binary = "    ";
  for (std::size_t i = 0; i < 16; ++i) {
    std::size_t at = 16 * n + i;
    if (i == 8) line.binary += "- ";
    if (at < data.size()) {
      std::snprintf(text, sizeof text, "%.2X ", data[at]);
      line.binary += text;
      if (isLetterOrDigit1252(data[at])) appendUtf8(line.ansi, windows1252(data[at]));
      else line.ansi += '.';
    } else {
      line.binary += "   ";
    }
  }
  line.binary.pop_back();
  line.binary += "    ";
  return line;
}

std::optional<std::u16string> decodeText(const std::vector<std::uint8_t>& data) {
  std::size_t n = data.size();
  if (n >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF))) {
    bool little = data[0] == 0xFF;
    std::u16string out;
    for (std::size_t i = 2; i + 1 < n; i += 2)
      out += static_cast<char16_t>(little ? data[i] | (data[i + 1] << 8) : (data[i] << 8) | data[i + 1]);
    return out;
  }
  std::size_t start = n >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
  for (std::size_t i = start; i < n; ++i) {
    std::uint8_t b = data[i];
    if (b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != '\f') return std::nullopt;
    if (b == 0x7F) return std::nullopt;
  }
  std::string bytes(data.begin() + static_cast<std::ptrdiff_t>(start), data.end());
  std::u16string utf16 = utf8ToUtf16(bytes);
  if (utf16ToUtf8(utf16) == bytes) return utf16;  // valid UTF-8 (plain ASCII included)
  std::u16string out;
  for (std::size_t i = start; i < n; ++i) {
    char16_t c = windows1252(data[i]);
    if (c == 0) return std::nullopt;
    out += c;
  }
  return out;
}

std::string nameExtension(const std::u16string& name) {
  std::size_t dot = name.rfind(u'.');
  if (dot == std::u16string::npos) return {};
  std::string ext = utf16ToUtf8(name.substr(dot + 1));
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ext;
}

std::string propertiesSizeText(std::uint64_t bytes) {
  char text[96];
  SizeInUnit size = sizeInUnit(bytes);
  // The whole count: its low 32 bits alone would be wrong from 4 GiB on.
  std::snprintf(text, sizeof text, "(%-7.3f %s) %llu bytes", size.value, size.unit, static_cast<unsigned long long>(bytes));
  return text;
}

std::string propertiesDateText(std::uint16_t dosDate) {
  if (dosDate == 0 || (dosDate & 0x1F) == 0 || ((dosDate >> 5) & 0x0F) == 0 || ((dosDate >> 5) & 0x0F) > 12)
    return "N\\A";
  std::tm t{};
  t.tm_mday = dosDate & 0x1F;
  t.tm_mon = ((dosDate >> 5) & 0x0F) - 1;
  t.tm_year = 80 + (dosDate >> 9);
  t.tm_hour = 12;
  std::time_t when = std::mktime(&t);  // fills in the weekday
  static const char* kDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
  static const char* kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                  "July",    "August",   "September", "October", "November", "December"};
  if (when == -1 || t.tm_mon < 0 || t.tm_mon > 11 || t.tm_wday < 0 || t.tm_wday > 6) return "N\\A";
  char text[64];
  std::snprintf(text, sizeof text, "%s, %s %02d, %d", kDays[t.tm_wday], kMonths[t.tm_mon], t.tm_mday, 1900 + t.tm_year);
  return text;
}

}  // namespace ov
