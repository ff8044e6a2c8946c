// Handler 61: a standard MIDI file is a chain of "MThd" and "MTrk" chunks, each a type, a
// big-endian length and that many bytes.
#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint8_t kHeader[] = {'M', 'T', 'h', 'd'};
constexpr std::uint8_t kTrack[] = {'M', 'T', 'r', 'k'};

CarveResult findMidiEnd(const CarveContext& ctx) {
  DiskBytes d(ctx, 8);
  if (d.available() == 0) return rejected(d);
  std::uint64_t end = 0;
  // Each chunk moves at least 8 bytes on, and the walk stops at the disk's end or the size cap.
  while (end < d.limit() && ctx.running()) {
    if (!d.matches(end, kHeader) && !d.matches(end, kTrack)) break;
    end += 8 + std::uint64_t{d.be32(end + 4)};
  }
  return endAt(d, end);
}

}  // namespace

extern const FormatRoutine kMidiFormat{61, "midi", &findMidiEnd};

}  // namespace ov::carver
