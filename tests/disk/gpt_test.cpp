#include "disk/gpt.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

#include "tests/support/test_support.h"

namespace ov {
namespace {

constexpr std::uint64_t kSectors = 2048;

std::uint32_t crc(const std::uint8_t* data, std::size_t n) {
  return static_cast<std::uint32_t>(crc32(crc32(0L, Z_NULL, 0), data, static_cast<uInt>(n)));
}

// A GPT disk in memory with one basic-data partition named "Data" at sectors 40-99. Tables made
// by sfdisk, whole and with either copy damaged, are read in tests/e2e/volumes_on_images_test.cpp.
std::vector<std::uint8_t> gptDisk() {
  std::vector<std::uint8_t> d(kSectors * 512, 0);
  d[0x1BE + 4] = 0xEE;
  writeLe<std::uint16_t>(d, 0x1FE, 0xAA55);
  std::vector<std::uint8_t> entries(128 * 128, 0);
  const std::uint8_t basicData[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                      0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
  std::memcpy(entries.data(), basicData, 16);
  entries[16] = 1;  // unique GUID, not checked
  writeLe<std::uint64_t>(entries, 32, 40);
  writeLe<std::uint64_t>(entries, 40, 99);
  const char16_t* name = u"Data";
  for (int i = 0; i < 4; ++i) writeLe<std::uint16_t>(entries, 56 + 2 * static_cast<std::size_t>(i), name[i]);
  auto header = [&](std::uint64_t current, std::uint64_t entriesLba) {
    std::vector<std::uint8_t> h(512, 0);
    std::memcpy(h.data(), "EFI PART", 8);
    writeLe<std::uint32_t>(h, 8, 0x00010000);
    writeLe<std::uint32_t>(h, 12, 92);
    writeLe<std::uint64_t>(h, 24, current);
    writeLe<std::uint64_t>(h, 72, entriesLba);
    writeLe<std::uint32_t>(h, 80, 128);
    writeLe<std::uint32_t>(h, 84, 128);
    writeLe<std::uint32_t>(h, 88, crc(entries.data(), entries.size()));
    writeLe<std::uint32_t>(h, 16, crc(h.data(), 92));
    return h;
  };
  auto primary = header(1, 2);
  auto backup = header(kSectors - 1, kSectors - 33);
  std::memcpy(d.data() + 512, primary.data(), 512);
  std::memcpy(d.data() + 2 * 512, entries.data(), entries.size());
  std::memcpy(d.data() + (kSectors - 33) * 512, entries.data(), entries.size());
  std::memcpy(d.data() + (kSectors - 1) * 512, backup.data(), 512);
  return d;
}

struct Read {
  std::vector<GptPartition> partitions;
  bool usedBackup = false;
  bool ok = false;
  explicit Read(std::vector<std::uint8_t> disk) {
    test::RecordingHost host;
    RunControl run;
    SectorSource source(host, run);
    source.openBackend(std::make_unique<MemoryBackend>(std::move(disk)), 512, kSectors);
    ok = readGpt(source, partitions, usedBackup);
  }
};

TEST(Gpt, BothCopiesDamagedMeansNoTable) {
  auto disk = gptDisk();
  disk[512 + 30] ^= 1;
  disk[(kSectors - 1) * 512 + 30] ^= 1;
  EXPECT_FALSE(Read(disk).ok);
}

TEST(Gpt, AbsurdEntryCountsAreRefusedWithoutReading) {
  std::vector<std::uint8_t> h(512, 0);
  std::memcpy(h.data(), "EFI PART", 8);
  writeLe<std::uint32_t>(h, 12, 92);
  writeLe<std::uint32_t>(h, 80, 0xFFFFFFFF);
  writeLe<std::uint32_t>(h, 84, 128);
  writeLe<std::uint32_t>(h, 16, crc(h.data(), 92));
  GptHeader header;
  EXPECT_FALSE(parseGptHeader(h, header));
  writeLe<std::uint32_t>(h, 80, 4);
  writeLe<std::uint32_t>(h, 84, 0x10000000);
  writeLe<std::uint32_t>(h, 16, 0);
  writeLe<std::uint32_t>(h, 16, crc(h.data(), 92));
  EXPECT_FALSE(parseGptHeader(h, header));
}

}  // namespace
}  // namespace ov
