// End to end on the carving image (tests/data/carving): every shipped type scanned and a zip saved, against its manifest.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "carver/catalogue.h"
#include "carver/saving.h"
#include "carver/scanner.h"
#include "disk/byte_io.h"
#include "tests/support/test_support.h"
#include "tests/support/zip_reader.h"

namespace ov::carver {
namespace {

namespace fs = std::filesystem;
using Buffer = std::vector<std::uint8_t>;

// The user's maximum for the scan: small enough that items without a routine stay inside the disk.
constexpr std::uint32_t kMaxSize = 8192;

struct ManifestFile {
  std::string file, expected, sha256, extension;
  bool jump;
  std::uint64_t start, size, carvedSize;
};

const nlohmann::json& manifest() {
  static const nlohmann::json m = test::manifest("carving/carving");
  return m;
}

std::vector<ManifestFile> manifestFiles() {
  std::vector<ManifestFile> out;
  for (const auto& f : manifest().at("files")) {
    const std::string file = f.at("file");
    out.push_back({file, f.at("expected"), f.at("sha256"), file.substr(file.rfind('.') + 1), f.at("jump"),
                   f.at("start_sector"), f.at("size"), f.at("carved_size")});
  }
  return out;
}

// `size` bytes of the image from `sector`.
Buffer diskRange(std::uint64_t sector, std::uint64_t size) {
  static const Buffer image = test::readFile(test::carvingImage());
  const auto at = image.begin() + static_cast<std::ptrdiff_t>(sector * 512);
  return Buffer(at, at + static_cast<std::ptrdiff_t>(size));
}

// The shipped catalogue with every type selected, and one row for the length-field sample, whose
// made-up signature the shipped catalogue does not hold.
std::vector<SignatureRecord> everyType() {
  auto catalogue = LoadCatalogue(OV_SIGNATURE_FILE);
  EXPECT_TRUE(catalogue.has_value());
  std::vector<SignatureRecord> rows = catalogue.value_or(std::vector<SignatureRecord>{});
  for (auto& r : rows) r.selected = 1;
  // First in file order, so that its group does not move ahead of the shipped ones.
  SignatureRecord& lengthField = *rows.insert(rows.begin(), SignatureRecord{});
  lengthField.selected = 1, lengthField.name = "Length field test file", lengthField.extension = "bin", lengthField.category = "Other";
  lengthField.handlerCode = kHandlerLengthField, lengthField.signatureLength = 4;
  std::copy_n("OVLF", 4, lengthField.signature.begin());
  return rows;
}

struct CarvedImage {
  test::RecordingHost host;
  RunControl run;
  ResultTree tree;
  CarverDisk disk{host};
  std::vector<CarvedItem> items;
  ScanReport report;

  CarvedImage() {
    EXPECT_EQ(disk.open(test::carvingImage().string()), 0);
    SelectedList list = buildSelectedList(everyType(), kMaxSize);
    CarvingScanner scanner(disk, host, run, tree);
    report = scanner.scan(list.records, list.count);
    items = scanner.items();
  }

  std::vector<const CarvedItem*> at(std::uint64_t sector) const {
    std::vector<const CarvedItem*> out;
    for (const auto& i : items)
      if (i.startSector == sector) out.push_back(&i);
    return out;
  }
};

CarvedImage& carved() {
  static CarvedImage c;
  return c;
}

std::string itemPath(const CarvedItem& item) {
  return "Raw Data/" + item.category + "/" + item.extension + "/" + std::to_string(item.startSector) + "." +
         item.extension;
}

TEST(CarvingImage, EveryFileWhoseEndIsFoundIsCarvedByteExactly) {
  CarvedImage& c = carved();
  ASSERT_EQ(c.report.outcome, ScanOutcome::Completed);
  for (const ManifestFile& f : manifestFiles()) {
    if (f.expected != "end found") continue;
    SCOPED_TRACE(f.file);
    const auto here = c.at(f.start);
    ASSERT_EQ(here.size(), 1u);  // also where two types match one sector (QuickTime, Canon raw)
    EXPECT_EQ(here[0]->extension, f.extension);
    EXPECT_EQ(here[0]->size, f.carvedSize);
    EXPECT_EQ(here[0]->sizeKnown, f.jump);
    EXPECT_EQ(test::sha256Hex(diskRange(f.start, f.size)), f.sha256);  // with the size above: the item's bytes
  }
}

// Nothing else: no second item for a JPEG's embedded thumbnail, none inside a file jumped over.
TEST(CarvingImage, OnlyThePlacedFilesAreFound) {
  CarvedImage& c = carved();
  std::set<std::uint64_t> starts;
  for (const ManifestFile& f : manifestFiles()) starts.insert(f.start);
  for (const CarvedItem& item : c.items) EXPECT_TRUE(starts.count(item.startSector)) << itemPath(item);
  EXPECT_EQ(c.tree.foundCount(), c.items.size());
}

TEST(CarvingImage, TypesWithoutARoutineEndAtTheNextFileOrTheDisksEnd) {
  CarvedImage& c = carved();
  const std::uint64_t total = manifest().at("total_sectors").get<std::uint64_t>();
  const auto files = manifestFiles();
  std::size_t seen = 0;
  for (const ManifestFile& f : files) {
    if (f.expected != "size rule" && f.expected != "cut at end") continue;
    ++seen;
    SCOPED_TRACE(f.file);
    const auto here = c.at(f.start);
    ASSERT_EQ(here.size(), 1u);
    EXPECT_EQ(here[0]->extension, f.extension);
    EXPECT_FALSE(here[0]->sizeKnown);
    std::uint64_t next = total;
    for (const ManifestFile& g : files)
      if (g.start > f.start) next = std::min(next, g.start);
    if (f.expected == "size rule") EXPECT_EQ(here[0]->size, std::min<std::uint64_t>(kMaxSize, (next - f.start) * 512));
    else EXPECT_EQ(here[0]->size, (total - f.start) * 512);
  }
  EXPECT_EQ(seen, 3u);
}


// Every item saved, byte for byte against the disk: the command line's carve report
// (timestamps_report_test.cpp); a marked subset saved to folders: results_test.cpp.
TEST(CarvingImage, ZipOfAMarkedSubsetHoldsOnlyThatSubsetLessTheExcludedExtensions) {
  CarvedImage& c = carved();
  clearChecks(c.tree.root());
  std::set<std::string> expected;
  std::size_t marked = 0;
  for (const CarvedItem& item : c.items) {
    if (item.extension != "mp3" && item.extension != "doc") continue;
    setChecked(*item.node, true);
    ++marked;
    if (item.extension == "mp3") expected.insert(itemPath(item));
  }
  ASSERT_EQ(marked, 4u);
  SaveSettings settings;
  settings.destination = test::freshDir("subset_zip").string();
  settings.compress = true;
  settings.excludedExtensions = {u"doc"};
  c.run.start();
  const SaveReport report = saveMarkedItems(c.tree.root(), c.disk, settings, c.host, c.run);
  ASSERT_EQ(report.outcome, SaveOutcome::Completed);
  ASSERT_EQ(report.archives.size(), 1u);
  std::set<std::string> names;
  for (const auto& [name, entry] : test::unzipAll(report.archives[0])) names.insert(name);
  EXPECT_EQ(names, expected);
}

}  // namespace
}  // namespace ov::carver
