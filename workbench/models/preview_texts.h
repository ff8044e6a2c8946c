// What the preview and the properties sheet show, without widgets: hex lines, text decoding,
// picture names, and the properties' size and date texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ov {

struct HexLine {
  std::string offset;  // "%0.8X"
  std::string binary;  // "    XX XX XX XX XX XX XX XX - XX ... XX    ", blanks for missing bytes
  std::string ansi;    // letters and digits as themselves (Windows-1252, as UTF-8), others "."
};
// Line `n` of the data (bytes 16n to 16n + 15); the last line may be short.
HexLine hexLine(const std::vector<std::uint8_t>& data, std::size_t n);
inline std::size_t hexLineCount(std::size_t bytes) { return (bytes + 15) / 16; }

// The data as text when it is text: UTF-8 or UTF-16 with a byte-order mark, valid UTF-8, or
// Windows-1252 without control characters other than tab and line ends; nullopt otherwise.
std::optional<std::u16string> decodeText(const std::vector<std::uint8_t>& data);
// One Windows-1252 byte as UTF-16.
char16_t windows1252(std::uint8_t byte);

// The extension after the last "." of a name, lower-case; empty when there is none.
std::string nameExtension(const std::u16string& name);

// "(%-7.3f KB) %-u bytes", with MB from 1 MiB and GB from 1 GiB.
std::string propertiesSizeText(std::uint64_t bytes);
// "%A, %B %d, %Y" of a DOS date ("Tuesday, September 09, 2008"), or "N\A" for 0.
std::string propertiesDateText(std::uint16_t dosDate);

}  // namespace ov
