// Handler 243: Ogg (Vorbis, Opus, FLAC and Theora in Ogg). The file is a run of pages, each
// "OggS", version 0, flags, granule position, stream serial, page number, CRC and a segment table
// that gives the page's length. Pages are checked by their CRC and followed until every logical
// stream that began (a page flagged "first") has ended (a page flagged "last").
#include <algorithm>
#include <array>
#include <vector>

#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint8_t kCapture[] = {'O', 'g', 'g', 'S'};
constexpr std::uint8_t kFirstPage = 0x02, kLastPage = 0x04;
constexpr std::uint32_t kMaxPages = 1u << 24;
constexpr std::size_t kMaxStreams = 64;

struct CrcTable {
  std::uint32_t t[256];
  constexpr CrcTable() : t{} {
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i << 24;
      for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
      t[i] = c;
    }
  }
};
constexpr CrcTable kCrc;

// The length of a valid page at `at`, or 0.
std::uint64_t pageLength(DiskBytes& d, std::uint64_t at) {
  if (!d.matches(at, kCapture) || d.u8(at + 4) != 0 || (d.u8(at + 5) & 0xF8u) != 0) return 0;
  const std::uint64_t segments = d.u8(at + 26);
  std::uint64_t length = 27 + segments;
  for (std::uint64_t i = 0; i < segments; ++i) length += d.u8(at + 27 + i);
  if (length > d.available() - std::min(at, d.available())) return 0;
  std::uint32_t crc = 0;
  for (std::uint64_t p = at; p < at + length;) {
    Bytes v = d.view(p);
    if (v.empty()) return 0;
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(v.size(), at + length - p));
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t off = p + i - at;
      const std::uint8_t b = off >= 22 && off < 26 ? 0 : v[i];  // the CRC field counts as zeros
      crc = (crc << 8) ^ kCrc.t[(crc >> 24) ^ b];
    }
    p += n;
  }
  return crc == d.le32(at + 22) ? length : 0;
}

CarveResult findOggEnd(const CarveContext& ctx) {
  DiskBytes d(ctx, 8);
  if (d.available() == 0 || (d.u8(5) & kFirstPage) == 0) return rejected(d);
  std::vector<std::uint32_t> open;
  std::uint64_t at = 0;
  for (std::uint32_t n = 0; n < kMaxPages && at < d.limit() && ctx.running(); ++n) {
    const std::uint64_t length = pageLength(d, at);
    if (length == 0) break;
    const std::uint8_t flags = d.u8(at + 5);
    const std::uint32_t serial = d.le32(at + 14);
    auto it = std::find(open.begin(), open.end(), serial);
    if ((flags & kFirstPage) != 0 && it == open.end()) {
      if (open.size() == kMaxStreams) break;
      open.push_back(serial);
      it = open.end() - 1;
    } else if (it == open.end()) {
      break;  // a page of a stream that never began here: another file
    }
    at += length;
    if ((flags & kLastPage) != 0) {
      open.erase(it);
      if (open.empty()) break;
    }
  }
  if (at == 0) return rejected(d);
  return endAt(d, at);
}

}  // namespace

extern const FormatRoutine kOggFormat{243, "ogg", &findOggEnd};

}  // namespace ov::carver
