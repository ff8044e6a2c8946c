// The sector size of a raw disk image, judged from what is written in it.
//
// A copy of a disk whose sectors are 4096 bytes (or 1024, 2048) holds nothing that says so
// outright; its partition table and boot sectors are laid out in those sectors, though. This
// looks at them: a GUID partition table header at byte 1024, 2048 or 4096 (and none at 512); an
// MBR whose first partition, counted in sectors of that size, starts with an NTFS, FAT or exFAT
// boot sector that declares the same size and fits in the image; or an image of one volume whose
// boot sector at byte 0 declares it.
#pragma once

#include <cstdint>

#include "disk/backend.h"
#include "disk/byte_io.h"

namespace ov {

// The sector size that an NTFS ("NTFS    "), FAT or exFAT boot sector declares, or 0 when the
// sector is none of them.
std::uint32_t bootSectorDeclaredSize(Bytes sector);

// 1024, 2048 or 4096 when the image was evidently written with sectors of that size; 0 when
// nothing points away from 512 (the caller then uses 512).
std::uint16_t detectImageSectorSize(ReadBackend& backend);

}  // namespace ov
