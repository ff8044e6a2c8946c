// Any bytes as a small disk: the partition-table walk and both lost-volume searches over memory.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "disk/sector_source.h"
#include "ntfs/volume_finder.h"

namespace {
class SilentHost final : public ov::EngineHost {
 public:
  void addLogEntry(const ov::LogEntry&) override {}
  void showMessage(const std::string&, const std::string&, ov::MessageIcon) override {}
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return 0;
  SilentHost host;
  ov::RunControl run;
  run.start();
  ov::SectorSource source(host, run);
  std::vector<std::uint8_t> disk(data, data + size);
  // The claimed size may exceed the bytes present, as on a truncated image.
  std::uint64_t sectors = size / 512 + 64;
  source.openBackend(std::make_unique<ov::MemoryBackend>(std::move(disk)), 512, sectors);
  std::vector<ov::ntfs::LogicalVolume> volumes;
  ov::ntfs::readPartitionTable(source, volumes);
  ov::ntfs::thoroughSearch(source, 0, sectors, volumes);
  ov::ntfs::quickSearch(source, 0, sectors, volumes);
  return 0;
}
