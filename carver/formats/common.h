// Shared pieces of the end-finding routines: a bounded byte view of the disk from the start
// sector, footer search across sector and window boundaries, and the usual result shapes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "carver/formats/format.h"

namespace ov::carver {

// Bytes of the disk addressed from the start sector's first byte. Reads whole windows of sectors
// and re-reads only when a byte outside the held window is wanted. Bytes past the disk's end, and
// every byte after a failed read, read as zero, so walks end on their own checks; `failed()` then
// tells the routine to answer ReadFailed.
class DiskBytes {
 public:
  static constexpr std::uint32_t kWindowSectors = 64;

  explicit DiskBytes(const CarveContext& ctx, std::uint32_t windowSectors = kWindowSectors);

  // Bytes from the start to the disk's end; 0 when the start lies outside the disk or the disk
  // has no sector size (routines then reject).
  std::uint64_t available() const { return available_; }
  // available() cut to kMaxCarvedSize: no walk goes past this.
  std::uint64_t limit() const { return limit_; }
  std::uint32_t sectorSize() const { return bps_; }
  bool failed() const { return failed_; }
  const CarveContext& context() const { return ctx_; }

  std::uint8_t u8(std::uint64_t off);
  std::uint16_t be16(std::uint64_t off);
  std::uint32_t be32(std::uint64_t off);
  std::uint16_t le16(std::uint64_t off);
  std::uint32_t le32(std::uint64_t off);
  std::uint64_t be64(std::uint64_t off);
  std::uint64_t le64(std::uint64_t off);
  bool matches(std::uint64_t off, Bytes pattern);
  // The held bytes from `off` to the end of the window that holds it (loading it); empty past the
  // end of the disk or after a failure.
  Bytes view(std::uint64_t off);

 private:
  bool load(std::uint64_t off);

  const CarveContext& ctx_;
  std::uint32_t bps_ = 0;
  std::uint32_t windowSectors_;
  std::uint64_t available_ = 0;
  std::uint64_t limit_ = 0;
  std::vector<std::uint8_t> buf_;
  std::uint64_t bufStart_ = 0;  // byte offset (from the start) of buf_[0]
  std::size_t bufLen_ = 0;
  bool fromResident_ = false;
  bool failed_ = false;
};

// The first `pattern` that lies wholly in [from, to), tested at every offset; stops early when
// the scan is stopped.
std::optional<std::uint64_t> findBytes(DiskBytes& d, std::uint64_t from, std::uint64_t to, Bytes pattern);

// How far a walk that has no length field to follow (an end marker searched for, entropy-coded
// data) may go: the larger of the user's maximum and the type's default size, or the size cap when
// neither is given; never past the disk's end.
std::uint64_t typeLimit(const DiskBytes& d);

// The end of a JPEG's entropy-coded data that starts at `from`: the offset of the first marker
// that is neither a stuffed 0xFF 0x00, a fill byte nor a restart marker. Nothing when no such
// marker lies before `limit` (or the scan was stopped).
std::optional<std::uint64_t> jpegEntropyEnd(DiskBytes& d, std::uint64_t from, std::uint64_t limit);

// Whether the chunks of a RIFF file (four-character code, little-endian length, data padded to an
// even length) run from offset 12 to exactly `end`: true for a well-formed file of that size.
bool riffChunksReach(DiskBytes& d, std::uint64_t end);

// CRC-32 as ZIP, 7z and RAR use it (reflected 0xEDB88320), continued from `crc`.
std::uint32_t crc32Update(std::uint32_t crc, Bytes data);
// The CRC-32 of `length` bytes at `off`; nothing when they reach past the disk.
std::optional<std::uint32_t> crc32Of(DiskBytes& d, std::uint64_t off, std::uint64_t length);

// Accepted with a size the scanner may not jump over (only carvedSize in the record).
CarveResult sizeOnly(const DiskBytes& d, std::uint64_t size);
// Accepted with a known end: size and jump.
CarveResult endAt(const DiskBytes& d, std::uint64_t size);
CarveResult rejected(const DiskBytes& d);
// For a size that comes from a length field nothing else confirms (a box, a segment, a page
// count, a strip offset): a known end that the scan may jump over when the file lies within the
// disk and the type's limit; otherwise only a size, so that a damaged field cannot make the scan
// pass over the rest of the disk.
CarveResult endFromField(const DiskBytes& d, std::uint64_t size);
// Reports ReadFailed in place of any result once a read failed.
CarveResult settle(const DiskBytes& d, CarveResult r);

// Size from a little-endian 32-bit header field plus a constant; accepted whenever the field
// lies on the disk.
CarveResult sizeFromLe32Field(const CarveContext& ctx, std::uint64_t fieldOffset, std::uint64_t add);

// Routine 62, which the WAVE routine hands MPEG-audio WAVE files to.
CarveResult findMpegAudioEnd(const CarveContext& ctx);

}  // namespace ov::carver
