// A disk held in memory, for the tests and the fuzz target. It counts what it is asked for, so a
// test can tell that a routine stayed within the disk and within a bounded amount of reading, and
// it can fail from a chosen read on, as a disconnected disk does.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "carver/formats/format.h"

namespace ov::carver {

class MemorySource final : public CarveSource {
 public:
  // The disk is `bytes` cut to whole sectors.
  MemorySource(std::vector<std::uint8_t> bytes, std::uint16_t bytesPerSector)
      : bytes_(std::move(bytes)), bps_(bytesPerSector) {
    total_ = bps_ == 0 ? 0 : bytes_.size() / bps_;
  }

  std::uint16_t bytesPerSector() const override { return bps_; }
  std::uint64_t totalSectors() const override { return total_; }

  bool readSectors(std::uint64_t lba, std::uint32_t count, MutableBytes out) override {
    ++reads_;
    if (reads_ > failAfter_) return false;
    const std::uint64_t want = std::uint64_t{count} * bps_;
    if (lba > total_ || count > total_ - lba || out.size() != want) {
      ++badRequests_;
      return false;
    }
    sectorsRead_ += count;
    if (want != 0) std::memcpy(out.data(), bytes_.data() + lba * bps_, static_cast<std::size_t>(want));
    return true;
  }

  // Reads after the first `n` fail (a disconnected disk).
  void failAfter(std::uint64_t n) { failAfter_ = n; }

  std::uint64_t reads() const { return reads_; }
  std::uint64_t sectorsRead() const { return sectorsRead_; }
  // Requests outside the disk or with a buffer of the wrong size; routines never make them.
  std::uint64_t badRequests() const { return badRequests_; }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::uint16_t bps_;
  std::uint64_t total_ = 0;
  std::uint64_t reads_ = 0;
  std::uint64_t sectorsRead_ = 0;
  std::uint64_t badRequests_ = 0;
  std::uint64_t failAfter_ = std::numeric_limits<std::uint64_t>::max();
};

}  // namespace ov::carver
