#include "ntfs/file_record.h"

namespace ov::ntfs {
namespace {

bool validAttributeType(std::uint32_t type) {
  return (type % 0x10 == 0 && type >= 0x10 && type <= 0xF0) || type == 0x100;
}

// The first-attribute offset that an update-sequence array of `count` entries at `offset` implies.
std::uint32_t expectedFirstAttribute(std::uint16_t offset, std::uint16_t count) {
  std::uint32_t twice = 2u * count;
  std::uint32_t rounded = (twice + 7u) & ~7u;
  if (offset == 42 && twice % 8 != 0) rounded -= 2;
  return offset + rounded;
}

}  // namespace

bool applyFixups(MutableBytes r, std::uint16_t usOffset, std::uint16_t usCount, std::uint32_t limit,
                 std::uint32_t bps) {
  Bytes view(r.data(), r.size());
  if (bps < 2) return false;
  std::uint16_t usn = le16(view, usOffset);
  std::uint32_t entry = 1;
  for (std::uint64_t end = bps; end <= limit; end += bps, ++entry) {
    if (entry >= usCount) return false;
    if (!fits(view, static_cast<std::size_t>(end - 2), 2) || !fits(view, usOffset + 2u * entry, 2)) return false;
    if (le16(view, static_cast<std::size_t>(end - 2)) != usn) return false;
    writeLe<std::uint16_t>(r, static_cast<std::size_t>(end - 2), le16(view, usOffset + 2u * entry));
  }
  return true;
}

std::uint32_t updateSequenceStride(std::uint16_t count, std::uint32_t recordBytes, std::uint32_t bps) {
  if (bps == 0) return 0;
  if (static_cast<std::uint16_t>(count - 1) == static_cast<std::uint16_t>(recordBytes / bps)) return bps;
  if (recordBytes % 512 == 0 && std::uint32_t{static_cast<std::uint16_t>(count - 1)} == recordBytes / 512) return 512;
  return 0;
}

bool checkFileRecord(MutableBytes r, std::uint32_t recordBytes, std::uint32_t bps) {
  Bytes b(r.data(), r.size());
  if (bps == 0 || recordBytes < 48 || r.size() < recordBytes) return false;
  if (b[0] != 'F' || b[1] != 'I' || b[2] != 'L' || b[3] != 'E') return false;
  std::uint16_t usOffset = le16(b, 0x04);
  std::uint16_t usCount = le16(b, 0x06);
  if (usOffset != 42 && usOffset != 48) return false;
  const std::uint32_t stride = updateSequenceStride(usCount, recordBytes, bps);
  if (stride == 0) return false;
  std::uint16_t firstAttribute = le16(b, 0x14);
  if (firstAttribute % 8 != 0 || firstAttribute != expectedFirstAttribute(usOffset, usCount)) return false;
  std::uint32_t inUse = le32(b, 0x18);
  std::uint32_t allocated = le32(b, 0x1C);
  if (inUse > allocated || allocated != recordBytes || inUse % 8 != 0 || allocated % 8 != 0) return false;
  if (!applyFixups(r, usOffset, usCount, inUse, stride)) return false;

  std::size_t offset = firstAttribute;
  int attributes = 0;
  while (offset < inUse) {
    if (!fits(b, offset, 4)) return false;
    std::uint32_t type = le32(b, offset);
    if (type == kAttrEnd) break;
    std::uint32_t length = le32(b, offset + 4);
    if (!validAttributeType(type) || length == 0 || length % 8 != 0) return false;
    std::uint8_t nonResident = le8(b, offset + 8);
    if (type == kAttrStandardInformation && nonResident != 0) return false;
    if (nonResident != 0) {
      if (nonResident != 1 || length < le16(b, offset + 0x20)) return false;
    } else {
      std::uint64_t valueEnd = std::uint64_t{le16(b, offset + 0x14)} + le32(b, offset + 0x10);
      if (length < valueEnd) return false;
    }
    ++attributes;
    offset += length;
  }
  return attributes > 0 && offset <= inUse;
}

AttributeWalk::AttributeWalk(Bytes record) : record_(record) {
  offset_ = le16(record, 0x14);
  std::size_t inUse = le32(record, 0x18);
  limit_ = inUse < record.size() ? inUse : record.size();
}

std::optional<Attribute> AttributeWalk::next() {
  if (offset_ >= limit_ || !fits(record_, offset_, 8)) return std::nullopt;
  Attribute a;
  a.offset = offset_;
  a.type = le32(record_, offset_);
  if (a.type == kAttrEnd) return std::nullopt;
  a.length = le32(record_, offset_ + 4);
  if (a.length == 0 || a.length > limit_ - offset_) return std::nullopt;
  a.nonResident = le8(record_, offset_ + 8) != 0;
  if (!a.nonResident) {
    std::size_t valueOffset = le16(record_, offset_ + 0x14);
    std::size_t valueLength = le32(record_, offset_ + 0x10);
    if (valueOffset <= a.length && valueLength <= a.length - valueOffset)
      a.value = record_.subspan(offset_ + valueOffset, valueLength);
  }
  offset_ += a.length;
  return a;
}

std::u16string fileNameOf(Bytes value) {
  std::size_t length = le8(value, 0x40);
  if (!fits(value, 0x42, 2 * length)) return {};
  return readUtf16(value, 0x42, length);
}

std::uint64_t firstRunCluster(Bytes record, const Attribute& a) {
  if (!a.nonResident) return 0;
  std::size_t runs = a.offset + le16(record, a.offset + 0x20);
  if (!fits(record, runs, 1)) return 0;
  std::uint8_t header = record[runs];
  std::size_t lengthSize = header & 0x0F;
  std::size_t offsetSize = header >> 4;
  if (header == 0 || lengthSize > 4 || offsetSize == 0 || offsetSize > 4) return 0;
  std::size_t at = runs + 1 + lengthSize;
  if (!fits(record, at, offsetSize)) return 0;
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < offsetSize; ++i) value |= std::uint64_t{record[at + i]} << (8 * i);
  if (offsetSize < 8 && (record[at + offsetSize - 1] & 0x80)) value |= ~std::uint64_t{0} << (8 * offsetSize);
  return value;
}

namespace {

bool isFirstRecordNamed(MutableBytes r, std::uint32_t recordBytes, std::uint32_t bps, std::u16string_view wanted) {
  if (!checkFileRecord(r, recordBytes, bps)) return false;
  Bytes b(r.data(), recordBytes);
  AttributeWalk walk(b);
  bool timesEqual = false;
  bool named = false;
  while (auto a = walk.next()) {
    if (a->type == 0 || a->type > kAttrData) return false;
    if (a->type == kAttrData) return timesEqual && named;
    if (a->type == kAttrStandardInformation && a->value.size() >= 0x20) {
      std::uint64_t created = le64(a->value, 0);
      timesEqual = created == le64(a->value, 0x08) && created == le64(a->value, 0x10) && created == le64(a->value, 0x18);
    } else if (a->type == kAttrFileName && fileNameOf(a->value) == wanted) {
      named = true;
    }
  }
  return false;
}

}  // namespace

bool isFirstMftRecord(MutableBytes r, std::uint32_t recordBytes, std::uint32_t bps) {
  return isFirstRecordNamed(r, recordBytes, bps, u"$MFT");
}

bool isFirstMirrorRecord(MutableBytes r, std::uint32_t recordBytes, std::uint32_t bps) {
  return isFirstRecordNamed(r, recordBytes, bps, u"$MFTMirr");
}

}  // namespace ov::ntfs
