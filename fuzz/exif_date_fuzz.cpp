// Any bytes as the start of a carved JPEG, searched for the Exif date a copy gets as its time.
#include "fuzz/fuzz_host.h"

#include "carver/exif_date.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto date = ov::exifDate(ov::Bytes(data, size));
  if (date && (!date->known || date->nanoseconds != 0)) __builtin_trap();
  return 0;
}
