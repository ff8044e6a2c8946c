// Handler 68: a RIFF WAVE file states its size in the RIFF header; WAVE files that hold MPEG
// audio (format tag 0x0055) are measured by their frames instead (routine 62).
#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint8_t kWave[] = {'W', 'A', 'V', 'E'};
constexpr std::uint16_t kMpegLayer3Tag = 0x0055;

CarveResult findWaveEnd(const CarveContext& ctx) {
  DiskBytes d(ctx, 1);
  if (d.available() == 0 || !d.matches(8, kWave)) return rejected(d);
  if (d.le16(20) == kMpegLayer3Tag) {
    if (d.failed()) return rejected(d);
    return findMpegAudioEnd(ctx);
  }
  return sizeOnly(d, std::uint64_t{d.le32(4)} + 8);
}

}  // namespace

extern const FormatRoutine kWaveFormat{68, "wave", &findWaveEnd};

}  // namespace ov::carver
