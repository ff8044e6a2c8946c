#include "fat/fat_tree.h"

#include <algorithm>
#include <unordered_set>

namespace ov::fat {
namespace {

constexpr std::size_t kEntrySize = 32;
constexpr std::uint8_t kDeletedMark = 0xE5;
constexpr std::uint8_t kLongNameAttribute = 0x0F;

// The units of code page 437 from 0x80 on.
constexpr char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

bool matches(Bytes b, std::size_t at, const char* text, std::size_t n) {
  if (!fits(b, at, n)) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (b[at + i] != static_cast<std::uint8_t>(text[i])) return false;
  return true;
}

bool validFlags(std::uint8_t flags) { return flags == 0x00 || flags == 0x08 || flags == 0x10 || flags == 0x18; }

constexpr std::uint8_t kLabelAttribute = 0x08;

// A volume label entry that also names data (a first cluster and a size) is listed as a file.
bool labelHoldsData(Bytes entry) { return entryCluster(entry) >= 2 && le32(entry, 28) != 0; }

// Lower case as 8.3 names show it: A-Z and the capitals of Latin-1 (the letters of code page
// 437 above 0x7F among them).
char16_t lowerCase(char16_t unit) {
  if (unit >= u'A' && unit <= u'Z') return static_cast<char16_t>(unit + 0x20);
  if (unit >= 0xC0 && unit <= 0xDE && unit != 0xD7) return static_cast<char16_t>(unit + 0x20);
  return unit;
}

}  // namespace

std::string damageNote(std::uint8_t flags) {
  std::string note;
  auto add = [&](std::uint8_t bit, const char* text) {
    if (!(flags & bit)) return;
    if (!note.empty()) note += "; ";
    note += text;
  };
  add(kExChainGuessed, "its cluster chain is gone: read from the free clusters that follow its first one");
  add(kExInUseElsewhere, "some of its clusters are in use by other files now");
  add(kExBadChecksum, "its directory entries fail their checksum");
  return note;
}

std::u16string placeholderName(std::uint32_t cluster) {
  std::string text = "#" + std::to_string(cluster);
  return std::u16string(text.begin(), text.end());
}

std::uint64_t dataAreaBytes(const FatVolume& v) {
  return std::uint64_t{v.clusterCount} * v.bytesPerCluster;
}

bool cutToVolume(FileEntry& e, const FatVolume& v) {
  const std::uint64_t most = dataAreaBytes(v);
  if (most == 0 || e.dataSize <= most) return false;
  if (e.claimedSize == 0) e.claimedSize = e.dataSize;
  e.dataSize = most;
  return true;
}

char16_t codePage437(std::uint8_t byte) { return byte < 0x80 ? char16_t{byte} : kCp437High[byte - 0x80]; }

std::uint8_t shortNameChecksum(Bytes name11) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < 11; ++i)
    sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + le8(name11, i));
  return sum;
}

bool startsWithDotEntries(Bytes b) {
  return matches(b, 0, ".          ", 11) && matches(b, 32, "..         ", 11);
}

// ---- FatTree ----

void FatTree::reset(std::uint32_t rootKey) {
  clear();
  FileEntry top;
  top.name = u"#";
  top.attributes = kEntryFolder | kEntryLive;
  top.firstCluster = rootKey;
  top.parentCluster = rootKey;
  root_ = &add(top);
  FileEntry lost;
  lost.name = u"Lost";
  lost.attributes = kEntryFolder;
  lost.parentCluster = rootKey;
  lost_ = &add(lost);
  prepend(*root_, *lost_);
}

FileEntry& FatTree::resetRoot(const FileEntry& top) {
  clear();
  root_ = &add(top);
  return *root_;
}

void FatTree::clear() {
  entries_.clear();
  root_ = nullptr;
  lost_ = nullptr;
}

FileEntry& FatTree::add(const FileEntry& e) {
  FileEntry& added = entries_.emplace_back(e);
  added.nextSibling = added.firstChild = added.parent = nullptr;
  if (added.name.size() > kMaxLongNameUnits) added.name.resize(kMaxLongNameUnits);
  return added;
}

void FatTree::prepend(FileEntry& folder, FileEntry& child) {
  child.parent = &folder;
  child.nextSibling = folder.firstChild;
  folder.firstChild = &child;
}

void FatTree::detach(FileEntry& child) {
  FileEntry* parent = child.parent;
  if (!parent) return;
  for (FileEntry** link = &parent->firstChild; *link; link = &(*link)->nextSibling) {
    if (*link == &child) {
      *link = child.nextSibling;
      break;
    }
  }
  child.parent = nullptr;
  child.nextSibling = nullptr;
}

std::vector<const FileEntry*> FatTree::children(const FileEntry& folder) {
  std::vector<const FileEntry*> out;
  for (const FileEntry* c = folder.firstChild; c; c = c->nextSibling) out.push_back(c);
  return out;
}

std::vector<const FileEntry*> FatTree::listing(const FileEntry& folder) {
  std::vector<const FileEntry*> out = children(folder);
  std::stable_partition(out.begin(), out.end(), [](const FileEntry* e) { return !e->isFolder(); });
  return out;
}

// ---- ClusterIndex ----

FileEntry* ClusterIndex::find(std::uint32_t cluster) const {
  std::int32_t n = top_;
  while (n >= 0) {
    const Node& node = nodes_[static_cast<std::size_t>(n)];
    if (cluster == node.folder->firstCluster) return node.folder;
    n = cluster < node.folder->firstCluster ? node.left : node.right;
  }
  return nullptr;
}

FileEntry* ClusterIndex::insert(FileEntry& folder) {
  FileEntry* result = nullptr;
  top_ = insertAt(top_, folder, result);
  return result;
}

void ClusterIndex::clear() {
  nodes_.clear();
  top_ = -1;
}

void ClusterIndex::update(std::int32_t n) {
  Node& node = at(n);
  node.height = 1 + std::max(height(node.left), height(node.right));
}

std::int32_t ClusterIndex::rotateLeft(std::int32_t n) {
  std::int32_t r = at(n).right;
  at(n).right = at(r).left;
  at(r).left = n;
  update(n);
  update(r);
  return r;
}

std::int32_t ClusterIndex::rotateRight(std::int32_t n) {
  std::int32_t l = at(n).left;
  at(n).left = at(l).right;
  at(l).right = n;
  update(n);
  update(l);
  return l;
}

std::int32_t ClusterIndex::rebalance(std::int32_t n) {
  update(n);
  std::int32_t balance = height(at(n).left) - height(at(n).right);
  if (balance > 1) {
    if (height(at(at(n).left).left) < height(at(at(n).left).right)) at(n).left = rotateLeft(at(n).left);
    return rotateRight(n);
  }
  if (balance < -1) {
    if (height(at(at(n).right).right) < height(at(at(n).right).left)) at(n).right = rotateRight(at(n).right);
    return rotateLeft(n);
  }
  return n;
}

// Recursion depth is the tree's height, which balancing keeps logarithmic.
std::int32_t ClusterIndex::insertAt(std::int32_t n, FileEntry& folder, FileEntry*& result) {
  if (n < 0) {
    nodes_.push_back(Node{&folder});
    result = &folder;
    return static_cast<std::int32_t>(nodes_.size() - 1);
  }
  std::uint32_t key = at(n).folder->firstCluster;
  if (folder.firstCluster == key) {
    result = at(n).folder;
    return n;
  }
  if (folder.firstCluster < key) {
    std::int32_t l = insertAt(at(n).left, folder, result);
    at(n).left = l;
  } else {
    std::int32_t r = insertAt(at(n).right, folder, result);
    at(n).right = r;
  }
  return result == &folder ? rebalance(n) : n;
}

std::vector<FileEntry*> ClusterIndex::preorder() const {
  std::vector<FileEntry*> out;
  std::vector<std::int32_t> pending;
  if (top_ >= 0) pending.push_back(top_);
  while (!pending.empty()) {
    const Node& node = nodes_[static_cast<std::size_t>(pending.back())];
    pending.pop_back();
    out.push_back(node.folder);
    if (node.right >= 0) pending.push_back(node.right);
    if (node.left >= 0) pending.push_back(node.left);
  }
  return out;
}

// ---- FatTreeBuilder ----

void FatTreeBuilder::setProgress(std::uint64_t total, std::uint64_t done) {
  total_ = total;
  done_ = done;
  host_.progress(total_, done_);
}

void FatTreeBuilder::start() {
  tree_.reset(rootFolderKey(reader_.volume()));
  index_.clear();
  index_.insert(*tree_.root());
  index_.insert(*tree_.lost());
  resetLongName();
  total_ = done_ = 0;
}

bool FatTreeBuilder::processFileSystem() {
  start();
  setProgress(0, 0);
  bool completed = false;
  try {
    completed = walkFolder(*tree_.root(), WalkMode::Processing);
  } catch (const AlreadyReported&) {
    finish();  // what was read so far stays usable
    throw;
  }
  finish();
  return completed && run_.running();
}

// Depth first without recursion, so that no tree is too deep to walk. Each folder is read once:
// in the processing run a folder whose cluster is indexed already is refused by the parser, and
// the Turbo Scan's tree has had its loops cut before it is walked.
bool FatTreeBuilder::walkFolder(FileEntry& folder, WalkMode mode) {
  struct Frame {
    FileEntry* next;
  };
  std::vector<Frame> stack;
  std::unordered_set<const FileEntry*> walked;
  auto enter = [&](FileEntry& f) {
    walked.insert(&f);
    readFolderClusters(f, mode);
    for (const FileEntry* c = f.firstChild; c; c = c->nextSibling)
      if (!c->isFolder()) ++total_;
    stack.push_back(Frame{f.firstChild});
  };
  enter(folder);
  while (!stack.empty()) {
    FileEntry* child = stack.back().next;
    if (!child) {
      stack.pop_back();
      continue;
    }
    stack.back().next = child->nextSibling;
    host_.progress(total_, done_);
    if (!run_.proceed()) return false;
    if (!child->isFolder()) {
      ++done_;
      continue;
    }
    if (walked.count(child) != 0) continue;
    enter(*child);
  }
  return run_.running();
}

bool FatTreeBuilder::usableCluster(std::uint32_t cluster) const {
  const FatVolume& v = reader_.volume();
  // Clusters past the data area are garbage: reading them would only read another volume.
  return cluster >= 2 && (v.clusterCount == 0 || cluster < std::uint64_t{v.clusterCount} + 2);
}

void FatTreeBuilder::readFolderClusters(FileEntry& folder, WalkMode mode) {
  const FatVolume& v = reader_.volume();
  resetLongName();
  if (folder.firstCluster == 0 || v.bytesPerSector == 0 || v.bytesPerCluster == 0) return;
  if (v.fatType == kFat16 && folder.firstCluster == 1) {
    std::vector<std::uint8_t> buffer(std::size_t{rootDirSectors(v)} * v.bytesPerSector, 0);
    reader_.read(buffer.data(), buffer.size(), fat16RootSector(v));
    parseDirectoryBuffer(Bytes(buffer.data(), buffer.size()), folder, mode);
    return;
  }
  if (!usableCluster(folder.firstCluster)) return;
  const bool fat32Root = v.fatType == kFat32 && folder.firstCluster == 2;
  std::vector<std::uint32_t> chain = buildClusterChain(reader_, folder.firstCluster);
  std::vector<std::uint8_t> buffer(v.bytesPerCluster, 0);
  bool first = true;
  for (std::uint32_t cluster : chain) {
    if (!usableCluster(cluster) || !run_.running()) break;
    std::fill(buffer.begin(), buffer.end(), 0);
    reader_.read(buffer.data(), buffer.size(), clusterSector(v, cluster));
    Bytes b(buffer.data(), buffer.size());
    // A subfolder's data that no longer starts with its "." and ".." is not its data any more.
    if (first && !fat32Root && !startsWithDotEntries(b)) break;
    first = false;
    if (parseDirectoryBuffer(b, folder, mode)) break;
  }
}

void FatTreeBuilder::takeLongNamePiece(Bytes e) {
  LongName& ln = longName_;
  if (!ln.active) {
    ln.active = true;
    ln.checksum = le8(e, 13);
  } else if (le8(e, 13) != ln.checksum) {
    ln.mixed = true;
  }
  static constexpr std::size_t kUnitOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  std::u16string piece;
  for (std::size_t off : kUnitOffsets) {
    char16_t unit = le16(e, off);
    if (unit == 0) break;
    piece.push_back(unit);
  }
  // Pieces are stored last piece first, so each one read goes in front.
  if (ln.units.size() + piece.size() > kMaxLongNameUnits) ln.overflow = true;
  else ln.units.insert(0, piece);
}

std::u16string FatTreeBuilder::shortName(Bytes e) const {
  // Byte 12: bit 3 asks for the base name in lower case, bit 4 for the extension.
  const std::uint8_t flags = le8(e, 12);
  auto trimmed = [&](std::size_t from, std::size_t count, bool lower) {
    std::size_t n = count;
    while (n > 0 && le8(e, from + n - 1) == ' ') --n;
    std::u16string out;
    for (std::size_t i = 0; i < n; ++i) {
      char16_t unit = codePage437(le8(e, from + i));
      out.push_back(lower ? lowerCase(unit) : unit);
    }
    return out;
  };
  std::u16string name = trimmed(0, 8, (flags & 0x08) != 0);
  std::u16string ext = trimmed(8, 3, (flags & 0x10) != 0);
  if (!name.empty()) {
    if (le8(e, 0) == kDeletedMark) name[0] = u'X';
    else if (le8(e, 0) == 0x05) name[0] = codePage437(kDeletedMark);  // a real 0xE5 first byte
  }
  if (!ext.empty()) name += u"." + ext;
  return name;
}

std::u16string FatTreeBuilder::labelName(Bytes e) const {
  std::size_t n = 11;
  while (n > 0 && le8(e, n - 1) == ' ') --n;
  std::u16string name;
  for (std::size_t i = 0; i < n; ++i) name.push_back(codePage437(le8(e, i)));
  if (!name.empty() && le8(e, 0) == kDeletedMark) name[0] = u'X';
  return name;
}

void FatTreeBuilder::place(FileEntry& folder, const FileEntry& entry, WalkMode mode) {
  if (mode == WalkMode::Processing || !entry.isFolder()) {
    FatTree::prepend(folder, tree_.add(entry));
    return;
  }
  // Naming pass: folders come from the sweep; an entry only names the folder it describes.
  for (FileEntry* c = folder.firstChild; c; c = c->nextSibling) {
    if (!c->isFolder() || c->firstCluster != entry.firstCluster || c->createdDate != entry.createdDate) continue;
    c->attributes = entry.attributes;
    c->accessedDate = entry.accessedDate;
    c->createdTime = entry.createdTime;
    c->createdTenMs = entry.createdTenMs;
    c->modifiedDate = entry.modifiedDate;
    c->modifiedTime = entry.modifiedTime;
    c->timesKnown = entry.timesKnown;
    c->parentCluster = entry.parentCluster;
    c->name = entry.name;
    return;
  }
}

bool FatTreeBuilder::parseDirectoryBuffer(Bytes b, FileEntry& folder, WalkMode mode) {
  const std::uint32_t rootKey = reader_.volume().fatType;
  const std::size_t length = b.size() - b.size() % kEntrySize;
  std::size_t pos = 0;
  if (le8(b, 11) == 0x08 && !labelHoldsData(b)) pos = kEntrySize;  // the volume label
  if (startsWithDotEntries(b)) {
    pos = 2 * kEntrySize;
    resetLongName();
    if (mode == WalkMode::Processing) {
      std::uint32_t dot = entryCluster(b, 0);
      std::uint32_t dotdot = entryCluster(b, kEntrySize);
      if (dotdot == 0) dotdot = rootKey;
      if (folder.firstCluster != dot || folder.parentCluster != dotdot || folder.createdDate != le16(b, 48))
        return true;  // the cluster holds another folder now
      // A folder already in the tree under this cluster: this is the same directory met again
      // (cross-linked entries, or a ".." that leads back down into a loop); it is read once.
      if (indexFolder(folder) != &folder) return true;
    }
  }
  while (pos < length) {
    Bytes e = b.subspan(pos, kEntrySize);
    std::uint8_t attribute = e[11];
    if (e[0] == 0) return true;
    if (attribute > 0x30 || attribute == 0x18) return true;
    if (attribute == kLongNameAttribute && e[12] == 0) {
      do {
        takeLongNamePiece(b.subspan(pos, kEntrySize));
        pos += kEntrySize;
      } while (pos < length && le8(b, pos + 11) == kLongNameAttribute);
      if (pos >= length) return false;  // the short entry is in the next cluster
      continue;                          // the short entry is checked like any other entry
    }

    pos += kEntrySize;
    LongName ln = longName_;
    resetLongName();
    std::uint32_t cluster = entryCluster(e);
    if (attribute > 0x38 || attribute == 0x18 || attribute == 0 || !validFlags(e[12])) continue;
    const bool label = (attribute & kLabelAttribute) != 0 && (attribute & kEntryFolder) == 0;
    // An empty file has no cluster (first cluster 0, size 0); a folder always has one, and a
    // volume label is a file only when it holds data.
    const bool emptyFile = !label && (attribute & kEntryFolder) == 0 && cluster == 0 && le32(e, 28) == 0;
    if (label && !labelHoldsData(e)) continue;
    if (!emptyFile && (cluster <= rootKey || cluster == folder.firstCluster)) continue;
    const bool deleted = e[0] == kDeletedMark;

    // Trailing blanks and padding are dropped from the whole name, never from inside it.
    std::u16string longName = ln.units;
    while (!longName.empty() && (longName.back() == 0x0020 || longName.back() == 0x00FF || longName.back() == 0xFFFF))
      longName.pop_back();
    // A deleted short entry has lost the first byte its checksum covered: only the pieces'
    // agreement can be checked.
    bool longNameFits = ln.active && !ln.overflow && !ln.mixed && !longName.empty() &&
                        (deleted || ln.checksum == shortNameChecksum(e.first(11)));

    FileEntry entry;
    entry.name = longNameFits ? longName : label ? labelName(e) : shortName(e);
    entry.dataSize = le32(e, 28);
    entry.firstCluster = cluster;
    entry.parentCluster = folder.firstCluster;
    entry.createdDate = le16(e, 16);
    entry.accessedDate = le16(e, 18);
    entry.createdTenMs = le8(e, 13);
    entry.createdTime = le16(e, 14);
    entry.modifiedTime = le16(e, 22);
    entry.modifiedDate = le16(e, 24);
    entry.timesKnown = true;
    entry.attributes = deleted ? static_cast<std::uint8_t>(attribute & ~kEntryLive)
                               : static_cast<std::uint8_t>(attribute | kEntryLive);
    if (entry.isFolder()) entry.dataSize = 0;
    if (cutToVolume(entry, reader_.volume()))
      cuts_->note(utf16ToUtf8(entry.name) + " (cluster " + std::to_string(cluster) + ")", entry.claimedSize,
                  entry.dataSize);
    if (!folder.isLive()) entry.attributes = static_cast<std::uint8_t>(entry.attributes & ~kEntryLive);
    place(folder, entry, mode);
  }
  return false;
}

void FatTreeBuilder::attachToParent(FileEntry& folder) {
  if (FileEntry* parent = index_.find(folder.parentCluster)) {
    FatTree::prepend(*parent, folder);
    return;
  }
  FileEntry placeholder;
  placeholder.name = placeholderName(folder.parentCluster);
  placeholder.attributes = kEntryFolder;
  placeholder.firstCluster = folder.parentCluster;
  placeholder.parentCluster = kUnknownCluster;
  FileEntry& q = tree_.add(placeholder);
  FatTree::prepend(q, folder);
  index_.insert(q);
}

void FatTreeBuilder::adoptOrphans() {
  FileEntry* lost = tree_.lost();
  if (!lost) return;
  for (FileEntry* f : index_.preorder()) {
    if (f->parentCluster != kUnknownCluster || f == lost || f == tree_.root()) continue;
    FatTree::detach(*f);
    FatTree::prepend(*lost, *f);
    f->parentCluster = lost->firstCluster;
  }
}

void FatTreeBuilder::rescueLoops() {
  FileEntry* root = tree_.root();
  FileEntry* lost = tree_.lost();
  if (!root || !lost) return;
  std::unordered_set<const FileEntry*> reached;
  auto reach = [&](FileEntry& from) {
    std::vector<FileEntry*> pending{&from};
    while (!pending.empty()) {
      FileEntry* f = pending.back();
      pending.pop_back();
      if (!reached.insert(f).second) continue;
      for (FileEntry* c = f->firstChild; c; c = c->nextSibling)
        if (c->isFolder()) pending.push_back(c);
    }
  };
  reach(*root);
  for (FileEntry* f : index_.preorder()) {
    if (reached.count(f) != 0) continue;
    // Climb until the climb meets "#"'s tree, runs out of parents or comes round again.
    std::unordered_set<const FileEntry*> climbed;
    FileEntry* x = f;
    FileEntry* last = f;
    while (x && reached.count(x) == 0 && climbed.insert(x).second) {
      last = x;
      x = x->parent;
    }
    // A member of the loop, or the top of a branch that hangs nowhere.
    FileEntry& cut = x && reached.count(x) == 0 ? *x : *last;
    FatTree::detach(cut);
    FatTree::prepend(*lost, cut);
    cut.parentCluster = lost->firstCluster;
    reach(cut);
  }
}

void FatTreeBuilder::finish() {
  adoptOrphans();
  rescueLoops();
  index_.clear();
}

}  // namespace ov::fat
