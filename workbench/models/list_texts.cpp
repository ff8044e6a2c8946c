#include "workbench/models/list_texts.h"

#include <cstdio>

namespace ov {

SizeInUnit sizeInUnit(std::uint64_t bytes) {
  auto value = static_cast<double>(bytes);
  if (bytes >= 1073741824ULL) return {value / 1073741824.0, "GB"};
  if (bytes >= 1048576ULL) return {value / 1048576.0, "MB"};
  return {value / 1024.0, "KB"};
}

std::string totalsText(std::uint64_t bytes, std::uint32_t files, std::uint32_t folders, bool marked) {
  char text[128];
  SizeInUnit size = sizeInUnit(bytes);
  std::snprintf(text, sizeof text, "%s%7.3f %s in %u Files in %u Folders", marked ? "Marked " : "", size.value,
                size.unit, files, folders);
  return text;
}

std::string listDateText(std::uint16_t dosDate) {
  if (dosDate == 0) return {};
  char text[32];
  std::snprintf(text, sizeof text, "%02d-%02d-%d", dosDate & 0x1F, (dosDate >> 5) & 0x0F, 1980 + (dosDate >> 9));
  return text;
}

}  // namespace ov
