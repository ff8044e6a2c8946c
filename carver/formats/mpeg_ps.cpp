// Handler 18: MPEG program stream. The stream is walked pack by pack: each pack header (MPEG-1:
// 12 bytes; MPEG-2: 14 bytes and its stuffing) is followed by a system header or PES packets, each
// of which states its own length. The walk ends after the program end code, or where the next
// bytes are neither a pack header nor a packet, so packs of any spacing make one stream. Sectors
// where packs begin go into the scan's MPEG start list, so that the packs of a stream walked once
// are not taken for new files.
#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint8_t kPackStart[] = {0x00, 0x00, 0x01, 0xBA};
constexpr std::uint8_t kPackCode = 0xBA, kProgramEndCode = 0xB9, kSystemHeaderCode = 0xBB;

// The length of the pack header at `off`, or 0 when its marker bits are wrong.
std::uint64_t packHeaderLength(DiskBytes& d, std::uint64_t off) {
  const std::uint8_t b4 = d.u8(off + 4);
  if ((b4 & 0xC0) == 0x40) {
    // MPEG-2: '01', SCR with markers after bits 32..30, 29..15 and 14..0, SCR extension and a
    // marker, 22-bit mux rate and two markers, then 5 reserved bits and the stuffing length.
    if ((b4 & 0x04) == 0 || (d.u8(off + 6) & 0x04) == 0 || (d.u8(off + 8) & 0x04) == 0 || (d.u8(off + 9) & 0x01) == 0 ||
        (d.u8(off + 12) & 0x03) != 0x03)
      return 0;
    return 14 + (d.u8(off + 13) & 0x07u);
  }
  if ((b4 & 0xF0) == 0x20) {
    // MPEG-1: '0010', SCR with a marker after each of its three parts, a marker, the 22-bit mux
    // rate and a marker.
    if ((b4 & 0x01) == 0 || (d.u8(off + 6) & 0x01) == 0 || (d.u8(off + 8) & 0x01) == 0 || (d.u8(off + 9) & 0x80) == 0 ||
        (d.u8(off + 11) & 0x01) == 0)
      return 0;
    return 12;
  }
  return 0;
}

CarveResult findProgramStreamEnd(const CarveContext& ctx) {
  DiskBytes d(ctx);
  if (d.available() == 0) return rejected(d);
  if (ctx.state != nullptr && ctx.state->mpegStarts.contains(ctx.startSector)) return rejected(d);
  // Other MPEG signatures (an elementary stream) are accepted with no size of their own.
  if (!d.matches(0, kPackStart)) return sizeOnly(d, 0);
  if (packHeaderLength(d, 0) == 0) return rejected(d);

  const std::uint64_t bps = d.sectorSize();
  std::uint64_t off = 0;
  // Each step moves at least six bytes on; the walk stops at the disk's end or the size cap.
  while (off + 6 <= d.limit() && ctx.running()) {
    if (d.u8(off) != 0 || d.u8(off + 1) != 0 || d.u8(off + 2) != 1) break;
    const std::uint8_t code = d.u8(off + 3);
    if (code == kProgramEndCode) {
      off += 4;
      break;
    }
    if (code == kPackCode) {
      const std::uint64_t length = packHeaderLength(d, off);
      if (length == 0) break;
      if (off != 0 && off % bps == 0 && ctx.state != nullptr) ctx.state->mpegStarts.insert(ctx.startSector + off / bps);
      off += length;
    } else if (code >= kSystemHeaderCode) {
      // The system header and every PES packet: a 16-bit length of what follows it.
      const std::uint64_t length = d.be16(off + 4);
      if (length == 0) break;
      off += 6 + length;
    } else {
      break;  // a video start code or anything else: not a packet of a program stream
    }
  }
  return endAt(d, off);
}

}  // namespace

extern const FormatRoutine kMpegPsFormat{18, "mpeg-ps", &findProgramStreamEnd};

}  // namespace ov::carver
