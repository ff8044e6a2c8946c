// The texts of the folder tree, the file list and the status bar, without widgets.
#pragma once

#include <cstdint>
#include <string>

namespace ov {

// A byte count in the unit the windows show it in: KB below 1 MiB, MB below 1 GiB, else GB.
struct SizeInUnit {
  double value;
  const char* unit;
};
SizeInUnit sizeInUnit(std::uint64_t bytes);
// "%7.3f KB in %u Files in %u Folders" (MB from 1 MiB, GB from 1 GiB); with `marked`, the same
// text after "Marked ".
std::string totalsText(std::uint64_t bytes, std::uint32_t files, std::uint32_t folders, bool marked = false);
// The status pane before anything is processed and when a Turbo Scan starts.
inline const char* kEmptyTotalsText = "Total 0 KB in 0 Files in 0 Folders";
// "%02d-%02d-%d" (day, month, year) of a DOS date; empty for 0.
std::string listDateText(std::uint16_t dosDate);

}  // namespace ov
