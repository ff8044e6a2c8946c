// The containers a source may come in: forensic images (E01), virtual disks (VHD, VHDX, VMDK,
// qcow2) and raw images split into numbered pieces, besides plain raw images and devices.
//
// The format is chosen by the file's signature, never by its name (a split set, which has no
// signature, by the name of its first piece "NAME.001" and the presence of "NAME.002"). Each
// container is read through Debian's libyal library for it, behind the ReadBackend interface:
// the engines see the virtual disk, sector by sector, as they see a raw image. A read the library
// cannot complete (a damaged chunk, a block table pointing past the file) is reported as EIO, an
// unreadable sector that the read policy logs and skips; a sector that an E01 records as a
// checksum or acquiry error reads as EIO too. When one of the container's files is gone, reads
// fail with ENODEV, which ends the operation.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "disk/backend.h"
#include "disk/byte_io.h"

namespace ov {

enum class ImageFormat { Raw, SplitRaw, Ewf, Vhd, Vhdx, Vmdk, Qcow };

// "raw", "split raw", "E01", "VHD", "VHDX", "VMDK", "qcow2".
const char* imageFormatName(ImageFormat format);

// The container that a file's first bytes (`head`, 512 bytes or what the file has) and its last
// 512 bytes (`tail`, where a fixed VHD keeps its only footer) show. Raw when none: split sets
// are told by their names (splitRawSegments).
ImageFormat formatFromSignature(Bytes head, Bytes tail);

// The pieces of a split raw set whose first piece is `path` ("disk.001", "disk.002", ... with the
// same number of digits, as far as they go on without a gap); empty unless `path` ends in a
// number 1 of three or more digits and the second piece exists.
std::vector<std::string> splitRawSegments(const std::string& path);

// Where a qcow header (version 1 to 3) names its backing file: offset and length in the file.
// nullopt without a backing file, or when the header is no qcow header or the field is absurd.
struct QcowBackingField {
  std::uint64_t offset = 0;
  std::uint32_t length = 0;
};
std::optional<QcowBackingField> qcowBackingField(Bytes header);

// The file name of a parent that a differencing disk records, reduced to its last component
// (VHD parents are recorded as Windows paths, "C:\Images\base.vhd" or ".\base.vhd").
std::string parentFileName(std::string_view recorded);

// Opens `path` as whatever it is: a plain image file or block device (FileBackend), or the
// container its signature shows. On failure returns nullptr with an errno value in `error` and,
// for a container the library refused, the reason in `reason` ("... is a VHDX image, but ...").
std::unique_ptr<ReadBackend> openSourceBackend(const std::string& path, int& error, std::string& reason);

// The files a source at `path` is read from (all segments, extents and parents); empty for a
// plain file or device, or when it cannot be opened.
std::vector<SourceFile> sourceFiles(const std::string& path);

// The sector size a container records when it is one other than 512 (a valid power of two up
// to 32768), else 0: a record of 512 says no more than a raw image does.
std::uint16_t recordedSectorSize(const ReadBackend& backend);

// The file patterns of the images that can be opened, for file dialogs.
inline constexpr const char* kImageFilePatterns =
    "*.ov2 *.img *.dd *.raw *.bin *.iso *.001 *.E01 *.e01 *.Ex01 *.ex01 *.vhd *.VHD *.vhdx *.VHDX *.vmdk *.qcow2 "
    "*.qcow";

}  // namespace ov
