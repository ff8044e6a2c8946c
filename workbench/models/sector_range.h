// The checks and texts of the "Please specify disk scan range" dialog.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ov {

// Nullopt when the range is acceptable, else the text to show.
std::optional<std::string> checkSectorRange(std::uint64_t start, std::uint64_t end, std::uint64_t totalSectors);
// "%I64u bytes", "%0.2f KB", "%0.2f MB" or "%0.2f GB".
std::string rangeSizeText(std::uint64_t bytes);

}  // namespace ov
