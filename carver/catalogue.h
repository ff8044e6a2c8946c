// The carver's file-type catalogue: the 848-byte stored record of the "Signature" file, the
// list read from that file, the selected list built from the user's choice, and the index that
// the scanner queries at every sector.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "disk/byte_io.h"

namespace ov::carver {

inline constexpr std::size_t kSignatureRecordBytes = 848;
inline constexpr std::size_t kSignatureBytes = 256;
// Field widths in the stored record; each text keeps a NUL inside its field.
inline constexpr std::size_t kNameBytes = 256;
inline constexpr std::size_t kExtensionBytes = 32;
inline constexpr std::size_t kCategoryBytes = 16;

// Handler codes with an end-finding routine of their own; every other code has none.
enum HandlerCode : std::uint32_t {
  kHandlerAlternativesOnly = 0,  // yields only the entry's alternative extensions
  kHandlerLengthField = 4,       // LE 32-bit length at 4, plus 2048
  kHandlerAtomChain = 15,        // QuickTime / MPEG-4
  kHandlerMpegProgramStream = 18,
  kHandlerMidi = 61,
  kHandlerMpegAudio = 62,
  kHandlerAtomChainToo = 63,     // the same routine as 15
  kHandlerWave = 68,
  kHandlerPdf = 110,
  kHandlerBmp = 142,
  kHandlerGif = 161,
  kHandlerJpeg = 167,
  kHandlerPng = 185,
  kHandlerTiffEitherOrder = 203,
  kHandlerMrw = 207,
  kHandlerTiffLittleEndian = 208,
  kHandlerOle2 = 235,
  kHandlerRiff = 236,            // RIFF size plus 8 (AVI and other RIFF forms)
  kHandlerWebp = 237,
  kHandlerJpegScans = 238,       // JPEG of any coding process (progressive)
  kHandlerZip = 239,             // ZIP and the documents built on it
  kHandlerIsoMedia = 240,        // HEIC/HEIF, 3GP, M4A
  kHandlerMatroska = 241,
  kHandlerFlac = 242,
  kHandlerOgg = 243,
  kHandlerSqlite = 244,
  kHandler7z = 245,
  kHandlerRar = 246,
  kHandlerTiffRaw = 247,         // CR2, NEF, ARW, DNG
};

// One file type. Texts are held as UTF-8 here and stored as Windows-1252.
struct SignatureRecord {
  std::uint8_t reserved0 = 0;
  std::uint8_t selected = 0;         // non-zero: searched for (and checked on the page)
  std::uint8_t signatureLength = 0;  // the first signatureLength bytes of `signature` count
  std::uint16_t signatureOffset = 0; // byte offset of the signature within the file's first sector
  std::array<std::uint8_t, kSignatureBytes> signature{};
  std::array<std::uint8_t, 257> reserved1{};
  std::string name;                  // at most 255 bytes once stored
  std::string extension;             // without the dot; at most 31 bytes once stored
  std::uint32_t defaultSize = 0;     // bytes to carve when nothing else gives a size; 0: none
  std::uint32_t maxSize = 0;         // the user's maximum, set when the selected list is built
  std::uint32_t carvedSize = 0;      // written by the end-finding routine into its copy
  std::uint32_t skipBytes = 0;       // likewise: bytes the scan may jump over
  std::uint8_t sizeKnown = 0;        // likewise: 1 when the file's end was found
  std::uint8_t reserved2 = 0;
  std::string category;              // at most 15 bytes once stored
  std::uint32_t handlerCode = 0;
  std::uint32_t moreFollows = 0;     // non-zero: another record follows in the file

  Bytes signatureBytes() const { return Bytes(signature.data(), signatureLength); }
  bool operator==(const SignatureRecord&) const = default;
};

// The stored form. Texts longer than their field are cut so that the NUL still fits.
std::array<std::uint8_t, kSignatureRecordBytes> encodeSignatureRecord(const SignatureRecord& r);
// nullopt when fewer than 848 bytes are given.
std::optional<SignatureRecord> decodeSignatureRecord(Bytes stored);

// Windows-1252 to UTF-8 and back; the five unassigned bytes map to U+0081 etc. so that every
// byte survives a round trip, and characters outside the code page become "?".
std::string windows1252ToUtf8(Bytes text);
std::vector<std::uint8_t> utf8ToWindows1252(const std::string& text);

// A catalogue holds at most this many records: a damaged file whose every record says that
// another follows must not grow the list without bound.
inline constexpr std::size_t kMaxCatalogueRecords = 4096;

// Records in file order, read as the loader does: a record whose read ends early keeps zeros
// in the rest (so its moreFollows is 0 and it ends the list), and the record with moreFollows
// = 0 is the last. Bytes after it are ignored; a file that ends at a record boundary ends the
// list there, and an empty file gives no records.
std::vector<SignatureRecord> parseCatalogue(Bytes file);
// Reads the file at `path` the same way; nullopt when it cannot be opened.
std::optional<std::vector<SignatureRecord>> LoadCatalogue(const std::filesystem::path& path);
// Why the bytes are no catalogue, or empty when they are one: the list must end with a whole
// record that says no other follows, and every record must name an extension and have a
// signature, with texts free of control characters. (The loader reads anything; a file that
// is no catalogue would otherwise give a scan that finds nothing and says it completed.)
std::string catalogueDefect(Bytes file);
// The same for the file at `path`; a file that cannot be read is not valid either.
std::string catalogueFileDefect(const std::filesystem::path& path);
// The records written back to back, moreFollows set on every record but the last.
std::vector<std::uint8_t> encodeCatalogue(const std::vector<SignatureRecord>& records);

// The types the user chose, in the reverse of their file order, each with maxSize filled in.
struct SelectedList {
  std::vector<SignatureRecord> records;
  std::uint32_t count = 0;  // shown in the scan's progress text
};
SelectedList buildSelectedList(const std::vector<SignatureRecord>& catalogue, std::uint32_t maxSize);

// Orders keys byte by byte, and lets a group be searched with a span of sector bytes without
// building a key first.
struct KeyLess {
  using is_transparent = void;
  bool operator()(Bytes a, Bytes b) const;
  bool operator()(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) const {
    return (*this)(Bytes(a), Bytes(b));
  }
  bool operator()(const std::vector<std::uint8_t>& a, Bytes b) const { return (*this)(Bytes(a), b); }
  bool operator()(Bytes a, const std::vector<std::uint8_t>& b) const { return (*this)(a, Bytes(b)); }
};

// The first record (in selected-list order) with given signature bytes, and the extensions of
// the later records of the same group with the same bytes, in insertion order.
struct IndexEntry {
  SignatureRecord record;
  std::vector<std::string> alternatives;
};

// All selected types that share one (signatureLength, signatureOffset).
struct SignatureGroup {
  std::uint8_t signatureLength = 0;
  std::uint16_t signatureOffset = 0;
  std::map<std::vector<std::uint8_t>, IndexEntry, KeyLess> entries;
};

// Groups in the order in which their (length, offset) first occurs in the selected list; the
// scanner tries them in this order and the first that yields an item wins the sector.
struct SignatureIndex {
  std::vector<SignatureGroup> groups;
};

SignatureIndex BuildIndex(const std::vector<SignatureRecord>& selectedList);

// The entry whose signature equals the group's signatureLength bytes of `sector` at the group's
// offset, as a copy the caller may write into. `sector` starts at the sector's first byte; when
// it is too short to hold offset + length bytes nothing matches (a signature never reads past
// the bytes it is given). A group of length 0 matches every sector.
std::optional<IndexEntry> Lookup(const SignatureGroup& group, Bytes sector);
// The entry for exactly these key bytes (the scanner's forced "ID" lookup); a key whose length
// differs from the group's matches nothing.
std::optional<IndexEntry> LookupKey(const SignatureGroup& group, Bytes key);
// Whether the group holds an entry for exactly these key bytes, without copying it.
bool HoldsKey(const SignatureGroup& group, Bytes key);

void ReleaseIndex(SignatureIndex& index);

}  // namespace ov::carver
