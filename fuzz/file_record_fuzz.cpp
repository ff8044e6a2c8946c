// Any bytes as an MFT record: the check with its fixups, the attribute walk and the first-record tests.
#include "fuzz/fuzz_host.h"

#include "ntfs/file_record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // The first two bytes choose the record size and the sector size, as the callers would.
  std::uint32_t recordBytes = 512u << (data[0] % 4);
  std::uint32_t sectorBytes = 512u << (data[1] % 4);
  std::vector<std::uint8_t> record(data + 2, data + size);
  record.resize(recordBytes, 0);
  auto copy = record;
  if (ov::ntfs::checkFileRecord(record, recordBytes, sectorBytes)) {
    ov::ntfs::AttributeWalk walk(record);
    while (auto a = walk.next()) {
      (void)ov::ntfs::firstRunCluster(record, *a);
      if (a->type == ov::ntfs::kAttrFileName) (void)ov::ntfs::fileNameOf(a->value);
    }
  }
  auto second = copy;
  (void)ov::ntfs::isFirstMftRecord(copy, recordBytes, sectorBytes);
  (void)ov::ntfs::isFirstMirrorRecord(second, recordBytes, sectorBytes);
  return 0;
}
