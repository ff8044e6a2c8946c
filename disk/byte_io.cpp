#include "disk/byte_io.h"

namespace ov {

std::string utf16ToUtf8(const std::u16string& s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    std::uint32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint32_t>(s[i + 1]) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string utf8ToUtf16(const std::string& s) {
  std::u16string out;
  std::size_t i = 0;
  auto byteAt = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  while (i < s.size()) {
    std::uint32_t c = byteAt(i);
    std::size_t extra = 0;
    if (c >= 0xF0 && c < 0xF8) { c &= 0x07; extra = 3; }
    else if (c >= 0xE0) { c &= 0x0F; extra = 2; }
    else if (c >= 0xC0) { c &= 0x1F; extra = 1; }
    else if (c >= 0x80) { c = 0xFFFD; }
    if (extra > 0 && i + extra >= s.size()) { out += u'\uFFFD'; break; }
    bool bad = false;
    for (std::size_t k = 1; k <= extra; ++k) {
      std::uint8_t cont = byteAt(i + k);
      if ((cont & 0xC0) != 0x80) { bad = true; break; }
      c = (c << 6) | (cont & 0x3F);
    }
    i += bad ? 1 : extra + 1;
    if (bad) c = 0xFFFD;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::u16string readUtf16(Bytes b, std::size_t offset, std::size_t units) {
  std::u16string out;
  for (std::size_t i = 0; i < units && fits(b, offset + 2 * i, 2); ++i)
    out += static_cast<char16_t>(le16(b, offset + 2 * i));
  return out;
}

}  // namespace ov
