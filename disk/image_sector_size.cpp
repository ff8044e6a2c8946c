#include "disk/image_sector_size.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "disk/gpt.h"

namespace ov {
namespace {

constexpr std::uint32_t kLargerSizes[] = {4096, 2048, 1024};

bool powerOfTwoIn(std::uint32_t v, std::uint32_t low, std::uint32_t high) {
  return v >= low && v <= high && (v & (v - 1)) == 0;
}

bool nameAt3(Bytes s, const char* name) { return s.size() >= 11 && std::memcmp(s.data() + 3, name, 8) == 0; }

// `length` bytes at `offset`, zeros where the image has none.
std::vector<std::uint8_t> readAt(ReadBackend& backend, std::uint64_t offset, std::size_t length) {
  std::vector<std::uint8_t> bytes(length, 0);
  std::size_t got = 0;
  if (backend.readAt(offset, bytes.data(), length, got) != 0) std::fill(bytes.begin(), bytes.end(), 0);
  return bytes;
}

}  // namespace

std::uint32_t bootSectorDeclaredSize(Bytes s) {
  if (s.size() < 512) return 0;
  if (nameAt3(s, "NTFS    ")) {
    std::uint32_t bps = le16(s, 0x0B);
    return powerOfTwoIn(bps, 256, 4096) ? bps : 0;
  }
  if (nameAt3(s, "EXFAT   ")) {
    std::uint8_t shift = s[0x6C];
    return shift >= 9 && shift <= 12 ? std::uint32_t{1} << shift : 0;
  }
  // FAT12/16/32: the jump, the signature and a BIOS parameter block that holds together.
  if (le16(s, 0x1FE) != 0xAA55 || (s[0] != 0xEB && s[0] != 0xE9)) return 0;
  std::uint32_t bps = le16(s, 0x0B);
  if (!powerOfTwoIn(bps, 512, 4096) || !powerOfTwoIn(s[0x0D], 1, 128)) return 0;
  if (le16(s, 0x0E) == 0 || s[0x10] == 0 || s[0x10] > 2 || s[0x15] < 0xF0) return 0;
  return bps;
}

std::uint16_t detectImageSectorSize(ReadBackend& backend) {
  const std::uint64_t size = backend.sizeBytes();
  const std::vector<std::uint8_t> head = readAt(backend, 0, 8192);
  Bytes sector0(head.data(), 512);

  // A GUID partition table's header sits in sector 1, whatever the sector size.
  GptHeader header;
  if (parseGptHeader(Bytes(head.data() + 512, 512), header) && header.currentLba == 1) return 0;
  for (std::uint32_t n : kLargerSizes) {
    if (parseGptHeader(Bytes(head.data() + n, n), header) && header.currentLba == 1)
      return static_cast<std::uint16_t>(n);
  }

  // An image of one volume: its boot sector says what its sectors are.
  std::uint32_t declared = bootSectorDeclaredSize(sector0);
  if (declared != 0) return declared > 512 ? static_cast<std::uint16_t>(declared) : 0;

  // An MBR: the first partition that starts with a boot sector decides. Its start and size, read
  // in sectors of the size its boot sector declares, must lie inside the image.
  if (le16(sector0, 0x1FE) != 0xAA55) return 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const std::size_t entry = 0x1BE + 16 * i;
    const std::uint8_t type = sector0[entry + 4];
    const std::uint64_t first = le32(sector0, entry + 8);
    const std::uint64_t count = le32(sector0, entry + 12);
    if (type == 0 || type == 0xEE || first == 0 || count == 0) continue;
    if (bootSectorDeclaredSize(readAt(backend, first * 512, 512)) == 512) return 0;
    for (std::uint32_t n : kLargerSizes) {
      if ((first + count) * n > size) continue;
      if (bootSectorDeclaredSize(readAt(backend, first * n, 512)) == n) return static_cast<std::uint16_t>(n);
    }
  }
  return 0;
}

}  // namespace ov
