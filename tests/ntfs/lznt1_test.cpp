// LZNT1 on hand-assembled chunks: narrowing length fields, overruns, cut input, end marks, raw data.
// Files compressed by ntfs-3g are checked on the images (tests/e2e).
#include "ntfs/lznt1.h"

#include <random>

#include "tests/support/test_support.h"

namespace ov::ntfs {
namespace {

using test::join;

using Buffer = std::vector<std::uint8_t>;
constexpr std::size_t kChunk = 4096;
constexpr std::size_t kUnit = 65536;

// The length field's width at position p of a chunk, written out as the halving loop.
unsigned lengthBitsAt(std::size_t p) {
  unsigned bits = 12;
  if (p == 0) return bits;
  for (std::size_t q = p - 1; q >= 16; q /= 2) --bits;
  return bits;
}
std::size_t maxLength(std::size_t p) { return (std::size_t{1} << lengthBitsAt(p)) - 1 + 3; }

// A compressed chunk assembled token by token, flag bytes grouped by eight.
class Chunk {
 public:
  Chunk& literal(std::uint8_t b) {
    flag(false);
    data_.push_back(b);
    return *this;
  }
  Chunk& literals(const std::string& s) {
    for (char c : s) literal(static_cast<std::uint8_t>(c));
    return *this;
  }
  Chunk& reference(std::size_t p, std::size_t offset, std::size_t length) {
    flag(true);
    const auto t = static_cast<std::uint16_t>(((offset - 1) << lengthBitsAt(p)) | (length - 3));
    data_.push_back(static_cast<std::uint8_t>(t & 0xFF));
    data_.push_back(static_cast<std::uint8_t>(t >> 8));
    return *this;
  }
  // Header (data bytes - 1, 3 in bits 12-14, bit 15 for compressed) and data.
  Buffer bytes() const { return header(data_.size(), true, data_); }
  static Buffer header(std::size_t n, bool compressed, const Buffer& data) {
    const auto h = static_cast<std::uint16_t>((n - 1) | 0x3000u | (compressed ? 0x8000u : 0u));
    Buffer out = {static_cast<std::uint8_t>(h & 0xFF), static_cast<std::uint8_t>(h >> 8)};
    out.insert(out.end(), data.begin(), data.end());
    return out;
  }
  static Buffer stored(const Buffer& raw) { return header(raw.size(), false, raw); }

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
  std::size_t flagAt_ = 0, tokens_ = 0;
};

Buffer decompress(const Buffer& in, std::size_t capacity) {
  Buffer out(capacity, 0xEE);
  out.resize(decompressUnit(in, out));
  return out;
}

Buffer text(const std::string& s) { return Buffer(s.begin(), s.end()); }

TEST(Lznt1, HandAssembledUnits) {
  const Buffer as = join({Buffer(kChunk, 'a'), text("cd")}), xs = join({Buffer(kChunk, 'X'), text("abcdabcdab")});
  struct Row {
    const char* what;
    Buffer in, out;
  };
  const std::vector<Row> rows = {
      {"three literals and a reference", {0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x06, 0x20}, text("abcabcabcabc")},
      {"a stored chunk, then a compressed one copying within itself",
       {0x02, 0x30, 'x', 'y', 'z', 0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x00, 0x00, 0x00, 0x00}, text("xyzabcccc")},
      {"an offset past the chunk's start copies from it",
       join({Chunk::stored(Buffer(kChunk, 'X')), Chunk().literals("abcd").reference(4, 10, 6).bytes()}), xs},
      {"at p = 0 the copy is of the chunk's own zero bytes", Chunk().reference(0, 1, 5).literals("qr").bytes(),
       {0, 0, 0, 0, 0, 'q', 'r'}},
      {"a length past 4096 stops at the chunk's end",
       join({Chunk().literal('a').reference(1, 1, 4098).literal('b').bytes(), {0x01, 0x30, 'c', 'd'}}), as},
      {"an end mark, then bytes that are not read", join({Chunk().literals("hello").bytes(), {0, 0}, {0x01, 0x30, 'c', 'd'}}),
       text("hello")},
      {"a size field of 3 is a four-byte chunk, not an end",
       join({{0x03, 0xB0, 0x02, 'a', 0xFC, 0x0F}, {0x01, 0x30, 'c', 'd'}}), as},
      {"a stored chunk cut short", {0xFF, 0x3F, 1, 2, 3}, {1, 2, 3}},
      {"nothing", {}, {}},
      {"a lone byte", {0x05}, {}},
  };
  for (const Row& row : rows) EXPECT_EQ(decompress(row.in, kUnit), row.out) << row.what;
}

TEST(Lznt1, ReferencesWhereTheLengthFieldNarrows) {
  const std::size_t points[] = {1, 2, 15, 16, 17, 18, 31, 32, 33, 34, 64, 65, 128, 129, 256, 257,
                                512, 513, 1024, 1025, 2048, 2049, 2050, 4000, 4094, 4095};
  for (std::size_t p : points) {
    for (int variant = 0; variant < 3; ++variant) {
      // Up to 3000 random literals, then copies of period 1000 up to p.
      std::mt19937 rng(static_cast<unsigned>(p));
      Buffer expected(std::min<std::size_t>(p, 3000));
      for (auto& b : expected) b = static_cast<std::uint8_t>(rng());
      Chunk c;
      for (std::uint8_t b : expected) c.literal(b);
      while (expected.size() < p) {
        const std::size_t n = std::min(maxLength(expected.size()), p - expected.size());
        c.reference(expected.size(), 1000, n);
        for (std::size_t k = 0; k < n; ++k) expected.push_back(expected[expected.size() - 1000]);
      }
      // The farthest offset with the longest length, the nearest offset, a middle one; a trailing
      // literal keeps p = 1 from giving four data bytes, which would read as the end.
      const std::size_t offset = variant == 0 ? p : variant == 1 ? 1 : (p + 1) / 2;
      const std::size_t length = std::min(maxLength(p), kChunk - p - 1);
      if (length < 3) continue;
      c.reference(p, offset, length).literal('Z');
      for (std::size_t k = 0; k < length; ++k) expected.push_back(expected[expected.size() - offset]);
      expected.push_back('Z');
      EXPECT_EQ(decompress(c.bytes(), kUnit), expected) << "p=" << p << " variant=" << variant;
    }
  }
}

TEST(Lznt1, OutputThatDoesNotFitAndInputCutAnywhereGiveAPrefix) {
  Buffer unit;
  for (int i = 0; i < 3; ++i) {
    const Buffer chunk = Chunk().literals("line " + std::to_string(i) + ": ").reference(8, 8, kChunk - 9).literal('!').bytes();
    unit.insert(unit.end(), chunk.begin(), chunk.end());
  }
  const Buffer raw = decompress(unit, kUnit);
  ASSERT_EQ(raw.size(), 3u * kChunk);
  for (std::size_t capacity : {std::size_t{0}, std::size_t{1}, std::size_t{100}, kChunk - 1, kChunk, kChunk + 1,
                               raw.size() - 1}) {
    Buffer out(capacity + 16, 0xEE);  // guard bytes after the capacity stay untouched
    EXPECT_EQ(decompressUnit(unit, MutableBytes(out.data(), capacity)), capacity);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(capacity), raw.begin()));
    EXPECT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(capacity), out.end(),
                            [](std::uint8_t b) { return b == 0xEE; }));
  }
  for (std::size_t cut = 0; cut <= unit.size(); ++cut) {
    Buffer in(unit.begin(), unit.begin() + static_cast<std::ptrdiff_t>(cut));
    in.shrink_to_fit();
    const Buffer out = decompress(in, kUnit);
    ASSERT_LE(out.size(), raw.size()) << cut;
    EXPECT_TRUE(std::equal(out.begin(), out.end(), raw.begin())) << cut;
  }
}

TEST(Lznt1, CompressedUnitsAreToldFromRawData) {
  struct Row {
    const char* what;
    Buffer unit;
    bool compressed;
  };
  Buffer full = join({Chunk::stored(Buffer(kChunk, 1)), Chunk().literals("abc").reference(3, 3, 9).bytes()});
  Buffer raw(kUnit);
  std::mt19937 rng(7);
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(32 + rng() % 90);
  const std::vector<Row> rows = {
      {"empty", {}, true},
      {"an end mark with bytes after it", {0x02, 0x30, 1, 2, 3, 0x00, 0x00, 9, 9, 9}, true},
      {"a size field of 3 with bytes after it", {0x02, 0x30, 1, 2, 3, 0x03, 0xB0, 9}, true},
      {"an end mark alone", {0x00, 0x00}, true},
      {"chunks ending at the end", {0x02, 0x30, 1, 2, 3, 0x01, 0xB0, 4, 5}, true},
      {"a stored chunk of 4096 bytes and more", full, true},
      {"a chunk running past the end", {0x02, 0x30, 1, 2, 3, 0x04, 0xB0, 4, 5}, false},
      {"the last chunk one byte short", Buffer(full.begin(), full.end() - 1), false},
      {"a header past the end", {0x02, 0x30, 1, 2, 3, 0x00}, false},
      {"half a header", {0x00}, false},
      {"raw text", raw, false},
  };
  for (const Row& row : rows) EXPECT_EQ(isCompressedUnit(row.unit), row.compressed) << row.what;
}

}  // namespace
}  // namespace ov::ntfs
