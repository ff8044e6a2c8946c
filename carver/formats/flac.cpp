// Handler 242: FLAC. After "fLaC" come the metadata blocks (STREAMINFO first) and then the audio
// frames. A frame states no length: it ends with a CRC-16 of everything before it, so the CRC of
// a whole frame, CRC included, is zero. Each frame's end is the first point where that holds and
// the next frame's header (sync code, valid fields, its own CRC-8) follows; the last frame, the one
// that completes STREAMINFO's sample count, ends at the first point where the CRC holds.
#include <algorithm>
#include <array>
#include <optional>

#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint8_t kMagic[] = {'f', 'L', 'a', 'C'};
constexpr std::uint32_t kMaxMetadataBlocks = 4096;
constexpr std::uint32_t kMaxFrames = 1u << 24;
// Without a maximum frame size in STREAMINFO, no frame is taken to be longer than this.
constexpr std::uint64_t kLargestFrame = 16 * 1024 * 1024;

struct Crc8Table {
  std::uint8_t t[256];
  constexpr Crc8Table() : t{} {
    for (unsigned i = 0; i < 256; ++i) {
      unsigned c = i;
      for (int k = 0; k < 8; ++k) c = (c & 0x80u) ? ((c << 1) ^ 0x07u) & 0xFFu : (c << 1) & 0xFFu;
      t[i] = static_cast<std::uint8_t>(c);
    }
  }
};
struct Crc16Table {
  std::uint16_t t[256];
  constexpr Crc16Table() : t{} {
    for (unsigned i = 0; i < 256; ++i) {
      unsigned c = i << 8;
      for (int k = 0; k < 8; ++k) c = (c & 0x8000u) ? ((c << 1) ^ 0x8005u) & 0xFFFFu : (c << 1) & 0xFFFFu;
      t[i] = static_cast<std::uint16_t>(c);
    }
  }
};
constexpr Crc8Table kCrc8;
constexpr Crc16Table kCrc16;

struct FrameHeader {
  std::uint64_t blockSize = 0;
  bool variable = false;  // blocking strategy
};

// The frame header at `at`, when its sync code, fields and CRC-8 are right.
std::optional<FrameHeader> frameHeader(DiskBytes& d, std::uint64_t at) {
  const std::uint8_t b0 = d.u8(at), b1 = d.u8(at + 1), b2 = d.u8(at + 2), b3 = d.u8(at + 3);
  if (b0 != 0xFF || (b1 & 0xFE) != 0xF8) return std::nullopt;
  const unsigned sizeCode = b2 >> 4, rateCode = b2 & 0x0Fu, channels = b3 >> 4, depth = (b3 >> 1) & 7u;
  if (sizeCode == 0 || rateCode == 15 || channels > 10 || depth == 3 || (b3 & 1u) != 0) return std::nullopt;
  // The frame or sample number, coded like UTF-8 in one to seven bytes.
  const std::uint8_t lead = d.u8(at + 4);
  unsigned extra = 0;
  if (lead >= 0x80) {
    if (lead < 0xC0 || lead == 0xFF) return std::nullopt;
    while (extra < 6 && (lead & (0x40u >> extra)) != 0) ++extra;
  }
  std::uint64_t pos = at + 5;
  for (unsigned i = 0; i < extra; ++i, ++pos)
    if ((d.u8(pos) & 0xC0u) != 0x80) return std::nullopt;
  FrameHeader h;
  h.variable = (b1 & 1u) != 0;
  if (sizeCode == 1) h.blockSize = 192;
  else if (sizeCode <= 5) h.blockSize = 576u << (sizeCode - 2);
  else if (sizeCode == 6) h.blockSize = d.u8(pos++) + 1u;
  else if (sizeCode == 7) h.blockSize = d.be16(pos) + 1u, pos += 2;
  else h.blockSize = 256u << (sizeCode - 8);
  if (rateCode == 12) pos += 1;
  else if (rateCode == 13 || rateCode == 14) pos += 2;
  std::uint8_t crc = 0;
  for (std::uint64_t i = at; i < pos; ++i) crc = kCrc8.t[crc ^ d.u8(i)];
  if (crc != d.u8(pos)) return std::nullopt;
  return h;
}

CarveResult findFlacEnd(const CarveContext& ctx) {
  DiskBytes d(ctx, 8);
  if (d.available() == 0 || !d.matches(0, kMagic)) return rejected(d);
  // STREAMINFO: block sizes, frame sizes, sample rate, channels, depth and the sample count.
  if ((d.u8(4) & 0x7Fu) != 0 || (d.be32(4) & 0xFFFFFFu) != 34) return rejected(d);
  const std::uint64_t minFrame = d.be32(12) >> 8;
  const std::uint64_t maxFrame = d.be32(15) >> 8 == 0 ? kLargestFrame : (d.be32(15) >> 8) + 16;
  const std::uint64_t samples = (std::uint64_t{d.u8(21) & 0x0Fu} << 32) | d.be32(22);
  std::uint64_t at = 4;
  for (std::uint32_t n = 0;; ++n) {
    if (n == kMaxMetadataBlocks || at >= d.limit()) return rejected(d);
    const std::uint8_t head = d.u8(at);
    if ((head & 0x7Fu) == 127) return rejected(d);
    at += 4 + (d.be32(at) & 0xFFFFFFu);
    if ((head & 0x80u) != 0) break;
  }
  const auto first = frameHeader(d, at);
  if (!first) return rejected(d);

  std::uint64_t counted = 0;
  for (std::uint32_t n = 0; n < kMaxFrames && ctx.running(); ++n) {
    const auto header = frameHeader(d, at);
    if (!header || header->variable != first->variable) break;
    counted += header->blockSize;
    const bool last = samples != 0 && counted >= samples;
    const std::uint64_t stop = std::min(d.limit(), at + maxFrame);
    std::uint16_t crc = 0;
    std::optional<std::uint64_t> end, firstZero;
    std::array<std::uint8_t, 4096> chunk{};
    for (std::uint64_t p = at; p < stop && !end;) {
      Bytes v = d.view(p);
      if (v.empty()) break;
      const auto count = static_cast<std::size_t>(std::min<std::uint64_t>({v.size(), stop - p, chunk.size()}));
      std::copy_n(v.begin(), count, chunk.begin());
      for (std::size_t i = 0; i < count; ++i) {
        crc = static_cast<std::uint16_t>((crc << 8) ^ kCrc16.t[(crc >> 8) ^ chunk[i]]);
        const std::uint64_t q = p + i + 1;
        if (crc != 0 || q - at < std::max<std::uint64_t>(minFrame, 8)) continue;
        if (!firstZero) firstZero = q;
        if (last || frameHeader(d, q)) {
          end = q;
          break;
        }
      }
      p += count;
    }
    // No next frame follows: without a sample count to tell, this was the last frame.
    if (!end && firstZero && samples == 0) {
      at = *firstZero;
      break;
    }
    if (!end) break;
    at = *end;
    if (last) break;
  }
  return endAt(d, at);
}

}  // namespace

extern const FormatRoutine kFlacFormat{242, "flac", &findFlacEnd};

}  // namespace ov::carver
