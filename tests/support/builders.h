// Synthetic disk structures for the unit tests, built field by field: a disk in memory with MBR
// entries, NTFS and FAT boot sectors, MFT records, and a stored record's expected layout.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "disk/backend.h"
#include "disk/byte_io.h"
#include "disk/sector_source.h"
#include "tests/support/test_support.h"

namespace ov::test {

// A recording host, a run control and a source on them, not yet open.
struct Source {
  RecordingHost host;
  RunControl run;
  SectorSource source{host, run};
};

// A disk of 512-byte sectors in memory, opened through a FaultBackend so sectors can fail.
struct MemoryDisk : Source {
  std::vector<std::uint8_t> bytes;
  FaultBackend* faults = nullptr;

  explicit MemoryDisk(std::size_t sectors) : bytes(sectors * 512, 0) {}
  void put(std::uint64_t sector, const std::vector<std::uint8_t>& b) {
    std::memcpy(bytes.data() + sector * 512, b.data(), b.size());
  }
  // Partition entry `index` of the MBR (or EBR) at sector `table`, with the table's signature.
  void entry(std::uint64_t table, int index, std::uint8_t type, std::uint32_t first, std::uint32_t count) {
    const std::size_t at = table * 512 + 0x1BE + 16 * static_cast<std::size_t>(index);
    bytes[at + 4] = type;
    writeLe<std::uint32_t>(bytes, at + 8, first);
    writeLe<std::uint32_t>(bytes, at + 12, count);
    writeLe<std::uint16_t>(bytes, table * 512 + 0x1FE, 0xAA55);
  }
  SectorSource& open() {
    auto f = std::make_unique<FaultBackend>(std::make_unique<MemoryBackend>(bytes), 512);
    faults = f.get();
    source.openBackend(std::move(f), 512, bytes.size() / 512);
    run.start();
    return source;
  }
};

// ---- NTFS ----

struct NtfsBootFields {
  std::uint16_t bytesPerSector = 512;
  std::uint8_t sectorsPerCluster = 8;
  std::uint64_t totalSectors = 40959;
  std::uint64_t mftLcn = 4;
  std::uint64_t mftMirrLcn = 2559;
  std::int8_t mftRecordCode = -10;  // 1024 bytes
  std::int8_t indexRecordCode = 1;  // one cluster
  std::uint64_t serial = 0x1122334455667788ull;
};

inline std::vector<std::uint8_t> ntfsBootSector(const NtfsBootFields& f = {}) {
  std::vector<std::uint8_t> b(512, 0);
  b[0] = 0xEB; b[1] = 0x52; b[2] = 0x90;
  std::memcpy(b.data() + 3, "NTFS    ", 8);
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
      : r_(recordBytes, 0), usOffset_(sequenceOffset), usCount_(sequenceCount), at_(firstAttribute) {
    std::memcpy(r_.data(), "FILE", 4);
    writeLe<std::uint16_t>(r_, 0x04, sequenceOffset);
    writeLe<std::uint16_t>(r_, 0x06, sequenceCount);
    writeLe<std::uint16_t>(r_, 0x10, 1);
    writeLe<std::uint16_t>(r_, 0x12, 1);
    writeLe<std::uint16_t>(r_, 0x14, firstAttribute);
    writeLe<std::uint16_t>(r_, 0x16, 1);
    writeLe<std::uint32_t>(r_, 0x1C, recordBytes);
  }

  RecordBuilder& standardInformation(std::uint64_t created, std::uint64_t others) {
    std::vector<std::uint8_t> v(0x48, 0);
    writeLe<std::uint64_t>(v, 0x00, created);
    for (std::size_t at : {std::size_t{0x08}, std::size_t{0x10}, std::size_t{0x18}}) writeLe<std::uint64_t>(v, at, others);
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
    const auto length = static_cast<std::uint32_t>((0x18 + value.size() + 7) & ~std::size_t{7});
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
    writeLe<std::uint32_t>(r_, at_, type);
    writeLe<std::uint32_t>(r_, at_ + 4, 0x48);
    r_[at_ + 8] = 1;
    writeLe<std::uint64_t>(r_, at_ + 0x18, lastVcn);
    writeLe<std::uint16_t>(r_, at_ + 0x20, 0x40);
    writeLe<std::uint64_t>(r_, at_ + 0x28, allocated);
    writeLe<std::uint64_t>(r_, at_ + 0x30, data);
    writeLe<std::uint64_t>(r_, at_ + 0x38, initialized);
    r_[at_ + 0x40] = 0x21;
    r_[at_ + 0x41] = clusters;
    writeLe<std::uint16_t>(r_, at_ + 0x42, lcn);
    at_ += 0x48;
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
    writeLe<std::uint32_t>(r_, 0x18, inUse != 0 ? inUse : static_cast<std::uint32_t>(at_ + 8));
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

// ---- FAT ----

struct FatBootFields {
  std::uint16_t bytesPerSector = 512;
  std::uint8_t sectorsPerCluster = 4;
  std::uint16_t reserved = 4;
  std::uint32_t fatSectors = 80;
  std::uint32_t totalSectors = 81920;
  std::uint32_t serial = 0x12345678u;
};

// A FAT16 or FAT32 boot sector as mkfs.fat writes it (81,920 sectors by default).
inline std::vector<std::uint8_t> fatBootSector(bool fat32, const FatBootFields& f) {
  std::vector<std::uint8_t> b(512, 0);
  b[0] = 0xEB; b[1] = fat32 ? 0x58 : 0x3C; b[2] = 0x90;
  writeLe<std::uint16_t>(b, 11, f.bytesPerSector);
  b[13] = f.sectorsPerCluster;
  writeLe<std::uint16_t>(b, 14, f.reserved);
  b[16] = 2;
  writeLe<std::uint32_t>(b, 32, f.totalSectors);
  if (fat32) {
    writeLe<std::uint32_t>(b, 36, f.fatSectors);
    writeLe<std::uint32_t>(b, 44, 2);
    writeLe<std::uint16_t>(b, 48, 1);
    writeLe<std::uint16_t>(b, 50, 6);
  } else {
    writeLe<std::uint16_t>(b, 17, 512);
    writeLe<std::uint16_t>(b, 22, static_cast<std::uint16_t>(f.fatSectors));
  }
  writeLe<std::uint32_t>(b, fat32 ? 67 : 39, f.serial);
  std::memcpy(b.data() + (fat32 ? 82 : 54), fat32 ? "FAT32   " : "FAT16   ", 8);
  b[510] = 0x55; b[511] = 0xAA;
  return b;
}
// A short-name directory entry: the 8.3 name as stored, attribute, first cluster, size, creation
// date and case flags.
inline std::array<std::uint8_t, 32> fatEntry(const char* name11, std::uint8_t attribute, std::uint32_t cluster,
                                             std::uint32_t size = 0, std::uint16_t created = 0x5A21, std::uint8_t flags = 0) {
  std::array<std::uint8_t, 32> e{};
  std::memcpy(e.data(), name11, 11);
  e[11] = attribute;
  e[12] = flags;
  MutableBytes b(e.data(), e.size());
  writeLe<std::uint16_t>(b, 16, created);
  writeLe<std::uint16_t>(b, 20, static_cast<std::uint16_t>(cluster >> 16));
  writeLe<std::uint16_t>(b, 26, static_cast<std::uint16_t>(cluster));
  writeLe<std::uint32_t>(b, 28, size);
  return e;
}

// Directory entries one after another in `size` bytes of zeros (those past the end left out).
inline std::vector<std::uint8_t> fatEntries(const std::vector<std::array<std::uint8_t, 32>>& entries, std::size_t size = 512) {
  std::vector<std::uint8_t> b(size, 0);
  for (std::size_t i = 0; i < entries.size() && (i + 1) * 32 <= size; ++i) std::memcpy(b.data() + i * 32, entries[i].data(), 32);
  return b;
}

inline std::vector<std::uint8_t> fat16BootSector(const FatBootFields& f = {}) { return fatBootSector(false, f); }
inline std::vector<std::uint8_t> fat32BootSector(const FatBootFields& f = {}) { return fatBootSector(true, f); }

// ---- stored records ----

// One field of a stored record: where it sits, its width in bytes and the value it must hold.
struct Field {
  std::size_t offset;
  std::size_t width;
  std::uint64_t value;
};

// Sets `obj.member` to `value` and gives the field where the encoded record must hold it; a
// table of these (evaluated in order) fills a record and states its layout at once.
#define OV_FIELD(obj, member, offset, width, value)                        \
  ((obj).member = static_cast<decltype((obj).member)>(value),              \
   ::ov::test::Field{offset, width, static_cast<std::uint64_t>(value)})

// The encoded record has `size` bytes and each field holds its value, little-endian.
inline void expectLayout(const std::vector<std::uint8_t>& b, std::size_t size, const std::vector<Field>& fields) {
  ASSERT_EQ(b.size(), size);
  for (const Field& f : fields) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < f.width; ++i) v |= std::uint64_t{b[f.offset + i]} << (8 * i);
    EXPECT_EQ(v, f.value) << "field at " << f.offset;
  }
}

}  // namespace ov::test
