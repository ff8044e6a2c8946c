// The times an MFT record holds: the standard information's four (created, modified, record
// changed, accessed) and the file name's created and modified, all FILETIMEs (100 ns since
// 1601-01-01, UTC).
#pragma once

#include <cstdint>

#include "disk/byte_io.h"
#include "disk/recovery_engine.h"

namespace ov::ntfs {

// A FILETIME as a time since 1970; unknown for 0 and for values past the year 30827 (all bits
// of the sign set), which no file system writes.
FileTime fileTimeToUnix(std::uint64_t fileTime);

// The times of a record that passed checkFileRecord. The file name's times are given only where
// they differ from the standard information's.
FileTimes recordTimes(Bytes record);

}  // namespace ov::ntfs
