// Synthetic NTFS structures for the unit tests: a boot sector and MFT records built field by field.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk/byte_io.h"

namespace ov::ntfs::test {

struct BootFields {
  std::uint16_t bytesPerSector = 512;
  std::uint8_t sectorsPerCluster = 8;
  std::uint64_t totalSectors = 40959;
  std::uint64_t mftLcn = 4;
  std::uint64_t mftMirrLcn = 2559;
  std::int8_t mftRecordCode = -10;  // 1024 bytes
  std::int8_t indexRecordCode = 1;  // one cluster
  std::uint64_t serial = 0x1122334455667788ull;
};

inline std::vector<std::uint8_t> bootSector(const BootFields& f = {}) {
  std::vector<std::uint8_t> b(512, 0);
  b[0] = 0xEB; b[1] = 0x52; b[2] = 0x90;
  const char* oem = "NTFS    ";
  for (int i = 0; i < 8; ++i) b[3 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(oem[i]);
  writeLe<std::uint16_t>(b, 0x0B, f.bytesPerSector);
  b[0x0D] = f.sectorsPerCluster;
  b[0x15] = 0xF8;
  writeLe<std::uint16_t>(b, 0x24, 0x0080);
  writeLe<std::uint64_t>(b, 0x28, f.totalSectors);
  writeLe<std::uint64_t>(b, 0x30, f.mftLcn);
  writeLe<std::uint64_t>(b, 0x38, f.mftMirrLcn);
  b[0x40] = static_cast<std::uint8_t>(f.mftRecordCode);
  b[0x44] = static_cast<std::uint8_t>(f.indexRecordCode);
  writeLe<std::uint64_t>(b, 0x48, f.serial);
  writeLe<std::uint16_t>(b, 0x1FE, 0xAA55);
  return b;
}

// Builds an MFT record attribute by attribute, then protects it with the update sequence.
class RecordBuilder {
 public:
  explicit RecordBuilder(std::uint32_t recordBytes = 1024, std::uint16_t sequenceOffset = 48,
                         std::uint16_t sequenceCount = 3, std::uint16_t firstAttribute = 56)
      : r_(recordBytes, 0), usOffset_(sequenceOffset), usCount_(sequenceCount) {
    r_[0] = 'F'; r_[1] = 'I'; r_[2] = 'L'; r_[3] = 'E';
    writeLe<std::uint16_t>(r_, 0x04, sequenceOffset);
    writeLe<std::uint16_t>(r_, 0x06, sequenceCount);
    writeLe<std::uint16_t>(r_, 0x10, 1);
    writeLe<std::uint16_t>(r_, 0x12, 1);
    writeLe<std::uint16_t>(r_, 0x14, firstAttribute);
    writeLe<std::uint16_t>(r_, 0x16, 1);
    writeLe<std::uint32_t>(r_, 0x1C, recordBytes);
    at_ = firstAttribute;
  }

  RecordBuilder& standardInformation(std::uint64_t created, std::uint64_t others) {
    std::vector<std::uint8_t> v(0x48, 0);
    writeLe<std::uint64_t>(v, 0x00, created);
    writeLe<std::uint64_t>(v, 0x08, others);
    writeLe<std::uint64_t>(v, 0x10, others);
    writeLe<std::uint64_t>(v, 0x18, others);
    return resident(0x10, v);
  }
  RecordBuilder& fileName(const std::u16string& name, std::uint8_t nameSpace = 3, std::uint64_t parent = 5) {
    std::vector<std::uint8_t> v(0x42 + 2 * name.size(), 0);
    writeLe<std::uint64_t>(v, 0x00, parent);
    v[0x40] = static_cast<std::uint8_t>(name.size());
    v[0x41] = nameSpace;
    for (std::size_t i = 0; i < name.size(); ++i) writeLe<std::uint16_t>(v, 0x42 + 2 * i, name[i]);
    return resident(0x30, v);
  }
  RecordBuilder& resident(std::uint32_t type, const std::vector<std::uint8_t>& value) {
    std::uint32_t length = static_cast<std::uint32_t>((0x18 + value.size() + 7) & ~std::size_t{7});
    writeLe<std::uint32_t>(r_, at_, type);
    writeLe<std::uint32_t>(r_, at_ + 4, length);
    writeLe<std::uint32_t>(r_, at_ + 0x10, static_cast<std::uint32_t>(value.size()));
    writeLe<std::uint16_t>(r_, at_ + 0x14, 0x18);
    std::copy(value.begin(), value.end(), r_.begin() + static_cast<std::ptrdiff_t>(at_ + 0x18));
    at_ += length;
    return *this;
  }
  // A non-resident attribute with one run of `clusters` clusters at `lcn`.
  RecordBuilder& nonResident(std::uint32_t type, std::uint64_t lastVcn, std::uint64_t allocated, std::uint64_t data,
                             std::uint64_t initialized, std::uint8_t clusters, std::uint16_t lcn) {
    std::uint32_t length = 0x48;
    writeLe<std::uint32_t>(r_, at_, type);
    writeLe<std::uint32_t>(r_, at_ + 4, length);
    r_[at_ + 8] = 1;
    writeLe<std::uint64_t>(r_, at_ + 0x18, lastVcn);
    writeLe<std::uint16_t>(r_, at_ + 0x20, 0x40);
    writeLe<std::uint64_t>(r_, at_ + 0x28, allocated);
    writeLe<std::uint64_t>(r_, at_ + 0x30, data);
    writeLe<std::uint64_t>(r_, at_ + 0x38, initialized);
    r_[at_ + 0x40] = 0x21;
    r_[at_ + 0x41] = clusters;
    writeLe<std::uint16_t>(r_, at_ + 0x42, lcn);
    at_ += length;
    return *this;
  }
  RecordBuilder& rawAttribute(std::uint32_t type, std::uint32_t length, std::uint8_t nonResidentFlag = 0) {
    writeLe<std::uint32_t>(r_, at_, type);
    writeLe<std::uint32_t>(r_, at_ + 4, length);
    r_[at_ + 8] = nonResidentFlag;
    at_ += length == 0 ? 8 : length;
    return *this;
  }

  // Ends the attributes, sets the bytes in use (or `inUse`) and applies the update sequence.
  std::vector<std::uint8_t> finish(std::uint32_t bytesPerSector = 512, std::uint32_t inUse = 0) {
    writeLe<std::uint32_t>(r_, at_, 0xFFFFFFFF);
    std::uint32_t used = inUse != 0 ? inUse : static_cast<std::uint32_t>(at_ + 8);
    writeLe<std::uint32_t>(r_, 0x18, used);
    const std::uint16_t usn = 0x0007;
    writeLe<std::uint16_t>(r_, usOffset_, usn);
    std::size_t entry = 1;
    for (std::size_t end = bytesPerSector; end <= r_.size() && entry < usCount_; end += bytesPerSector, ++entry) {
      writeLe<std::uint16_t>(r_, usOffset_ + 2 * entry, le16(r_, end - 2));
      writeLe<std::uint16_t>(r_, end - 2, usn);
    }
    return r_;
  }

  // The first record of an MFT (or, with "$MFTMirr", of its mirror) as mkntfs writes them.
  static std::vector<std::uint8_t> firstMftRecord(const std::u16string& name = u"$MFT", std::uint64_t created = 42,
                                                  std::uint64_t others = 42, std::uint16_t mftLcn = 4,
                                                  std::uint16_t mirrorLcn = 2559) {
    RecordBuilder b;
    b.standardInformation(created, others).fileName(name);
    if (name == u"$MFT") {
      b.nonResident(0x80, 15, 16 * 4096, 16 * 4096, 16 * 4096, 16, mftLcn);
      b.nonResident(0xB0, 0, 4096, 8, 8, 1, 20);
    } else {
      b.nonResident(0x80, 0, 4096, 4096, 4096, 1, mirrorLcn);
    }
    return b.finish();
  }

 private:
  std::vector<std::uint8_t> r_;
  std::uint16_t usOffset_;
  std::uint16_t usCount_;
  std::size_t at_;
};

}  // namespace ov::ntfs::test
