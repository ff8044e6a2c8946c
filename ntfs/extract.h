// Copying a listed file's data out of the volume: resident, plain and compressed data, and the
// pieces of a file whose record needs an attribute list; and the preview's in-memory load.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "disk/recovery_engine.h"
#include "disk/sector_source.h"
#include "ntfs/mft.h"

namespace ov::ntfs {

// Files larger than this are not loaded for the preview.
inline constexpr std::uint64_t kMaxPreviewBytes = 31457280;

class FileExtractor {
 public:
  FileExtractor(SectorSource& source, const NtfsVolume& volume) : source_(source), volume_(volume) {}

  // Progress of the file being saved (done, total); not called while quiet.
  void setProgress(std::function<void(std::uint64_t, std::uint64_t)> progress) { progress_ = std::move(progress); }
  void setQuietProgress(bool quiet) { quiet_ = quiet; }
  // Asked between reads; true stops the file where it is (a batch being aborted).
  void setCancel(std::function<bool()> cancel) { cancel_ = std::move(cancel); }

  // Writes the unnamed data stream (or the named stream `stream`) of the file whose base record
  // is at `recordSector` to `outputFd` (from its current offset, 0 for a new file), never more
  // than `dataSize` bytes. Bytes past the stream's valid data length (its initialized size) are
  // written as zeros, whatever the clusters hold; holes of sparse files stay holes, so a damaged
  // run list claiming huge holes costs no space. False when the record (or an extension record
  // it needs) is not a valid record; read failures other than skipped sectors throw AlreadyReported.
  bool saveFileData(std::uint64_t recordSector, std::uint64_t dataSize, int outputFd,
                    const std::u16string& stream = {});
  std::uint64_t bytesWritten() const { return written_; }

  // Where the stream's data lies on the source, the runs cut to `dataSize` (resident data: one
  // run at the record). The verdict is left unknown. Nullopt when the record (or an extension
  // record it needs) is not valid; read failures throw AlreadyReported as saving does.
  std::optional<FileLayout> layout(std::uint64_t recordSector, std::uint64_t dataSize,
                                   const std::u16string& stream = {});

  // The beginning of a file (or of its named stream) for the preview; nullopt when there is
  // nothing to show.
  std::optional<std::vector<std::uint8_t>> loadPreview(std::uint64_t recordSector, std::uint64_t dataSize,
                                                       const std::u16string& stream = {});

 private:
  struct DataPiece {
    bool resident = false;
    std::vector<std::uint8_t> value;
    std::vector<Run> runs;
  };
  bool collectPieces(Bytes baseRecord, const std::u16string& stream, std::vector<DataPiece>& pieces);
  void write(const std::uint8_t* data, std::uint64_t length);
  // A hole: the output's offset moves on (the copy stays sparse; finishOutput sets its size),
  // or zeros are written where the output cannot seek.
  void writeZeros(std::uint64_t length);
  void finishOutput();
  void plainCopy(const std::vector<Run>& runs);
  void compressedCopy(const std::vector<Run>& runs, unsigned unitShift);
  void publish();
  std::uint64_t clusterSector(std::uint64_t lcn) const;

  SectorSource& source_;
  const NtfsVolume& volume_;
  std::function<void(std::uint64_t, std::uint64_t)> progress_;
  std::function<bool()> cancel_;
  bool cancelled() const { return cancel_ && cancel_(); }
  bool quiet_ = false;
  int fd_ = -1;
  std::uint64_t dataSize_ = 0;
  std::uint64_t validLength_ = 0;  // bytes from here on are written as zeros
  std::uint64_t written_ = 0;
  // Taken from the stream's first piece.
  bool compressed_ = false;
  unsigned unitShift_ = 4;
  bool holeAtEnd_ = false;
};

}  // namespace ov::ntfs
