// The file-type page of the carver's wizard, without widgets: the list of types with their
// check states, the category filter, Select All / Deselect All, the maximum size with its unit
// and range check, and what Next hands to the scan. The Qt page and the command line both
// drive this model.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "carver/catalogue.h"
#include "disk/host.h"

namespace ov::carver {

struct CataloguePageMessage {
  std::string caption;
  std::string text;
  std::optional<MessageIcon> icon;  // none: a plain message box
};

struct CatalogueRow {
  std::string name, extension, category;
  bool checked = false;
  std::size_t record = 0;  // position of the row's record in the catalogue (file order)
};

enum class SizeUnit { KB, MB, GB };

class CataloguePageModel {
 public:
  static constexpr const char* kAllCategories = "All";
  static constexpr const char* kNoTypesText = "No File Types found.";
  static constexpr const char* kLoadFailedText = "Failed to retrieve signatures";
  static constexpr const char* kSizeRangeText = "Please provide value in range of1KB to 4GB.";
  static constexpr const char* kHelpTopic = "::/ovfrselectfiletypes.htm";
  static constexpr std::uint64_t kMaxBytes = 4294967296ULL;  // 4 GB, the largest maximum accepted

  // Opens the page on the catalogue file; a file that cannot be opened leaves the page empty
  // with the message "Failed to retrieve signatures".
  void open(const std::filesystem::path& signatureFile);
  // Opens the page on records already read (tests, and callers that loaded the file themselves).
  void open(std::vector<SignatureRecord> catalogue);

  const std::vector<SignatureRecord>& catalogue() const { return catalogue_; }
  // The rows shown, after the filter and the last sort; empty when there are no types.
  const std::vector<CatalogueRow>& rows() const { return rows_; }
  // The text shown in place of rows when the list is empty ("No File Types found.").
  std::optional<std::string> emptyText() const;
  // Every category once, in alphabetical order (without regard to case), with "All" among them.
  const std::vector<std::string>& categories() const { return categories_; }
  const std::string& chosenCategory() const { return category_; }

  void chooseCategory(const std::string& category);
  // Sorts the shown rows by a column: 0 name, 1 extension, 2 category.
  void sortBy(int column);
  // A click on a row's check box or the space bar on it.
  void toggleRow(std::size_t row);
  void selectAll();
  void deselectAll();

  SizeUnit unit() const { return unit_; }
  const std::string& sizeText() const { return sizeText_; }
  std::size_t sizeTextLimit() const;  // 7 for KB, 4 for MB, 1 for GB
  // Changing the unit resets the field to "1".
  void setUnit(SizeUnit unit);
  // An edit of the size field. Text that the field would not take (longer than its limit, or
  // not all digits) is refused and returns false, leaving the field as it was. Accepted text is
  // range-checked: 0 bytes or more than 4 GB gives the range message and selects the text.
  bool setSizeText(const std::string& text);
  // The field's number times the unit; 0 for an empty field.
  std::uint64_t sizeBytes() const;
  bool sizeValid() const;
  // The maximum as stored in each selected record: exactly 4 GB does not fit 32 bits, and the
  // wrapped value 0 would mean "no maximum", so it is held at 4 GB minus one byte.
  std::uint32_t maxSizeField() const;
  bool sizeTextSelected() const { return sizeTextSelected_; }

  bool anySelected() const;
  bool nextEnabled() const { return nextEnabled_; }

  // Next: the selected list (reversed file order, maxSize filled in) and its count; the
  // catalogue is freed. nullopt, with nothing changed, while Next is disabled.
  std::optional<SelectedList> next();
  // Back or Cancel: the catalogue is freed.
  void close();

  // The message the page would show since the last call, if any.
  std::optional<CataloguePageMessage> takeMessage();

 private:
  void refillRows();
  void updateNext();

  std::vector<SignatureRecord> catalogue_;
  std::vector<CatalogueRow> rows_;
  std::vector<std::string> categories_;
  std::string category_ = kAllCategories;
  SizeUnit unit_ = SizeUnit::KB;
  std::string sizeText_ = "1";
  bool sizeTextSelected_ = false;
  bool nextEnabled_ = false;
  std::optional<CataloguePageMessage> message_;
};

}  // namespace ov::carver
