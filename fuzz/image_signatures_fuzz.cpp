// Any bytes as a raw disk image: the sector size judged from its partition table and boot
// sectors, and the other file systems' signatures found at its start.
#include "fuzz/fuzz_host.h"

#include "disk/fs_signatures.h"
#include "disk/image_sector_size.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return 0;
  ov::MemoryBackend image(std::vector<std::uint8_t>(data, data + size));
  std::uint16_t detected = ov::detectImageSectorSize(image);
  if (detected != 0 && detected != 1024 && detected != 2048 && detected != 4096) __builtin_trap();
  for (std::uint32_t bps : {512u, 4096u})
    for (const auto& name : ov::foreignFileSystems(ov::Bytes(data, size), bps, "NTFS"))
      if (name.empty()) __builtin_trap();
  return 0;
}
