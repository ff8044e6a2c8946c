// Any bytes as a scan information file, partition (.ovt) or disk (.ovd): the first input byte
// picks the reader. The stored source path leads to a small real disk, so that reading goes on
// past the disk's opening into the working files and the tree.
#include "fuzz/fuzz_host.h"

#include "ntfs/scan_info.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const auto path = ov::fuzz::scanFile(data + 1, size - 1);
  ov::RunControl run;
  ov::ntfs::NtfsEngine engine(ov::fuzz::host(), run);
  if (data[0] & 1) ov::ntfs::openDiskScanInfo(engine, path.string());
  else ov::ntfs::openPartitionScanInfo(engine, path.string());
  return 0;
}
