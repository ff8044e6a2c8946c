// Any bytes as a run list.
#include "fuzz/fuzz_host.h"

#include "ntfs/run_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<ov::ntfs::Run> runs;
  ov::ntfs::decodeRunList(ov::Bytes(data, size), runs);
  // Every run consumes at least one header byte.
  if (runs.size() > size) __builtin_trap();
  return 0;
}
