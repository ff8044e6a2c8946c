#include <algorithm>
#include <cstring>

#include "ntfs/boot_sector.h"
#include "ntfs/file_record.h"
#include "ntfs/volume_finder.h"

namespace ov::ntfs {
namespace {

constexpr std::uint64_t kSectorsPerCylinder = 16065;  // 255 heads x 63 sectors
constexpr std::uint64_t kTrackSectors = 63;
// The thorough search reads about this many bytes per request and tests each sector in memory.
constexpr std::size_t kSearchReadBytes = 1 << 20;
// Bounds the candidate lists (and the pairing step, which is quadratic) on hostile images.
constexpr std::size_t kMaxCandidates = 4096;

void appendSearchVolume(SectorSource& source, std::vector<LogicalVolume>& volumes, Bytes boot,
                        std::uint64_t position, std::uint8_t flagIfListed) {
  LogicalVolume v = volumeFromBootSector(boot, position, le64(boot, 0x28), source.bytesPerSector(),
                                         BootSectorSize::AsStored);
  v.indexRecordBytes = 0;
  v.foundBy = kFoundBootSector;
  for (auto& listed : volumes) {
    if (sameVolume(listed, v)) {
      listed.foundBy = static_cast<std::uint8_t>(listed.foundBy | flagIfListed);
      return;
    }
  }
  volumes.push_back(v);
  source.host().volumeFound(position);
}

// A record that may be the first record of an MFT or of its mirror.
struct Candidate {
  std::uint64_t sector = 0;
  std::uint64_t created = 0;
  std::uint64_t cluster = 0;
  std::uint32_t recordBytes = 0;
  std::uint32_t clusterBytes = 0;
  std::uint8_t sectorsPerRecord = 0;
  std::uint8_t sectorsPerCluster = 0;
  bool used = false;
  std::vector<std::uint8_t> record;
};

struct Sizes {
  std::uint64_t allocated, data, initialized, firstVcn, lastVcn;
};
Sizes nonResidentSizes(Bytes record, const Attribute& a) {
  return {le64(record, a.offset + 0x28), le64(record, a.offset + 0x30), le64(record, a.offset + 0x38),
          le64(record, a.offset + 0x10), le64(record, a.offset + 0x18)};
}

std::uint64_t standardInformationCreated(Bytes record) {
  AttributeWalk walk(record);
  while (auto a = walk.next())
    if (a->type == kAttrStandardInformation) return le64(a->value, 0);
  return 0;
}

// Cluster and cluster size from the MFT's first record: the data's first run, and the size of
// the MFT bitmap's clusters.
bool mftRecordParameters(Bytes record, std::uint64_t& cluster, std::uint64_t& clusterBytes) {
  AttributeWalk walk(record);
  bool haveData = false;
  cluster = 0;
  while (auto a = walk.next()) {
    if (a->type == kAttrData && a->nonResident && !haveData) {
      cluster = firstRunCluster(record, *a);
      haveData = true;
    } else if (a->type == kAttrBitmap) {
      if (!a->nonResident) return false;
      Sizes s = nonResidentSizes(record, *a);
      if (s.initialized != s.data || s.lastVcn < s.firstVcn || s.lastVcn - s.firstVcn == UINT64_MAX) return false;
      clusterBytes = s.allocated / (s.lastVcn - s.firstVcn + 1);
      if (cluster == 0) cluster = firstRunCluster(record, *a) + 1;
      return clusterBytes != 0 && clusterBytes % 512 == 0;
    }
  }
  return false;
}

// Cluster and cluster size from the mirror's first record: both from its data attribute.
bool mirrorRecordParameters(Bytes record, std::uint64_t& cluster, std::uint64_t& clusterBytes) {
  AttributeWalk walk(record);
  while (auto a = walk.next()) {
    if (a->type != kAttrData || !a->nonResident) continue;
    Sizes s = nonResidentSizes(record, *a);
    if (s.allocated != s.data || s.data != s.initialized) return false;
    if (s.lastVcn < s.firstVcn || s.lastVcn - s.firstVcn == UINT64_MAX) return false;
    cluster = firstRunCluster(record, *a);
    clusterBytes = s.allocated / (s.lastVcn - s.firstVcn + 1);
    return clusterBytes != 0 && clusterBytes % 512 == 0;
  }
  return false;
}

bool makeCandidate(Bytes record, std::uint64_t sector, std::uint32_t recordBytes, std::uint16_t bps, bool mirror,
                   Candidate& c) {
  std::uint64_t cluster = 0, clusterBytes = 0;
  bool ok = mirror ? mirrorRecordParameters(record, cluster, clusterBytes)
                   : mftRecordParameters(record, cluster, clusterBytes);
  if (!ok) return false;
  std::uint64_t spc = clusterBytes / bps;
  std::uint64_t spr = recordBytes / bps;
  if (spc == 0 || spc > 255 || spr == 0 || spr > 255 || clusterBytes > UINT32_MAX) return false;
  c.sector = sector;
  c.created = standardInformationCreated(record);
  c.cluster = cluster;
  c.recordBytes = recordBytes;
  c.clusterBytes = static_cast<std::uint32_t>(clusterBytes);
  c.sectorsPerRecord = static_cast<std::uint8_t>(spr);
  c.sectorsPerCluster = static_cast<std::uint8_t>(spc);
  c.record.assign(record.begin(), record.end());
  return true;
}

// Tests one sector that starts "FILE*" or "FILE0" as a first record of the MFT or the mirror.
void examineRecord(SectorSource& source, Bytes chunk, std::size_t offsetInChunk, std::uint64_t sector,
                   std::vector<Candidate>& mftCandidates, std::vector<Candidate>& mirrorCandidates) {
  const std::uint16_t bps = source.bytesPerSector();
  Bytes head = chunk.subspan(offsetInChunk);
  std::uint32_t allocated = le32(head, 0x1C);
  if (allocated == 0 || allocated >= 8192 || allocated < bps || allocated % bps != 0) return;
  std::uint32_t sectors = allocated / bps;
  if (sectors != 1 && sectors % 2 != 0) return;

  std::vector<std::uint8_t> original(allocated, 0);
  if (fits(chunk, offsetInChunk, allocated)) std::memcpy(original.data(), head.data(), allocated);
  else source.readSectorsRetrying(original.data(), allocated, sector);

  std::vector<std::uint8_t> record = original;
  if (mftCandidates.size() < kMaxCandidates && isFirstMftRecord(record, allocated, bps)) {
    Candidate c;
    if (makeCandidate(record, sector, allocated, bps, false, c)) mftCandidates.push_back(std::move(c));
    return;
  }
  record = original;
  if (mirrorCandidates.size() < kMaxCandidates && isFirstMirrorRecord(record, allocated, bps)) {
    Candidate c;
    if (makeCandidate(record, sector, allocated, bps, true, c)) mirrorCandidates.push_back(std::move(c));
  }
}

LogicalVolume derivedVolume(const Candidate& c) {
  LogicalVolume v;
  v.bytesPerCluster = c.clusterBytes;
  v.mftRecordBytes = static_cast<std::uint16_t>(c.recordBytes);
  v.sectorsPerCluster = c.sectorsPerCluster;
  v.sectorsPerMftRecord = c.sectorsPerRecord;
  v.bytesPerSector = static_cast<std::uint16_t>(c.clusterBytes / c.sectorsPerCluster);
  return v;
}

// Appends a derived volume, or only sets its flag on an equal volume already listed.
void addDerived(std::vector<LogicalVolume>& volumes, LogicalVolume v, std::uint8_t flag) {
  for (auto& listed : volumes) {
    if (listed.mftLcn == v.mftLcn && listed.mftMirrLcn == v.mftMirrLcn && listed.bytesPerCluster == v.bytesPerCluster &&
        listed.mftRecordBytes == v.mftRecordBytes && listed.bytesPerSector == v.bytesPerSector &&
        v.startSector >= listed.startSector && v.startSector - listed.startSector <= v.sectorsPerCluster) {
      listed.foundBy = static_cast<std::uint8_t>(listed.foundBy | flag);
      return;
    }
  }
  v.foundBy = flag;
  volumes.push_back(v);
}

bool sameCopy(const Candidate& a, const Candidate& b) {
  return a.cluster == b.cluster && a.recordBytes == b.recordBytes && a.clusterBytes == b.clusterBytes &&
         a.created == b.created && a.record == b.record;
}

void deriveVolumes(std::vector<Candidate>& mft, std::vector<Candidate>& mirror, std::uint64_t totalSectors,
                   std::vector<LogicalVolume>& volumes) {
  // Record 0 of the MFT and its copy in the mirror.
  for (std::size_t i = 0; i < mft.size(); ++i) {
    for (std::size_t j = i + 1; j < mft.size() && !mft[i].used; ++j) {
      Candidate& first = mft[i];
      Candidate& copy = mft[j];
      if (copy.used || !sameCopy(first, copy)) continue;
      LogicalVolume v = derivedVolume(copy);
      std::uint64_t spc = copy.sectorsPerCluster;
      v.mftLcn = copy.cluster;
      v.mftMirrLcn = v.mftLcn + (copy.sector - first.sector) / spc;
      if (v.mftMirrLcn > copy.sector / spc) continue;  // would start before sector 0
      v.sectorCount = 2 * spc * v.mftMirrLcn;
      v.startSector = copy.sector - spc * v.mftMirrLcn;
      v.mftSector = copy.sector;
      first.used = copy.used = true;
      addDerived(volumes, v, kFoundMftCopies);
    }
  }
  // Record 1 (the mirror's own record) in the MFT and its copy in the mirror.
  for (std::size_t i = 0; i < mirror.size(); ++i) {
    for (std::size_t j = i + 1; j < mirror.size() && !mirror[i].used; ++j) {
      Candidate& inMft = mirror[i];
      Candidate& copy = mirror[j];
      if (copy.used || !sameCopy(inMft, copy)) continue;
      LogicalVolume v = derivedVolume(copy);
      std::uint64_t spc = copy.sectorsPerCluster;
      std::uint64_t spr = copy.sectorsPerRecord;
      std::uint64_t distance = (copy.sector - inMft.sector) / spc;
      v.mftMirrLcn = copy.cluster;
      if (distance > v.mftMirrLcn || v.mftMirrLcn > (copy.sector - spr) / spc || copy.sector < spr) continue;
      v.mftLcn = v.mftMirrLcn - distance;
      v.sectorCount = 2 * spc * v.mftMirrLcn;
      v.mftSector = copy.sector - spr;
      v.startSector = copy.sector - spc * v.mftMirrLcn - spr;
      inMft.used = copy.used = true;
      addDerived(volumes, v, kFoundMftCopies);
    }
  }
  // An MFT record paired with a mirror record of the same volume.
  for (auto& m : mft) {
    for (auto& r : mirror) {
      if (m.used || r.used) continue;
      if (m.sectorsPerCluster != r.sectorsPerCluster || m.sectorsPerRecord != r.sectorsPerRecord ||
          m.clusterBytes != r.clusterBytes || m.created != r.created)
        continue;
      LogicalVolume v = derivedVolume(m);
      std::uint64_t spc = m.sectorsPerCluster;
      std::uint64_t spr = m.sectorsPerRecord;
      v.mftSector = m.sector;
      v.mftLcn = m.cluster;
      v.mftMirrLcn = r.cluster;
      v.sectorCount = 2 * spc * v.mftMirrLcn;
      if (r.sector == m.sector + spr) {
        // Records 0 and 1 side by side in the MFT: the volume starts mftLcn clusters before them.
        if (v.mftLcn > m.sector / spc) continue;
        v.startSector = m.sector - spc * v.mftLcn;
      } else {
        // The mirror record is the copy in the mirror, one record after the mirror's start.
        if (r.sector < spr || v.mftMirrLcn > (r.sector - spr) / spc) continue;
        v.startSector = r.sector - spc * v.mftMirrLcn - spr;
      }
      if (v.startSector >= totalSectors) continue;
      addDerived(volumes, v, kFoundMftMirrorPair);
    }
  }
}

// The boot sector tests the searches apply before taking a volume.
bool searchAccepts(SectorSource& source, Bytes boot, std::uint64_t position) {
  return isNtfsBootSector(boot) && plausibleNtfsGeometry(boot) &&
         bootSectorFits(boot, position, source.totalSectors()) &&
         (hasNtfsName(boot) || mftConfirmsBootSector(source, boot, position));
}

}  // namespace

bool mftConfirmsBootSector(SectorSource& source, Bytes boot, std::uint64_t position) {
  if (!isNtfsBootSector(boot) || !plausibleNtfsGeometry(boot)) return false;
  LogicalVolume v = volumeFromBootSector(boot, position, le64(boot, 0x28), source.bytesPerSector(),
                                         BootSectorSize::AsStored);
  if (v.mftRecordBytes == 0 || v.bytesPerSector == 0 || v.mftRecordBytes % source.bytesPerSector() != 0) return false;
  std::vector<std::uint8_t> record(v.mftRecordBytes);
  for (std::uint64_t lcn : {v.mftLcn, v.mftMirrLcn}) {
    if (lcn > (UINT64_MAX - position) / std::max<std::uint64_t>(v.sectorsPerCluster, 1)) continue;
    std::uint64_t sector = position + lcn * v.sectorsPerCluster;
    if (sector >= source.totalSectors()) continue;
    std::fill(record.begin(), record.end(), 0);
    source.readSectorsRetrying(record.data(), record.size(), sector);
    if (isFirstMftRecord(record, v.mftRecordBytes, v.bytesPerSector)) return true;
  }
  return false;
}

std::optional<LogicalVolume> volumeAtSector(SectorSource& source, std::uint64_t sector) {
  const std::uint16_t bps = source.bytesPerSector();
  if (bps == 0 || sector >= source.totalSectors()) return std::nullopt;
  std::vector<std::uint8_t> boot(std::max<std::size_t>(bps, 512), 0);
  source.readSectorsRetrying(boot.data(), bps, sector);
  if (!isNtfsBootSector(boot) || !plausibleNtfsGeometry(boot) ||
      (!hasNtfsName(boot) && !mftConfirmsBootSector(source, boot, sector)))
    return std::nullopt;
  return volumeFromBootSector(boot, sector, le64(boot, 0x28), bps, BootSectorSize::Checked);
}

std::uint64_t roundToCylinder(std::uint64_t sector, bool isEnd) {
  if (sector < kSectorsPerCylinder + 1) return isEnd ? kSectorsPerCylinder : 0;
  std::uint64_t r = sector % kSectorsPerCylinder;
  return r < 8033 ? sector - r : sector - r + kSectorsPerCylinder;
}

bool quickSearch(SectorSource& source, std::uint64_t start, std::uint64_t end, std::vector<LogicalVolume>& volumes) {
  volumes.clear();
  EngineHost& host = source.host();
  RunControl& run = source.run();
  const std::uint16_t bps = source.bytesPerSector();
  start = roundToCylinder(start, false);
  end = roundToCylinder(end, true);
  std::vector<std::uint8_t> buffer(4u * std::max<std::size_t>(bps, 512));

  auto probe = [&](std::uint64_t at) {
    host.searchProgress(at, end);
    std::fill(buffer.begin(), buffer.end(), 0);
    source.readSectorsRetrying(buffer.data(), 4u * bps, at);
    Bytes boot(buffer.data(), std::max<std::size_t>(bps, 512));
    if (!searchAccepts(source, boot, at)) return;
    appendSearchVolume(source, volumes, boot, at, 0);
  };
  // Volumes made since Vista start at 1 MiB boundaries; those probes are merged in ascending order
  // with the cylinder probes, each position probed once.
  const std::uint64_t align = std::max<std::uint64_t>(1, (std::uint64_t{1} << 20) / std::max<std::uint16_t>(bps, 1));
  std::uint64_t nextAligned = (start + align - 1) / align * align;
  auto probeAlignedBelow = [&](std::uint64_t limit) {
    while (nextAligned < limit && nextAligned < end && run.proceed()) {
      probe(nextAligned);
      nextAligned += align;
    }
  };
  auto probeAt = [&](std::uint64_t at) {
    probeAlignedBelow(at);
    if (nextAligned == at) nextAligned += align;
    probe(at);
  };
  for (std::uint64_t pos = start; pos < end && run.proceed(); pos += kSectorsPerCylinder) {
    probeAt(pos);
    probeAt(pos + kTrackSectors);
  }
  probeAlignedBelow(end);
  host.searchProgress(end, end);
  return run.running();
}

bool thoroughSearch(SectorSource& source, std::uint64_t start, std::uint64_t end, std::vector<LogicalVolume>& volumes) {
  volumes.clear();
  EngineHost& host = source.host();
  RunControl& run = source.run();
  const std::uint16_t bps = source.bytesPerSector();
  if (bps < 512) return run.running();
  if (source.totalSectors() != 0) end = std::min(end, source.totalSectors());  // nothing to read past it
  const std::size_t chunkSectors = std::max<std::size_t>(128, kSearchReadBytes / bps);
  std::vector<std::uint8_t> buffer(chunkSectors * bps);
  std::vector<Candidate> mftCandidates, mirrorCandidates;

  for (std::uint64_t pos = start; pos < end && run.proceed();) {
    host.searchProgress(pos, end);
    std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(chunkSectors, end - pos));
    std::size_t bytes = count * bps;
    std::fill(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(bytes), 0);
    source.readSectorsRetrying(buffer.data(), bytes, pos);
    if (!run.running()) break;
    Bytes chunk(buffer.data(), bytes);
    for (std::size_t i = 0; i < count; ++i) {
      std::size_t offset = i * bps;
      const std::uint8_t* s = buffer.data() + offset;
      std::uint64_t sector = pos + i;
      if (s[2] == 0x90) {
        Bytes boot = chunk.subspan(offset, bps);
        if (searchAccepts(source, boot, sector)) {
          appendSearchVolume(source, volumes, boot, sector, kFoundBootAgain);
          continue;
        }
      }
      if (s[0] == 'F' && s[1] == 'I' && s[2] == 'L' && s[3] == 'E' && (s[4] == 0x2A || s[4] == 0x30) && s[5] == 0)
        examineRecord(source, chunk, offset, sector, mftCandidates, mirrorCandidates);
    }
    pos += count;
  }
  deriveVolumes(mftCandidates, mirrorCandidates, source.totalSectors(), volumes);
  host.searchProgress(end, end);
  return run.running();
}

}  // namespace ov::ntfs
