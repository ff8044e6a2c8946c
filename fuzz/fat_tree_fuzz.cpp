// Any bytes as a small FAT volume (its boot sector's geometry, else a fixed one): processing,
// Turbo Scan, extracting and previewing.
#include "fuzz/fuzz_host.h"

#include "fat/fat_engine.h"
#include "fat/fat_extract.h"
#include "fat/fat_tree.h"

namespace {

ov::fat::FatVolume geometry(const std::uint8_t* data, std::size_t size) {
  ov::fat::FatVolume v;
  ov::Bytes boot(data, 512);
  const std::uint64_t sectors = size / 512;
  if (ov::fat::isFat32BootSector(boot)) {
    ov::fat::parseFat32BootSector(boot, v);
  } else if (ov::fat::isFat12or16BootSector(boot)) {
    ov::fat::parseFat12or16BootSector(boot, v);
  } else {
    v = ov::fuzz::smallFatVolume(ov::fat::kFat32, 2, 2, 4, 6, sectors);
  }
  v = ov::fat::selectVolume(v, 512);
  // Geometry that reaches far past the input only reads zeros, slowly: keep it to the input.
  if (v.sectorsPerCluster != 0) {
    std::uint64_t inside = sectors / v.sectorsPerCluster + 2;
    v.clusterCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(v.clusterCount, inside));
  }
  if (v.bytesPerCluster > (1u << 20)) v.bytesPerCluster = 1u << 20;
  return v;
}

void extractAll(ov::fat::FatEngine& engine, int sink) {
  ov::fat::FileExtractor extractor(engine.source(), engine.volume());
  std::vector<const ov::fat::FileEntry*> pending{engine.tree().root()};
  int budget = 256;
  engine.run().start();
  while (!pending.empty() && budget-- > 0) {
    const ov::fat::FileEntry* f = pending.back();
    pending.pop_back();
    for (const ov::fat::FileEntry* c : ov::fat::FatTree::children(*f)) {
      if (c->isFolder()) {
        pending.push_back(c);
      } else if (c->dataSize < (1u << 20)) {
        ::lseek(sink, 0, SEEK_SET);
        extractor.saveFileData(*c, sink);
        extractor.loadPreview(*c);
        ov::fat::FatReader reader(engine.source(), engine.volume());
        auto runs = ov::fat::fileClusterRuns(reader, *c, nullptr);
        auto used = ov::fat::clustersInUse(reader, runs, nullptr);
        std::uint64_t held = 0;
        for (const auto& r : runs) held += r.count;
        if (used && *used > held) __builtin_trap();
      }
    }
  }
  engine.run().stop();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4096 || size > (1u << 20)) return 0;
  const int sink = ov::fuzz::nullSink();
  ov::RunControl run;
  ov::fat::FatEngine engine(ov::fuzz::host(), run);
  engine.source().openBackend(std::make_unique<ov::MemoryBackend>(std::vector<std::uint8_t>(data, data + size)), 512,
                              size / 512);
  engine.setVolumes({geometry(data, size)});
  engine.restoreVolume(engine.volumes()[0]);
  try {
    engine.processFileSystem();
    extractAll(engine, sink);
    engine.turboScan(1);
    extractAll(engine, sink);
  } catch (const ov::AlreadyReported&) {
  }
  return 0;
}
