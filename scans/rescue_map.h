// The map of an imaging run that can be interrupted and resumed: which byte ranges of the
// source are copied, bad, or still to be tried. Stored as a GNU ddrescue mapfile, so that a map
// begun by ddrescue can be continued here and the other way round:
//
//   # comment lines
//   0x00120000     ?               1          <- current position, current status, pass
//   0x00000000  0x00100000  +                 <- one line per block: position, size, status
//   0x00100000  0x00000200  -
//
// Block statuses: '?' not tried, '*' failed in a large read and not trimmed yet, '/' trimmed but
// not scraped, '-' a bad sector (after a sector-sized read), '+' finished. Numbers are written in
// hexadecimal; decimal, hexadecimal ("0x") and octal (leading "0") are read, as C reads them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ov {

class RescueMap {
 public:
  struct Block {
    std::uint64_t start = 0, size = 0;
    char status = '?';
  };

  // A map of `size` bytes, all not tried.
  explicit RescueMap(std::uint64_t size = 0);

  // Reads a mapfile; nullopt with the reason (naming the line) when the text is none.
  static std::optional<RescueMap> parse(std::string_view text, std::string& error);
  // The mapfile's text; `comment` lines (without '#') go at its top.
  std::string format(std::string_view comment = {}) const;

  // The end of the last block: the size of the area the map covers.
  std::uint64_t size() const { return size_; }
  // Makes the map cover [0, size): blocks past it are cut off, a shorter map grows by a
  // not-tried block.
  void resize(std::uint64_t size);
  // Sets [start, end) to `status`; blocks of the same status that touch are joined.
  void set(std::uint64_t start, std::uint64_t end, char status);
  // The status at `offset` ('?' outside the map).
  char statusAt(std::uint64_t offset) const;
  // The first block at or after `from` (a block containing `from` starts there) whose status is
  // `status`, clipped to begin at `from`; nullopt when none.
  std::optional<Block> next(std::uint64_t from, char status) const;
  // Bytes with this status.
  std::uint64_t bytesWith(char status) const;
  // The blocks, in order.
  std::vector<Block> blocks() const;

  std::uint64_t currentPosition = 0;
  char currentStatus = '?';  // '?' copying, '*' trimming, '/' scraping, '-' retrying, '+' finished
  std::uint32_t currentPass = 1;

 private:
  std::uint64_t size_ = 0;
  // start -> (end, status); contiguous from 0 to size_.
  std::map<std::uint64_t, std::pair<std::uint64_t, char>> blocks_;
};

// A block status and a current status that a mapfile may hold.
bool isBlockStatus(char c);
bool isCurrentStatus(char c);

}  // namespace ov
