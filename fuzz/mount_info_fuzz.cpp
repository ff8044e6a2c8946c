// Any text as /proc/self/mountinfo: the destination guard reads the sources of mounts from it.
#include "fuzz/fuzz_host.h"

#include "disk/destination_guard.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  // The device number of the first line's third field, when there is one, so that lines match.
  for (unsigned minor : {0u, 1u, 55u}) {
    for (const std::string& source : ov::mountSourcesIn(text, 0, minor))
      if (source.size() > size) __builtin_trap();  // unescaping never lengthens a name
  }
  return 0;
}
