// The date a camera wrote into a JPEG's Exif block: DateTimeOriginal (when the picture was
// taken), else the IFD0 DateTime. A local time without a zone, like FAT's.
#pragma once

#include <optional>

#include "disk/byte_io.h"
#include "disk/recovery_engine.h"

namespace ov {

// Bytes of a JPEG from its start looked at: its APP1 Exif block comes first or second.
inline constexpr std::size_t kExifSearchBytes = 65536;

// The date of the JPEG that `start` begins, read from at most its first kExifSearchBytes;
// nullopt when it holds no Exif date that makes sense ("0000:00:00 00:00:00" among them).
std::optional<FileTime> exifDate(Bytes start);

}  // namespace ov
