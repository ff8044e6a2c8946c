#include "fat/fat_extract.h"

#include <algorithm>
#include <cstring>

namespace ov::fat {

bool chainMatchesSize(std::size_t chainLength, std::uint64_t dataSize, std::uint32_t bytesPerCluster) {
  if (chainLength == 0) return dataSize == 0;
  std::uint64_t chainBytes = static_cast<std::uint64_t>(chainLength) * bytesPerCluster;
  return chainBytes - bytesPerCluster <= dataSize && dataSize <= chainBytes;
}

std::uint64_t bytesFromClusterToEnd(const FatVolume& v, std::uint32_t first) {
  std::uint64_t clusters = 0;
  if (v.clusterCount != 0) {
    const std::uint64_t end = std::uint64_t{v.clusterCount} + 2;  // clusters are numbered from 2
    clusters = first < end ? end - first : 0;
  } else if (v.sectorsPerCluster != 0) {
    // A volume that does not give its cluster count: the clusters up to its last sector.
    const std::uint64_t volumeEnd = v.startSector + v.sectorCount;
    const std::uint64_t at = clusterSector(v, first);
    clusters = at < volumeEnd ? (volumeEnd - at) / v.sectorsPerCluster : 0;
  }
  return clusters * v.bytesPerCluster;
}

std::vector<ClusterRun> exFatClusterRuns(FatReader& reader, const FileEntry& e, std::uint64_t clusters,
                                         const ExFatBitmap* bitmap) {
  std::vector<ClusterRun> runs;
  const FatVolume& v = reader.volume();
  const std::uint64_t last = std::uint64_t{v.clusterCount} + 1;
  if (clusters == 0 || e.firstCluster < 2 || e.firstCluster > last) return runs;
  auto add = [&](std::uint32_t c) {
    if (!runs.empty() && runs.back().first + std::uint64_t{runs.back().count} == c) ++runs.back().count;
    else runs.push_back({c, 1});
  };
  const std::uint64_t consecutive = std::min(clusters, last - e.firstCluster + 1);
  if (!(e.exFlags & kExNoFatChain)) {
    if (e.isLive()) {
      std::vector<std::uint32_t> chain = buildClusterChain(reader, e.firstCluster);
      if (chain.size() >= clusters) {
        for (std::uint64_t k = 0; k < clusters; ++k) add(chain[static_cast<std::size_t>(k)]);
        return runs;
      }
    } else if (bitmap && bitmap->loaded()) {
      // The clusters written while the file grew that other files did not take, in order.
      add(e.firstCluster);
      std::uint64_t taken = 1;
      for (std::uint64_t c = std::uint64_t{e.firstCluster} + 1; c <= last && taken < clusters; ++c) {
        if (bitmap->inUse(static_cast<std::uint32_t>(c))) continue;
        add(static_cast<std::uint32_t>(c));
        ++taken;
      }
      return runs;
    }
  }
  runs.push_back({e.firstCluster, static_cast<std::uint32_t>(consecutive)});
  return runs;
}

std::vector<ClusterRun> fileClusterRuns(FatReader& reader, const FileEntry& e, const ExFatBitmap* bitmap) {
  std::vector<ClusterRun> runs;
  const FatVolume& v = reader.volume();
  if (e.dataSize == 0 || e.firstCluster < 2 || v.bytesPerCluster == 0) return runs;
  const std::uint64_t clusters = (e.dataSize + v.bytesPerCluster - 1) / v.bytesPerCluster;
  if (v.fatType == kExFat) return exFatClusterRuns(reader, e, clusters, bitmap);
  std::vector<std::uint32_t> chain = buildClusterChain(reader, e.firstCluster);
  if (chainMatchesSize(chain.size(), e.dataSize, v.bytesPerCluster)) {
    for (std::uint64_t k = 0; k < chain.size() && k < clusters; ++k) {
      const std::uint32_t c = chain[static_cast<std::size_t>(k)];
      if (!runs.empty() && runs.back().first + std::uint64_t{runs.back().count} == c) ++runs.back().count;
      else runs.push_back({c, 1});
    }
    return runs;
  }
  const std::uint64_t held = bytesFromClusterToEnd(v, e.firstCluster) / v.bytesPerCluster;
  const std::uint64_t count = std::min<std::uint64_t>({clusters, held, UINT32_MAX});
  if (count > 0) runs.push_back({e.firstCluster, static_cast<std::uint32_t>(count)});
  return runs;
}

std::optional<std::uint64_t> clustersInUse(FatReader& reader, const std::vector<ClusterRun>& runs,
                                           const ExFatBitmap* bitmap) {
  const FatVolume& v = reader.volume();
  std::uint64_t used = 0;
  if (v.fatType == kExFat) {
    if (!bitmap || !bitmap->loaded()) return std::nullopt;
    for (const ClusterRun& r : runs)
      for (std::uint64_t c = r.first; c < std::uint64_t{r.first} + r.count; ++c)
        if (bitmap->inUse(static_cast<std::uint32_t>(c))) ++used;
    return used;
  }
  const std::uint32_t bits = fatEntryBits(v);
  const std::uint32_t bps = v.bytesPerSector;
  if (bps < 4) return std::nullopt;
  const std::uint64_t fatStart = v.startSector + v.secondFatOffset;
  std::vector<std::uint8_t> sector(bps);
  std::uint64_t loaded = UINT64_MAX;
  bool failed = false;
  auto fatByte = [&](std::uint64_t offset) -> std::uint8_t {
    const std::uint64_t at = fatStart + offset / bps;
    if (at != loaded) {
      std::fill(sector.begin(), sector.end(), 0);
      if (!reader.read(sector.data(), sector.size(), at)) failed = true;
      loaded = at;
    }
    return sector[static_cast<std::size_t>(offset % bps)];
  };
  for (const ClusterRun& r : runs) {
    for (std::uint64_t c = r.first; c < std::uint64_t{r.first} + r.count && !failed; ++c) {
      std::uint32_t entry = 0;
      if (bits == 12) {
        const std::uint64_t offset = c + c / 2;
        const std::uint32_t pair = fatByte(offset) | (std::uint32_t{fatByte(offset + 1)} << 8);
        entry = c % 2 == 0 ? pair & 0xFFF : pair >> 4;
      } else {
        for (std::uint32_t k = 0; k < bits / 8; ++k) entry |= std::uint32_t{fatByte(c * (bits / 8) + k)} << (8 * k);
        if (bits == 32) entry &= 0x0FFFFFFFu;
      }
      if (entry != 0) ++used;
    }
  }
  if (failed) return std::nullopt;
  return used;
}

bool FileExtractor::goOn() const {
  if (!quiet_ && !source_.run().running()) return false;
  return !(cancel_ && cancel_());
}

void FileExtractor::publish() const {
  if (progress_) progress_(written_, dataSize_);
}

void FileExtractor::emit(const std::uint8_t* data, std::size_t length) {
  if (memory_) memory_->insert(memory_->end(), data, data + length);
  else source_.writeOut(fd_, data, length);
}

void FileExtractor::copy(std::uint64_t sector, std::uint64_t bytes, std::vector<std::uint8_t>& buffer) {
  const FatVolume& v = reader_.volume();
  for (std::uint64_t offset = 0; offset < bytes && written_ < dataSize_;) {
    std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), bytes - offset));
    std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(piece, dataSize_ - written_));
    // Bytes past the valid data length are zeros, whatever the clusters hold; they are not read.
    const std::uint64_t valid = validSize_ > written_ ? validSize_ - written_ : 0;
    std::memset(buffer.data(), 0, piece);
    if (valid > 0) {
      reader_.read(buffer.data(), piece, sector + offset / v.bytesPerSector);
      if (valid < wanted) std::memset(buffer.data() + valid, 0, wanted - static_cast<std::size_t>(valid));
    }
    emit(buffer.data(), wanted);
    written_ += wanted;
    offset += piece;
  }
}

bool FileExtractor::saveExFat(const FileEntry& entry) {
  const FatVolume& v = reader_.volume();
  validSize_ = std::min(entry.validSize, dataSize_);
  if (dataSize_ == 0) return true;
  if (entry.firstCluster < 2 || v.bytesPerCluster == 0 || v.bytesPerSector == 0) return false;
  const std::uint64_t clusters = dataSize_ / v.bytesPerCluster + (dataSize_ % v.bytesPerCluster != 0 ? 1 : 0);
  std::vector<ClusterRun> runs = exFatClusterRuns(reader_, entry, clusters, bitmap_);
  if (runs.empty()) return false;
  std::uint64_t held = 0;
  for (const ClusterRun& r : runs) held += r.count;
  dataSize_ = std::min(dataSize_, held * v.bytesPerCluster);
  usedChain_ = !(entry.exFlags & kExNoFatChain) && entry.isLive();
  publish();
  std::size_t bufferBytes = std::size_t{kClustersPerRequest} * v.bytesPerCluster;
  if (bufferBytes > kMaxRequestBytes)
    bufferBytes = std::max<std::size_t>(v.bytesPerSector, kMaxRequestBytes / v.bytesPerSector * v.bytesPerSector);
  std::vector<std::uint8_t> buffer(bufferBytes);
  for (const ClusterRun& r : runs) {
    if (written_ >= dataSize_ || !goOn()) break;
    copy(clusterSector(v, r.first), std::uint64_t{r.count} * v.bytesPerCluster, buffer);
    publish();
  }
  return true;
}

bool FileExtractor::saveFileData(const FileEntry& entry, int outputFd) {
  const FatVolume& v = reader_.volume();
  fd_ = outputFd;
  dataSize_ = entry.dataSize;
  written_ = 0;
  usedChain_ = false;
  validSize_ = dataSize_;
  if (v.fatType == kExFat) return saveExFat(entry);
  if (dataSize_ == 0) return true;
  if (entry.firstCluster < 2 || v.bytesPerCluster == 0 || v.bytesPerSector == 0) return false;

  std::vector<std::uint32_t> chain = buildClusterChain(reader_, entry.firstCluster);
  usedChain_ = chainMatchesSize(chain.size(), dataSize_, v.bytesPerCluster);
  publish();
  // Sixteen clusters per request, in whole sectors, unless clusters are absurdly large.
  std::size_t bufferBytes = std::size_t{kClustersPerRequest} * v.bytesPerCluster;
  if (bufferBytes > kMaxRequestBytes)
    bufferBytes = std::max<std::size_t>(v.bytesPerSector, kMaxRequestBytes / v.bytesPerSector * v.bytesPerSector);
  std::vector<std::uint8_t> buffer(bufferBytes);

  if (usedChain_) {
    for (std::size_t i = 0; i < chain.size() && written_ < dataSize_ && goOn();) {
      // A run of consecutive clusters, read in one request.
      std::uint32_t first = chain[i];
      std::uint32_t run = 1;
      while (i + run < chain.size() && run < kClustersPerRequest &&
             chain[i + run] == static_cast<std::uint64_t>(first) + run)
        ++run;
      i += run;
      copy(clusterSector(v, first), std::uint64_t{run} * v.bytesPerCluster, buffer);
      publish();
    }
  } else {
    // Consecutive clusters never run past the volume's last one, whatever the size says.
    dataSize_ = std::min(dataSize_, bytesFromClusterToEnd(v, entry.firstCluster));
    std::uint64_t sector = clusterSector(v, entry.firstCluster);
    const std::uint64_t step = std::uint64_t{kClustersPerRequest} * v.sectorsPerCluster;
    while (written_ < dataSize_ && goOn()) {
      copy(sector, std::uint64_t{kClustersPerRequest} * v.bytesPerCluster, buffer);
      publish();
      sector += step;
    }
  }
  return true;
}

std::optional<std::vector<std::uint8_t>> FileExtractor::loadPreview(const FileEntry& entry) {
  const FatVolume& v = reader_.volume();
  if (entry.dataSize > kMaxPreviewBytes) return std::nullopt;
  std::vector<std::uint8_t> out;
  if (entry.dataSize == 0) return out;
  if (entry.firstCluster < 2 || v.bytesPerCluster == 0) return std::nullopt;
  if (v.fatType == kExFat) {
    memory_ = &out;
    fd_ = -1;
    dataSize_ = entry.dataSize;
    written_ = 0;
    const bool ok = saveExFat(entry);
    memory_ = nullptr;
    if (!ok) return std::nullopt;
    return out;
  }
  const std::size_t size = static_cast<std::size_t>(entry.dataSize);
  out.reserve(size);

  std::vector<std::uint32_t> chain = buildClusterChain(reader_, entry.firstCluster);
  const bool useChain = chainMatchesSize(chain.size(), entry.dataSize, v.bytesPerCluster);
  std::vector<std::uint8_t> cluster(v.bytesPerCluster);
  for (std::size_t k = 0; out.size() < size; ++k) {
    std::uint64_t number = useChain ? (k < chain.size() ? chain[k] : 0) : std::uint64_t{entry.firstCluster} + k;
    if (number < 2 || number > 0xFFFFFFFF) break;
    std::fill(cluster.begin(), cluster.end(), 0);
    // While no operation runs a failed read leaves the cluster zero and the preview goes on.
    reader_.read(cluster.data(), cluster.size(), clusterSector(v, static_cast<std::uint32_t>(number)));
    std::size_t n = std::min(cluster.size(), size - out.size());
    out.insert(out.end(), cluster.begin(), cluster.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return out;
}

}  // namespace ov::fat
