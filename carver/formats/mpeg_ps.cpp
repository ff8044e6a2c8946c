// Handler 18: MPEG program stream. Packs are taken to have the length of the first one; the walk
// goes from pack header to pack header up to the program end code. Sectors where packs begin go
// into the scan's MPEG start list, so that the packs of a stream walked once are not taken for
// new files.
#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint8_t kPackStart[] = {0x00, 0x00, 0x01, 0xBA};
constexpr std::uint8_t kProgramEnd[] = {0x00, 0x00, 0x01, 0xB9};
constexpr std::uint64_t kFirstSearchSectors = 63;

CarveResult findProgramStreamEnd(const CarveContext& ctx) {
  DiskBytes d(ctx);
  if (d.available() == 0) return rejected(d);
  if (ctx.state != nullptr && ctx.state->mpegStarts.contains(ctx.startSector)) return rejected(d);
  // Other MPEG signatures (an elementary stream) are accepted with no size of their own.
  if (!d.matches(0, kPackStart)) return sizeOnly(d, 0);

  const std::uint64_t bps = d.sectorSize();
  const auto second = findBytes(d, 4, kFirstSearchSectors * bps, kPackStart);
  if (!second) return rejected(d);
  const std::uint64_t pack = *second;
  std::uint64_t off = pack;
  // Each step moves one pack (at least 4 bytes) on; the walk stops at the disk's end or the cap.
  while (off < d.limit() && ctx.running()) {
    if (!d.matches(off, kPackStart)) break;
    if (off % bps == 0 && ctx.state != nullptr) ctx.state->mpegStarts.insert(ctx.startSector + off / bps);
    const bool last = d.matches(off + pack - 4, kProgramEnd);
    off += pack;
    if (last) break;
  }
  if (d.matches(off, kProgramEnd)) off += 4;
  return sizeOnly(d, off);
}

}  // namespace

extern const FormatRoutine kMpegPsFormat{18, "mpeg-ps", &findProgramStreamEnd};

}  // namespace ov::carver
