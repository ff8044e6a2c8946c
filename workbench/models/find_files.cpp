#include "workbench/models/find_files.h"

namespace ov {

bool matchName(const std::u16string& pattern, const std::u16string& name, bool matchCase) {
  auto same = [matchCase](char16_t a, char16_t b) { return a == b || (!matchCase && (a | 0x20) == (b | 0x20)); };
  std::size_t p = 0, n = 0;
  // Up to the first "*" the pattern and the name go side by side.
  while (n < name.size() && (p >= pattern.size() || pattern[p] != u'*')) {
    if (p >= pattern.size() || (!same(pattern[p], name[n]) && pattern[p] != u'?')) return false;
    ++p;
    ++n;
  }
  std::size_t resumePattern = 0, resumeName = 0;
  bool haveResume = false;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      ++p;
      if (p >= pattern.size()) return true;
      resumePattern = p;
      resumeName = n + 1;
      haveResume = true;
    } else if (p < pattern.size() && (same(pattern[p], name[n]) || pattern[p] == u'?')) {
      ++p;
      ++n;
    } else {
      if (!haveResume) return false;
      p = resumePattern;
      n = resumeName;
      ++resumeName;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p >= pattern.size();
}

}  // namespace ov
