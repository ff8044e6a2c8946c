// Saving and reopening what the FAT engine found. Partition scan information (".ovt") keeps the
// source, the volume list, the current volume and the whole recovered tree, so that the tree
// comes back without a new run; disk scan information (".ovd") keeps the source and its volumes.
// Every outcome is reported as a process log entry; nothing is shown in a message box.
#pragma once

#include <ctime>
#include <string>

#include "fat/fat_engine.h"
#include "fat/fat_tree.h"
#include "scans/scan_file.h"

namespace ov::fat {

inline constexpr std::size_t kStoredEntryBytes = 40;  // one tree record, its name follows
// An exFAT volume's tree record: the FAT record with the kEx* flags in its byte 38 (0 in FAT
// records) and the valid data length at 40; its name follows at 48. Files of exFAT volumes are
// told apart by their volume records (fatType 3), which readers that know only FAT refuse.
inline constexpr std::size_t kStoredExFatEntryBytes = 48;

// Writes the entries below `folder` (not `folder` itself): each folder's children as one group,
// the groups in depth-first order of their folders. False, with the file unfinished, when the
// links of the tree come back to an entry already written (a loop would never end).
bool writeTree(const FileEntry& folder, ScanFileWriter& out, bool exFat = false);
// Reads what writeTree wrote below `folder`, a folder of `tree` without children, to the end of
// the groups (at least the folder's own group). False when the file ends inside a record or
// before a group it announced: what was read stays in the tree and the caller discards it.
// Nothing is allocated for a record before the file has yielded it.
bool readTree(FatTree& tree, FileEntry& folder, ScanFileReader& in, bool exFat = false);

bool savePartitionScanInfo(FatEngine& engine, const std::string& path);
bool openPartitionScanInfo(FatEngine& engine, const std::string& path);
bool saveDiskScanInfo(FatEngine& engine, const std::string& path);
bool openDiskScanInfo(FatEngine& engine, const std::string& path);

// "OV FAT Scan Info# 09-Sept-2008.ovt" and "OV FAT Scan Information # Tue, 09-Sept-2008".
inline std::string fatPartitionScanDefaultName(const std::tm& local) { return partitionScanDefaultName(local, "FAT"); }
inline std::string fatDiskScanDefaultName(const std::tm& local) { return diskScanDefaultName(local, "FAT"); }

}  // namespace ov::fat
