#include "ntfs/lznt1.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace ov::ntfs {
namespace {

using Buffer = std::vector<std::uint8_t>;

constexpr std::size_t kChunk = 4096;
constexpr std::size_t kUnit = 65536;

// Written out as the halving loop, independently of the decoder's shortcut.
unsigned lengthBitsAt(std::size_t p) {
  unsigned bits = 12;
  if (p == 0) return bits;
  for (std::size_t q = p - 1; q >= 16; q /= 2) --bits;
  return bits;
}

std::size_t maxLength(std::size_t p) { return (std::size_t{1} << lengthBitsAt(p)) - 1 + 3; }
std::size_t maxOffset(std::size_t p) { return std::size_t{1} << (16 - lengthBitsAt(p)); }

std::uint16_t referenceToken(std::size_t p, std::size_t offset, std::size_t length) {
  unsigned bits = lengthBitsAt(p);
  return static_cast<std::uint16_t>(((offset - 1) << bits) | (length - 3));
}

// Builds a compressed chunk's data token by token, grouping the flag bytes.
class TokenWriter {
 public:
  void literal(std::uint8_t b) {
    flag(false);
    data_.push_back(b);
  }
  void reference(std::size_t p, std::size_t offset, std::size_t length) {
    flag(true);
    std::uint16_t t = referenceToken(p, offset, length);
    data_.push_back(static_cast<std::uint8_t>(t & 0xFF));
    data_.push_back(static_cast<std::uint8_t>(t >> 8));
  }
  const Buffer& data() const { return data_; }

 private:
  void flag(bool set) {
    if (tokens_ % 8 == 0) {
      flagAt_ = data_.size();
      data_.push_back(0);
    }
    if (set) data_[flagAt_] = static_cast<std::uint8_t>(data_[flagAt_] | (1u << (tokens_ % 8)));
    ++tokens_;
  }
  Buffer data_;
  std::size_t flagAt_ = 0;
  std::size_t tokens_ = 0;
};

// Greedy encoding of one chunk; matches are capped at `lengthCap` bytes.
Buffer encodeChunk(Bytes raw, std::size_t lengthCap) {
  TokenWriter w;
  std::size_t p = 0;
  while (p < raw.size()) {
    std::size_t bestLength = 0;
    std::size_t bestOffset = 0;
    std::size_t longest = std::min({maxLength(p), raw.size() - p, lengthCap});
    std::size_t farthest = std::min(maxOffset(p), p);
    for (std::size_t offset = 1; offset <= farthest && bestLength < longest; ++offset) {
      std::size_t n = 0;
      while (n < longest && raw[p - offset + n] == raw[p + n]) ++n;
      if (n > bestLength) {
        bestLength = n;
        bestOffset = offset;
      }
    }
    if (bestLength >= 3) {
      w.reference(p, bestOffset, bestLength);
      p += bestLength;
    } else {
      w.literal(raw[p++]);
    }
  }
  return w.data();
}

void putHeader(Buffer& out, std::size_t dataBytes, bool compressed) {
  // Low 12 bits: data bytes - 1; bits 12-14 hold 3 on real volumes; bit 15: compressed.
  auto h = static_cast<std::uint16_t>((dataBytes - 1) | 0x3000u | (compressed ? 0x8000u : 0u));
  out.push_back(static_cast<std::uint8_t>(h & 0xFF));
  out.push_back(static_cast<std::uint8_t>(h >> 8));
}

// Size fields 0 and 3 end a unit, so no chunk may carry exactly 1 or 4 data bytes.
bool endsUnit(std::size_t dataBytes) { return dataBytes == 1 || dataBytes == 4; }

void appendChunk(Buffer& out, Bytes raw) {
  Buffer packed = encodeChunk(raw, kChunk);
  // One literal and one long match: shorten the match and end on a literal instead.
  if (endsUnit(packed.size())) packed = encodeChunk(raw, raw.size() - 2);
  bool stored = (packed.size() >= raw.size() && !endsUnit(raw.size())) || endsUnit(packed.size());
  putHeader(out, stored ? raw.size() : packed.size(), !stored);
  if (stored)
    out.insert(out.end(), raw.begin(), raw.end());
  else
    out.insert(out.end(), packed.begin(), packed.end());
}

Buffer compress(Bytes raw) {
  Buffer out;
  for (std::size_t at = 0; at < raw.size(); at += kChunk) appendChunk(out, raw.subspan(at, std::min(kChunk, raw.size() - at)));
  return out;
}

Buffer decompress(Bytes in, std::size_t capacity) {
  Buffer out(capacity, 0xEE);
  out.resize(decompressUnit(in, out));
  return out;
}

Buffer text(std::size_t n) {
  std::string s;
  for (int line = 0; s.size() < n; ++line)
    s += "2024-03-0" + std::to_string(line % 9 + 1) + " 12:" + std::to_string(10 + line % 50) +
         " GET /api/items/" + std::to_string(line * 37 % 1000) + " status=200 bytes=" + std::to_string(line * 131 % 9000) +
         "\n";
  return Buffer(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
}

Buffer randomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Buffer b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

Buffer bytesOf(const std::string& s) { return Buffer(s.begin(), s.end()); }

void expectRoundTrip(const Buffer& raw) {
  Buffer packed = compress(raw);
  EXPECT_TRUE(isCompressedUnit(packed));
  EXPECT_EQ(decompress(packed, kUnit), raw);
}

TEST(Lznt1, HandAssembledLiteralsAndOneReference) {
  // Flag 0x08: three literals then a reference at p = 3, offset 3, length 9.
  Buffer in = {0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x06, 0x20};
  EXPECT_EQ(decompress(in, 64), bytesOf("abcabcabcabc"));
  EXPECT_TRUE(isCompressedUnit(in));
}

TEST(Lznt1, HandAssembledElevenLengthBits) {
  // 17 literals, then at p = 17 the token 0x8002: offset 17, length 5 with 11 length bits
  // (with 12 bits it would read offset 9).
  Buffer in = {0x00, 0xB0, 0x00};
  for (char c : std::string("01234567")) in.push_back(static_cast<std::uint8_t>(c));
  in.push_back(0x00);
  for (char c : std::string("89abcdef")) in.push_back(static_cast<std::uint8_t>(c));
  in.push_back(0x02);
  in.push_back('g');
  in.push_back(0x02);
  in.push_back(0x80);
  in[0] = static_cast<std::uint8_t>(in.size() - 3);
  EXPECT_EQ(decompress(in, 64), bytesOf("0123456789abcdefg01234"));
}

TEST(Lznt1, HandAssembledStoredThenCompressed) {
  Buffer in = {0x02, 0x30, 'x', 'y', 'z', 0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x00, 0x00, 0x00, 0x00};
  // The reference (offset 1, length 3) copies within the second chunk only.
  EXPECT_EQ(decompress(in, 64), bytesOf("xyzabcccc"));
}

TEST(Lznt1, RoundTripsText) {
  expectRoundTrip(text(100));
  expectRoundTrip(text(kChunk));
  expectRoundTrip(text(kUnit));
  EXPECT_LT(compress(text(kUnit)).size(), kUnit / 2);
}

TEST(Lznt1, RoundTripsZeros) {
  for (std::size_t n : {std::size_t{1}, std::size_t{3}, std::size_t{4}, std::size_t{5}, kChunk, kChunk + 1, kUnit}) {
    Buffer raw(n, 0);
    expectRoundTrip(raw);
    Buffer same(n, 'A');
    expectRoundTrip(same);
  }
  EXPECT_LT(compress(Buffer(kUnit, 0)).size(), 200u);
}

TEST(Lznt1, RandomBytesAreStoredChunks) {
  Buffer raw = randomBytes(3 * kChunk + 100, 7);
  Buffer packed = compress(raw);
  ASSERT_EQ(packed.size(), raw.size() + 4 * 2);
  EXPECT_EQ(le16(packed, 0), 0x3FFF);
  EXPECT_EQ(le16(packed, 3 * (kChunk + 2)), 0x3000 | 99);
  EXPECT_EQ(decompress(packed, kUnit), raw);
}

TEST(Lznt1, RoundTripsMixedData) {
  Buffer raw = text(5000);
  Buffer r = randomBytes(6000, 3);
  raw.insert(raw.end(), r.begin(), r.end());
  raw.insert(raw.end(), 9000, 0);
  Buffer t = text(20000);
  raw.insert(raw.end(), t.begin() + 7000, t.end());
  raw.resize(kUnit, 'z');
  expectRoundTrip(raw);
  for (unsigned seed = 1; seed <= 20; ++seed) {
    std::mt19937 rng(seed);
    Buffer m;
    while (m.size() < 3 * kChunk) {
      std::size_t run = rng() % 300 + 1;
      if (rng() % 2 == 0) {
        for (std::size_t k = 0; k < run; ++k) m.push_back(static_cast<std::uint8_t>(rng() % 4));
      } else {
        m.insert(m.end(), run, static_cast<std::uint8_t>(rng()));
      }
    }
    expectRoundTrip(m);
  }
}

TEST(Lznt1, LastStoredChunkFillingTheUnitIsKept) {
  Buffer raw = text(2 * kChunk);
  Buffer r = randomBytes(kChunk, 11);
  raw.insert(raw.end(), r.begin(), r.end());
  Buffer unit = compress(raw);
  ASSERT_EQ(le16(unit, unit.size() - kChunk - 2), 0x3FFF);
  EXPECT_TRUE(isCompressedUnit(unit));
  EXPECT_EQ(decompress(unit, kUnit), raw);
  // Cutting the unit one byte short of its last chunk makes it run past the unit.
  EXPECT_FALSE(isCompressedUnit(Bytes(unit.data(), unit.size() - 1)));
}

TEST(Lznt1, ReferencesWhereTheLengthFieldNarrows) {
  const std::size_t points[] = {1, 2, 15, 16, 17, 18, 31, 32, 33, 34, 64, 65, 128, 129, 256, 257,
                                512, 513, 1024, 1025, 2048, 2049, 2050, 4000, 4094, 4095};
  for (std::size_t p : points) {
    for (int variant = 0; variant < 3; ++variant) {
      // Up to 3000 random literals, then period-1000 copies: 4000 literals would not fit a chunk.
      Buffer expected = randomBytes(std::min<std::size_t>(p, 3000), static_cast<unsigned>(p));
      TokenWriter w;
      for (std::uint8_t b : expected) w.literal(b);
      while (expected.size() < p) {
        std::size_t n = std::min(maxLength(expected.size()), p - expected.size());
        w.reference(expected.size(), 1000, n);
        for (std::size_t k = 0; k < n; ++k) expected.push_back(expected[expected.size() - 1000]);
      }
      // Farthest offset with the longest length, the nearest offset, and a mid offset.
      std::size_t offset = variant == 0 ? p : variant == 1 ? 1 : (p + 1) / 2;
      // A trailing literal keeps p = 1 from giving four data bytes, which would read as the end.
      std::size_t length = std::min(maxLength(p), kChunk - p - 1);
      if (length < 3) continue;
      w.reference(p, offset, length);
      w.literal('Z');
      for (std::size_t k = 0; k < length; ++k) expected.push_back(expected[expected.size() - offset]);
      expected.push_back('Z');
      Buffer in;
      putHeader(in, w.data().size(), true);
      in.insert(in.end(), w.data().begin(), w.data().end());
      EXPECT_EQ(decompress(in, kUnit), expected) << "p=" << p << " variant=" << variant;
    }
  }
  EXPECT_EQ(lengthBitsAt(16), 12u);
  EXPECT_EQ(lengthBitsAt(17), 11u);
  EXPECT_EQ(lengthBitsAt(33), 10u);
  EXPECT_EQ(lengthBitsAt(2048), 5u);
  EXPECT_EQ(lengthBitsAt(2049), 4u);
}

TEST(Lznt1, OffsetPastTheChunkStartCopiesFromIt) {
  // A first stored chunk of 'X', then "abcd" and a reference whose offset (10) exceeds p (4).
  Buffer in;
  putHeader(in, kChunk, false);
  in.insert(in.end(), kChunk, 'X');
  TokenWriter w;
  for (char c : std::string("abcd")) w.literal(static_cast<std::uint8_t>(c));
  w.reference(4, 10, 6);
  putHeader(in, w.data().size(), true);
  in.insert(in.end(), w.data().begin(), w.data().end());
  Buffer expected(kChunk, 'X');
  Buffer tail = bytesOf("abcdabcdab");
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(decompress(in, kUnit), expected);

  // At p = 0 the copy is of the chunk's own, still zero, first bytes.
  TokenWriter z;
  z.reference(0, 1, 5);
  z.literal('q');
  z.literal('r');
  Buffer in0;
  putHeader(in0, z.data().size(), true);
  in0.insert(in0.end(), z.data().begin(), z.data().end());
  EXPECT_EQ(decompress(in0, 64), Buffer({0, 0, 0, 0, 0, 'q', 'r'}));
}

TEST(Lznt1, ChunkOutputStopsAt4096) {
  // p = 1 allows a length of 4098, which would overrun the chunk; the next chunk starts at 4096.
  TokenWriter w;
  w.literal('a');
  w.reference(1, 1, 4098);
  w.literal('b');
  Buffer in;
  putHeader(in, w.data().size(), true);
  in.insert(in.end(), w.data().begin(), w.data().end());
  in.insert(in.end(), {0x01, 0x30, 'c', 'd'});
  Buffer expected(kChunk, 'a');
  expected.push_back('c');
  expected.push_back('d');
  EXPECT_EQ(decompress(in, kUnit), expected);
}

TEST(Lznt1, SmallCapacityTruncates) {
  Buffer raw = text(3 * kChunk);
  Buffer r = randomBytes(kChunk, 5);
  raw.insert(raw.end(), r.begin(), r.end());
  Buffer packed = compress(raw);
  for (std::size_t capacity : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{100}, kChunk - 1, kChunk,
                               kChunk + 1, 3 * kChunk + 5, raw.size() - 1}) {
    // Guard bytes after the capacity must stay untouched.
    Buffer out(capacity + 16, 0xEE);
    std::size_t n = decompressUnit(packed, MutableBytes(out.data(), capacity));
    EXPECT_EQ(n, capacity);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(capacity), raw.begin()));
    EXPECT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(capacity), out.end(),
                            [](std::uint8_t b) { return b == 0xEE; }));
  }
}

TEST(Lznt1, TruncatedInputGivesAPrefix) {
  Buffer raw = text(kChunk + 1500);
  Buffer packed = compress(raw);
  for (std::size_t cut = 0; cut <= packed.size(); ++cut) {
    Buffer in(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(cut));
    in.shrink_to_fit();
    Buffer out = decompress(in, 2 * kChunk);
    ASSERT_LE(out.size(), raw.size()) << cut;
    EXPECT_TRUE(std::equal(out.begin(), out.end(), raw.begin())) << cut;
  }
  EXPECT_EQ(decompress(packed, 2 * kChunk), raw);
  // A stored chunk cut short gives the bytes that are there.
  Buffer stored = {0xFF, 0x3F, 1, 2, 3};
  EXPECT_EQ(decompress(stored, kUnit), Buffer({1, 2, 3}));
}

TEST(Lznt1, EndMarkers) {
  Buffer chunk = compress(text(500));
  Buffer in = chunk;
  in.insert(in.end(), {0x00, 0x00});
  in.insert(in.end(), chunk.begin(), chunk.end());
  EXPECT_EQ(decompress(in, kUnit), text(500));
  // A size field of 3 is a four-byte chunk, not an end: here 4096 times 'a' (a literal and one
  // reference of length 4095 at offset 1), followed by more chunks that are kept.
  in = {0x03, 0xB0, 0x02, 'a', 0xFC, 0x0F};
  in.insert(in.end(), chunk.begin(), chunk.end());
  Buffer expected(4096, 'a');
  Buffer rest = text(500);
  expected.insert(expected.end(), rest.begin(), rest.end());
  EXPECT_EQ(decompress(in, kUnit), expected);
  EXPECT_EQ(decompress(Buffer{}, kUnit).size(), 0u);
  EXPECT_EQ(decompress(Buffer{0x05}, kUnit).size(), 0u);
}

TEST(Lznt1, CompressedUnitTest) {
  EXPECT_TRUE(isCompressedUnit(Buffer{}));
  // Stop at size field 0 or 3 inside the unit, with trailing bytes after it.
  EXPECT_TRUE(isCompressedUnit(Buffer{0x02, 0x30, 1, 2, 3, 0x00, 0x00, 9, 9, 9}));
  EXPECT_TRUE(isCompressedUnit(Buffer{0x02, 0x30, 1, 2, 3, 0x03, 0xB0, 9}));
  EXPECT_TRUE(isCompressedUnit(Buffer{0x00, 0x00}));
  // Chunks ending exactly at the end.
  EXPECT_TRUE(isCompressedUnit(Buffer{0x02, 0x30, 1, 2, 3}));
  EXPECT_TRUE(isCompressedUnit(Buffer{0x02, 0x30, 1, 2, 3, 0x01, 0xB0, 4, 5}));
  // A chunk running past the end.
  EXPECT_FALSE(isCompressedUnit(Buffer{0x02, 0x30, 1, 2}));
  EXPECT_FALSE(isCompressedUnit(Buffer{0x02, 0x30, 1, 2, 3, 0x04, 0xB0, 4, 5}));
  // A header that itself lies past the end.
  EXPECT_FALSE(isCompressedUnit(Buffer{0x02, 0x30, 1, 2, 3, 0x00}));
  EXPECT_FALSE(isCompressedUnit(Buffer{0x00}));
  // Raw file data: a full unit of text is very unlikely to chain exactly.
  Buffer raw = text(kUnit);
  EXPECT_FALSE(isCompressedUnit(raw));
}

}  // namespace
}  // namespace ov::ntfs
