// Handler 167: baseline JPEG. The marker segments are walked to the start of the scan data, then
// the entropy-coded data are followed (stuffed bytes, fill bytes and restart markers) to the
// end-of-image marker, up to the type's size limit. Data that end at any other marker (damage)
// fall back to a search for the end-of-image marker in a window sized from the picture's
// dimensions, and failing that to a size estimated from them. The segment walk steps over an EXIF
// thumbnail as part of its APP1 segment, so the thumbnail's own end marker is never taken for the
// file's end.
#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint8_t kSof0 = 0xC0;
constexpr std::uint8_t kSos = 0xDA;
constexpr std::uint8_t kEndOfImage[] = {0xFF, 0xD9};
constexpr std::uint64_t kSearchStep = 63;  // sectors between search windows
constexpr std::uint64_t kSearchWindow = 64;

bool isMarker(DiskBytes& d, std::uint64_t pos) {
  const std::uint8_t second = d.u8(pos + 1);
  return d.u8(pos) == 0xFF && second != 0x00 && second != 0xFF;
}

CarveResult findJpegEnd(const CarveContext& ctx) {
  DiskBytes d(ctx, 8);
  if (d.available() == 0 || !isMarker(d, 2)) return rejected(d);

  std::uint64_t pos = 2;
  std::uint32_t length = d.be16(4);
  std::uint64_t width = 0, height = 0;
  bool sof0 = false;
  std::uint64_t scan = 0;
  bool scanFound = false;
  // Each step moves at least two bytes on and must land on a marker; past the disk's end the
  // bytes read as zeros, which is no marker.
  while (length != 0 && ctx.running()) {
    pos += 2 + std::uint64_t{length};
    if (pos >= d.limit() || !isMarker(d, pos)) return rejected(d);
    const std::uint8_t marker = d.u8(pos + 1);
    if (marker == kSos) {
      // Progressive and other non-baseline pictures have no SOF0 before their scan.
      if (!sof0) return rejected(d);
      scan = pos + 2 + d.be16(pos + 2);
      scanFound = true;
      break;
    }
    if (marker == kSof0) {
      height = d.be16(pos + 5);
      width = d.be16(pos + 7);
      sof0 = true;
    }
    length = d.be16(pos + 2);
  }
  if (!scanFound) scan = pos;

  if (const auto end = jpegEntropyEnd(d, scan, typeLimit(d)); end && d.matches(*end, kEndOfImage))
    return endAt(d, *end + 2);

  const std::uint64_t bps = d.sectorSize();
  const std::uint64_t start = ctx.startSector;
  const std::uint64_t total = ctx.disk.totalSectors();
  const std::uint64_t scanSector = start + scan / bps;
  const std::uint64_t estimate = width * height * 3 / 2 / bps;
  const std::uint64_t windows = (estimate * 3 / 4 + kSearchStep - 1) / kSearchStep;
  // Windows of 64 sectors every 63 sectors from the scan's sector, cut at the disk's end (a
  // window reaching the last sector is searched as far as the disk goes, not skipped).
  const std::uint64_t searchEnd = (scanSector - start + windows * kSearchStep + kSearchWindow) * bps;
  if (auto hit = findBytes(d, scan, searchEnd, kEndOfImage)) return endAt(d, *hit + 2);

  std::uint64_t guess = scanSector + estimate >= total ? (total - start - 1) * bps : (scanSector + estimate - start) * bps;
  return sizeOnly(d, guess);
}

}  // namespace

extern const FormatRoutine kJpegFormat{167, "jpeg", &findJpegEnd};

}  // namespace ov::carver
