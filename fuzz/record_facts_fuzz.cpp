// Any bytes as an MFT record (and a tiny volume for its attribute lists): facts, times, streams.
#include "fuzz/fuzz_host.h"

#include "ntfs/file_record.h"
#include "ntfs/mft.h"
#include "ntfs/record_times.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1024 || size > (1u << 20)) return 0;
  ov::fuzz::MemoryDisk disk(data, size);
  ov::ntfs::NtfsVolume volume;
  volume.params = ov::fuzz::smallNtfsVolume(1);
  volume.mftRuns.push_back(ov::ntfs::Run{0, size / 512, false});

  std::vector<std::uint8_t> record(data, data + 1024);
  if (!ov::ntfs::checkFileRecord(record, 1024, 512)) return 0;
  ov::ntfs::RecordFacts facts;
  std::vector<ov::ntfs::NamedStream> streams;
  try {
    ov::ntfs::readRecordFacts(disk.source, volume, record, facts);
    streams = ov::ntfs::namedStreams(disk.source, volume, record);
  } catch (const ov::AlreadyReported&) {
  }
  const ov::FileTimes times = ov::ntfs::recordTimes(record);
  if (times.modified.known && times.modified.nanoseconds >= 1000000000u) __builtin_trap();
  if (facts.name.size() > 255) __builtin_trap();
  for (const auto& s : streams)
    if (s.name.empty() || s.name.size() > 255) __builtin_trap();
  return 0;
}
