#include "disk/fs_signatures.h"

#include <cstring>

#include "disk/image_sector_size.h"

namespace ov {
namespace {

bool textAt(Bytes area, std::size_t offset, const char* text) {
  std::size_t length = std::strlen(text);
  return fits(area, offset, length) && std::memcmp(area.data() + offset, text, length) == 0;
}

std::uint16_t be16(Bytes area, std::size_t offset) {
  return static_cast<std::uint16_t>((le8(area, offset) << 8) | le8(area, offset + 1));
}

}  // namespace

std::vector<std::string> foreignFileSystems(Bytes area, std::uint32_t bps, const std::string& own) {
  std::vector<std::string> found;
  // ext2/3/4: the superblock at byte 1024, with a block size of 1 KiB to 64 KiB and counts.
  if (le16(area, 1024 + 56) == 0xEF53 && le32(area, 1024 + 24) <= 6 && le32(area, 1024 + 76) <= 1 &&
      le32(area, 1024) != 0 && le32(area, 1024 + 4) != 0)
    found.push_back("ext2/3/4");
  // HFS+ and HFSX: the volume header at byte 1024 (big-endian).
  if ((textAt(area, 1024, "H+") && be16(area, 1026) == 4) || (textAt(area, 1024, "HX") && be16(area, 1026) == 5))
    found.push_back("HFS+");
  // ISO 9660 and UDF: volume descriptors from byte 32768 in 2048-byte sectors.
  if (textAt(area, 32769, "CD001") && (le8(area, 32768) <= 3 || le8(area, 32768) == 0xFF) && le8(area, 32774) == 1)
    found.push_back("ISO 9660");
  for (std::size_t at = 32768; at < 32768 + 3 * 2048; at += 2048) {
    if (textAt(area, at + 1, "NSR02") || textAt(area, at + 1, "NSR03")) {
      found.push_back("UDF");
      break;
    }
  }
  if (textAt(area, 65536 + 64, "_BHRfS_M")) found.push_back("Btrfs");
  if (textAt(area, 4096 - 10, "SWAPSPACE2") || textAt(area, 4096 - 10, "SWAP-SPACE")) found.push_back("Linux swap");
  if (textAt(area, 512, "LABELONE") && textAt(area, 512 + 24, "LVM2 001")) found.push_back("LVM2");
  // The backup boot sectors of FAT32 (sector 6) and exFAT (sector 12).
  if (own != "FAT" && bps >= 512 && fits(area, 12 * std::size_t{bps}, 512)) {
    std::size_t six = 6 * std::size_t{bps}, twelve = 12 * std::size_t{bps};
    Bytes fat = area.subspan(six, 512), exfat = area.subspan(twelve, 512);
    if (bootSectorDeclaredSize(fat) != 0 && !textAt(fat, 3, "NTFS    ") && !textAt(fat, 3, "EXFAT   "))
      found.push_back("FAT");
    else if (textAt(exfat, 3, "EXFAT   "))
      found.push_back("exFAT");
  }
  return found;
}

std::vector<std::string> foreignFileSystemsAt(SectorSource& source, std::uint64_t startSector, const std::string& own) {
  const std::uint32_t bps = source.bytesPerSector();
  if (bps == 0 || startSector >= source.totalSectors()) return {};
  const std::size_t bytes = (kSignatureAreaBytes + bps - 1) / bps * bps;
  std::vector<std::uint8_t> area(bytes, 0);
  source.readSectorsRetrying(area.data(), area.size(), startSector);
  return foreignFileSystems(Bytes(area.data(), area.size()), bps, own);
}

}  // namespace ov
