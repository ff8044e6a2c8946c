// Handler 62: MPEG audio, bare, behind an ID3v2 tag, or inside a RIFF WAVE wrapper. The frames
// are walked from the first one; a file needs 40 frames in a row to count. Sectors where frames
// begin go into the scan's MP3 start list so that the middle of a file walked once is not taken
// for a new file.
#include <optional>

#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint8_t kId3[] = {'I', 'D'};
constexpr std::uint8_t kRiff[] = {'R', 'I', 'F', 'F'};
constexpr std::uint8_t kData[] = {'d', 'a', 't', 'a'};
constexpr std::uint8_t kId3v1[] = {'T', 'A', 'G'};
constexpr std::uint16_t kMpegLayer3Tag = 0x0055;
constexpr std::uint64_t kId3v1Size = 128;
constexpr unsigned kMinFrames = 40;

// Bit-rates in kbit/s by bit-rate index; MPEG-2.5 uses the MPEG-2 rows.
constexpr std::uint16_t kMpeg1Rates[3][16] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},  // layer I
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},     // layer II
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},      // layer III
};
constexpr std::uint16_t kMpeg2Rates[2][16] = {
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},  // layer I
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},       // layers II and III
};
constexpr std::uint32_t kBaseRates[3] = {44100, 48000, 32000};

struct FrameHeader {
  unsigned version, layer, protection, rateIndex, sampleIndex, padding;

  explicit FrameHeader(std::uint32_t h)
      : version((h >> 19) & 3u), layer((h >> 17) & 3u), protection((h >> 16) & 1u), rateIndex((h >> 12) & 15u),
        sampleIndex((h >> 10) & 3u), padding((h >> 9) & 1u) {}
};

bool hasSync(std::uint32_t h) { return (h & 0xFFE00000u) == 0xFFE00000u; }

// The length of the frame with header `h`, or nothing when the header ends the walk.
std::optional<std::uint32_t> frameLength(std::uint32_t h, const FrameHeader& first) {
  const FrameHeader f(h);
  if (!hasSync(h) || f.rateIndex == 0 || f.rateIndex == 15 || f.sampleIndex == 3 || f.version == 1 ||
      f.layer == 0)
    return std::nullopt;
  if (f.version != first.version || f.layer != first.layer || f.protection != first.protection) return std::nullopt;
  const unsigned layerNumber = 4 - f.layer;  // bits 3, 2, 1 are layers I, II, III
  const std::uint32_t kbps = f.version == 3 ? kMpeg1Rates[layerNumber - 1][f.rateIndex]
                                            : kMpeg2Rates[layerNumber == 1 ? 0 : 1][f.rateIndex];
  const std::uint32_t divisor = f.version == 3 ? 1 : f.version == 2 ? 2 : 4;
  const std::uint32_t sampleRate = kBaseRates[f.sampleIndex] / divisor;
  if (layerNumber == 1) return (12000 * kbps / sampleRate + f.padding) * 4;
  const std::uint32_t factor = layerNumber == 3 && f.version != 3 ? 72000 : 144000;
  return factor * kbps / sampleRate + f.padding;
}

struct RiffData {
  std::uint64_t payload = 0;  // first byte of the "data" chunk's payload
  std::uint64_t payloadEnd = 0;
};

bool isChunkId(DiskBytes& d, std::uint64_t off) {
  for (std::uint64_t i = 0; i < 4; ++i) {
    const std::uint8_t c = d.u8(off + i);
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

// True when the chunks after the "data" payload (its pad byte, then whole chunks) end exactly at
// `riffEnd`, so that the wrapper's size can be trusted over the frames.
bool chunksReach(DiskBytes& d, const RiffData& data, std::uint64_t riffEnd) {
  std::uint64_t p = data.payloadEnd + ((data.payloadEnd - data.payload) & 1u);
  while (p < riffEnd && riffEnd - p >= 8 && d.context().running()) {
    if (!isChunkId(d, p)) return false;
    const std::uint64_t length = d.le32(p + 4);
    p += 8 + length + (length & 1u);
  }
  return p == riffEnd;
}

// Walks the chunks of the RIFF file at `riff` to its "data" chunk; nothing when a chunk before
// it ends past `limit` (the bytes held from the header's sectors).
std::optional<RiffData> findDataChunk(DiskBytes& d, std::uint64_t riff, std::uint64_t limit) {
  std::uint64_t off = riff + 12;
  while (!d.matches(off, kData)) {
    off += 8 + std::uint64_t{d.le32(off + 4)};
    if (off > limit) return std::nullopt;
  }
  return RiffData{off + 8, off + 8 + d.le32(off + 4)};
}

void noteStart(const CarveContext& ctx, std::uint64_t sector) {
  if (ctx.state != nullptr) ctx.state->mp3Starts.insert(sector);
}

}  // namespace

CarveResult findMpegAudioEnd(const CarveContext& ctx) {
  DiskBytes d(ctx);
  if (d.available() == 0) return rejected(d);
  if (ctx.state != nullptr && ctx.state->mp3Starts.contains(ctx.startSector)) return rejected(d);
  const std::uint64_t bps = d.sectorSize();

  std::uint64_t f = 0;
  std::uint64_t riffStart = 0;
  std::optional<RiffData> riff;
  if (d.matches(0, kId3)) {
    if (d.u8(2) != '3') return rejected(d);
    std::uint64_t tag = 0;
    for (std::uint64_t i = 6; i < 10; ++i) {
      const std::uint8_t b = d.u8(i);
      if (b >= 0x80) return rejected(d);
      tag = (tag << 7) | b;
    }
    // A version 4 tag may carry a 10-byte footer after its body.
    const std::uint64_t footer = d.u8(3) == 4 && (d.u8(5) & 0x10) != 0 ? 10 : 0;
    f = 10 + tag + footer;
  } else if (d.matches(0, kRiff)) {
    if (bps < 9) return rejected(d);
    riff = findDataChunk(d, 0, bps - 9);
    if (!riff || d.le16(20) != kMpegLayer3Tag) return rejected(d);
    noteStart(ctx, ctx.startSector);
    f = riff->payload;
  }

  // A RIFF wrapper after an ID3 tag; its chunks must lie in the two sectors from f's sector.
  if (d.matches(f, kRiff)) {
    if (d.le16(f + 20) != kMpegLayer3Tag) return rejected(d);
    if (f % bps == 0) noteStart(ctx, ctx.startSector + f / bps);
    riffStart = f;
    const std::uint64_t held = f / bps * bps + 2 * bps;
    if (held < 9) return rejected(d);
    riff = findDataChunk(d, f, held - 9);
    if (!riff) return rejected(d);
    f = riff->payload;
  }

  const std::uint32_t firstHeader = d.be32(f);
  const FrameHeader first(firstHeader);
  if (!hasSync(firstHeader) || first.rateIndex == 15 || first.version == 1 || first.layer == 0) return rejected(d);

  // Quick test: two frames in a row before the full walk.
  std::uint64_t off = f;
  for (int i = 0; i < 2; ++i) {
    const auto length = frameLength(d.be32(off), first);
    if (!length) return rejected(d);
    off += *length;
  }

  off = f;
  unsigned frames = 0;
  // Every frame is at least 24 bytes long; the walk stops at the disk's end or the size cap.
  while (ctx.running()) {
    const auto length = frameLength(d.be32(off), first);
    if (!length || off + *length > d.limit()) break;
    if (off % bps == 0) noteStart(ctx, ctx.startSector + off / bps);
    off += *length;
    if (frames < kMinFrames) ++frames;
  }
  if (frames < kMinFrames) return rejected(d);

  if (riff) {
    // The wrapper's own size covers what follows the frames (a pad byte, trailing chunks).
    const std::uint64_t riffEnd = riffStart + 8 + d.le32(riffStart + 4);
    if (off <= riff->payloadEnd && chunksReach(d, *riff, riffEnd)) off = riffEnd;
  } else if (d.matches(off, kId3v1)) {
    // An ID3v1 tag is the last 128 bytes of the file.
    off += kId3v1Size;
  }
  return endAt(d, off);
}

extern const FormatRoutine kMp3Format{62, "mp3", &findMpegAudioEnd};

}  // namespace ov::carver
