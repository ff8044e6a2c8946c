// Handler 238: JPEG of any coding process, progressive pictures above all. The marker segments
// are walked from the start of image; each scan's entropy-coded data are followed to the marker
// after them (stuffed bytes, fill bytes and restart markers are part of the data), and the walk
// goes on through the tables and scans between them to the end-of-image marker. A progressive
// picture has many scans; a baseline one has one. An EXIF thumbnail is stepped over inside its
// APP1 segment.
#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint8_t kEndOfImage = 0xD9, kStartOfScan = 0xDA;
// Segments of a real picture number in the tens or hundreds; a chain longer than this is damage.
constexpr std::uint32_t kMaxSegments = 65536;

bool isFrameMarker(std::uint8_t m) {
  // SOF0-SOF15 without DHT (C4), JPG (C8) and DAC (CC).
  return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

// Markers that carry a length and may stand between the start of image and the end of image.
bool isSegmentMarker(std::uint8_t m) {
  return isFrameMarker(m) || m == 0xC4 || m == 0xCC || (m >= 0xDB && m <= 0xDF) || (m >= 0xE0 && m <= 0xEF) ||
         m == 0xFE;
}

CarveResult findJpegScansEnd(const CarveContext& ctx) {
  DiskBytes d(ctx, 8);
  if (d.available() == 0 || d.be16(0) != 0xFFD8) return rejected(d);
  const std::uint64_t limit = typeLimit(d);
  std::uint64_t pos = 2;
  bool frame = false;
  for (std::uint32_t n = 0; n < kMaxSegments && ctx.running(); ++n) {
    // Fill bytes may stand before any marker.
    while (pos + 1 < limit && d.u8(pos) == 0xFF && d.u8(pos + 1) == 0xFF) ++pos;
    if (pos + 4 > limit || d.u8(pos) != 0xFF) return rejected(d);
    const std::uint8_t marker = d.u8(pos + 1);
    if (marker == kEndOfImage) return frame ? endAt(d, pos + 2) : rejected(d);
    if (!isSegmentMarker(marker) && marker != kStartOfScan) return rejected(d);
    const std::uint16_t length = d.be16(pos + 2);
    if (length < 2) return rejected(d);
    if (isFrameMarker(marker)) {
      // A frame header: precision, height, width and at least one component.
      if (length < 11 || d.be16(pos + 7) == 0 || d.u8(pos + 9) == 0) return rejected(d);
      frame = true;
    }
    pos += 2 + std::uint64_t{length};
    if (marker == kStartOfScan) {
      if (!frame) return rejected(d);
      const auto end = jpegEntropyEnd(d, pos, limit);
      if (!end) return rejected(d);
      pos = *end;
    }
  }
  return rejected(d);
}

}  // namespace

extern const FormatRoutine kJpegScansFormat{238, "jpeg-scans", &findJpegScansEnd};

}  // namespace ov::carver
