// Any bytes as the carver's "Signature" file: loaded, indexed, looked up and driven through the page.
#include "fuzz/fuzz_host.h"

#include "carver/catalogue.h"
#include "carver/catalogue_page.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ov::carver;
  const auto path = ov::fuzz::scratch() / "Signature";
  ov::fuzz::writeFile(path, data, size);
  // A catalogue found valid must load whole: every record of it, and nothing after it.
  const bool valid = catalogueDefect(ov::Bytes(data, size)).empty();
  if (valid != catalogueFileDefect(path).empty()) __builtin_trap();
  auto loaded = LoadCatalogue(path);
  if (!loaded) return 0;
  if (valid && (loaded->empty() || loaded->back().moreFollows != 0)) __builtin_trap();
  auto& records = *loaded;
  if (records.size() > kMaxCatalogueRecords) __builtin_trap();
  if (records != parseCatalogue(ov::Bytes(data, size))) __builtin_trap();

  // One pass through the codec settles the texts; a second must change nothing.
  for (const auto& r : records) {
    auto once = encodeSignatureRecord(r);
    auto again = decodeSignatureRecord(once);
    if (!again || encodeSignatureRecord(*again) != once) __builtin_trap();
  }

  for (auto& r : records) r.selected = 1;
  auto list = buildSelectedList(records, 1u << 20);
  auto index = BuildIndex(list.records);

  // Sectors: zeros, the input's own bytes, and each record's signature where it belongs.
  std::vector<std::vector<std::uint8_t>> sectors;
  sectors.emplace_back(512, 0);
  sectors.emplace_back(data, data + std::min<std::size_t>(size, 512));
  for (std::size_t i = 0; i < records.size() && i < 4; ++i) {
    std::vector<std::uint8_t> s(4096, 0);
    auto sig = records[i].signatureBytes();
    if (records[i].signatureOffset + sig.size() <= s.size())
      std::copy(sig.begin(), sig.end(), s.begin() + records[i].signatureOffset);
    sectors.push_back(s);
    sectors.emplace_back(s.begin(), s.begin() + 512);
  }
  for (const auto& group : index.groups) {
    for (const auto& s : sectors) {
      auto hit = Lookup(group, ov::Bytes(s));
      if (hit && hit->record.signatureLength != group.signatureLength) __builtin_trap();
    }
    static const std::uint8_t kId[2] = {'I', 'D'};
    (void)LookupKey(group, ov::Bytes(kId, 2));
  }
  ReleaseIndex(index);

  CataloguePageModel page;
  page.open(std::move(records));
  if (!page.rows().empty()) page.toggleRow(static_cast<std::size_t>(data[0]) % page.rows().size());
  if (!page.categories().empty()) page.chooseCategory(page.categories().back());
  page.selectAll();
  page.setUnit(SizeUnit::GB);
  (void)page.setSizeText("4");
  (void)page.next();
  return 0;
}
