#include "ntfs/record_times.h"

#include "ntfs/file_record.h"

namespace ov::ntfs {

FileTime fileTimeToUnix(std::uint64_t fileTime) {
  FileTime t;
  if (fileTime == 0 || fileTime > static_cast<std::uint64_t>(INT64_MAX)) return t;
  constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600;
  t.seconds = static_cast<std::int64_t>(fileTime / 10000000ULL) - kSecondsFrom1601To1970;
  t.nanoseconds = static_cast<std::uint32_t>(fileTime % 10000000ULL) * 100u;
  t.known = true;
  return t;
}

FileTimes recordTimes(Bytes record) {
  FileTimes times;
  times.utc = true;
  bool haveName = false;
  std::uint64_t nameCreated = 0, nameModified = 0;
  AttributeWalk walk(record);
  while (auto a = walk.next()) {
    if (a->type == kAttrStandardInformation && a->value.size() >= 0x20) {
      times.created = fileTimeToUnix(le64(a->value, 0x00));
      times.modified = fileTimeToUnix(le64(a->value, 0x08));
      times.changed = fileTimeToUnix(le64(a->value, 0x10));
      times.accessed = fileTimeToUnix(le64(a->value, 0x18));
    } else if (a->type == kAttrFileName && a->value.size() >= 0x42 && !haveName) {
      // The long name's attribute (a DOS name's carries the same times).
      if (le8(a->value, 0x41) == 2) continue;
      nameCreated = le64(a->value, 0x08);
      nameModified = le64(a->value, 0x10);
      haveName = true;
    }
  }
  FileTime c = fileTimeToUnix(nameCreated), m = fileTimeToUnix(nameModified);
  auto differs = [](const FileTime& x, const FileTime& y) {
    return x.known && (!y.known || x.seconds != y.seconds || x.nanoseconds != y.nanoseconds);
  };
  if (differs(c, times.created)) times.nameCreated = c;
  if (differs(m, times.modified)) times.nameModified = m;
  return times;
}

}  // namespace ov::ntfs
