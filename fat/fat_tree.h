// The FAT engine's recovered directory tree, kept in memory: the entries under the top folder
// "#" (the volume's root directory) with its folder "Lost", the index of folders by first
// cluster, and the directory walk that fills the tree from the current volume.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "disk/byte_io.h"
#include "disk/host.h"
#include "fat/fat_volume.h"
#include "scans/process_log.h"

namespace ov::fat {

inline constexpr std::uint8_t kEntryFolder = 0x10;
inline constexpr std::uint8_t kEntryLive = 0x08;
inline constexpr std::uint32_t kUnknownCluster = 0xFFFFFFFF;  // parent never seen
inline constexpr std::size_t kMaxLongNameUnits = 255;

// exFAT facts of an entry (FileEntry::exFlags).
inline constexpr std::uint8_t kExNoFatChain = 0x01;      // its clusters follow each other
inline constexpr std::uint8_t kExChainGuessed = 0x02;    // deleted with a FAT chain, which is gone
inline constexpr std::uint8_t kExInUseElsewhere = 0x04;  // deleted; some of its clusters are in use now
inline constexpr std::uint8_t kExBadChecksum = 0x08;     // its entry set fails its checksum
// Why the data saved for an entry may not be the file's own (empty when nothing says so).
std::string damageNote(std::uint8_t exFlags);

// One file or folder of the tree. Links are non-owning: FatTree owns every entry.
struct FileEntry {
  std::uint64_t dataSize = 0;  // 0 for folders; never more than the volume's clusters hold
  // The size the entry claims when that is more than the volume's clusters can hold (dataSize
  // was cut to what they hold); else 0.
  std::uint64_t claimedSize = 0;
  FileEntry* nextSibling = nullptr;
  FileEntry* firstChild = nullptr;  // files and folders mixed, newest first
  FileEntry* parent = nullptr;
  std::uint32_t firstCluster = 0;   // the folder key of the index; shown as the file's ID
  std::uint32_t parentCluster = 0;  // kUnknownCluster when the parent was never seen
  std::u16string name;              // at most 255 units
  std::uint16_t createdDate = 0;    // DOS dates: day bits 0-4, month 5-8, years since 1980 9-15
  std::uint16_t accessedDate = 0;
  // The rest of the entry's times, in memory only (scan information keeps the two dates): DOS
  // times (2-second steps), the created and modified hundredths in 10 ms units (0-199), the
  // accessed time (exFAT only).
  std::uint16_t createdTime = 0;
  std::uint16_t modifiedDate = 0;
  std::uint16_t modifiedTime = 0;
  std::uint16_t accessedTime = 0;
  std::uint8_t createdTenMs = 0;
  std::uint8_t modifiedTenMs = 0;
  bool timesKnown = false;  // read from the directory entry (a tree from scan information has the dates only)
  std::uint8_t attributes = 0;      // the FAT attribute byte; 0x08 = live, 0x10 = folder
  // exFAT only: the valid data length (bytes past it read as zeros; for a folder, the length of
  // its directory data) and the kEx* flags.
  std::uint64_t validSize = 0;
  std::uint8_t exFlags = 0;

  bool isFolder() const { return (attributes & kEntryFolder) != 0; }
  bool isLive() const { return (attributes & kEntryLive) != 0; }
  std::uint8_t nameLength() const { return static_cast<std::uint8_t>(name.size()); }
};

// "#%u" as UTF-16.
std::u16string placeholderName(std::uint32_t cluster);

// The bytes the data area of the volume holds (every cluster); 0 when the volume does not say.
std::uint64_t dataAreaBytes(const FatVolume& v);
// Cuts an entry's size to what the volume's clusters can hold, keeping the claim; true when cut.
bool cutToVolume(FileEntry& entry, const FatVolume& v);

// The entries of one tree. Entries live until clear() or the tree's end; their addresses never
// change, so the links between them stay valid. Nothing here recurses, so any depth is safe.
class FatTree {
 public:
  FatTree() = default;
  FatTree(const FatTree&) = delete;
  FatTree& operator=(const FatTree&) = delete;

  // Starts a new tree holding only "#" (keyed by rootKey) and its folder "Lost".
  void reset(std::uint32_t rootKey);
  // Starts a new tree holding only `top`, without "Lost": a saved tree is read in below it.
  FileEntry& resetRoot(const FileEntry& top);
  // Names the folder that orphans go into (the "Lost" of a reopened tree).
  void setLost(FileEntry* folder) { lost_ = folder; }
  void clear();
  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }

  FileEntry* root() { return root_; }
  const FileEntry* root() const { return root_; }
  FileEntry* lost() { return lost_; }
  const FileEntry* lost() const { return lost_; }

  // A new unlinked entry, owned by the tree.
  FileEntry& add(const FileEntry& e);
  // Puts `child` in front of the folder's children.
  static void prepend(FileEntry& folder, FileEntry& child);
  // Takes `child` out of its parent's child list (no-op without a parent).
  static void detach(FileEntry& child);

  // A folder's children in list order (the reverse of the order of discovery).
  static std::vector<const FileEntry*> children(const FileEntry& folder);
  // Files first, then folders, each group in list order: the order of a file listing.
  static std::vector<const FileEntry*> listing(const FileEntry& folder);

 private:
  std::deque<FileEntry> entries_;
  FileEntry* root_ = nullptr;
  FileEntry* lost_ = nullptr;
};

// Folders by first cluster: a height-balanced search tree. A key is held once; the first folder
// inserted under it keeps it.
class ClusterIndex {
 public:
  FileEntry* find(std::uint32_t cluster) const;
  // The folder already held under folder.firstCluster, or `folder` after inserting it.
  FileEntry* insert(FileEntry& folder);
  void clear();
  std::size_t size() const { return nodes_.size(); }
  // Folders in pre-order of the search tree (node, smaller keys, larger keys).
  std::vector<FileEntry*> preorder() const;

 private:
  struct Node {
    FileEntry* folder;
    std::int32_t left = -1, right = -1;
    std::int32_t height = 1;
  };
  std::int32_t insertAt(std::int32_t node, FileEntry& folder, FileEntry*& result);
  std::int32_t rotateLeft(std::int32_t n);
  std::int32_t rotateRight(std::int32_t n);
  std::int32_t rebalance(std::int32_t n);
  std::int32_t height(std::int32_t n) const { return n < 0 ? 0 : nodes_[static_cast<std::size_t>(n)].height; }
  void update(std::int32_t n);
  Node& at(std::int32_t n) { return nodes_[static_cast<std::size_t>(n)]; }

  std::vector<Node> nodes_;
  std::int32_t top_ = -1;
};

// Mode 2 is the processing run down from the root, mode 0 the Turbo Scan's naming pass.
enum class WalkMode : std::uint8_t { Naming = 0, Processing = 2 };

// Builds a tree from the volume that `reader` reads. One builder serves one run.
class FatTreeBuilder {
 public:
  FatTreeBuilder(FatReader& reader, FatTree& tree, EngineHost& host, RunControl& run)
      : reader_(reader), tree_(tree), host_(host), run_(run), cuts_(std::make_unique<SizeCutLog>(host)) {}

  // Replaces the tree with "#" and "Lost" and indexes both.
  void start();
  // The whole processing run: start, the walk from the root, adopting orphans. False when
  // aborted (also when an already-reported read failure ended it: the tree is still usable).
  bool processFileSystem();
  // Reads and parses the folder, then visits its children depth first. False when aborted.
  bool walkFolder(FileEntry& folder, WalkMode mode);
  // Reads one folder's directory data and parses it.
  void readFolderClusters(FileEntry& folder, WalkMode mode);
  // Parses directory entries into `folder`; true when parsing stopped at an end mark, an
  // invalid entry or a failed check, false when the whole buffer was used. A long name still
  // being assembled at the end of the buffer carries over to the next buffer of the same
  // folder (resetLongName() starts a folder afresh).
  bool parseDirectoryBuffer(Bytes buffer, FileEntry& folder, WalkMode mode);
  void resetLongName() { longName_ = LongName{}; }

  FileEntry* indexFolder(FileEntry& folder) { return index_.insert(folder); }
  // Hangs `folder` under the folder of its parentCluster, or under a new placeholder "#N".
  void attachToParent(FileEntry& folder);
  // Moves every indexed folder whose parent is unknown into "Lost".
  void adoptOrphans();
  // Folders that hang under each other (".." entries that point into a loop) are unreachable
  // from "#": the loop is cut and its member is moved into "Lost".
  void rescueLoops();
  // adoptOrphans, rescueLoops and dropping the index: the end of every run.
  void finish();

  ClusterIndex& index() { return index_; }
  FatTree& tree() { return tree_; }
  FatReader& reader() { return reader_; }
  EngineHost& host() { return host_; }
  RunControl& run() { return run_; }
  // Progress counters of the walk (files to visit, files visited).
  std::uint64_t progressTotal() const { return total_; }
  std::uint64_t progressDone() const { return done_; }
  void setProgress(std::uint64_t total, std::uint64_t done);

 private:
  struct LongName {
    std::u16string units;  // assembled so far, in reading order
    std::uint8_t checksum = 0;
    bool active = false;    // a run has been read and not yet used
    bool mixed = false;     // its pieces disagree on the short name's checksum
    bool overflow = false;  // more than 255 units: garbage
  };
  void takeLongNamePiece(Bytes entry);
  // The 8.3 name with its lower-case flags applied; a deleted entry's lost first letter is "X".
  std::u16string shortName(Bytes entry) const;
  // A volume label's 11 characters (no dot), as the name of a label that holds data.
  std::u16string labelName(Bytes entry) const;
  bool usableCluster(std::uint32_t cluster) const;
  void place(FileEntry& folder, const FileEntry& entry, WalkMode mode);

  FatReader& reader_;
  FatTree& tree_;
  EngineHost& host_;
  RunControl& run_;
  ClusterIndex index_;
  std::unique_ptr<SizeCutLog> cuts_;
  LongName longName_;
  std::uint64_t total_ = 0;
  std::uint64_t done_ = 0;
};

// The checksum of an 11-byte short name that its long-name entries carry at byte 13.
std::uint8_t shortNameChecksum(Bytes name11);
// Bytes 0x80-0xFF of short names as code page 437.
char16_t codePage437(std::uint8_t byte);
// Whether the 64 bytes start with the "." and ".." entries of a directory's first cluster.
bool startsWithDotEntries(Bytes buffer);
// The first cluster of a 32-byte directory entry (high half at 20, low half at 26).
inline std::uint32_t entryCluster(Bytes entry, std::size_t at = 0) {
  return (static_cast<std::uint32_t>(le16(entry, at + 20)) << 16) | le16(entry, at + 26);
}

}  // namespace ov::fat
