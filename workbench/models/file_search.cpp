#include "workbench/models/file_search.h"

#include "workbench/models/find_files.h"

namespace ov {

std::uint64_t findSizeBytes(std::uint64_t number, int unit) {
  unsigned shift = unit == 2 ? 30 : unit == 1 ? 20 : 10;
  if (number > (UINT64_MAX >> shift)) return UINT64_MAX;
  return number << shift;
}

int findSizeDigits(int unit) { return unit == 2 ? 5 : unit == 1 ? 8 : 11; }

bool findCriteriaUsable(const FindCriteria& c) {
  if (c.pattern.empty()) return false;
  return !c.sizeOn || (c.sizeBytes > 0 && c.sizeBytes <= kMaxFindSizeBytes);
}

bool passesSizeAndDate(const TreeEntry& e, const FindCriteria& c) {
  if (c.sizeOn && (c.sizeAtMost ? e.size > c.sizeBytes : e.size < c.sizeBytes)) return false;
  if (c.dateOn) {
    std::uint16_t date = c.creationDate ? e.createdDate : e.accessedDate;
    if (date < c.dateFrom || date > c.dateTo) return false;
  }
  return true;
}

void FileSearch::start(FindCriteria criteria) {
  criteria_ = std::move(criteria);
  found_.clear();
  started_ = true;
}

std::optional<FindMatch> FileSearch::next(RecoveryEngine& engine) {
  if (!started_) return std::nullopt;
  auto top = engine.topFolder();
  if (!top) return std::nullopt;
  struct Frame {
    TreeEntry folder;
    std::vector<std::uint64_t> keys;
  };
  std::vector<Frame> stack{{*top, {top->key}}};
  std::set<std::uint64_t> visited{top->key};
  while (!stack.empty()) {
    Frame frame = std::move(stack.back());
    stack.pop_back();
    std::vector<Frame> subfolders;
    for (auto& e : engine.listFolder(frame.folder)) {
      if (e.isFolder() && visited.insert(e.key).second) {
        std::vector<std::uint64_t> keys = frame.keys;
        keys.push_back(e.key);
        subfolders.push_back({e, std::move(keys)});
      }
      if (!matchName(criteria_.pattern, e.name, criteria_.matchCase)) continue;
      if (!found_.insert(e.key).second) continue;
      if (!passesSizeAndDate(e, criteria_)) continue;
      return FindMatch{std::move(e), frame.keys};
    }
    // Depth first, in the order the folder lists its subfolders.
    for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it) stack.push_back(std::move(*it));
  }
  return std::nullopt;
}

}  // namespace ov
