// Any bytes as one compression unit: the unit test, and the decoder with a full unit of output and
// with a small capacity, so both the input and the output limits get hit.
#include "fuzz/fuzz_host.h"

#include "ntfs/lznt1.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ov::Bytes in(data, size);
  (void)ov::ntfs::isCompressedUnit(in);
  static std::vector<std::uint8_t> out(65536);
  std::size_t n = ov::ntfs::decompressUnit(in, out);
  if (n > out.size()) __builtin_trap();
  if (size == 0) return 0;
  // Exact-size allocation so the sanitizer catches a write one past the capacity.
  std::vector<std::uint8_t> small(static_cast<std::size_t>(data[0]) * 37u);
  n = ov::ntfs::decompressUnit(in, small);
  if (n > small.size()) __builtin_trap();
  return 0;
}
