#include "ntfs/scan_info.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "scans/scan_file.h"

namespace ov::ntfs {
namespace {

namespace fs = std::filesystem;

const char* kNotValidPartition = kNotValidPartitionScan;
const char* kNotValidDisk = kNotValidDiskScan;

std::string withCode(const char* text, int code) { return withErrorCode(text, code); }
void logResult(EngineHost& host, bool ok, const std::string& text, const std::string& detail) {
  logScanResult(host, ok, text, detail);
}
std::string fileName(const std::string& path) { return scanFileName(path); }
std::string folderOf(const std::string& path) { return scanFolderOf(path); }

void writeSourceAndVolumes(ScanFileWriter& w, NtfsEngine& engine) {
  w.write(encodeSourceBlock(sourceBlockFor(engine.source(), !engine.volumes().empty())));
  const auto& volumes = engine.volumes();
  for (std::size_t i = 0; i < volumes.size(); ++i) w.write(encodeVolume(volumes[i], i + 1 < volumes.size()));
}

bool readSourceAndVolumes(ScanFileReader& r, SourceBlock& block, std::vector<LogicalVolume>& volumes) {
  return readSourceBlock(r, block) &&
         readRecordChain<kStoredVolumeBytes>(r, block.hasVolumes, volumes,
                                             [](Bytes b, bool* more) { return decodeVolume(b, more); });
}

// Parameters that a saved scan may hold without making later reads absurdly large.
bool plausible(const VolumeParameters& p) {
  return p.bytesPerSector >= 512 && p.bytesPerSector % 512 == 0 && p.bytesPerMftRecord >= 256 &&
         p.bytesPerMftRecord <= 65536 && p.bytesPerCluster >= 512 && p.bytesPerCluster <= (32u << 20) &&
         p.bytesPerIndexRecord <= (1u << 20) && p.sectorsPerCluster != 0;
}

int openRead(const fs::path& path) { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW); }

}  // namespace

bool savePartitionScanInfo(NtfsEngine& engine, const std::string& requested) {
  EngineHost& host = engine.host();
  const std::string path = withExtension(requested, ".ovt");
  const std::string name = fileName(path);
  const char* kFailed = "Failed to save Partition scan information. Errorcode =";
  if (std::string why = scanFileDestinationConflict(engine.source(), path); !why.empty()) {
    logResult(host, false, why, name);
    return false;
  }
  int error = 0;
  ScanFileWriter w(path, error);
  if (!w.isOpen()) {
    logResult(host, false, withCode(kFailed, error), name);
    return false;
  }
  w.writeU32(kPartitionScanMagic);
  writeSourceAndVolumes(w, engine);
  const NtfsVolume& volume = engine.volume();
  w.write(encodeParameters(volume.params, !volume.mftRuns.empty()));
  for (std::size_t i = 0; i < volume.mftRuns.size(); ++i) w.write(encodeRun(volume.mftRuns[i], i + 1 < volume.mftRuns.size()));
  w.writeU32(kScanSeparator);

  auto files = engine.workingFiles().paths();
  const fs::path order[] = {files.tree, files.entries, files.names};
  int failure = 0;
  for (std::size_t i = 0; i < 3 && failure == 0; ++i) {
    int fd = openRead(order[i]);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
      failure = errno;
      if (fd >= 0) ::close(fd);
      break;
    }
    auto size = static_cast<std::uint64_t>(st.st_size);
    w.writeU64(size);
    std::uint64_t copied = w.copyFrom(fd, engine.source().bytesPerSector());
    ::close(fd);
    if (copied != size) failure = EIO;  // the file changed while it was copied
    if (i < 2) w.writeU32(kScanSeparator);
  }
  int finishError = w.finish();
  if (failure == 0) failure = finishError;
  if (failure != 0) {
    ::unlink(path.c_str());  // a failed save leaves no partial file behind
    logResult(host, false, withCode(kFailed, failure), name);
    return false;
  }
  logResult(host, true, "Partition scan information saved successfully.", name);
  return true;
}

bool openPartitionScanInfo(NtfsEngine& engine, const std::string& path) {
  EngineHost& host = engine.host();
  const std::string name = fileName(path);
  const std::string where = folderOf(path);
  const char* kFailed = "Failed to open Partition scan information. Errorcode =";
  host.addLogEntry(LogEntry{"Processing Scan Info File : " + name, "Location : " + where, LogKind::Started, {}});
  engine.close();
  auto fail = [&](const std::string& text) {
    engine.close();
    logResult(host, false, text, name);
    return false;
  };

  int error = 0;
  ScanFileReader r(path, error);
  if (!r.isOpen()) return fail(withCode(kFailed, error));
  std::uint32_t magic = 0;
  if (!r.readU32(magic) || magic != kPartitionScanMagic) return fail(kNotValidPartition);
  SourceBlock block;
  std::vector<LogicalVolume> volumes;
  if (!readSourceAndVolumes(r, block, volumes)) return fail(kNotValidPartition);
  std::array<std::uint8_t, kStoredParametersBytes> storedParams{};
  if (!r.read(storedParams.data(), storedParams.size())) return fail(kNotValidPartition);
  bool moreRuns = false;
  NtfsVolume volume;
  volume.params = *decodeParameters(storedParams, &moreRuns);
  if (!plausible(volume.params)) return fail(kNotValidPartition);
  while (moreRuns) {
    std::array<std::uint8_t, kStoredRunBytes> run{};
    if (!r.read(run.data(), run.size())) return fail(kNotValidPartition);
    volume.mftRuns.push_back(*decodeRun(run, &moreRuns));
  }
  std::uint32_t separator = 0;
  if (!r.readU32(separator) || separator != kScanSeparator) return fail(kNotValidPartition);

  int rc = engine.source().openDevice(block.path, block.bytesPerSector, block.totalSectors);
  if (rc != 0) return fail(withCode(kFailed, rc));

  // The three working files come back into this engine's private folder.
  WorkingFiles::Paths files;
  try {
    files = engine.workingFiles().paths();
  } catch (const AlreadyReported&) {
    return fail(engine.workingFiles().writeFailure().empty() ? std::string("Supporting Files couldn't be opened")
                                                             : engine.workingFiles().writeFailure());
  }
  const fs::path order[] = {files.tree, files.entries, files.names};
  for (std::size_t i = 0; i < 3; ++i) {
    std::uint64_t size = 0;
    if (!r.readU64(size) || size > r.remaining()) return fail(kNotValidPartition);
    int fd = ::open(order[i].c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return fail(withCode(kFailed, errno));
    bool copied = r.copyTo(fd, size, block.bytesPerSector, error);
    ::close(fd);
    if (!copied) return fail(error != 0 ? withCode(kFailed, error) : std::string(kNotValidPartition));
    if (i < 2 && (!r.readU32(separator) || separator != kScanSeparator)) return fail(kNotValidPartition);
  }
  if (!engine.workingFiles().open()) {
    engine.close();
    logResult(host, false, "Supporting Files couldn't be opened", name);
    return false;
  }
  engine.volumes() = std::move(volumes);
  engine.restoreVolume(std::move(volume));
  logResult(host, true, "Partition scan information opened successfully.", where + "/" + name);
  return true;
}

bool saveDiskScanInfo(NtfsEngine& engine, const std::string& requested) {
  EngineHost& host = engine.host();
  const std::string path = withExtension(requested, ".ovd");
  host.addLogEntry(
      LogEntry{"Saving Scan Info File : " + fileName(path), "To Location : " + folderOf(path), LogKind::Started, {}});
  if (std::string why = scanFileDestinationConflict(engine.source(), path); !why.empty()) {
    logResult(host, false, why, path);
    return false;
  }
  int error = 0;
  ScanFileWriter w(path, error);
  if (!w.isOpen()) {
    logResult(host, false, withCode("Failed to save Disk scan information. Errorcode =", error), path);
    return false;
  }
  w.writeU32(kDiskScanMagic);
  writeSourceAndVolumes(w, engine);
  error = w.finish();
  if (error != 0) {
    ::unlink(path.c_str());
    logResult(host, false, withCode("Failed to save Disk scan information. Errorcode =", error), path);
    return false;
  }
  logResult(host, true, "Disk scan information saved successfully.", path);
  return true;
}

bool openDiskScanInfo(NtfsEngine& engine, const std::string& path) {
  EngineHost& host = engine.host();
  const std::string name = fileName(path);
  const std::string where = folderOf(path);
  const char* kFailed = "Failed to open Disk scan information. Errorcode =";
  host.addLogEntry(LogEntry{"Processing Scan Info File : " + name, "Location : " + where, LogKind::Started, {}});
  engine.close();
  auto fail = [&](const std::string& text) {
    engine.close();
    logResult(host, false, text, where + "/" + name);
    return false;
  };
  int error = 0;
  ScanFileReader r(path, error);
  if (!r.isOpen()) return fail(withCode(kFailed, error));
  std::uint32_t magic = 0;
  if (!r.readU32(magic) || magic != kDiskScanMagic) return fail(kNotValidDisk);
  SourceBlock block;
  std::vector<LogicalVolume> volumes;
  if (!readSourceAndVolumes(r, block, volumes)) return fail(kNotValidDisk);
  int rc = engine.source().openDevice(block.path, block.bytesPerSector, block.totalSectors);
  if (rc != 0) return fail(withCode(kFailed, rc));
  engine.volumes() = std::move(volumes);
  logResult(host, true, "Disk scan information opened successfully.", where + "/" + name);
  return true;
}

}  // namespace ov::ntfs
