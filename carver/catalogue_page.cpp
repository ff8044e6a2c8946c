#include "carver/catalogue_page.h"

#include <algorithm>
#include <cctype>

namespace ov::carver {

namespace {

// The category box and the column sort order texts alphabetically without regard to case.
bool lessNoCase(const std::string& a, const std::string& b) {
  auto folded = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  auto fa = folded(a), fb = folded(b);
  return fa != fb ? fa < fb : a < b;
}

std::uint64_t unitBytes(SizeUnit unit) {
  switch (unit) {
    case SizeUnit::KB: return 1024;
    case SizeUnit::MB: return 1048576;
    case SizeUnit::GB: return 1073741824;
  }
  return 1024;
}

}  // namespace

void CataloguePageModel::open(const std::filesystem::path& signatureFile) {
  auto loaded = LoadCatalogue(signatureFile);
  if (!loaded) {
    open(std::vector<SignatureRecord>{});
    message_ = CataloguePageMessage{"Error", kLoadFailedText, MessageIcon::Error};
    return;
  }
  open(std::move(*loaded));
}

void CataloguePageModel::open(std::vector<SignatureRecord> catalogue) {
  catalogue_ = std::move(catalogue);
  message_.reset();
  categories_.clear();
  for (const auto& r : catalogue_) {
    if (r.category.empty()) continue;
    if (std::find(categories_.begin(), categories_.end(), r.category) == categories_.end())
      categories_.push_back(r.category);
  }
  categories_.push_back(kAllCategories);
  std::sort(categories_.begin(), categories_.end(), lessNoCase);
  category_ = kAllCategories;
  unit_ = SizeUnit::KB;
  sizeText_ = "1";
  sizeTextSelected_ = false;
  refillRows();
  updateNext();
}

std::optional<std::string> CataloguePageModel::emptyText() const {
  if (catalogue_.empty()) return std::string(kNoTypesText);
  return std::nullopt;
}

void CataloguePageModel::refillRows() {
  rows_.clear();
  for (std::size_t i = 0; i < catalogue_.size(); ++i) {
    const auto& r = catalogue_[i];
    if (category_ != kAllCategories && r.category != category_) continue;
    rows_.push_back(CatalogueRow{r.name, r.extension, r.category, r.selected != 0, i});
  }
}

void CataloguePageModel::chooseCategory(const std::string& category) {
  category_ = category;
  refillRows();
}

void CataloguePageModel::sortBy(int column) {
  auto field = [column](const CatalogueRow& row) -> const std::string& {
    if (column == 1) return row.extension;
    if (column == 2) return row.category;
    return row.name;
  };
  std::stable_sort(rows_.begin(), rows_.end(),
                   [&](const CatalogueRow& a, const CatalogueRow& b) { return lessNoCase(field(a), field(b)); });
}

void CataloguePageModel::toggleRow(std::size_t row) {
  if (row >= rows_.size()) return;
  // Each row is tied to its own record, so two types with the same three texts stay apart.
  auto& record = catalogue_[rows_[row].record];
  record.selected = record.selected != 0 ? 0 : 1;
  rows_[row].checked = record.selected != 0;
  updateNext();
}

void CataloguePageModel::selectAll() {
  for (auto& r : catalogue_)
    if (category_ == kAllCategories || r.category == category_) r.selected = 1;
  for (auto& row : rows_) row.checked = catalogue_[row.record].selected != 0;
  updateNext();
}

void CataloguePageModel::deselectAll() {
  for (auto& r : catalogue_)
    if (category_ == kAllCategories || r.category == category_) r.selected = 0;
  for (auto& row : rows_) row.checked = catalogue_[row.record].selected != 0;
  updateNext();
}

std::size_t CataloguePageModel::sizeTextLimit() const {
  switch (unit_) {
    case SizeUnit::KB: return 7;
    case SizeUnit::MB: return 4;
    case SizeUnit::GB: return 1;
  }
  return 7;
}

void CataloguePageModel::setUnit(SizeUnit unit) {
  unit_ = unit;
  sizeText_ = "1";
  sizeTextSelected_ = false;
  updateNext();
}

bool CataloguePageModel::setSizeText(const std::string& text) {
  if (text.size() > sizeTextLimit()) return false;
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  sizeText_ = text;
  sizeTextSelected_ = false;
  if (!sizeValid()) {
    message_ = CataloguePageMessage{"Error", kSizeRangeText, std::nullopt};
    sizeTextSelected_ = true;
  }
  updateNext();
  return true;
}

std::uint64_t CataloguePageModel::sizeBytes() const {
  std::uint64_t number = 0;
  // At most seven digits, so the product stays far below 2^64.
  for (char c : sizeText_) number = number * 10 + static_cast<std::uint64_t>(c - '0');
  return number * unitBytes(unit_);
}

bool CataloguePageModel::sizeValid() const {
  auto bytes = sizeBytes();
  return bytes != 0 && bytes <= kMaxBytes;
}

std::uint32_t CataloguePageModel::maxSizeField() const {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(sizeBytes(), UINT32_MAX));
}

bool CataloguePageModel::anySelected() const {
  return std::any_of(catalogue_.begin(), catalogue_.end(), [](const SignatureRecord& r) { return r.selected != 0; });
}

void CataloguePageModel::updateNext() {
  // One rule after every change: something to search for and a size in range.
  nextEnabled_ = anySelected() && sizeValid();
}

std::optional<SelectedList> CataloguePageModel::next() {
  if (!nextEnabled_) return std::nullopt;
  SelectedList list = buildSelectedList(catalogue_, maxSizeField());
  close();
  return list;
}

void CataloguePageModel::close() {
  catalogue_.clear();
  rows_.clear();
  categories_.clear();
  nextEnabled_ = false;
}

std::optional<CataloguePageMessage> CataloguePageModel::takeMessage() {
  auto m = std::move(message_);
  message_.reset();
  return m;
}

}  // namespace ov::carver
