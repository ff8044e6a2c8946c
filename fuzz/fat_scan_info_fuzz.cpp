// Any bytes as a FAT scan information file, partition (.ovt) or disk (.ovd): the first input
// byte picks the reader. The stored source path is pointed at a small real file, so that reading
// goes on past the disk's opening into the volumes and the tree. A tree that opens is saved and
// opened again, and must come back with as many entries.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "fat/fat_scan_info.h"
#include "fuzz/fuzz_host.h"
#include "scans/scan_file.h"

namespace {

std::filesystem::path scratch() {
  static std::filesystem::path dir = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "ovfuzz-fatscan-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) __builtin_trap();
    return std::filesystem::path(pattern);
  }();
  return dir;
}

void put(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n <= 0) break;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static ov::fuzz::SilentHost host;
  static std::filesystem::path disk = [] {
    std::vector<std::uint8_t> zeros(64 * 1024, 0);
    auto path = scratch() / "disk.img";
    put(path, zeros.data(), zeros.size());
    return path;
  }();
  std::vector<std::uint8_t> file(data + 1, data + size);
  if (file.size() >= 4 + ov::kSourceBlockBytes) {
    auto block = ov::decodeSourceBlock(ov::Bytes(file.data() + 4, ov::kSourceBlockBytes));
    block->path = disk.string();
    auto stored = ov::encodeSourceBlock(*block);
    std::copy(stored.begin(), stored.end(), file.begin() + 4);
  }
  auto path = scratch() / "scan.bin";
  put(path, file.data(), file.size());
  ov::RunControl run;
  ov::fat::FatEngine engine(host, run);
  if (data[0] & 1) {
    ov::fat::openDiskScanInfo(engine, path.string());
    return 0;
  }
  if (!ov::fat::openPartitionScanInfo(engine, path.string())) return 0;
  const std::size_t entries = engine.tree().size();
  auto again = scratch() / "again.ovt";
  if (!ov::fat::savePartitionScanInfo(engine, again.string())) __builtin_trap();
  ov::fat::FatEngine reopened(host, run);
  if (!ov::fat::openPartitionScanInfo(reopened, again.string())) __builtin_trap();
  if (reopened.tree().size() != entries) __builtin_trap();
  return 0;
}
