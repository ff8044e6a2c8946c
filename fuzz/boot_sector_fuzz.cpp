// Any 512 bytes as an NTFS boot sector: the tests, the volume it describes and the size tests.
#include "fuzz/fuzz_host.h"

#include "ntfs/boot_sector.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ov::Bytes b(data, size);
  if (ov::ntfs::isNtfsBootSector(b)) {
    auto v = ov::ntfs::volumeFromBootSector(b, 1, ov::le64(b, 0x28), 512, ov::ntfs::BootSectorSize::AsStored);
    (void)ov::ntfs::volumeSizeText(v);
    (void)ov::ntfs::bootSectorFits(b, 1, UINT64_MAX / 2);
    (void)ov::ntfs::decodeVolume(ov::ntfs::encodeVolume(v, false));
    // A plausible geometry has sizes the volume record can hold.
    if (ov::ntfs::isNamedNtfsBootSector(b) && (v.mftRecordBytes == 0 || v.bytesPerSector == 0)) __builtin_trap();
  }
  return 0;
}
