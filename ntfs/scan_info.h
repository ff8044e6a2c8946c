// Saving and reopening what a scan found: partition scan information (".ovt": the source, the
// volumes, the processed volume's parameters and MFT runs, and the recovered tree's working
// files) and disk scan information (".ovd": the source and its volumes). Every outcome is
// reported as a process log entry; nothing is shown in a message box.
#pragma once

#include <string>

#include "ntfs/ntfs_engine.h"

namespace ov::ntfs {

bool savePartitionScanInfo(NtfsEngine& engine, const std::string& path);
bool openPartitionScanInfo(NtfsEngine& engine, const std::string& path);
bool saveDiskScanInfo(NtfsEngine& engine, const std::string& path);
bool openDiskScanInfo(NtfsEngine& engine, const std::string& path);

}  // namespace ov::ntfs
