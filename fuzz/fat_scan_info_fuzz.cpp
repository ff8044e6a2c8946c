// Any bytes as a FAT scan information file (the first byte picks the kind); a tree that opens
// must save and reopen with as many entries.
#include "fuzz/fuzz_host.h"

#include "fat/fat_scan_info.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const auto path = ov::fuzz::scanFile(data + 1, size - 1);
  ov::RunControl run;
  ov::fat::FatEngine engine(ov::fuzz::host(), run);
  if (data[0] & 1) {
    ov::fat::openDiskScanInfo(engine, path.string());
    return 0;
  }
  if (!ov::fat::openPartitionScanInfo(engine, path.string())) return 0;
  const std::size_t entries = engine.tree().size();
  const auto again = ov::fuzz::scratch() / "again.ovt";
  if (!ov::fat::savePartitionScanInfo(engine, again.string())) __builtin_trap();
  ov::fat::FatEngine reopened(ov::fuzz::host(), run);
  if (!ov::fat::openPartitionScanInfo(reopened, again.string())) __builtin_trap();
  if (reopened.tree().size() != entries) __builtin_trap();
  return 0;
}
