// The recovered folder tree of an NTFS volume, kept in three working files.
//
// Entries file: one 44-byte record per file or folder found, entry n at n × 44.
// Names file:   the names as UTF-16LE units, in entry order, without terminators.
// Tree file:    128-byte blocks; a block lists up to 30 children (entry indexes) of one folder
//               and links to the next block of the same folder.
// Entry 0 is the top folder "#", entry 1 the volume's root " Root"; their blocks sit at 0 and 128.
//
// The files are written once, by the tree builders, and then read back folder by folder. They
// may come from a saved scan, so every read is checked against the sizes of the files.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "disk/byte_io.h"
#include "disk/host.h"
#include "ntfs/folder_index.h"

namespace ov {
class SectorSource;
}

namespace ov::ntfs {

inline constexpr std::size_t kEntryBytes = 44;
inline constexpr std::size_t kTreeBlockBytes = 128;
inline constexpr std::size_t kTreeSlots = 30;
inline constexpr std::uint16_t kEntryFolder = 0x10;
inline constexpr std::uint16_t kEntryLive = 0x08;
// The record claimed a size larger than its data can hold; dataSize is what it can hold.
inline constexpr std::uint16_t kEntrySizeCut = 0x8000;
inline constexpr std::uint32_t kTopFolderKey = 0;   // "#": holds the root and the orphans
inline constexpr std::uint32_t kRootFolderKey = 5;  // the volume's root folder record

// A file entry whose childrenBlock holds this mark is a named data stream of the file listed
// beside it: its name is "<file>:<stream>", the low bits of childrenBlock give the length of
// "<file>" in UTF-16 units, and recordSector is the file's record. (The field is 0 for every
// other file, so the entry layout and older scan files are unchanged.)
inline constexpr std::uint32_t kStreamMark = 0x80000000u;

struct FileEntry {
  std::uint64_t dataSize = 0;
  std::uint64_t recordSector = 0;
  std::uint32_t entryIndex = 0;
  std::uint32_t recordNumber = 0;
  std::uint32_t parentRecord = 0;
  std::uint32_t childrenBlock = 0;
  std::uint32_t nameOffset = 0;  // in bytes, into the names file
  std::u16string name;
  std::uint16_t attributes = 0;
  std::uint16_t createdDate = 0;
  std::uint16_t accessedDate = 0;

  bool isFolder() const { return (attributes & kEntryFolder) != 0; }
  bool isLive() const { return (attributes & kEntryLive) != 0; }
  // A named data stream (see kStreamMark); its stream name, empty for everything else.
  bool isStream() const {
    return !isFolder() && (childrenBlock & kStreamMark) != 0 && (childrenBlock & ~kStreamMark) < name.size();
  }
  std::u16string streamName() const {
    return isStream() ? name.substr((childrenBlock & ~kStreamMark) + 1) : std::u16string();
  }
  bool sizeCut() const { return (attributes & kEntrySizeCut) != 0; }
  bool operator==(const FileEntry&) const = default;
};

// The stored record; the name length comes from name.size(), which must fit in 16 bits.
std::array<std::uint8_t, kEntryBytes> encodeEntry(const FileEntry& e);
// Leaves `name` empty and hands back its stored length in UTF-16 units; missing bytes read as 0.
FileEntry decodeEntry(Bytes stored, std::uint16_t& nameLength);

struct TreeBlock {
  std::uint32_t key = 0;   // record number of the folder whose children are listed
  std::uint32_t next = 0;  // byte offset of the folder's next block, 0 = last
  std::array<std::uint32_t, kTreeSlots> slots{};  // entry indexes, 0 = free

  bool operator==(const TreeBlock&) const = default;
};

std::array<std::uint8_t, kTreeBlockBytes> encodeTreeBlock(const TreeBlock& b);
// Missing bytes read as 0.
TreeBlock decodeTreeBlock(Bytes stored);

class WorkingFiles {
 public:
  struct Paths {
    std::filesystem::path entries, names, tree;
  };

  explicit WorkingFiles(EngineHost& host);
  ~WorkingFiles();
  WorkingFiles(const WorkingFiles&) = delete;
  WorkingFiles& operator=(const WorkingFiles&) = delete;

  // Starts empty files holding only "#" and " Root"; false when a file cannot be created.
  bool create();

  // Writing, between create() and finishWriting().
  std::uint32_t nextEntryIndex() const { return entryCount_; }
  // Appends the entry and its name; sets e.nameOffset. e.entryIndex must be nextEntryIndex().
  void writeEntry(FileEntry& e);
  // The node of the folder with this record number; a new node gets its own (empty) block chain
  // and asPlaceholder as its flag, its entryIndex is left to the caller. An existing node is
  // returned unchanged.
  std::uint32_t findOrInsertFolder(std::uint32_t key, bool asPlaceholder, bool& inserted);
  FolderNode& folder(std::uint32_t nodeIndex) { return index_.node(nodeIndex); }
  const FolderIndex& folders() const { return index_; }
  void appendChild(std::uint32_t nodeIndex, std::uint32_t entryIndex);
  // Takes an entry out of the children of a folder node; false when it is not listed there.
  bool removeChild(std::uint32_t nodeIndex, std::uint32_t entryIndex);
  // Writes a folder "#<key>" under "#" that holds only the entry `childEntryIndex`, for a folder
  // whose parents lead round in a loop and never reach the root. Not indexed.
  void addRescueFolder(std::uint32_t key, std::uint32_t childEntryIndex);
  // The top folder's node.
  std::uint32_t topNode() const { return topNode_; }
  // Gives every placeholder folder an entry "#<record>" under "#" (in preorder of the index).
  void addMissingParentFolders();
  // Puts everything on disk and closes the files.
  void finishWriting();

  // Reading: opens the three existing files read-only.
  bool open();
  void close();
  bool isOpen() const { return readable_; }
  // Entries in the entries file while it is open for reading.
  std::uint64_t storedEntryCount() const { return readable_ ? entriesSize_ / kEntryBytes : 0; }

  // Why writing the working files failed (the folder, the error); empty while nothing failed.
  // Cleared by create().
  const std::string& writeFailure() const { return writeFailure_; }
  // Closes the files and removes them with the private folder (a failed or abandoned tree).
  void discard();
  // Removes the files and the folder without touching the open handles: for a program that is
  // being ended by a signal on another thread.
  void removeFilesNow() const;
  // The source whose disk the private folder must not lie on; checked when the folder is made.
  void guardAgainst(const SectorSource* source) { source_ = source; }

  // nullopt for an index past the end or a name outside the names file.
  std::optional<FileEntry> readEntry(std::uint32_t index);
  // The children listed by the chain from childrenBlock: files, then folders, each group in the
  // reverse order of the slots. Adds every child's dataSize to totalSize and counts files and
  // folders (the counters are added to, not reset). keepFiles false leaves the files out of the
  // result but still counts them.
  std::vector<FileEntry> readFolder(std::uint32_t childrenBlock, std::uint64_t& totalSize,
                                    std::uint32_t& fileCount, std::uint32_t& folderCount,
                                    bool keepFiles);

  // The private folder (created on first use) and the files in it.
  Paths paths();
  std::filesystem::path folderPath();

 private:
  bool ensureFolder();
  void requireFolder();
  [[noreturn]] void failWrite(int error);
  [[noreturn]] void failTooLarge();
  void closeFds();
  void resetWriter();
  void writeAll(int fd, const std::uint8_t* data, std::size_t size);
  void pwriteAll(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t offset);
  void flushPending(int fd, std::vector<std::uint8_t>& pending);
  void writeTreeToDisk(std::size_t byteCount);
  std::uint32_t allocateBlock(std::uint32_t key);
  void newChildrenChain(std::uint32_t nodeIndex);
  bool preadExact(int fd, std::uint8_t* data, std::size_t size, std::uint64_t offset);
  bool readRecord(std::uint32_t index, FileEntry& e, std::uint16_t& nameLength);
  bool readName(FileEntry& e, std::uint16_t nameLength);

  EngineHost& host_;
  const SectorSource* source_ = nullptr;
  std::string writeFailure_;
  std::filesystem::path folder_;
  // Guards folder_ against removeFilesNow() on a signal thread.
  mutable std::mutex folderMutex_;
  int entriesFd_ = -1;
  int namesFd_ = -1;
  int treeFd_ = -1;
  bool writing_ = false;
  bool readable_ = false;

  // Writer state. The whole tree file is kept in memory as words until finishWriting(); each
  // chain's last block is remembered so that an append never walks the chain.
  std::vector<std::uint8_t> entriesPending_;
  std::vector<std::uint8_t> namesPending_;
  std::uint32_t entryCount_ = 0;
  std::uint64_t namesEnd_ = 0;
  std::vector<std::uint32_t> tree_;
  std::uint32_t lastBlock_ = 0;
  std::vector<std::uint32_t> chainTail_;
  FolderIndex index_;
  std::uint32_t topNode_ = kNoNode;

  // Reader state: the sizes of the opened files bound every read.
  std::uint64_t entriesSize_ = 0;
  std::uint64_t namesSize_ = 0;
  std::uint64_t treeSize_ = 0;
};

}  // namespace ov::ntfs
