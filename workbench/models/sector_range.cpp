#include "workbench/models/sector_range.h"

#include <cstdio>

namespace ov {

std::optional<std::string> checkSectorRange(std::uint64_t start, std::uint64_t end, std::uint64_t total) {
  if (start >= total) return std::string("Start sector should be less than total sectors");
  if (end <= start) return std::string("End sector should be greater than start sector");
  if (end > total) return std::string("End sector should be less than total sectors");
  return std::nullopt;
}

std::string rangeSizeText(std::uint64_t bytes) {
  char text[64];
  auto value = static_cast<double>(bytes);
  if (bytes < 1024ULL) std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  else if (bytes < 1048576ULL) std::snprintf(text, sizeof text, "%0.2f KB", value / 1024.0);
  else if (bytes < 1073741824ULL) std::snprintf(text, sizeof text, "%0.2f MB", value / 1048576.0);
  else std::snprintf(text, sizeof text, "%0.2f GB", value / 1073741824.0);
  return text;
}

}  // namespace ov
