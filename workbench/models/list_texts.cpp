#include "workbench/models/list_texts.h"

#include <cstdio>

namespace ov {

std::string totalsText(std::uint64_t bytes, std::uint32_t files, std::uint32_t folders, bool marked) {
  char text[128];
  auto value = static_cast<double>(bytes);
  const char* unit = "KB";
  double shown = value / 1024.0;
  if (bytes >= 1073741824ULL) {
    unit = "GB";
    shown = value / 1073741824.0;
  } else if (bytes >= 1048576ULL) {
    unit = "MB";
    shown = value / 1048576.0;
  }
  std::snprintf(text, sizeof text, "%s%7.3f %s in %u Files in %u Folders", marked ? "Marked " : "", shown, unit,
                files, folders);
  return text;
}

std::string listDateText(std::uint16_t dosDate) {
  if (dosDate == 0) return {};
  char text[32];
  std::snprintf(text, sizeof text, "%02d-%02d-%d", dosDate & 0x1F, (dosDate >> 5) & 0x0F, 1980 + (dosDate >> 9));
  return text;
}

}  // namespace ov
