// Finding files in a recovered tree by name pattern, size and date; each match is found once
// until the search starts again, as F3 walks through them.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "disk/recovery_engine.h"

namespace ov {

struct FindCriteria {
  std::u16string pattern;
  bool matchCase = false;
  bool sizeOn = false;
  bool sizeAtMost = false;  // "At least" (false) or "At most" (true)
  std::uint64_t sizeBytes = 0;
  bool dateOn = false;
  bool creationDate = false;  // "Last access date" (false) or "Creation date" (true)
  std::uint16_t dateFrom = 0, dateTo = 0;  // DOS dates
};

// The largest size the find dialog accepts: 4096 x 2^32 bytes.
inline constexpr std::uint64_t kMaxFindSizeBytes = 17592186044416ULL;
// The size in bytes of a number in "KB", "MB" or "GB" (unit 0, 1, 2).
std::uint64_t findSizeBytes(std::uint64_t number, int unit);
// The number of digits the size field takes for a unit: 11, 8 or 5.
int findSizeDigits(int unit);
// Whether "Search Now" may be pressed.
bool findCriteriaUsable(const FindCriteria& c);
// Whether an entry passes the size and date criteria (the name is tested separately).
bool passesSizeAndDate(const TreeEntry& e, const FindCriteria& c);

struct FindMatch {
  TreeEntry entry;
  // The keys of the folders from the top folder down to the one holding the match (the top's
  // own key first).
  std::vector<std::uint64_t> folderKeys;
};

class FileSearch {
 public:
  // A new search: forgets every entry tested so far.
  void start(FindCriteria criteria);
  bool started() const { return started_; }
  const FindCriteria& criteria() const { return criteria_; }
  // The next match from the top folder down, skipping entries already tested; nullopt when none
  // is left. Folders met twice in a damaged tree are visited once.
  std::optional<FindMatch> next(RecoveryEngine& engine);

 private:
  FindCriteria criteria_;
  std::set<std::uint64_t> found_;
  bool started_ = false;
};

}  // namespace ov
