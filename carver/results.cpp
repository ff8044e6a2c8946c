#include "carver/results.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace ov {
namespace {

std::u16string asciiText(std::string_view text) { return std::u16string(text.begin(), text.end()); }

// Each level keeps its children newest first, so new nodes go in front.
void linkInFront(ResultNode& parent, ResultNode& child) {
  child.parent = &parent;
  child.nextSibling = parent.firstChild;
  parent.firstChild = &child;
}

bool anyChildChecked(const ResultNode& node) {
  for (const ResultNode* c = node.firstChild; c; c = c->nextSibling)
    if (c->checked) return true;
  return false;
}

void setSubtree(ResultNode& node, bool checked) {
  node.checked = checked;
  // Iterative walk: a deep tree must not exhaust the stack.
  std::vector<ResultNode*> pending;
  for (ResultNode* c = node.firstChild; c; c = c->nextSibling) pending.push_back(c);
  while (!pending.empty()) {
    ResultNode* n = pending.back();
    pending.pop_back();
    n->checked = checked;
    for (ResultNode* c = n->firstChild; c; c = c->nextSibling) pending.push_back(c);
  }
}

template <typename Visit>
void forEachDescendant(const ResultNode& node, Visit visit) {
  std::vector<const ResultNode*> pending;
  for (const ResultNode* c = node.firstChild; c; c = c->nextSibling) pending.push_back(c);
  while (!pending.empty()) {
    const ResultNode* n = pending.back();
    pending.pop_back();
    visit(*n);
    for (const ResultNode* c = n->firstChild; c; c = c->nextSibling) pending.push_back(c);
  }
}

struct SizeUnit {
  double value;
  const char* unit;
};

// The dialogs' thresholds: KB below 1 MiB, MB below 1 GiB, GB above.
SizeUnit sizeUnit(std::uint64_t bytes) {
  const double value = static_cast<double>(bytes);
  if (bytes < 1048576) return {value / 1024.0, "KB"};
  if (bytes < 1073741824) return {value / 1048576.0, "MB"};
  return {value / 1073741824.0, "GB"};
}

char16_t foldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 0x20) : c; }

// Windows-1252 for 0x80-0x9F; 0 marks the bytes the code page leaves unassigned.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

}  // namespace

std::u16string carvedNamePart(const std::u16string& text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c == u'/' || c == u'\\' || c < 0x20 || c == 0x7F)
      c = u'_';
    else if (c == u'.' && (i == 0 || text[i - 1] == u'.'))
      c = u'_';
    out.push_back(c);
  }
  if (out.empty()) out = u"_";
  return out;
}

// ---- ResultTree ----

ResultTree::ResultTree() { reset(); }

void ResultTree::reset() {
  nodes_.clear();
  found_ = 0;
  root_ = &nodes_.emplace_back();
  root_->name = u".";
  root_->isFolder = true;
  rawData_ = &newNode(*root_, u"Raw Data", true);
}

ResultNode& ResultTree::newNode(ResultNode& parent, std::u16string name, bool isFolder) {
  ResultNode& node = nodes_.emplace_back();
  node.name = std::move(name);
  node.isFolder = isFolder;
  linkInFront(parent, node);
  return node;
}

ResultNode& ResultTree::folderUnder(ResultNode& parent, const std::u16string& name) {
  for (ResultNode* c = parent.firstChild; c; c = c->nextSibling)
    if (c->isFolder && c->name == name) return *c;
  return newNode(parent, name, true);
}

ResultNode& ResultTree::addCarvedItem(std::uint64_t startSector, const CarvedFind& find, std::uint32_t bytesPerSector,
                                      std::uint64_t totalSectors) {
  const std::u16string extension = carvedNamePart(find.extension);
  ResultNode& category = folderUnder(*rawData_, carvedNamePart(find.category));
  ResultNode& typeFolder = folderUnder(category, extension);

  std::u16string name = asciiText(std::to_string(startSector));
  name += u'.';
  name += extension;
  ResultNode& item = newNode(typeFolder, std::move(name), false);
  item.runs.push_back(startSector);

  std::uint64_t size = find.carvedSize  ? find.carvedSize
                       : find.maxSize   ? find.maxSize
                       : find.defaultSize ? find.defaultSize
                                          : kFallbackCarvedSize;
  if (bytesPerSector != 0) {
    // A find near the end of the disk is cut to the sectors that remain.
    const std::uint64_t remaining = startSector < totalSectors ? totalSectors - startSector : 0;
    if (size / bytesPerSector > remaining) size = remaining * bytesPerSector;
  }
  item.size = size;
  ++found_;
  return item;
}

// ---- Marks ----

void setChecked(ResultNode& node, bool checked) {
  setSubtree(node, checked);
  for (ResultNode* p = node.parent; p; p = p->parent) p->checked = anyChildChecked(*p);
}

void toggleChecked(ResultNode& node) { setChecked(node, !node.checked); }

void clearChecks(ResultNode& node) { setSubtree(node, false); }

void recomputeFolderChecks(ResultNode& node) {
  // Post-order without recursion: children are settled before their parent.
  std::vector<std::pair<ResultNode*, bool>> pending{{&node, false}};
  while (!pending.empty()) {
    auto [n, childrenDone] = pending.back();
    pending.pop_back();
    if (!n->hasChildren()) continue;
    if (childrenDone) {
      n->checked = anyChildChecked(*n);
      continue;
    }
    pending.emplace_back(n, true);
    for (ResultNode* c = n->firstChild; c; c = c->nextSibling) pending.emplace_back(c, false);
  }
}

CheckState checkState(const ResultNode& node) {
  if (!node.hasChildren()) return node.checked ? CheckState::Checked : CheckState::Unchecked;
  // Counting files rather than looking at the children alone: a category whose one extension
  // folder is only partly marked must not be drawn as fully checked.
  std::uint64_t files = 0, marked = 0;
  forEachDescendant(node, [&](const ResultNode& n) {
    if (n.hasChildren()) return;
    ++files;
    if (n.checked) ++marked;
  });
  if (marked == 0) return CheckState::Unchecked;
  return marked == files ? CheckState::Checked : CheckState::Partial;
}

SelectionTotals selectionTotals(const ResultNode& root) {
  SelectionTotals t;
  forEachDescendant(root, [&t](const ResultNode& n) {
    if (!n.checked) return;
    if (n.isFolder) {
      if (n.hasChildren()) ++t.folders;
    } else {
      ++t.files;
      t.bytes += n.size;
    }
  });
  return t;
}

TreeTotals treeTotals(const ResultNode& root) {
  TreeTotals t;
  forEachDescendant(root, [&t](const ResultNode& n) {
    if (n.isFolder) {
      ++t.folders;
    } else {
      ++t.files;
      t.bytes += n.size;
    }
  });
  return t;
}

bool canSave(const ResultNode& root) { return root.checked && selectionTotals(root).files > 0; }

std::string resultsSizeText(std::uint64_t bytes) {
  const SizeUnit s = sizeUnit(bytes);
  char text[64];
  std::snprintf(text, sizeof text, "[%-.2f %s]", s.value, s.unit);
  return text;
}

std::string savingSizeText(std::uint64_t bytes) {
  const SizeUnit s = sizeUnit(bytes);
  char text[64];
  std::snprintf(text, sizeof text, "%7.3f %s", s.value, s.unit);
  return text;
}

// ---- Find in results ----

std::optional<std::string> checkFindSizeField(const std::u16string& text, std::uint64_t& kilobytes) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || text[i] == u'\t')) ++i;
  if (i == text.size()) return std::string(kProvideSizeText);
  bool negative = false;
  if (text[i] == u'-' || text[i] == u'+') negative = text[i++] == u'-';
  // Leading digits only, as a number field reads them; anything else counts as 0.
  std::uint64_t value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    const std::uint64_t digit = static_cast<std::uint64_t>(text[i] - u'0');
    // Kilobytes beyond this would overflow the byte count.
    if (value > (UINT64_MAX / 1024 - digit) / 10) return std::string(kSizeAboveZeroText);
    value = value * 10 + digit;
  }
  if (negative || value == 0) return std::string(kSizeAboveZeroText);
  kilobytes = value;
  return std::nullopt;
}

std::uint16_t packFindDate(int year, int month, int day) {
  return static_cast<std::uint16_t>(((year - 1980) & 0x7F) << 9 | (month & 0x0F) << 5 | (day & 0x1F));
}

bool matchResultName(const std::u16string& pattern, const std::u16string& name, bool matchCase) {
  auto same = [matchCase](char16_t p, char16_t n) {
    return p == u'?' || p == n || (!matchCase && foldAscii(p) == foldAscii(n));
  };
  std::size_t p = 0, n = 0;
  std::size_t starAt = std::u16string::npos, resumeName = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      starAt = p++;
      resumeName = n;
    } else if (p < pattern.size() && same(pattern[p], name[n])) {
      ++p;
      ++n;
    } else if (starAt != std::u16string::npos) {
      // Let the last "*" take one more character and try again from there.
      p = starAt + 1;
      n = ++resumeName;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

bool ResultFinder::kept(const ResultNode& node) const {
  if (!matchResultName(criteria_.pattern, node.name, criteria_.matchCase)) return false;
  if (found_.count(&node)) return false;
  if (criteria_.sizeOn) {
    if (node.isFolder) return false;
    const bool fits = criteria_.relation == SizeRelation::AtMost ? node.size <= criteria_.sizeBytes
                                                                 : node.size >= criteria_.sizeBytes;
    if (!fits) return false;
  }
  if (criteria_.dateOn) {
    // Carved items carry no date.
    const std::uint16_t date = 0;
    if (date < criteria_.dateFrom || date > criteria_.dateTo) return false;
  }
  return true;
}

const ResultNode* ResultFinder::search(const ResultNode& root) {
  // Depth first in stored order: a node, then what lies inside it, then its next sibling.
  std::vector<const ResultNode*> pending;
  auto pushChildren = [&pending](const ResultNode& n) {
    std::size_t mark = pending.size();
    for (const ResultNode* c = n.firstChild; c; c = c->nextSibling) pending.push_back(c);
    std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(mark), pending.end());
  };
  pushChildren(root);
  while (!pending.empty()) {
    const ResultNode* n = pending.back();
    pending.pop_back();
    if (kept(*n)) {
      found_.insert(n);
      return n;
    }
    pushChildren(*n);
  }
  return nullptr;
}

const ResultNode* ResultFinder::find(const ResultNode& root, const ResultFindCriteria& criteria) {
  criteria_ = criteria;
  haveCriteria_ = true;
  found_.clear();
  return search(root);
}

const ResultNode* ResultFinder::findNext(const ResultNode& root) {
  if (!haveCriteria_) return nullptr;
  const ResultNode* match = search(root);
  if (!match) found_.clear();
  return match;
}

// ---- Text view ----

char16_t textViewChar(std::uint8_t byte) {
  if (byte < 0x20 || byte == 0x7F) return u'.';
  if (byte >= 0x80 && byte < 0xA0) {
    char16_t c = kCp1252High[byte - 0x80];
    return c ? c : u'.';
  }
  return static_cast<char16_t>(byte);  // ASCII and 0xA0-0xFF map to the same code points
}

std::uint64_t textViewLineCount(std::uint64_t length) {
  return length / kTextViewBytesPerLine + (length % kTextViewBytesPerLine ? 1 : 0);
}

std::u16string textViewLine(Bytes item, std::uint64_t line) {
  char head[48];
  // A precision of 8 writes at least eight digits, zero-padded.
  std::snprintf(head, sizeof head, "Line %.8llu:    ", static_cast<unsigned long long>(line));
  std::u16string out = asciiText(head);
  out.reserve(out.size() + 2 * kTextViewBytesPerLine);
  for (std::size_t i = 0; i < kTextViewBytesPerLine; ++i) {
    const std::uint64_t offset = line * kTextViewBytesPerLine + i;
    if (line < UINT64_MAX / kTextViewBytesPerLine && offset < item.size()) {
      out.push_back(textViewChar(item[static_cast<std::size_t>(offset)]));
      out.push_back(u' ');
    } else {
      out.append(u"  ");
    }
  }
  return out;
}

}  // namespace ov
