// Any bytes as a small NTFS volume (its boot sector's geometry, else a fixed one): the MFT walk,
// the Turbo Scan, the tree read back and what it lists extracted.
#include "fuzz/fuzz_host.h"

#include "ntfs/boot_sector.h"
#include "ntfs/directory_tree.h"
#include "ntfs/extract.h"
#include "ntfs/mft.h"
#include "ntfs/working_files.h"

namespace {

void readTree(ov::ntfs::WorkingFiles& files, ov::ntfs::FileExtractor& extractor, int sink) {
  if (!files.open()) return;
  std::vector<std::uint32_t> pending{0};
  int budget = 64;
  while (!pending.empty() && budget-- > 0) {
    std::uint32_t block = pending.back();
    pending.pop_back();
    std::uint64_t total = 0;
    std::uint32_t fileCount = 0, folderCount = 0;
    for (const auto& e : files.readFolder(block, total, fileCount, folderCount, true)) {
      if (e.isFolder()) {
        if (e.childrenBlock > block) pending.push_back(e.childrenBlock);
      } else if (e.dataSize < (1u << 22)) {
        ::lseek(sink, 0, SEEK_SET);
        extractor.saveFileData(e.recordSector, e.dataSize, sink);
        if (auto layout = extractor.layout(e.recordSector, e.dataSize)) {
          std::uint64_t at = 0;
          for (const auto& r : layout->runs) {
            if (r.fileOffset != at || r.length == 0) __builtin_trap();  // runs follow each other
            at += r.length;
          }
          if (at > e.dataSize) __builtin_trap();
        }
      }
    }
  }
  files.close();
}

ov::ntfs::VolumeParameters fixedGeometry(std::size_t size) {
  ov::ntfs::VolumeParameters p = ov::fuzz::smallNtfsVolume(2);
  p.sectorCount = size / 512;
  p.mftLcn = 2;
  p.mftMirrLcn = 4;
  p.mftSector = 4;
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4096 || size > (1u << 20)) return 0;
  static ov::ntfs::WorkingFiles files(ov::fuzz::host());
  const int sink = ov::fuzz::nullSink();
  ov::fuzz::MemoryDisk disk(data, size);
  ov::ntfs::NtfsVolume volume;
  ov::Bytes boot(data, 512);
  if (ov::ntfs::isNtfsBootSector(boot))
    volume.params = ov::ntfs::selectVolume(
        ov::ntfs::volumeFromBootSector(boot, 0, size / 512, 512, ov::ntfs::BootSectorSize::Checked), 512);
  else
    volume.params = fixedGeometry(size);
  ov::SectorSource& source = disk.source;
  ov::ntfs::FileExtractor extractor(source, volume);
  try {
    if (ov::ntfs::setupMft(source, volume) && files.create()) {
      ov::ntfs::walkMft(source, volume, files);
      ov::ntfs::TreeBuilder(files).finish();
      files.finishWriting();
      readTree(files, extractor, sink);
    }
    if (files.create()) {
      ov::ntfs::scanVolume(source, volume, files);
      ov::ntfs::TreeBuilder(files).finish();
      files.finishWriting();
      readTree(files, extractor, sink);
    }
  } catch (const ov::AlreadyReported&) {
  }
  return 0;
}
