// What an end-finding routine is given and what it gives back.
//
// The carving scanner finds a signature at the start of a sector and hands the sector to the
// routine registered for the type's handler code (registry.h). The routine reads what it needs
// through CarveSource, decides whether the bytes are a file of its format and, if so, how long
// the file is. Routines never allocate in proportion to a field read from the disk, never read
// outside the disk and bound every walk by the disk's end and kMaxCarvedSize.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>

#include "disk/byte_io.h"
#include "disk/host.h"

namespace ov::carver {

// The disk under scan, as whole sectors at 64-bit sector numbers.
class CarveSource {
 public:
  virtual ~CarveSource() = default;
  virtual std::uint16_t bytesPerSector() const = 0;
  virtual std::uint64_t totalSectors() const = 0;
  // Reads `count` sectors starting at `lba` into `out` (exactly count × bytesPerSector bytes);
  // routines only ask for lba + count ≤ totalSectors. Sectors that cannot be read but may be passed
  // over come back as zeros and the call succeeds. False: the disk is gone (disconnected) or the
  // read failed for good; the routine stops reading and answers Outcome::ReadFailed.
  // The source may also throw AlreadyReported; routines hold no resource that would leak.
  virtual bool readSectors(std::uint64_t lba, std::uint32_t count, MutableBytes out) = 0;
};

// Start sectors of MP3 frames (routine 62) and MPEG packs (routine 18) inside files already
// walked, so that a frame or pack in the middle of a file is not taken for a new file. Keep one
// per scan: numbers from another disk would hide files at the same sectors.
struct CarveState {
  std::unordered_set<std::uint64_t> mp3Starts;
  std::unordered_set<std::uint64_t> mpegStarts;
};

struct CarveContext {
  CarveSource& disk;
  std::uint64_t startSector = 0;
  // Bytes from the start sector that the scanner already holds (the rest of its chunk); may be
  // empty. Routines read them from here instead of the disk.
  Bytes resident{};
  // The catalogue record's sizes, for the scanner's size rule; routines do not change them.
  std::uint32_t defaultSize = 0;
  std::uint32_t maxSize = 0;
  // The scan's start lists; null keeps no lists (each call then stands alone).
  CarveState* state = nullptr;
  // Stop and pause; null: never stopped.
  RunControl* run = nullptr;

  // Tested at every step of every walk: waits while paused, false once the scan is stopped.
  bool running() const { return run == nullptr || run->proceed(); }
};

enum class Outcome : std::uint8_t {
  Accepted,    // a file of this format starts here (size may still be unknown)
  Rejected,    // not a file of this format: the scanner tries the alternatives
  ReadFailed,  // CarveSource::readSectors returned false: the scanner ends the scan
};

// The largest size a routine gives: the catalogue record keeps carved sizes in 32 bits.
inline constexpr std::uint64_t kMaxCarvedSize = 0xFFFFFFFFu;

struct CarveResult {
  Outcome outcome = Outcome::Rejected;
  // Bytes from the start sector; 0: no size of its own (the scanner's size rule applies).
  // Never beyond the disk's end or kMaxCarvedSize.
  std::uint64_t size = 0;
  // When endFound: bytes from the start sector that the scan jumps over (the next sector tested
  // is start + ceil(skipBytes / bytesPerSector)). Without endFound the scan goes on at start + 1.
  std::uint64_t skipBytes = 0;
  bool endFound = false;
  // Non-empty: replaces the record's extension for this item (OLE2 sets doc, xls or ppt; the ZIP
  // routine names the document kind it finds inside).
  std::string extension;
  // Non-empty: replaces the record's category (a ZIP found by the archive row that holds an
  // office document goes with the documents).
  std::string category;

  bool accepted() const { return outcome == Outcome::Accepted; }
};

using EndFinder = CarveResult (*)(const CarveContext& ctx);

// One format's constant descriptor; registry.cpp lists them all by handler code.
struct FormatRoutine {
  int handlerCode;
  const char* name;  // short format name, for logs and tests
  EndFinder findEnd;
  // The item is added even when the routine rejects (PDF: a damaged header still gets an item).
  bool addWhenRejected = false;
};

}  // namespace ov::carver
