#include "ntfs/extract.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "ntfs/file_record.h"
#include "ntfs/lznt1.h"

namespace ov::ntfs {
namespace {

constexpr std::size_t kPlainReadBytes = 1 << 20;  // large sequential requests
constexpr std::uint16_t kCompressedFlag = 0x0001;

bool isUnnamed(Bytes record, const Attribute& a) {
  return le8(record, a.offset + 9) == 0 || le16(record, a.offset + 0x0A) == 0;
}

// A data attribute of the stream wanted: unnamed for an empty `stream`, else of that name.
bool isStream(Bytes record, const Attribute& a, const std::u16string& stream) {
  if (a.type != kAttrData) return false;
  return stream.empty() ? isUnnamed(record, a) : attributeName(record, a) == stream;
}

std::optional<Attribute> firstData(Bytes record, const std::u16string& stream) {
  AttributeWalk walk(record);
  while (auto a = walk.next())
    if (isStream(record, *a, stream)) return a;
  return std::nullopt;
}

// The attribute list of a base record, when it comes before any attribute of a type above 0x20.
std::optional<Attribute> leadingAttributeList(Bytes record) {
  AttributeWalk walk(record);
  while (auto a = walk.next()) {
    if (a->type == kAttrAttributeList) return a;
    if (a->type > kAttrAttributeList) return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

std::uint64_t FileExtractor::clusterSector(std::uint64_t lcn) const {
  const auto& p = volume_.params;
  return p.startSector + lcn * p.sectorsPerCluster;
}

void FileExtractor::publish() {
  if (!quiet_ && progress_) progress_(written_, dataSize_);
}

namespace {
const std::vector<std::uint8_t>& zeroBlock() {
  static const std::vector<std::uint8_t> zeros(kPlainReadBytes, 0);
  return zeros;
}
}  // namespace

void FileExtractor::write(const std::uint8_t* data, std::uint64_t length) {
  std::uint64_t room = dataSize_ - written_;
  std::uint64_t n = std::min(length, room);
  if (n == 0) return;
  // The part before the valid data length comes from the disk, the rest is zeros.
  std::uint64_t valid = written_ < validLength_ ? std::min(n, validLength_ - written_) : 0;
  if (valid > 0) source_.writeOut(fd_, data, static_cast<std::size_t>(valid));
  for (std::uint64_t left = n - valid; left > 0;) {
    std::uint64_t piece = std::min<std::uint64_t>(left, zeroBlock().size());
    source_.writeOut(fd_, zeroBlock().data(), static_cast<std::size_t>(piece));
    left -= piece;
  }
  written_ += n;
  holeAtEnd_ = false;
}

void FileExtractor::writeZeros(std::uint64_t length) {
  const std::uint64_t n = std::min(length, dataSize_ - written_);
  if (n == 0) return;
  if (written_ + n > static_cast<std::uint64_t>(INT64_MAX)) source_.failWrite(EFBIG);
  if (::lseek(fd_, static_cast<off_t>(n), SEEK_CUR) >= 0) {
    written_ += n;
    holeAtEnd_ = true;
    return;
  }
  for (std::uint64_t left = n; left > 0;) {
    std::uint64_t piece = std::min<std::uint64_t>(left, zeroBlock().size());
    write(zeroBlock().data(), piece);
    left -= piece;
  }
}

void FileExtractor::finishOutput() {
  // A file that ends in a hole gets its size here; the offset alone does not make it.
  if (!holeAtEnd_) return;
  holeAtEnd_ = false;
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return;  // a device has no size to set
  const off_t end = ::lseek(fd_, 0, SEEK_CUR);
  if (end < 0 || ::ftruncate(fd_, end) != 0) source_.failWrite(errno);
}

bool FileExtractor::collectPieces(Bytes base, const std::u16string& stream, std::vector<DataPiece>& pieces) {
  bool first = true;
  auto addPiece = [&](Bytes record, const Attribute& a) {
    DataPiece piece;
    if (!a.nonResident) {
      piece.resident = true;
      piece.value.assign(a.value.begin(), a.value.end());
    } else {
      decodeAttributeRuns(record, a.offset, piece.runs);
      if (first) {
        compressed_ = (le16(record, a.offset + 0x0C) & 0x00FF) == kCompressedFlag;
        unitShift_ = le16(record, a.offset + 0x22);
        // The valid data length: what lies beyond it on disk was never written to this stream.
        validLength_ = std::min(validLength_, le64(record, a.offset + 0x38));
      }
    }
    first = false;
    pieces.push_back(std::move(piece));
  };

  auto list = leadingAttributeList(base);
  if (!list) {
    auto data = firstData(base, stream);
    if (data) addPiece(base, *data);
    return true;
  }

  // The stream is split over extension records: take each of its pieces in list order.
  std::vector<std::uint8_t> extension;
  for (const auto& entry : attributeListEntries(source_, volume_.params, base, *list, 0x100)) {
    if (entry.type != kAttrData || entry.name != stream) continue;
    if (!readListedRecord(source_, volume_, base, entry.record, extension)) return false;
    Bytes ext(extension.data(), extension.size());
    AttributeWalk walk(ext);
    while (auto a = walk.next()) {
      if (!isStream(ext, *a, stream)) continue;
      if (a->nonResident && le64(ext, a->offset + 0x10) != entry.startVcn) continue;
      addPiece(ext, *a);
      break;
    }
  }
  return true;
}

bool FileExtractor::saveFileData(std::uint64_t recordSector, std::uint64_t dataSize, int outputFd,
                                 const std::u16string& stream) {
  const auto& p = volume_.params;
  fd_ = outputFd;
  dataSize_ = dataSize;
  validLength_ = dataSize;
  written_ = 0;
  compressed_ = false;
  unitShift_ = 4;
  holeAtEnd_ = false;
  std::vector<std::uint8_t> record(p.bytesPerMftRecord, 0);
  source_.readSectorsRetrying(record.data(), record.size(), recordSector);
  if (!checkFileRecord(record, p.bytesPerMftRecord, p.bytesPerSector)) return false;

  std::vector<DataPiece> pieces;
  if (!collectPieces(Bytes(record.data(), record.size()), stream, pieces)) return false;

  std::vector<Run> runs;
  for (auto& piece : pieces) {
    if (piece.resident) {
      write(piece.value.data(), piece.value.size());
      publish();
    } else {
      runs.insert(runs.end(), piece.runs.begin(), piece.runs.end());
    }
  }
  if (!runs.empty()) {
    if (compressed_) compressedCopy(runs, unitShift_);
    else plainCopy(runs);
  }
  finishOutput();
  return true;
}

std::optional<FileLayout> FileExtractor::layout(std::uint64_t recordSector, std::uint64_t dataSize,
                                                const std::u16string& stream) {
  const auto& p = volume_.params;
  validLength_ = dataSize;
  std::vector<std::uint8_t> record(p.bytesPerMftRecord, 0);
  source_.readSectorsRetrying(record.data(), record.size(), recordSector);
  if (!checkFileRecord(record, p.bytesPerMftRecord, p.bytesPerSector)) return std::nullopt;
  std::vector<DataPiece> pieces;
  if (!collectPieces(Bytes(record.data(), record.size()), stream, pieces)) return std::nullopt;
  const std::uint64_t sectorBytes = source_.bytesPerSector();
  const std::uint64_t clusterBytes = std::max<std::uint64_t>(1, p.bytesPerCluster);
  FileLayout out;
  std::uint64_t at = 0;
  for (const auto& piece : pieces) {
    if (at >= dataSize) break;
    if (piece.resident) {
      const std::uint64_t length = std::min<std::uint64_t>(piece.value.size(), dataSize - at);
      out.resident = true;
      out.runs.push_back({at, recordSector * sectorBytes, length, false});
      at += length;
      continue;
    }
    for (const auto& run : piece.runs) {
      if (at >= dataSize) break;
      // Cut to what the file uses (a damaged run list may claim more than any volume holds).
      const std::uint64_t left = dataSize - at;
      const std::uint64_t length = run.clusters > left / clusterBytes ? left : run.clusters * clusterBytes;
      ByteRun r{at, run.sparse ? 0 : clusterSector(run.lcn) * sectorBytes, length, run.sparse};
      if (!out.runs.empty() && !r.sparse && !out.runs.back().sparse &&
          out.runs.back().diskOffset + out.runs.back().length == r.diskOffset)
        out.runs.back().length += r.length;
      else
        out.runs.push_back(r);
      at += length;
    }
  }
  return out;
}

void FileExtractor::plainCopy(const std::vector<Run>& runs) {
  const auto& p = volume_.params;
  const std::uint64_t clusterBytes = p.bytesPerCluster;
  const std::uint64_t clustersPerRead = std::max<std::uint64_t>(1, kPlainReadBytes / clusterBytes);
  std::vector<std::uint8_t> buffer(clustersPerRead * clusterBytes);
  for (const auto& run : runs) {
    if (written_ >= dataSize_) break;
    if (run.sparse) {
      // A hole reads as zeros.
      writeZeros(run.clusters * clusterBytes);
      publish();
      continue;
    }
    for (std::uint64_t done = 0; done < run.clusters && written_ < dataSize_;) {
      if (cancelled()) return;
      std::uint64_t n = std::min(clustersPerRead, run.clusters - done);
      std::uint64_t wanted = std::min<std::uint64_t>(n * clusterBytes, dataSize_ - written_);
      // Read only the sectors that will be written.
      std::size_t bytes = static_cast<std::size_t>((wanted + p.bytesPerSector - 1) / p.bytesPerSector * p.bytesPerSector);
      std::memset(buffer.data(), 0, bytes);
      source_.readSectorsRetrying(buffer.data(), bytes, clusterSector(run.lcn + done));
      write(buffer.data(), wanted);
      done += n;
      publish();
    }
  }
}

void FileExtractor::compressedCopy(const std::vector<Run>& runs, unsigned unitShift) {
  const auto& p = volume_.params;
  if (unitShift == 0 || unitShift > 8) unitShift = 4;
  const std::uint64_t clusterBytes = p.bytesPerCluster;
  const std::uint64_t unitClusters = std::uint64_t{1} << unitShift;
  const std::size_t unitBytes = static_cast<std::size_t>(unitClusters * clusterBytes);
  std::vector<std::uint8_t> gathered(unitBytes), expanded(unitBytes);

  // Walk the runs compression unit by compression unit.
  std::size_t runIndex = 0;
  std::uint64_t runOffset = 0;
  while (written_ < dataSize_ && runIndex < runs.size()) {
    if (cancelled()) return;
    std::uint64_t real = 0, sparse = 0;
    std::memset(gathered.data(), 0, unitBytes);
    while (real + sparse < unitClusters && runIndex < runs.size()) {
      const Run& run = runs[runIndex];
      std::uint64_t take = std::min(unitClusters - real - sparse, run.clusters - runOffset);
      if (run.sparse) {
        sparse += take;
      } else if (sparse == 0) {
        source_.readSectorsRetrying(gathered.data() + real * clusterBytes, static_cast<std::size_t>(take * clusterBytes),
                                    clusterSector(run.lcn + runOffset));
        real += take;
      } else {
        // Real clusters after a hole in the same unit do not occur in a well-formed stream: the
        // unit ends at the hole and they start the next one.
        break;
      }
      runOffset += take;
      if (runOffset >= run.clusters) {
        ++runIndex;
        runOffset = 0;
      }
    }
    if (real == unitClusters) {
      write(gathered.data(), unitBytes);  // a stored unit
    } else if (real == 0) {
      writeZeros(sparse * clusterBytes);  // a hole in a sparse compressed file
    } else {
      std::size_t g = static_cast<std::size_t>(real * clusterBytes);
      if (isCompressedUnit(Bytes(gathered.data(), g))) {
        decompressUnit(Bytes(gathered.data(), g), MutableBytes(expanded.data(), unitBytes));
        write(expanded.data(), unitBytes);
      } else {
        write(gathered.data(), g);
      }
    }
    publish();
  }
}

std::optional<std::vector<std::uint8_t>> FileExtractor::loadPreview(std::uint64_t recordSector, std::uint64_t dataSize,
                                                                    const std::u16string& stream) {
  const auto& p = volume_.params;
  if (dataSize == 0 || dataSize >= (std::uint64_t{1} << 32) || dataSize > kMaxPreviewBytes) return std::nullopt;
  std::vector<std::uint8_t> record(p.bytesPerMftRecord, 0);
  source_.readSectorsRetrying(record.data(), record.size(), recordSector);
  if (!checkFileRecord(record, p.bytesPerMftRecord, p.bytesPerSector)) return std::nullopt;
  Bytes r(record.data(), record.size());
  std::optional<Attribute> data;
  AttributeWalk walk(r);
  while (auto a = walk.next())
    if (a->type == kAttrData && (stream.empty() || isStream(r, *a, stream))) { data = a; break; }
  if (!data) return std::nullopt;
  std::vector<std::uint8_t> buffer;
  if (!data->nonResident) {
    if (stream.empty() && !isUnnamed(r, *data)) return std::nullopt;
    buffer.assign(data->value.begin(), data->value.end());
    if (buffer.size() > dataSize) buffer.resize(static_cast<std::size_t>(dataSize));
    return buffer;
  }
  if ((le16(r, data->offset + 0x0C) & 0x00FF) == kCompressedFlag) {
    source_.host().showMessage("Compressed data", "Preview not available", MessageIcon::Warning);
    return std::nullopt;
  }
  std::vector<Run> runs;
  decodeAttributeRuns(r, data->offset, runs);
  const std::size_t clusterBytes = p.bytesPerCluster;
  buffer.assign(static_cast<std::size_t>(dataSize), 0);
  std::size_t loaded = 0;
  for (const auto& run : runs) {
    for (std::uint64_t c = 0; c < run.clusters && loaded < buffer.size(); ++c) {
      std::size_t n = std::min(clusterBytes, buffer.size() - loaded);
      if (!run.sparse) {
        std::vector<std::uint8_t> cluster(clusterBytes, 0);
        source_.readSectorsRetrying(cluster.data(), clusterBytes, clusterSector(run.lcn + c));
        std::memcpy(buffer.data() + loaded, cluster.data(), n);
      }
      loaded += n;
    }
  }
  buffer.resize(loaded);
  // Past the valid data length the clusters hold whatever was there before: show zeros.
  std::uint64_t valid = le64(r, data->offset + 0x38);
  if (valid < buffer.size()) std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(valid), buffer.end(), 0);
  return buffer;
}

}  // namespace ov::ntfs
