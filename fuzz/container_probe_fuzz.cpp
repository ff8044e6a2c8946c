// Any bytes as the start and end of an image file: the container its signature shows, where a
// qcow header names its backing file, and a recorded parent's file name.
#include "fuzz/fuzz_host.h"

#include "disk/image_formats.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ov::Bytes all(data, size);
  const ov::Bytes tail = size > 512 ? all.subspan(size - 512) : all;
  (void)ov::imageFormatName(ov::formatFromSignature(all.first(size < 512 ? size : 512), tail));
  if (auto field = ov::qcowBackingField(all)) {
    if (field->length == 0 || field->length > 1023) __builtin_trap();
  }
  const std::string name = ov::parentFileName(std::string_view(reinterpret_cast<const char*>(data), size));
  if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos || name.size() > size) __builtin_trap();
  return 0;
}
