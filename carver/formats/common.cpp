#include "carver/formats/common.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace ov::carver {

DiskBytes::DiskBytes(const CarveContext& ctx, std::uint32_t windowSectors)
    : ctx_(ctx), bps_(ctx.disk.bytesPerSector()), windowSectors_(std::max<std::uint32_t>(windowSectors, 1)) {
  const std::uint64_t total = ctx.disk.totalSectors();
  // Nothing can be addressed on a disk without a sector size: every byte reads as zero.
  if (bps_ == 0) return;
  if (ctx.startSector < total) {
    const std::uint64_t sectors = total - ctx.startSector;
    available_ = sectors > std::numeric_limits<std::uint64_t>::max() / bps_ ? std::numeric_limits<std::uint64_t>::max()
                                                                             : sectors * bps_;
  }
  limit_ = std::min(available_, kMaxCarvedSize);
}

bool DiskBytes::load(std::uint64_t off) {
  if (failed_ || off >= available_) return false;
  const Bytes resident = ctx_.resident;
  if (off < resident.size()) {
    fromResident_ = true;
    bufStart_ = 0;
    bufLen_ = static_cast<std::size_t>(std::min<std::uint64_t>(resident.size(), available_));
    return true;
  }
  fromResident_ = false;
  const std::uint64_t sector = off / bps_;
  const std::uint64_t lba = ctx_.startSector + sector;
  const std::uint64_t left = ctx_.disk.totalSectors() - lba;
  const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(windowSectors_, left));
  buf_.resize(static_cast<std::size_t>(windowSectors_) * bps_);
  const std::size_t bytes = static_cast<std::size_t>(count) * bps_;
  // An unreadable range must read as zeros, never as the previous window's bytes.
  std::fill(buf_.begin(), buf_.end(), std::uint8_t{0});
  bufLen_ = 0;
  if (!ctx_.disk.readSectors(lba, count, MutableBytes(buf_.data(), bytes))) {
    failed_ = true;
    return false;
  }
  bufStart_ = sector * bps_;
  bufLen_ = bytes;
  return true;
}

Bytes DiskBytes::view(std::uint64_t off) {
  if (off < bufStart_ || off - bufStart_ >= bufLen_) {
    if (!load(off)) return {};
  }
  const std::uint8_t* base = fromResident_ ? ctx_.resident.data() : buf_.data();
  const auto at = static_cast<std::size_t>(off - bufStart_);
  return Bytes(base + at, bufLen_ - at);
}

std::uint8_t DiskBytes::u8(std::uint64_t off) {
  Bytes v = view(off);
  return v.empty() ? std::uint8_t{0} : v[0];
}

std::uint16_t DiskBytes::be16(std::uint64_t off) {
  return static_cast<std::uint16_t>((unsigned{u8(off)} << 8) | u8(off + 1));
}

std::uint32_t DiskBytes::be32(std::uint64_t off) {
  return (std::uint32_t{be16(off)} << 16) | be16(off + 2);
}

std::uint16_t DiskBytes::le16(std::uint64_t off) {
  return static_cast<std::uint16_t>(u8(off) | (unsigned{u8(off + 1)} << 8));
}

std::uint32_t DiskBytes::le32(std::uint64_t off) {
  return std::uint32_t{le16(off)} | (std::uint32_t{le16(off + 2)} << 16);
}

std::uint64_t DiskBytes::be64(std::uint64_t off) { return (std::uint64_t{be32(off)} << 32) | be32(off + 4); }

std::uint64_t DiskBytes::le64(std::uint64_t off) { return std::uint64_t{le32(off)} | (std::uint64_t{le32(off + 4)} << 32); }

bool DiskBytes::matches(std::uint64_t off, Bytes pattern) {
  for (std::size_t i = 0; i < pattern.size(); ++i)
    if (u8(off + i) != pattern[i]) return false;
  return true;
}

std::optional<std::uint64_t> findBytes(DiskBytes& d, std::uint64_t from, std::uint64_t to, Bytes pattern) {
  if (pattern.empty()) return std::nullopt;
  to = std::min(to, d.available());
  std::uint64_t p = from;
  while (p < to && to - p >= pattern.size()) {
    if (!d.context().running()) return std::nullopt;
    Bytes v = d.view(p);
    if (v.empty()) return std::nullopt;
    const auto span = static_cast<std::size_t>(std::min<std::uint64_t>(v.size(), to - p));
    const void* hit = std::memchr(v.data(), pattern[0], span);
    if (hit == nullptr) {
      p += span;
      continue;
    }
    p += static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hit) - v.data());
    if (to - p < pattern.size()) return std::nullopt;
    if (d.matches(p, pattern)) return p;
    ++p;
  }
  return std::nullopt;
}

std::uint64_t typeLimit(const DiskBytes& d) {
  const CarveContext& ctx = d.context();
  const std::uint64_t type = std::max(ctx.maxSize, ctx.defaultSize);
  return type == 0 ? d.limit() : std::min<std::uint64_t>(type, d.limit());
}

std::optional<std::uint64_t> jpegEntropyEnd(DiskBytes& d, std::uint64_t from, std::uint64_t limit) {
  std::uint64_t p = from;
  limit = std::min(limit, d.available());
  while (p + 1 < limit) {
    if (!d.context().running()) return std::nullopt;
    Bytes v = d.view(p);
    if (v.empty()) return std::nullopt;
    const auto span = static_cast<std::size_t>(std::min<std::uint64_t>(v.size(), limit - p));
    const void* hit = std::memchr(v.data(), 0xFF, span);
    if (hit == nullptr) {
      p += span;
      continue;
    }
    p += static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hit) - v.data());
    if (p + 1 >= limit) return std::nullopt;
    const std::uint8_t next = d.u8(p + 1);
    if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) p += 2;  // stuffed byte, restart marker
    else if (next == 0xFF) p += 1;                               // fill byte before a marker
    else return p;
  }
  return std::nullopt;
}

bool riffChunksReach(DiskBytes& d, std::uint64_t end) {
  // A file of many tiny chunks is still walked only this far; it then counts as not verified.
  constexpr std::uint32_t kMaxChunks = 1u << 20;
  std::uint64_t off = 12;
  for (std::uint32_t n = 0; n < kMaxChunks && off + 8 <= end && d.context().running(); ++n) {
    for (std::uint64_t i = 0; i < 4; ++i) {
      const std::uint8_t c = d.u8(off + i);
      if (c < 0x20 || c > 0x7E) return false;
    }
    const std::uint64_t length = d.le32(off + 4);
    off += 8 + length;
    // The pad byte after an odd-sized last chunk is sometimes left out.
    if (off == end) return true;
    off += length & 1u;
  }
  return off == end && !d.failed();
}

namespace {
struct Crc32Table {
  std::uint32_t t[256];
  constexpr Crc32Table() : t{} {
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
  }
};
constexpr Crc32Table kCrc32;
}  // namespace

std::uint32_t crc32Update(std::uint32_t crc, Bytes data) {
  crc = ~crc;
  for (std::uint8_t b : data) crc = kCrc32.t[(crc ^ b) & 0xFFu] ^ (crc >> 8);
  return ~crc;
}

std::optional<std::uint32_t> crc32Of(DiskBytes& d, std::uint64_t off, std::uint64_t length) {
  if (length > d.available() || off > d.available() - length) return std::nullopt;
  std::uint32_t crc = 0;
  while (length != 0) {
    if (!d.context().running()) return std::nullopt;
    Bytes v = d.view(off);
    if (v.empty()) return std::nullopt;
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(v.size(), length));
    crc = crc32Update(crc, v.first(n));
    off += n;
    length -= n;
  }
  return crc;
}

CarveResult sizeOnly(const DiskBytes& d, std::uint64_t size) {
  CarveResult r;
  r.outcome = Outcome::Accepted;
  r.size = std::min(size, d.limit());
  return settle(d, r);
}

CarveResult endAt(const DiskBytes& d, std::uint64_t size) {
  CarveResult r = sizeOnly(d, size);
  r.skipBytes = r.size;
  r.endFound = r.size != 0;
  return settle(d, r);
}

CarveResult endFromField(const DiskBytes& d, std::uint64_t size) {
  return size <= d.available() && size <= typeLimit(d) ? endAt(d, size) : sizeOnly(d, size);
}

CarveResult rejected(const DiskBytes& d) { return settle(d, CarveResult{}); }

CarveResult settle(const DiskBytes& d, CarveResult r) {
  if (!d.failed()) return r;
  CarveResult failed;
  failed.outcome = Outcome::ReadFailed;
  return failed;
}

CarveResult sizeFromLe32Field(const CarveContext& ctx, std::uint64_t fieldOffset, std::uint64_t add) {
  DiskBytes d(ctx, 1);
  if (d.available() < fieldOffset + 4) return rejected(d);
  return sizeOnly(d, std::uint64_t{d.le32(fieldOffset)} + add);
}

}  // namespace ov::carver
