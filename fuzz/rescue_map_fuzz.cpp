// Any text as a mapfile: read, written and read again to the same blocks, which cover the map
// without gaps.
#include "fuzz/fuzz_host.h"

#include "scans/rescue_map.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;
  auto map = ov::RescueMap::parse(text, error);
  if (!map) {
    if (error.empty()) __builtin_trap();
    return 0;
  }
  // The blocks follow each other from 0 to the map's end.
  auto whole = [&] {
    std::uint64_t at = 0;
    for (const auto& b : map->blocks()) {
      if (b.start != at || b.size == 0 || !ov::isBlockStatus(b.status)) __builtin_trap();
      at += b.size;
    }
    if (at != map->size()) __builtin_trap();
  };
  whole();
  auto again = ov::RescueMap::parse(map->format("fuzz"), error);
  if (!again || again->format() != map->format()) __builtin_trap();
  // Marking an area never leaves a gap either.
  map->set(map->size() / 3, map->size() / 2 + 1, '+');
  whole();
  return 0;
}
