// The one interface through which the desktop workbench and the command line drive a recovery
// engine. Both engines (NTFS and FAT) implement it, so nothing above this line branches on the
// file system: the programs differ only in which engine they own and in the texts it hands out.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "disk/gpt.h"
#include "disk/host.h"
#include "disk/sector_source.h"

namespace ov {

// The texts that differ between the programs.
struct EngineTexts {
  std::string fileSystem;    // "NTFS" or "FAT": "OV NTFS Scan Info#", search rows
  std::string programTitle;  // "Ovelin Dodedoz Avov Ovavized (NTFS)"
  std::string quickWord;     // the quick search's word: "Quick" (NTFS) or "Basic" (FAT)
  std::string numberWord;    // what an entry's number is: "Record" or "Cluster"
  std::string parentWord;    // the parent's number: "Parent"
  std::string helpPrefix;    // help topic names start with it: "ntfs" or "fat"
};

enum class VolumeSearch { Quick, Thorough };

// One row of the volume list as the user sees it.
struct VolumeRow {
  std::string name;       // "NTFS logical drive 1", "FAT 32 logical drive 2"
  std::string startText;  // "%u" of the start sector
  std::string sizeText;   // "%7.3f MB"
  std::uint64_t startSector = 0;
  std::uint64_t sectorCount = 0;
  std::uint16_t bytesPerSector = 0;
  std::string fileSystem;     // "NTFS", "FAT16", "FAT32"
  std::string partitionName;  // GPT name, empty otherwise
  std::string partitionType;  // GPT type name, empty otherwise
  std::uint8_t foundBy = 0;
  std::string foundByText;  // how the volume was found: "partition table", "boot sector", ...
  std::string clusterText;  // the cluster size, "%3.1f KB"
  // What the volume's own record holds, for machine-readable listings: a name and a number or a text.
  std::vector<std::pair<std::string, std::variant<std::uint64_t, std::string>>> facts;
};

// A time read from the disk: seconds since 1970-01-01 00:00 and the part of a second. NTFS
// times are UTC; FAT times are the local time of the machine that wrote them, zone unknown
// (kept here as if they were UTC, and written without a zone).
struct FileTime {
  std::int64_t seconds = 0;
  std::uint32_t nanoseconds = 0;
  bool known = false;
  bool dateOnly = false;  // FAT's last-access date has no time of day
};

// The times of a file as its record or entry holds them (unknown where it holds none).
struct FileTimes {
  bool utc = false;      // NTFS: UTC, 100 ns steps; FAT: local time without a zone
  FileTime created;      // FAT: with its 10 ms field
  FileTime modified;     // content last written
  FileTime changed;      // NTFS: the MFT record last changed
  FileTime accessed;     // FAT: a date
  // NTFS: the file-name attribute's created and modified times (set when the file was named or
  // moved), given only where they differ from the standard information's.
  FileTime nameCreated;
  FileTime nameModified;
};

// What the disk says about whether a deleted file's data is still there: its clusters free (good),
// some or all of them now in use by live files. Live files are not judged.
enum class Recoverability : std::uint8_t { Unknown, Good, PartlyOverwritten, Overwritten };

// Where a file's data lies on the source: byte offsets from the source's start.
struct ByteRun {
  std::uint64_t fileOffset = 0;
  std::uint64_t diskOffset = 0;  // 0 for a hole
  std::uint64_t length = 0;
  bool sparse = false;           // a hole: reads as zeros, nothing on the disk
};
struct FileLayout {
  std::vector<ByteRun> runs;
  bool resident = false;  // NTFS: the data is kept inside the file's record (the run names the record)
  Recoverability verdict = Recoverability::Unknown;
};

// One file or folder of a recovered tree, as both engines can hand it out.
struct TreeEntry {
  std::uint64_t key = 0;        // names the entry for its engine; never shown
  std::uint64_t folderKey = 0;  // for folders: what listFolder takes
  std::uint64_t location = 0;   // where the entry's record lies (NTFS: its sector), 0 if nowhere
  std::u16string name;
  std::uint64_t size = 0;
  std::uint32_t number = 0;        // MFT record, or first cluster
  std::uint32_t parentNumber = 0;  // the parent folder's record or first cluster
  std::uint16_t createdDate = 0;   // DOS dates, 0 when unknown
  std::uint16_t accessedDate = 0;
  std::uint16_t attributes = 0;  // 0x10 folder, 0x08 live
  FileTimes times;               // kept in memory only: scan information and working files hold the DOS dates
  bool isTop = false;            // the top folder "#"
  bool isRoot = false;           // the volume's root folder (" Root" in NTFS, "#" in FAT)
  // A named data stream of the file listed beside it: its name is "<file>:<stream>".
  std::u16string streamName;
  // The size read from the disk was more than the volume can hold and `size` is what it can
  // hold; the claim when the engine knows it (else 0).
  bool sizeCut = false;
  std::uint64_t claimedSize = 0;
  // The data saved for the entry may not be the file's own (a deleted file whose cluster chain
  // is gone, clusters now in use by other files): why, in words; empty when nothing says so.
  std::string damageNote;
  bool possiblyDamaged() const { return !damageNote.empty(); }

  bool isFolder() const { return (attributes & 0x10) != 0; }
  bool isLive() const { return (attributes & 0x08) != 0; }
  // The name a saved copy gets: a stream's ":" becomes "_", since not every destination allows it.
  std::u16string outputName() const {
    std::u16string out = name;
    if (!streamName.empty() && streamName.size() < out.size()) out[out.size() - streamName.size() - 1] = u'_';
    return out;
  }
};

// What a folder listing counted, for the totals texts.
struct FolderCounts {
  std::uint64_t bytes = 0;
  std::uint32_t files = 0;
  std::uint32_t folders = 0;
};

// Writing one file's data out.
struct FileDataSaved {
  bool ok = false;             // false: nothing valid to write (the record is gone)
  std::uint64_t written = 0;   // bytes written to the output
};

class RecoveryEngine {
 public:
  virtual ~RecoveryEngine() = default;

  virtual const EngineTexts& texts() const = 0;
  virtual EngineHost& host() = 0;
  virtual RunControl& run() = 0;
  virtual SectorSource& source() = 0;

  // Opens an image file or a block device; 0 or an errno value. Closes what was open first.
  virtual int openImage(const std::string& path) = 0;
  // Closes the source and frees the volumes and the tree.
  virtual void close() = 0;

  // The partition-table walk; true when a volume was found.
  virtual bool readPartitionTable() = 0;
  virtual PartitionTableKind tableKind() const = 0;
  // A lost-volume search over [start, end) with its log entries and the dialog's messages.
  virtual bool searchVolumes(VolumeSearch kind, std::uint64_t start, std::uint64_t end) = 0;

  virtual std::size_t volumeCount() const = 0;
  virtual VolumeRow volumeRow(std::size_t index) const = 0;
  // Makes volume `index` current and reads its critical structures; false when they are gone.
  virtual bool selectVolume(std::size_t index) = 0;
  // Makes volume `index` current without reading anything (the Turbo Scan needs nothing more).
  virtual void useVolume(std::size_t index) = 0;
  // Adds the volume whose boot sector lies at `sector`; its index, or nullopt when none is there.
  virtual std::optional<std::size_t> addVolumeAt(std::uint64_t sector) = 0;

  // The processing run and the Turbo Scan of the current volume, with their log lines.
  virtual bool processFileSystem() = 0;
  virtual bool turboScan(std::uint32_t volumeNumber) = 0;

  // The recovered tree. Safe to call from any thread; calls are serialised.
  virtual bool hasTree() = 0;
  virtual std::optional<TreeEntry> topFolder() = 0;
  // How many entries the tree holds in all (the progress total of reading it).
  virtual std::uint64_t treeEntryCount() = 0;
  // Files first, then folders. Without `keepFiles` only folders are returned, but all are counted.
  virtual std::vector<TreeEntry> listFolder(const TreeEntry& folder, FolderCounts* counts = nullptr,
                                            bool keepFiles = true) = 0;

  // Writes the file's data to `fd`. Read failures other than skipped sectors throw AlreadyReported.
  virtual FileDataSaved saveFileData(const TreeEntry& file, int fd,
                                   const std::function<void(std::uint64_t done)>& progress,
                                   const std::function<bool()>& cancel) = 0;
  // The file's data for a preview; nullopt when there is nothing to show (or it is too large).
  virtual std::optional<std::vector<std::uint8_t>> loadPreview(const TreeEntry& file) = 0;
  // Where the file's data lies and, for a deleted file, whether live files now use its clusters.
  // Read from the disk on each call (the record, the chain, the allocation map).
  virtual FileLayout fileLayout(const TreeEntry& file) = 0;

  // Scan information files; outcomes go to the process log.
  virtual bool savePartitionScanInfo(const std::string& path) = 0;
  virtual bool openPartitionScanInfo(const std::string& path) = 0;
  virtual bool saveDiskScanInfo(const std::string& path) = 0;
  virtual bool openDiskScanInfo(const std::string& path) = 0;

 protected:
  // Serialises the tree's readers (the worker saving files, the window browsing them).
  std::recursive_mutex treeMutex_;
};

}  // namespace ov
