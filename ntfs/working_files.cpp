#include "ntfs/working_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <stdexcept>

#include "disk/destination_guard.h"
#include "disk/sector_source.h"

namespace ov::ntfs {

namespace {

constexpr const char* kEntriesName = "NSE.OVT";
constexpr const char* kNamesName = "NSN.OVT";
constexpr const char* kTreeName = "NST.OVT";
// Pending entries and names go out in pieces of about this size.
constexpr std::size_t kFlushBytes = std::size_t{1} << 20;
constexpr std::uint32_t kBlockWords = static_cast<std::uint32_t>(kTreeBlockBytes / 4);
constexpr std::uint32_t kBlockBytes32 = static_cast<std::uint32_t>(kTreeBlockBytes);

void appendName(std::vector<std::uint8_t>& out, const std::u16string& name) {
  for (char16_t unit : name) {
    out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    out.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
}

std::u16string placeholderName(std::uint32_t key) {
  std::u16string name = u"#";
  for (char c : std::to_string(key)) name.push_back(static_cast<char16_t>(c));
  return name;
}

}  // namespace

std::array<std::uint8_t, kEntryBytes> encodeEntry(const FileEntry& e) {
  ByteWriter w;
  w.u64(e.dataSize);
  w.u64(e.recordSector);
  w.u32(e.entryIndex);
  w.u32(e.recordNumber);
  w.u32(e.parentRecord);
  w.u32(e.childrenBlock);
  w.u32(e.nameOffset);
  w.u16(static_cast<std::uint16_t>(e.name.size()));
  w.u16(e.attributes);
  w.u16(e.createdDate);
  w.u16(e.accessedDate);
  std::array<std::uint8_t, kEntryBytes> out{};
  std::copy(w.bytes().begin(), w.bytes().end(), out.begin());
  return out;
}

FileEntry decodeEntry(Bytes stored, std::uint16_t& nameLength) {
  ByteReader r(stored);
  FileEntry e;
  e.dataSize = r.u64();
  e.recordSector = r.u64();
  e.entryIndex = r.u32();
  e.recordNumber = r.u32();
  e.parentRecord = r.u32();
  e.childrenBlock = r.u32();
  e.nameOffset = r.u32();
  nameLength = r.u16();
  e.attributes = r.u16();
  e.createdDate = r.u16();
  e.accessedDate = r.u16();
  return e;
}

std::array<std::uint8_t, kTreeBlockBytes> encodeTreeBlock(const TreeBlock& b) {
  ByteWriter w;
  w.u32(b.key);
  w.u32(b.next);
  for (std::uint32_t slot : b.slots) w.u32(slot);
  std::array<std::uint8_t, kTreeBlockBytes> out{};
  std::copy(w.bytes().begin(), w.bytes().end(), out.begin());
  return out;
}

TreeBlock decodeTreeBlock(Bytes stored) {
  ByteReader r(stored);
  TreeBlock b;
  b.key = r.u32();
  b.next = r.u32();
  for (std::uint32_t& slot : b.slots) slot = r.u32();
  return b;
}

WorkingFiles::WorkingFiles(EngineHost& host) : host_(host) {}

WorkingFiles::~WorkingFiles() {
  closeFds();
  removeFilesNow();
}

void WorkingFiles::removeFilesNow() const {
  std::lock_guard lock(folderMutex_);
  if (folder_.empty()) return;
  // Only our own files are removed; anything else keeps the folder (and rmdir fails quietly).
  for (const char* name : {kEntriesName, kNamesName, kTreeName}) ::unlink((folder_ / name).c_str());
  ::rmdir(folder_.c_str());
}

void WorkingFiles::discard() {
  closeFds();
  removeFilesNow();
  std::lock_guard lock(folderMutex_);
  folder_.clear();
}

bool WorkingFiles::ensureFolder() {
  if (!folder_.empty()) return true;
  const char* base = std::getenv("TMPDIR");
  const std::filesystem::path where = base && *base ? base : "/tmp";
  // The working files are written while the source is read: never onto the source's disk.
  if (source_ && source_->isOpen()) {
    if (auto identity = identifySource(*source_)) {
      std::string why = destinationConflict(*identity, where.string());
      if (!why.empty()) {
        writeFailure_ = "The working files cannot go into the temporary folder: " + why +
                        " Set TMPDIR to a folder on another disk.";
        errno = EXDEV;
        return false;
      }
    }
  }
  std::string pattern = (where / "ov-work-XXXXXX").string();
  // mkdtemp makes a fresh folder with mode 0700, so nobody else can place files in our way.
  if (!::mkdtemp(pattern.data())) {
    int error = errno;
    writeFailure_ = "Cannot make the working folder in " + where.string() + ": " + systemErrorText(error);
    errno = error;
    return false;
  }
  std::lock_guard lock(folderMutex_);
  folder_ = pattern;
  return true;
}

void WorkingFiles::requireFolder() {
  if (!ensureFolder()) host_.fail(writeFailure_.empty() ? systemErrorText(errno) : writeFailure_);
}

void WorkingFiles::failTooLarge() {
  writeFailure_ = "The recovered folder tree is too large for its working files.";
  host_.fail(writeFailure_);
}

void WorkingFiles::failWrite(int error) {
  writeFailure_ = "Cannot write the working files in " + folder_.string() + ": " + systemErrorText(error);
  host_.fail(writeFailure_);
}

WorkingFiles::Paths WorkingFiles::paths() {
  requireFolder();
  return {folder_ / kEntriesName, folder_ / kNamesName, folder_ / kTreeName};
}

std::filesystem::path WorkingFiles::folderPath() {
  requireFolder();
  return folder_;
}

void WorkingFiles::closeFds() {
  for (int* fd : {&entriesFd_, &namesFd_, &treeFd_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  writing_ = false;
  readable_ = false;
}

void WorkingFiles::close() { closeFds(); }

void WorkingFiles::resetWriter() {
  entriesPending_.clear();
  namesPending_.clear();
  entryCount_ = 0;
  namesEnd_ = 0;
  tree_.clear();
  lastBlock_ = 0;
  chainTail_.clear();
  index_.clear();
  topNode_ = kNoNode;
  entriesSize_ = namesSize_ = treeSize_ = 0;
}

bool WorkingFiles::create() {
  closeFds();
  resetWriter();
  writeFailure_.clear();
  if (!ensureFolder()) return false;
  Paths p = paths();
  const int flags = O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW;
  entriesFd_ = ::open(p.entries.c_str(), flags, 0600);
  if (entriesFd_ >= 0) namesFd_ = ::open(p.names.c_str(), flags, 0600);
  if (namesFd_ >= 0) treeFd_ = ::open(p.tree.c_str(), flags, 0600);
  if (treeFd_ < 0) {
    int error = errno;
    closeFds();
    writeFailure_ = "Cannot create the working files in " + folder_.string() + ": " + systemErrorText(error);
    errno = error;
    return false;
  }
  writing_ = true;

  topNode_ = index_.insert(kTopFolderKey);
  std::uint32_t rootNode = index_.insert(kRootFolderKey);
  index_.node(rootNode).entryIndex = 1;
  index_.node(rootNode).childrenBlock = kBlockBytes32;

  // Block 0 lists " Root" as the first child of "#"; block 128 is the root's, still empty.
  tree_.assign(2 * kBlockWords, 0);
  tree_[0] = kTopFolderKey;
  tree_[2] = 1;
  tree_[kBlockWords] = kRootFolderKey;
  lastBlock_ = kBlockBytes32;
  chainTail_ = {0, kBlockBytes32};

  FileEntry top;
  top.attributes = kEntryFolder | kEntryLive;
  top.name = u"#";
  writeEntry(top);
  FileEntry root;
  root.entryIndex = 1;
  root.recordNumber = kRootFolderKey;
  root.childrenBlock = kBlockBytes32;
  root.attributes = kEntryFolder | kEntryLive;
  root.name = u" Root";
  writeEntry(root);

  // The fixed part is on disk at once, so a fresh set of files is complete even before any scan.
  flushPending(entriesFd_, entriesPending_);
  flushPending(namesFd_, namesPending_);
  writeTreeToDisk(2 * kTreeBlockBytes);
  return true;
}

void WorkingFiles::writeAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failWrite(errno);
    if (n == 0) failWrite(ENOSPC);
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

void WorkingFiles::pwriteAll(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failWrite(errno);
    if (n == 0) failWrite(ENOSPC);
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
}

void WorkingFiles::flushPending(int fd, std::vector<std::uint8_t>& pending) {
  writeAll(fd, pending.data(), pending.size());
  pending.clear();
}

void WorkingFiles::writeTreeToDisk(std::size_t byteCount) {
  std::vector<std::uint8_t> chunk;
  chunk.reserve(kFlushBytes);
  std::size_t words = byteCount / 4;
  std::uint64_t offset = 0;
  for (std::size_t i = 0; i < words; ++i) {
    std::uint32_t v = tree_[i];
    for (int b = 0; b < 4; ++b) chunk.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
    if (chunk.size() >= kFlushBytes || i + 1 == words) {
      pwriteAll(treeFd_, chunk.data(), chunk.size(), offset);
      offset += chunk.size();
      chunk.clear();
    }
  }
}

void WorkingFiles::writeEntry(FileEntry& e) {
  if (!writing_) throw std::logic_error("writeEntry outside writing");
  if (e.entryIndex != entryCount_) throw std::logic_error("entry written out of order");
  if (e.name.size() > 0xFFFF) throw std::length_error("entry name too long");
  if (entryCount_ == 0xFFFFFFFFu || namesEnd_ > 0xFFFFFFFFu)
    failTooLarge();
  e.nameOffset = static_cast<std::uint32_t>(namesEnd_);
  auto record = encodeEntry(e);
  entriesPending_.insert(entriesPending_.end(), record.begin(), record.end());
  appendName(namesPending_, e.name);
  namesEnd_ += 2 * e.name.size();
  ++entryCount_;
  if (entriesPending_.size() >= kFlushBytes) flushPending(entriesFd_, entriesPending_);
  if (namesPending_.size() >= kFlushBytes) flushPending(namesFd_, namesPending_);
}

std::uint32_t WorkingFiles::allocateBlock(std::uint32_t key) {
  if (lastBlock_ > 0xFFFFFFFFu - 2 * kBlockBytes32)
    failTooLarge();
  lastBlock_ += kBlockBytes32;
  tree_.resize(tree_.size() + kBlockWords, 0);
  tree_[lastBlock_ / 4] = key;
  return lastBlock_;
}

void WorkingFiles::newChildrenChain(std::uint32_t nodeIndex) {
  std::uint32_t block = allocateBlock(index_.node(nodeIndex).key);
  index_.node(nodeIndex).childrenBlock = block;
  if (chainTail_.size() <= nodeIndex) chainTail_.resize(std::size_t{nodeIndex} + 1, 0);
  chainTail_[nodeIndex] = block;
}

std::uint32_t WorkingFiles::findOrInsertFolder(std::uint32_t key, bool asPlaceholder, bool& inserted) {
  if (!writing_) throw std::logic_error("findOrInsertFolder outside writing");
  if (auto found = index_.find(key)) {
    inserted = false;
    return *found;
  }
  std::uint32_t n = index_.insert(key);
  index_.node(n).placeholder = asPlaceholder ? 1 : 0;
  newChildrenChain(n);
  inserted = true;
  return n;
}

void WorkingFiles::appendChild(std::uint32_t nodeIndex, std::uint32_t entryIndex) {
  if (!writing_) throw std::logic_error("appendChild outside writing");
  std::uint32_t tail = chainTail_.at(nodeIndex);
  std::size_t base = tail / 4;
  for (std::size_t slot = 2; slot < kBlockWords; ++slot) {
    if (tree_[base + slot] == 0) {
      tree_[base + slot] = entryIndex;
      return;
    }
  }
  std::uint32_t block = allocateBlock(index_.node(nodeIndex).key);
  tree_[base + 1] = block;  // allocateBlock may have moved tree_, so index afresh
  tree_[block / 4 + 2] = entryIndex;
  chainTail_[nodeIndex] = block;
}

bool WorkingFiles::removeChild(std::uint32_t nodeIndex, std::uint32_t entryIndex) {
  if (!writing_) throw std::logic_error("removeChild outside writing");
  std::uint32_t block = index_.node(nodeIndex).childrenBlock;
  // Chains only ever lead forward in the file (see readFolder).
  for (std::size_t guard = 0; guard < tree_.size(); ++guard) {
    std::size_t base = block / 4;
    if (base + kBlockWords > tree_.size()) return false;
    for (std::size_t slot = 2; slot < kBlockWords; ++slot) {
      if (tree_[base + slot] == entryIndex) {
        tree_[base + slot] = 0;
        return true;
      }
    }
    std::uint32_t next = tree_[base + 1];
    if (next <= block) return false;
    block = next;
  }
  return false;
}

void WorkingFiles::addRescueFolder(std::uint32_t key, std::uint32_t childEntryIndex) {
  if (!writing_) throw std::logic_error("addRescueFolder outside writing");
  std::uint32_t block = allocateBlock(key);
  tree_[block / 4 + 2] = childEntryIndex;
  FileEntry e;
  e.entryIndex = entryCount_;
  e.recordNumber = key;
  e.childrenBlock = block;
  e.attributes = kEntryFolder;
  e.name = placeholderName(key);
  writeEntry(e);
  appendChild(topNode_, e.entryIndex);
}

void WorkingFiles::addMissingParentFolders() {
  if (!writing_) throw std::logic_error("addMissingParentFolders outside writing");
  index_.preorder([this](std::uint32_t i) {
    FolderNode& node = index_.node(i);
    if (!node.placeholder) return;
    FileEntry e;
    e.entryIndex = entryCount_;
    e.recordNumber = node.key;
    e.childrenBlock = node.childrenBlock;
    e.attributes = kEntryFolder;
    e.name = placeholderName(node.key);
    writeEntry(e);
    node.entryIndex = e.entryIndex;
    node.placeholder = 0;
    appendChild(topNode_, e.entryIndex);
  });
}

void WorkingFiles::finishWriting() {
  if (!writing_) throw std::logic_error("finishWriting outside writing");
  flushPending(entriesFd_, entriesPending_);
  flushPending(namesFd_, namesPending_);
  writeTreeToDisk(tree_.size() * 4);
  closeFds();
  // The index stays for the callers; the tree image and chain ends are of no use any more.
  std::vector<std::uint32_t>().swap(tree_);
  std::vector<std::uint32_t>().swap(chainTail_);
  std::vector<std::uint8_t>().swap(entriesPending_);
  std::vector<std::uint8_t>().swap(namesPending_);
}

bool WorkingFiles::open() {
  closeFds();
  Paths p = paths();
  const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW;
  entriesFd_ = ::open(p.entries.c_str(), flags);
  if (entriesFd_ >= 0) namesFd_ = ::open(p.names.c_str(), flags);
  if (namesFd_ >= 0) treeFd_ = ::open(p.tree.c_str(), flags);
  if (treeFd_ < 0) {
    int error = errno;
    closeFds();
    errno = error;
    return false;
  }
  std::uint64_t* sizes[] = {&entriesSize_, &namesSize_, &treeSize_};
  int fds[] = {entriesFd_, namesFd_, treeFd_};
  for (int i = 0; i < 3; ++i) {
    struct stat st {};
    if (::fstat(fds[i], &st) != 0 || !S_ISREG(st.st_mode)) {
      int error = errno;
      closeFds();
      errno = error;
      return false;
    }
    *sizes[i] = static_cast<std::uint64_t>(st.st_size);
  }
  readable_ = true;
  return true;
}

bool WorkingFiles::preadExact(int fd, std::uint8_t* data, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    ssize_t n = ::pread(fd, data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) host_.fail(systemErrorText(errno));
    if (n == 0) return false;  // the file shrank since it was opened
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool WorkingFiles::readRecord(std::uint32_t index, FileEntry& e, std::uint16_t& nameLength) {
  std::uint64_t at = std::uint64_t{index} * kEntryBytes;
  if (at + kEntryBytes > entriesSize_) return false;
  std::array<std::uint8_t, kEntryBytes> raw{};
  if (!preadExact(entriesFd_, raw.data(), raw.size(), at)) return false;
  e = decodeEntry(raw, nameLength);
  return std::uint64_t{e.nameOffset} + 2u * std::uint64_t{nameLength} <= namesSize_;
}

bool WorkingFiles::readName(FileEntry& e, std::uint16_t nameLength) {
  std::vector<std::uint8_t> raw(2 * std::size_t{nameLength});
  if (!preadExact(namesFd_, raw.data(), raw.size(), e.nameOffset)) return false;
  e.name = readUtf16(raw, 0, nameLength);
  return true;
}

std::optional<FileEntry> WorkingFiles::readEntry(std::uint32_t index) {
  if (!readable_) return std::nullopt;
  FileEntry e;
  std::uint16_t nameLength = 0;
  if (!readRecord(index, e, nameLength) || !readName(e, nameLength)) return std::nullopt;
  return e;
}

std::vector<FileEntry> WorkingFiles::readFolder(std::uint32_t childrenBlock, std::uint64_t& totalSize,
                                                std::uint32_t& fileCount, std::uint32_t& folderCount,
                                                bool keepFiles) {
  std::vector<FileEntry> files, folders;
  if (!readable_) return {};
  std::uint64_t block = childrenBlock;
  std::array<std::uint8_t, kTreeBlockBytes> raw{};
  for (;;) {
    if (block % kTreeBlockBytes != 0 || block + kTreeBlockBytes > treeSize_) break;
    if (!preadExact(treeFd_, raw.data(), raw.size(), block)) break;
    TreeBlock b = decodeTreeBlock(raw);
    for (std::uint32_t slot : b.slots) {
      if (slot == 0) continue;
      FileEntry e;
      std::uint16_t nameLength = 0;
      if (!readRecord(slot, e, nameLength)) continue;
      bool keep = keepFiles || e.isFolder();
      if (keep && !readName(e, nameLength)) continue;
      totalSize += e.dataSize;
      if (e.isFolder()) {
        ++folderCount;
        folders.push_back(std::move(e));
      } else {
        ++fileCount;
        if (keep) files.push_back(std::move(e));
      }
    }
    // The writer only ever links to a block it allocated later, further on in the file; a link
    // that does not lead forward is damage, and refusing it also ends any loop.
    if (b.next <= block) break;
    block = b.next;
  }
  std::vector<FileEntry> result;
  result.reserve(files.size() + folders.size());
  std::move(files.rbegin(), files.rend(), std::back_inserter(result));
  std::move(folders.rbegin(), folders.rend(), std::back_inserter(result));
  return result;
}

}  // namespace ov::ntfs
