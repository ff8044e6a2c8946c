// The carving scanner: the carver's own open disk with its read policy, and the scan that tests
// the start of every sector against the selected file types and records each find in the
// results tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "carver/catalogue.h"
#include "carver/formats/format.h"
#include "carver/results.h"
#include "carver/saving.h"
#include "disk/backend.h"
#include "disk/host.h"

namespace ov::carver {

// The scan reads the disk in chunks of this many sectors and sends its progress once per chunk.
inline constexpr std::uint32_t kChunkSectors = 63;
// Sectors fetched per request: many chunks at once, handed out chunk by chunk.
inline constexpr std::uint32_t kDefaultReadAheadSectors = kChunkSectors * 128;

inline constexpr const char* kDisconnectedText =
    "Source disk is disconnected.\nPlease connect the disk and restart scanning.";
inline constexpr const char* kScanCompletedText = "Scanning Completed.";
inline constexpr const char* kScanCompletedStatus = "Progress Completed";

// The processing dialog's counts line (sent after every find).
std::string scanCountsText(std::uint32_t selectedTypes, std::uint64_t found);

// errno values that mean the disk has gone away (unplugged, medium removed).
bool isDisconnectError(int error);

// The disk under scan, read-only. Reads go through ReadDiskSectors; a disconnect is reported
// to the host and ends the operation with AlreadyReported, any other error is left to the
// caller, whose zero-filled buffer then stands for the unreadable range.
class CarverDisk final : public CarveSource, public CarvedDataSource {
 public:
  explicit CarverDisk(EngineHost& host) : host_(host) {}

  // An image file, a container (E01, VHD(X), VMDK, qcow2, split raw) or a block device: the
  // device's logical sector size; for a container the size it records, when not 512; for a file
  // the size its partition table and boot sectors show (detectImageSectorSize), else 512;
  // `sectorSize`, when not 0, instead. The sector count is the size divided by it. Returns 0 or
  // an errno value; openFailure() says why a container could not be read.
  int open(const std::string& path, std::uint16_t sectorSize = 0);
  const std::string& openFailure() const { return openFailure_; }
  // Any backend (tests use memory and fault backends).
  void openBackend(std::unique_ptr<ReadBackend> backend, std::uint16_t bytesPerSector, std::uint64_t totalSectors);
  void close();
  bool isOpen() const { return backend_ != nullptr; }
  ReadBackend* backend() const { return backend_.get(); }

  std::uint16_t bytesPerSector() const override { return bps_; }
  std::uint64_t totalSectors() const override { return total_; }

  // One request of `byteCount` bytes at `sector`. Returns 0 or the errno of the failure; a read
  // that ends early leaves the rest of the buffer as it was. A disconnect is reported
  // (kDisconnectedText) and thrown as AlreadyReported.
  int ReadDiskSectors(void* buffer, std::size_t byteCount, std::uint64_t sector);
  // The same request without the disconnect report: a failure here is retried chunk by chunk.
  int readQuietly(void* buffer, std::size_t byteCount, std::uint64_t sector, std::size_t& got);

  // For the end-finding routines: zeros for an unreadable range; false never (a lost disk throws).
  bool readSectors(std::uint64_t lba, std::uint32_t count, MutableBytes out) override;
  // For saving: false for an unreadable range (written as zeros).
  bool read(std::uint64_t sector, std::size_t sectors, std::uint8_t* out) override;
  std::uint32_t sectorSize() const override { return bps_; }

 private:
  EngineHost& host_;
  std::unique_ptr<ReadBackend> backend_;
  std::string openFailure_;
  std::uint16_t bps_ = 0;
  std::uint64_t total_ = 0;
};

// One found item with what the listing needs beyond the tree node.
struct CarvedItem {
  ResultNode* node = nullptr;
  std::uint64_t startSector = 0;
  std::string extension;
  std::string category;
  std::uint64_t size = 0;
  bool sizeKnown = false;  // the routine found the file's end (the scan jumped past it)
  bool sizeFromFile = false;  // the routine gave the size (otherwise the size rule did, and the
                              // item ends at the latest where the next found file starts)
};

enum class ScanOutcome {
  Completed,     // every sector was tested
  Stopped,       // `running` was cleared
  Disconnected,  // the disk went away (already reported)
  Failed,        // a read failed for good or memory ran out
};

struct ScanReport {
  ScanOutcome outcome = ScanOutcome::Failed;
  std::uint64_t found = 0;
  std::uint64_t nextSector = 0;  // where the scan would have gone on
};

struct ScanOptions {
  std::uint32_t readAheadSectors = kDefaultReadAheadSectors;  // rounded to whole chunks
};

// The scan worker. Progress goes to the host as progress(totalSectors, position) once per
// chunk, the counts line as statusText after each find; at a completed scan the status
// kScanCompletedStatus, 100% and kScanCompletedText; in every case processingFinished(code)
// at the end (1 completed, 0 otherwise).
class CarvingScanner {
 public:
  CarvingScanner(CarverDisk& disk, EngineHost& host, RunControl& run, ResultTree& tree,
                 ScanOptions options = {});
  ~CarvingScanner();
  CarvingScanner(const CarvingScanner&) = delete;
  CarvingScanner& operator=(const CarvingScanner&) = delete;

  // Scans the whole disk for the types of `selected` (a selected list: reverse file order,
  // maxSize filled in). When the scan ends, whole or not, every item sized by the size rule is
  // cut where the next item starts. `selectedCount` is the number shown in the counts line. The tree is
  // reset first and `run` started, as when the worker thread starts.
  ScanReport scan(const std::vector<SignatureRecord>& selected, std::uint32_t selectedCount);

  // The items of the last scan, in the order found.
  const std::vector<CarvedItem>& items() const { return items_; }
  // Start lists of the last scan.
  const CarveState& carveState() const { return state_; }

 private:
  struct GroupFilter;

  // Tests one sector; returns the next sector to test.
  std::uint64_t testSector(std::uint64_t sector, Bytes data, Bytes resident);
  bool runRoutine(const FormatRoutine& routine, std::uint64_t sector, Bytes resident, const SignatureRecord& record,
                  CarveResult& result);
  std::uint64_t AddCarvedItem(std::uint64_t sector, const SignatureRecord& record, const CarveResult* result,
                        const std::string& extension, const std::string& category);
  // Items whose size came from the size rule (no routine, or a routine that found no size) end at
  // the latest where the next found file starts, so that no saved item overlaps a found file.
  void endAtNextFind();
  void sendCounts();
  Bytes chunkAt(std::uint64_t position, std::uint32_t count, Bytes& resident);

  CarverDisk& disk_;
  EngineHost& host_;
  RunControl& run_;
  ResultTree& tree_;
  ScanOptions options_;
  CarveState state_;
  SignatureIndex index_;
  std::vector<GroupFilter> filters_;
  std::vector<CarvedItem> items_;
  std::uint32_t selectedCount_ = 0;
  bool readFailed_ = false;

  // Read-ahead: the sectors [blockStart_, blockStart_ + blockCount_) held in block_.
  std::vector<std::uint8_t> block_;
  std::uint64_t blockStart_ = 0;
  std::uint64_t blockCount_ = 0;
  std::uint64_t chunkwiseUntil_ = 0;  // below this, reads go chunk by chunk (a failed block)
};

}  // namespace ov::carver
