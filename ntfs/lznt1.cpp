#include "ntfs/lznt1.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace ov::ntfs {
namespace {

constexpr std::size_t kChunkOutput = 4096;
constexpr unsigned kSizeMask = 0x0FFF;
constexpr unsigned kCompressedBit = 0x8000;
constexpr std::size_t kHeaderBytes = 2;

// Size fields 0 and 3 both end the walk that tells compressed units from raw data.
bool endsUnit(std::size_t s) { return s == 0 || s == 3; }

// The length field of a back reference narrows as the chunk grows, so offsets can reach its start.
unsigned lengthBitsAt(std::size_t p) {
  if (p <= 16) return 12;
  return 12u - static_cast<unsigned>(std::bit_width(p - 1) - 4);
}

// Copies `n` bytes from `from` to `to` (from < to) as a byte-by-byte forward copy would, so a
// distance shorter than the length repeats the pattern; whole runs go through memcpy.
void copyMatch(std::uint8_t* base, std::size_t from, std::size_t to, std::size_t n) {
  std::size_t distance = to - from;
  if (distance >= n) {
    std::memcpy(base + to, base + from, n);
    return;
  }
  // Each pass copies a whole number of periods, so the source stays aligned with the pattern.
  std::size_t done = 0;
  while (done < n) {
    std::size_t k = std::min(distance, n - done);
    std::memcpy(base + to + done, base + from, k);
    done += k;
    distance += k;
  }
}

// Decodes one compressed chunk's data into out[start, limit); returns the output position reached.
std::size_t decodeChunk(const std::uint8_t* src, std::size_t srcSize, std::uint8_t* out, std::size_t start,
                        std::size_t limit) {
  std::size_t i = 0;
  std::size_t pos = start;
  while (i < srcSize) {
    unsigned flags = src[i++];
    // Eight literals in a row are common in poorly compressible text: copy them at once.
    if (flags == 0 && srcSize - i >= 8 && limit - pos >= 8) {
      std::memcpy(out + pos, src + i, 8);
      i += 8;
      pos += 8;
      continue;
    }
    for (int bit = 0; bit < 8; ++bit, flags >>= 1) {
      if (i >= srcSize) return pos;
      if ((flags & 1u) == 0) {
        if (pos >= limit) return pos;
        out[pos++] = src[i++];
        continue;
      }
      if (srcSize - i < 2) return pos;
      unsigned token = static_cast<unsigned>(src[i]) | (static_cast<unsigned>(src[i + 1]) << 8);
      i += 2;
      std::size_t p = pos - start;
      unsigned lengthBits = lengthBitsAt(p);
      std::size_t length = (token & ((1u << lengthBits) - 1u)) + 3u;
      std::size_t offset = (token >> lengthBits) + 1u;
      std::size_t from = offset > p ? start : pos - offset;
      std::size_t n = std::min(length, limit - pos);
      // A copy of the current position onto itself leaves the zeros the output was cleared to.
      if (from < pos) copyMatch(out, from, pos, n);
      pos += n;
      if (n < length) return pos;
    }
  }
  return pos;
}

}  // namespace

bool isCompressedUnit(Bytes unit) {
  const std::size_t g = unit.size();
  std::size_t pos = 0;
  while (pos != g) {
    if (g - pos < kHeaderBytes) return false;
    std::size_t s = le16(unit, pos) & kSizeMask;
    if (endsUnit(s)) return true;
    if (g - pos < kHeaderBytes + s + 1) return false;
    pos += kHeaderBytes + s + 1;
  }
  return true;
}

std::size_t decompressUnit(Bytes in, MutableBytes out) {
  std::fill(out.begin(), out.end(), std::uint8_t{0});
  const std::size_t capacity = out.size();
  const std::uint8_t* src = in.data();
  std::uint8_t* dst = out.data();
  std::size_t inPos = 0;
  std::size_t outPos = 0;
  while (outPos < capacity && in.size() - inPos >= kHeaderBytes) {
    unsigned header = le16(in, inPos);
    std::size_t s = header & kSizeMask;
    // Only a zero size ends the chunks: a size of 3 is a real four-byte chunk (one literal and
    // one reference, as a run of 4096 equal bytes compresses), whose data must not be dropped.
    if (s == 0) break;
    std::size_t dataStart = inPos + kHeaderBytes;
    std::size_t dataBytes = std::min(s + 1, in.size() - dataStart);
    if ((header & kCompressedBit) != 0) {
      // A chunk never expands past 4096 bytes; a malformed one that would is cut there.
      std::size_t limit = std::min(capacity, outPos + kChunkOutput);
      outPos = decodeChunk(src + dataStart, dataBytes, dst, outPos, limit);
    } else {
      std::size_t n = std::min(dataBytes, capacity - outPos);
      std::memcpy(dst + outPos, src + dataStart, n);
      outPos += n;
    }
    if (dataBytes < s + 1) break;
    inPos = dataStart + dataBytes;
  }
  return outPos;
}

}  // namespace ov::ntfs
