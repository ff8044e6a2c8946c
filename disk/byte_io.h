// Little-endian reading and writing over byte spans.
//
// Every on-disk and on-file structure goes through these helpers instead of a
// cast onto a packed struct. Reads outside the span yield 0 so a malformed
// field can never read past a buffer; decoders still check lengths themselves
// where a short buffer must be refused rather than read as zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace ov {

using Bytes = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;

inline bool fits(Bytes b, std::size_t offset, std::size_t length) {
  return offset <= b.size() && length <= b.size() - offset;
}

template <typename T>
inline T readLe(Bytes b, std::size_t offset) {
  if (!fits(b, offset, sizeof(T))) return T{0};
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i)
    v |= static_cast<std::uint64_t>(b[offset + i]) << (8 * i);
  return static_cast<T>(v);
}

inline std::uint8_t le8(Bytes b, std::size_t off) { return readLe<std::uint8_t>(b, off); }
inline std::uint16_t le16(Bytes b, std::size_t off) { return readLe<std::uint16_t>(b, off); }
inline std::uint32_t le32(Bytes b, std::size_t off) { return readLe<std::uint32_t>(b, off); }
inline std::uint64_t le64(Bytes b, std::size_t off) { return readLe<std::uint64_t>(b, off); }

template <typename T>
inline void writeLe(MutableBytes b, std::size_t offset, T value) {
  if (!fits(Bytes(b.data(), b.size()), offset, sizeof(T))) return;
  auto v = static_cast<std::uint64_t>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) b[offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Appends little-endian fields to a growing byte vector; used by the stored-record codecs.
class ByteWriter {
 public:
  void u8(std::uint8_t v) { bytes_.push_back(v); }
  void u16(std::uint16_t v) { put(v, 2); }
  void u32(std::uint32_t v) { put(v, 4); }
  void u64(std::uint64_t v) { put(v, 8); }
  void zeros(std::size_t n) { bytes_.insert(bytes_.end(), n, 0); }
  void raw(Bytes b) { bytes_.insert(bytes_.end(), b.begin(), b.end()); }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  std::vector<std::uint8_t> take() { return std::move(bytes_); }

 private:
  void put(std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  std::vector<std::uint8_t> bytes_;
};

// Reads little-endian fields in order from a span; `ok()` turns false once a read ran past the end.
class ByteReader {
 public:
  explicit ByteReader(Bytes b) : bytes_(b) {}
  std::uint8_t u8() { return take<std::uint8_t>(); }
  std::uint16_t u16() { return take<std::uint16_t>(); }
  std::uint32_t u32() { return take<std::uint32_t>(); }
  std::uint64_t u64() { return take<std::uint64_t>(); }
  void skip(std::size_t n) {
    if (!fits(bytes_, pos_, n)) { ok_ = false; pos_ = bytes_.size(); return; }
    pos_ += n;
  }
  bool ok() const { return ok_; }
  std::size_t position() const { return pos_; }

 private:
  template <typename T>
  T take() {
    if (!fits(bytes_, pos_, sizeof(T))) { ok_ = false; pos_ = bytes_.size(); return T{0}; }
    T v = readLe<T>(bytes_, pos_);
    pos_ += sizeof(T);
    return v;
  }
  Bytes bytes_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

// UTF-16 little-endian units to UTF-8, replacing unpaired surrogates with U+FFFD.
std::string utf16ToUtf8(const std::u16string& s);
std::u16string utf8ToUtf16(const std::string& s);
std::u16string readUtf16(Bytes b, std::size_t offset, std::size_t units);

}  // namespace ov
