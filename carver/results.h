// The carver's results: the tree of found items, the user's marks and their totals, find in
// results and the lines of the text view. Plain C++ shared by the GUI, the command line and the
// scanner; nothing here reads the disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "disk/byte_io.h"

namespace ov {

// One node of the results tree. Children form a singly linked list, newest first.
struct ResultNode {
  std::uint64_t size = 0;  // bytes; 0 for folders
  ResultNode* nextSibling = nullptr;
  ResultNode* firstChild = nullptr;
  ResultNode* parent = nullptr;
  std::vector<std::uint64_t> runs;  // start sectors; a carved item has exactly one
  std::u16string name;
  bool isFolder = false;
  bool checked = false;

  bool hasChildren() const { return firstChild != nullptr; }
  std::uint64_t startSector() const { return runs.empty() ? 0 : runs.front(); }
};

// The parts of a catalogue record (after its end-finding routine ran) that make an item.
struct CarvedFind {
  std::u16string category;
  std::u16string extension;
  std::uint64_t carvedSize = 0;   // found by the end-finding routine; 0 when unknown
  std::uint64_t maxSize = 0;      // the user's maximum; 0 when none was given
  std::uint64_t defaultSize = 0;  // the catalogue's size for the type; 0 when none
};

// The size an item gets when nothing else gives one.
inline constexpr std::uint64_t kFallbackCarvedSize = 2097152;

// A folder or extension text from the catalogue made safe as one name: "/", "\" and control
// characters become "_", and a dot that starts the text or follows another dot becomes "_", so
// no name can be ".." or climb out of its folder. An empty text becomes "_".
std::u16string carvedNamePart(const std::u16string& text);

// The results tree: the root "." whose only child is "Raw Data", then category, extension and
// the carved items. Nodes live as long as the tree (pointers stay valid until reset()).
class ResultTree {
 public:
  ResultTree();
  ResultTree(const ResultTree&) = delete;
  ResultTree& operator=(const ResultTree&) = delete;

  // Starts a new scan: the tree holds only "." and "Raw Data", the found count is 0.
  void reset();

  ResultNode& root() { return *root_; }
  const ResultNode& root() const { return *root_; }
  ResultNode& rawData() { return *rawData_; }
  const ResultNode& rawData() const { return *rawData_; }

  // Adds the item found at `startSector` under its category and extension folders (created in
  // front of their siblings when missing) and returns it. Its name is "<sector>.<ext>"; its size
  // is carvedSize, else maxSize, else defaultSize, else kFallbackCarvedSize, cut to the end of the
  // disk when it would run past `totalSectors`.
  ResultNode& addCarvedItem(std::uint64_t startSector, const CarvedFind& find, std::uint32_t bytesPerSector,
                            std::uint64_t totalSectors);

  std::uint64_t foundCount() const { return found_; }

 private:
  ResultNode& newNode(ResultNode& parent, std::u16string name, bool isFolder);
  ResultNode& folderUnder(ResultNode& parent, const std::u16string& name);

  std::deque<ResultNode> nodes_;
  ResultNode* root_ = nullptr;
  ResultNode* rawData_ = nullptr;
  std::uint64_t found_ = 0;
};

// ---- Marks ----

// Sets the mark of `node` (and of all its descendants when it is a folder), then recomputes each
// ancestor: marked when any of its children is.
void setChecked(ResultNode& node, bool checked);
void toggleChecked(ResultNode& node);
// Clears every mark under and including `node` (the results dialog opens with no marks).
void clearChecks(ResultNode& node);
// Recomputes every folder's mark from its children, bottom up.
void recomputeFolderChecks(ResultNode& node);

// How the tree draws a folder's check box: checked when every file below it is marked, partly
// checked when some are, unchecked when none are. A file is Checked or Unchecked.
enum class CheckState { Unchecked, Partial, Checked };
CheckState checkState(const ResultNode& node);

// Counts over the descendants of a node (the node itself is not counted).
struct SelectionTotals {
  std::uint64_t files = 0;    // marked files
  std::uint64_t folders = 0;  // marked folders that have children
  std::uint64_t bytes = 0;    // sum of the marked files' sizes
};
struct TreeTotals {
  std::uint64_t files = 0;
  std::uint64_t folders = 0;
  std::uint64_t bytes = 0;
};
SelectionTotals selectionTotals(const ResultNode& root);
TreeTotals treeTotals(const ResultNode& root);
// "&Save " is offered when the root is marked and at least one file is.
bool canSave(const ResultNode& root);

// Sizes as the results dialog writes them: "[%-.2f KB]", "[%-.2f MB]" or "[%-.2f GB]".
std::string resultsSizeText(std::uint64_t bytes);
// Sizes as the processing dialog writes them: "%7.3f KB", "%7.3f MB" or "%7.3f GB".
std::string savingSizeText(std::uint64_t bytes);

// ---- Find in results ----

enum class SizeRelation { AtMost, AtLeast };
enum class DateKind { Access, Creation };

// (Named apart from the workbench's FindCriteria: both live in namespace ov and meet in one
// program, where two classes of one name would share their inline members.)
struct ResultFindCriteria {
  std::u16string pattern;  // "*" any run, "?" any one character
  bool matchCase = false;  // without it ASCII letters match either case
  bool sizeOn = false;
  SizeRelation relation = SizeRelation::AtMost;
  std::uint64_t sizeBytes = 1024;  // the KB field times 1,024, held in 64 bits so large sizes fit
  bool dateOn = false;
  DateKind dateKind = DateKind::Access;
  std::uint16_t dateFrom = 0;  // packed: bits 15-9 year - 1980, 8-5 month, 4-0 day
  std::uint16_t dateTo = 0;
};

inline constexpr const char* kEntryNotFoundText = "Entry not found";
inline constexpr const char* kProvideSizeText = "Please provide file size in KB.";
inline constexpr const char* kSizeAboveZeroText = "Please enter value greater then zero.";

// The find dialog's size field as it loses the focus: the error text to show (focus goes back
// to the field), or nullopt with `kilobytes` set.
std::optional<std::string> checkFindSizeField(const std::u16string& text, std::uint64_t& kilobytes);
// Packs a date as the find criteria keep it.
std::uint16_t packFindDate(int year, int month, int day);

bool matchResultName(const std::u16string& pattern, const std::u16string& name, bool matchCase);

// The searches of "Find (Ctrl + F)" and "Find Next (F3)" over the results tree. The GUI shows a
// match by selecting its parent folder and scrolling the list to it.
class ResultFinder {
 public:
  // "&Search Now": keeps the criteria, forgets earlier matches, and finds the first match.
  const ResultNode* find(const ResultNode& root, const ResultFindCriteria& criteria);
  // "Find Next (F3)": the next match with the kept criteria; when there is none, the found list is
  // cleared so that a further search starts over.
  const ResultNode* findNext(const ResultNode& root);

  bool hasCriteria() const { return haveCriteria_; }
  const ResultFindCriteria& criteria() const { return criteria_; }

 private:
  const ResultNode* search(const ResultNode& root);
  bool kept(const ResultNode& node) const;

  ResultFindCriteria criteria_;
  bool haveCriteria_ = false;
  std::unordered_set<const ResultNode*> found_;
};

// ---- Text view ----

// Items above this size are refused by the text preview with kPreviewTooLargeText.
inline constexpr std::uint64_t kMaxTextPreviewBytes = 31457280;
inline constexpr const char* kPreviewTooLargeText = "File size too large for preview";
inline constexpr std::size_t kTextViewBytesPerLine = 32;

// The character of a byte in Windows-1252. Control characters, the five unassigned bytes and
// zero have no character of their own and are drawn as ".".
char16_t textViewChar(std::uint8_t byte);
// The item's length divided by 32, rounded up.
std::uint64_t textViewLineCount(std::uint64_t length);
// Line `line` (from 0): "Line %0.8u:    " then each of the 32 bytes as a character followed by
// a blank; past the end of the item two blanks per missing byte.
std::u16string textViewLine(Bytes item, std::uint64_t line);

}  // namespace ov
