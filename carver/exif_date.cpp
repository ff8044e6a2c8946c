#include "carver/exif_date.h"

#include <cstdint>

namespace ov {
namespace {

// The TIFF structure inside the Exif block, in its own byte order.
struct Tiff {
  Bytes data;
  bool bigEndian = false;
  std::uint16_t u16(std::size_t at) const {
    if (at + 2 > data.size()) return 0;
    return bigEndian ? static_cast<std::uint16_t>((data[at] << 8) | data[at + 1]) : le16(data, at);
  }
  std::uint32_t u32(std::size_t at) const {
    if (at + 4 > data.size()) return 0;
    return bigEndian ? (std::uint32_t{u16(at)} << 16) | u16(at + 2) : le32(data, at);
  }
  // The value offset of tag `tag` in the IFD at `ifd` (an ASCII value of 20 bytes for the dates).
  std::optional<std::uint32_t> find(std::uint32_t ifd, std::uint16_t tag) const {
    const std::uint16_t count = u16(ifd);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::size_t entry = std::size_t{ifd} + 2 + std::size_t{i} * 12;
      if (entry + 12 > data.size()) return std::nullopt;
      if (u16(entry) == tag) return u32(entry + 8);
    }
    return std::nullopt;
  }
};

int digits(Bytes text, std::size_t at, std::size_t n) {
  int value = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t c = text[at + i];
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// "YYYY:MM:DD HH:MM:SS" as a time since 1970 (the local time kept as if UTC).
std::optional<FileTime> parseDate(const Tiff& tiff, std::uint32_t at) {
  if (std::size_t{at} + 19 > tiff.data.size()) return std::nullopt;
  Bytes text = tiff.data.subspan(at, 19);
  const int year = digits(text, 0, 4), month = digits(text, 5, 2), day = digits(text, 8, 2);
  const int hour = digits(text, 11, 2), minute = digits(text, 14, 2), second = digits(text, 17, 2);
  if (text[4] != ':' || text[7] != ':' || text[13] != ':' || text[16] != ':') return std::nullopt;
  if (year < 1900 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 60)
    return std::nullopt;
  const int y = year - (month <= 2 ? 1 : 0);
  const int era = y / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t days = std::int64_t{era} * 146097 + doe - 719468;
  FileTime t;
  t.seconds = days * 86400 + hour * 3600 + minute * 60 + second;
  t.known = true;
  return t;
}

}  // namespace

std::optional<FileTime> exifDate(Bytes start) {
  if (start.size() > kExifSearchBytes) start = start.first(kExifSearchBytes);
  if (start.size() < 4 || start[0] != 0xFF || start[1] != 0xD8) return std::nullopt;
  // The segments before the image data; APP1 "Exif\0\0" holds the TIFF structure.
  std::size_t at = 2;
  while (at + 4 <= start.size() && start[at] == 0xFF) {
    const std::uint8_t marker = start[at + 1];
    const std::size_t length = static_cast<std::size_t>((start[at + 2] << 8) | start[at + 3]);
    if (marker == 0xDA || marker == 0xD9 || length < 2) return std::nullopt;  // image data: no Exif before it
    const std::size_t end = at + 2 + length;
    if (marker == 0xE1 && length >= 16 && end <= start.size()) {
      Bytes segment = start.subspan(at + 4, length - 2);
      if (segment[0] == 'E' && segment[1] == 'x' && segment[2] == 'i' && segment[3] == 'f' && segment[4] == 0 &&
          segment[5] == 0) {
        Tiff tiff{segment.subspan(6)};
        if (tiff.data[0] == 'M' && tiff.data[1] == 'M') tiff.bigEndian = true;
        else if (tiff.data[0] != 'I' || tiff.data[1] != 'I') return std::nullopt;
        if (tiff.u16(2) != 42) return std::nullopt;
        const std::uint32_t ifd0 = tiff.u32(4);
        if (auto exifIfd = tiff.find(ifd0, 0x8769))
          if (auto original = tiff.find(*exifIfd, 0x9003))
            if (auto t = parseDate(tiff, *original)) return t;
        if (auto plain = tiff.find(ifd0, 0x0132)) return parseDate(tiff, *plain);
        return std::nullopt;
      }
    }
    at = end;
  }
  return std::nullopt;
}

}  // namespace ov
