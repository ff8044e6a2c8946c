#include "fat/exfat_tree.h"

#include <algorithm>
#include <optional>

namespace ov::fat {
namespace {

// The sweep reads this much of each cluster (all of a smaller one): room for the sets that start
// in its first sectors.
constexpr std::size_t kSweepHeadBytes = 4096;
constexpr std::size_t kSweepRequestBytes = std::size_t{1} << 20;
// Clusters of a deleted file looked up in the bitmap at most.
constexpr std::uint64_t kMaxInUseCheck = 4096;
// How far past a deleted folder's last cluster the cluster that completes its cut set is looked for.
constexpr std::uint64_t kDeletedFolderWindow = 65536;

std::uint64_t lastCluster(const FatVolume& v) { return std::uint64_t{v.clusterCount} + 1; }

bool usable(const FatVolume& v, std::uint64_t cluster) { return cluster >= 2 && cluster <= lastCluster(v); }

std::uint64_t clustersFor(std::uint64_t bytes, std::uint32_t clusterBytes) {
  return clusterBytes == 0 ? 0 : bytes / clusterBytes + (bytes % clusterBytes != 0 ? 1 : 0);
}

// Clusters from `first` on, `count` of them at most, never past the volume's last.
std::vector<std::uint32_t> consecutive(const FatVolume& v, std::uint32_t first, std::uint64_t count) {
  std::vector<std::uint32_t> out;
  if (!usable(v, first)) return out;
  count = std::min(count, lastCluster(v) - first + 1);
  out.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t k = 0; k < count; ++k) out.push_back(static_cast<std::uint32_t>(first + k));
  return out;
}

// The deleted entry set that the end of the data cuts short: where it starts and how many bytes
// it has in all.
struct CutSet {
  std::size_t offset = 0;
  std::size_t bytes = 0;
};
std::optional<CutSet> cutSetAtEnd(Bytes data) {
  const std::size_t end = data.size() - data.size() % kExFatEntryBytes;
  const std::size_t span = std::size_t{kExFatMaxSecondaries} * kExFatEntryBytes;
  for (std::size_t at = end > span ? end - span : 0; at + kExFatEntryBytes < end; at += kExFatEntryBytes) {
    if (data[at] != (kExFatFileEntry & 0x7F)) continue;
    const std::uint8_t secondaries = data[at + 1];
    const std::size_t bytes = (std::size_t{secondaries} + 1) * kExFatEntryBytes;
    if (secondaries < 2 || secondaries > kExFatMaxSecondaries || at + bytes <= end) continue;
    bool deletedSecondaries = true;
    for (std::size_t k = at + kExFatEntryBytes; k < end && deletedSecondaries; k += kExFatEntryBytes)
      deletedSecondaries = (data[k] & 0xC0) == 0x40;
    if (deletedSecondaries) return CutSet{at, bytes};
  }
  return std::nullopt;
}

// Whether the bytes hold, at a 32-byte step, an entry set whose checksum holds, or the root's
// bitmap and up-case entries.
bool holdsEntrySets(Bytes head) {
  bool bitmap = false, upcase = false;
  for (std::size_t at = 0; at + kExFatEntryBytes <= head.size(); at += kExFatEntryBytes) {
    const std::uint8_t type = head[at];
    if ((type & 0x7F) == (kExFatFileEntry & 0x7F)) {
      auto set = parseExFatEntrySet(head, at);
      if (set && set->checksumOk) return true;
    }
    bitmap = bitmap || type == kExFatBitmapEntry;
    upcase = upcase || type == kExFatUpcaseEntry;
  }
  return bitmap && upcase;
}

}  // namespace

bool ExFatBitmap::load(FatReader& reader, std::uint32_t cluster) {
  bits_.clear();
  const FatVolume& v = reader.volume();
  if (!usable(v, cluster) || v.bytesPerCluster == 0 || v.bytesPerSector == 0) return false;
  const std::uint64_t bytes = (std::uint64_t{v.clusterCount} + 7) / 8;
  if (bytes == 0 || bytes > kMaxBytes) return false;
  const std::uint64_t need = clustersFor(bytes, v.bytesPerCluster);
  std::vector<std::uint32_t> clusters = buildClusterChain(reader, cluster);
  if (clusters.size() < need) clusters = consecutive(v, cluster, need);
  if (clusters.size() < need) return false;
  clusters.resize(static_cast<std::size_t>(need));
  std::vector<std::uint8_t> bits(static_cast<std::size_t>(need) * v.bytesPerCluster, 0);
  for (std::size_t i = 0; i < clusters.size(); ++i)
    if (!reader.read(bits.data() + i * v.bytesPerCluster, v.bytesPerCluster, clusterSector(v, clusters[i])))
      return false;
  bits.resize(static_cast<std::size_t>(bytes));
  bits_ = std::move(bits);
  return true;
}

bool ExFatBitmap::inUse(std::uint32_t cluster) const {
  if (cluster < 2) return true;
  const std::uint64_t bit = std::uint64_t{cluster} - 2;
  if (bit / 8 >= bits_.size()) return true;
  return (bits_[static_cast<std::size_t>(bit / 8)] >> (bit % 8)) & 1;
}

bool anyInUse(const ExFatBitmap& bitmap, std::uint32_t first, std::uint64_t clusters) {
  if (!bitmap.loaded()) return false;
  // The first clusters tell: a file's clusters are reused from its start on. Bounded, so that a
  // directory of many deleted sets that each claim the whole volume costs no more than its size.
  clusters = std::min<std::uint64_t>(clusters, kMaxInUseCheck);
  for (std::uint64_t k = 0; k < clusters; ++k)
    if (first + k > UINT32_MAX || bitmap.inUse(static_cast<std::uint32_t>(first + k))) return true;
  return false;
}

void ExFatTreeBuilder::start() {
  tree_.reset(rootFolderKey(reader_.volume()));
  rootEntries_ = {};
  bitmap_.clear();
  walked_.clear();
  readAsDirectory_.clear();
  swept_.clear();
  foldersSeen_ = foldersRead_ = 0;
}

std::vector<std::uint32_t> ExFatTreeBuilder::folderClusters(const FileEntry& folder) {
  const FatVolume& v = reader_.volume();
  const std::uint32_t c = v.bytesPerCluster;
  if (c == 0 || !usable(v, folder.firstCluster)) return {};
  const std::uint64_t most = clustersFor(kExFatMaxDirectoryBytes, c);
  if (&folder == tree_.root()) {
    // The root has no length: its chain says how far it goes (one cluster without a FAT).
    std::vector<std::uint32_t> chain = buildClusterChain(reader_, folder.firstCluster);
    if (chain.size() > most) chain.resize(static_cast<std::size_t>(most));
    return chain;
  }
  const std::uint64_t need = std::min(std::max<std::uint64_t>(clustersFor(folder.validSize, c), 1), most);
  // A live folder with a chain follows it; a deleted one's chain is gone, so its clusters are
  // taken to follow each other, as they do when the folder never grew past its first run.
  if (folder.isLive() && !(folder.exFlags & kExNoFatChain)) {
    std::vector<std::uint32_t> chain = buildClusterChain(reader_, folder.firstCluster);
    if (chain.size() > need) chain.resize(static_cast<std::size_t>(need));
    return chain;
  }
  return consecutive(v, folder.firstCluster, need);
}

void ExFatTreeBuilder::readFolder(FileEntry& folder) {
  const FatVolume& v = reader_.volume();
  std::vector<std::uint32_t> clusters = folderClusters(folder);
  if (clusters.empty()) return;
  std::vector<std::uint8_t> data(clusters.size() * std::size_t{v.bytesPerCluster}, 0);
  for (std::size_t i = 0; i < clusters.size();) {
    if (!run_.running()) return;
    // Consecutive clusters in one request.
    std::size_t n = 1;
    while (i + n < clusters.size() && n < 256 && clusters[i + n] == clusters[i] + n) ++n;
    reader_.read(data.data() + i * v.bytesPerCluster, n * v.bytesPerCluster, clusterSector(v, clusters[i]));
    for (std::size_t k = 0; k < n; ++k) readAsDirectory_.insert(clusters[i + k]);
    i += n;
  }
  if (!folder.isLive() && !(folder.exFlags & kExNoFatChain) && bitmap_.loaded()) followCutSets(clusters, data);
  parseInto(folder, Bytes(data.data(), data.size()));
}

void ExFatTreeBuilder::followCutSets(std::vector<std::uint32_t>& clusters, std::vector<std::uint8_t>& data) {
  const FatVolume& v = reader_.volume();
  const std::uint32_t c = v.bytesPerCluster;
  const std::size_t bps = v.bytesPerSector;
  if (c == 0 || bps == 0) return;
  std::vector<std::uint8_t> head(std::min<std::size_t>(c, (kExFatMaxSecondaries * kExFatEntryBytes + bps - 1) / bps * bps));
  while (data.size() + c <= kExFatMaxDirectoryBytes && run_.running()) {
    const auto cut = cutSetAtEnd(Bytes(data.data(), data.size()));
    if (!cut) return;
    const std::size_t have = data.size() - cut->offset;
    if (cut->bytes - have > head.size()) return;
    std::vector<std::uint8_t> joined(data.begin() + static_cast<std::ptrdiff_t>(cut->offset), data.end());
    joined.resize(cut->bytes);
    const std::uint64_t from = std::uint64_t{clusters.back()} + 1;
    const std::uint64_t to = std::min(lastCluster(v), from + kDeletedFolderWindow);
    std::optional<std::uint32_t> next;
    for (std::uint64_t k = from; k <= to && !next && run_.running(); ++k) {
      const auto candidate = static_cast<std::uint32_t>(k);
      if (bitmap_.inUse(candidate) || readAsDirectory_.count(candidate) != 0) continue;
      std::fill(head.begin(), head.end(), 0);
      reader_.read(head.data(), head.size(), clusterSector(v, candidate));
      std::copy(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(cut->bytes - have), joined.begin() + static_cast<std::ptrdiff_t>(have));
      auto set = parseExFatEntrySet(Bytes(joined.data(), joined.size()), 0);
      if (set && set->checksumOk) next = candidate;
    }
    if (!next) return;
    const std::size_t at = data.size();
    data.resize(at + c, 0);
    reader_.read(data.data() + at, c, clusterSector(v, *next));
    clusters.push_back(*next);
    readAsDirectory_.insert(*next);
  }
}

void ExFatTreeBuilder::parseInto(FileEntry& folder, Bytes data) {
  const FatVolume& v = reader_.volume();
  ExFatDirectory dir = parseExFatDirectory(data, true);
  if (&folder == tree_.root()) {
    rootEntries_ = dir.root;
    if (dir.root.bitmap && !bitmap_.loaded()) bitmap_.load(reader_, dir.root.bitmapCluster);
  }
  for (const ExFatEntrySet& s : dir.sets) {
    FileEntry e;
    e.name = s.name.empty() ? placeholderName(s.firstCluster) : s.name;
    const bool live = s.inUse && folder.isLive();
    e.attributes = static_cast<std::uint8_t>((s.attributes & 0x37) | (live ? kEntryLive : 0));
    e.firstCluster = s.firstCluster;
    e.parentCluster = folder.firstCluster;
    e.createdDate = s.created.date();
    e.accessedDate = s.accessed.date();
    e.createdTime = static_cast<std::uint16_t>(s.created.dos & 0xFFFF);
    e.createdTenMs = s.created.tenMs;
    e.modifiedDate = s.modified.date();
    e.modifiedTime = static_cast<std::uint16_t>(s.modified.dos & 0xFFFF);
    e.modifiedTenMs = s.modified.tenMs;
    e.accessedTime = static_cast<std::uint16_t>(s.accessed.dos & 0xFFFF);
    e.timesKnown = true;
    if (s.noFatChain()) e.exFlags |= kExNoFatChain;
    if (!s.checksumOk) e.exFlags |= kExBadChecksum;
    if (e.isFolder()) {
      e.validSize = std::min(s.dataLength, kExFatMaxDirectoryBytes);
    } else {
      e.dataSize = s.dataLength;
      e.validSize = std::min(s.validDataLength, s.dataLength);
      if (cutToVolume(e, v))
        cuts_->note(utf16ToUtf8(e.name) + " (cluster " + std::to_string(e.firstCluster) + ")", e.claimedSize,
                    e.dataSize);
      e.validSize = std::min(e.validSize, e.dataSize);
      const std::uint64_t clusters = clustersFor(e.dataSize, v.bytesPerCluster);
      if (!live && clusters > 0) {
        // A deleted file that filled one run of clusters is whole; one with a chain lost it.
        if (!(e.exFlags & kExNoFatChain) && clusters > 1) e.exFlags |= kExChainGuessed;
        else if (anyInUse(bitmap_, e.firstCluster, clusters)) e.exFlags |= kExInUseElsewhere;
      }
    }
    FatTree::prepend(folder, tree_.add(e));
  }
}

bool ExFatTreeBuilder::walkFrom(FileEntry& top) {
  std::vector<FileEntry*> pending{&top};
  walked_.insert(top.firstCluster);
  while (!pending.empty()) {
    if (!run_.proceed()) return false;
    FileEntry* f = pending.back();
    pending.pop_back();
    readFolder(*f);
    ++foldersRead_;
    for (FileEntry* c = f->firstChild; c; c = c->nextSibling) {
      if (!c->isFolder() || !usable(reader_.volume(), c->firstCluster)) continue;
      // Each directory is read once, whichever entries name it: no loop can go round.
      if (!walked_.insert(c->firstCluster).second) continue;
      ++foldersSeen_;
      pending.push_back(c);
    }
    host_.progress(foldersSeen_ + 1, foldersRead_);
  }
  return run_.running();
}

bool ExFatTreeBuilder::processFileSystem() {
  start();
  // A read failure that was reported leaves what was read so far in the tree.
  return walkFrom(*tree_.root()) && run_.running();
}

void ExFatTreeBuilder::sweep() {
  const FatVolume& v = reader_.volume();
  const std::uint32_t c = v.bytesPerCluster;
  if (c == 0 || v.bytesPerSector == 0 || v.clusterCount == 0) return;
  const std::size_t head = std::min<std::size_t>(c, kSweepHeadBytes);
  // Small clusters are read in stretches; larger ones only their first bytes each.
  const bool stretches = c <= kSweepHeadBytes;
  const std::uint64_t perRequest = stretches ? std::max<std::uint64_t>(1, kSweepRequestBytes / c) : 1;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(perRequest) * (stretches ? c : head));
  const std::uint64_t last = lastCluster(v);
  for (std::uint64_t first = 2; first <= last;) {
    if (!run_.proceed()) return;
    const std::uint64_t n = std::min(perRequest, last - first + 1);
    const std::size_t bytes = static_cast<std::size_t>(n) * (stretches ? c : head);
    std::fill(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(bytes), 0);
    host_.progress(v.clusterCount, first - 2);
    if (!reader_.read(buffer.data(), bytes, clusterSector(v, static_cast<std::uint32_t>(first)))) return;
    for (std::uint64_t k = 0; k < n; ++k) {
      Bytes piece(buffer.data() + static_cast<std::size_t>(k) * (stretches ? c : head), head);
      if (holdsEntrySets(piece)) swept_.push_back(static_cast<std::uint32_t>(first + k));
    }
    first += n;
  }
}

void ExFatTreeBuilder::adoptLeftovers() {
  FileEntry* lost = tree_.lost();
  if (!lost) return;
  const FatVolume& v = reader_.volume();
  for (std::size_t i = 0; i < swept_.size() && run_.running(); ++i) {
    const std::uint32_t first = swept_[i];
    if (readAsDirectory_.count(first) != 0) continue;
    // The run of swept clusters that follow it, as one directory.
    std::size_t n = 1;
    while (i + n < swept_.size() && swept_[i + n] == first + n && readAsDirectory_.count(swept_[i + n]) == 0 &&
           std::uint64_t{n + 1} * v.bytesPerCluster <= kExFatMaxDirectoryBytes)
      ++n;
    FileEntry found;
    found.name = placeholderName(first);
    found.attributes = kEntryFolder;
    found.firstCluster = first;
    found.parentCluster = lost->firstCluster;
    found.validSize = std::uint64_t{n} * v.bytesPerCluster;
    found.exFlags = kExNoFatChain;
    FileEntry& folder = tree_.add(found);
    FatTree::prepend(*lost, folder);
    walked_.insert(first);
    walkFrom(folder);
    i += n - 1;
  }
}

bool ExFatTreeBuilder::turboScan() {
  start();
  sweep();
  if (!run_.running()) return false;
  walkFrom(*tree_.root());
  if (!run_.running()) return false;
  adoptLeftovers();
  return run_.running();
}

}  // namespace ov::fat
