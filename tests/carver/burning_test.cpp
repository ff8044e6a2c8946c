// Carved files burned through libburn's file pseudo-drive into a disc image, read back by Joliet names against the manifest.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "carver/disc/burning.h"
#include "carver/scanner.h"
#include "disk/byte_io.h"
#include "tests/carver/iso_reader.h"
#include "tests/support/test_support.h"
#include "tests/support/zip_reader.h"

namespace ov {
namespace {

namespace fs = std::filesystem;
using Files = test::IsoFiles;

// Path -> SHA-256 of each file: a difference shows as names, not bytes.
std::map<std::string, std::string> hashes(const Files& files) {
  std::map<std::string, std::string> out;
  for (const auto& [path, bytes] : files) out[path] = test::sha256Hex(bytes);
  return out;
}

// Stops the run once the image is being written.
struct Host : test::RecordingHost {
  Host(RunControl& r, bool stopWhenWriting) : run(r), stop(stopWhenWriting) {}
  void statusText(const std::string& text) override {
    if (stop && text == kBurningStatus) run.stop();
  }
  void progress(std::uint64_t total, std::uint64_t done) override { last = {total, done}; }
  RunControl& run;
  bool stop;
  std::pair<std::uint64_t, std::uint64_t> last;
};


TEST(Burning, MarkedItemsIntoADiscImageThroughTheFilePseudoDrive) {
  const fs::path carving = test::carvingImage();
  // The files whose end the carver finds, at their places in the image; one more under an
  // extension of 110 characters, whose folder and name a compressed burn asks to shorten.
  ResultTree tree;
  Files expected;
  const nlohmann::json manifest = test::manifest("carving/carving");
  std::uint64_t longItem = 0;
  for (const auto& f : manifest.at("files")) {
    if (f.at("expected") != "end found" || f.at("carved_size") != f.at("size")) continue;
    const std::string file = f.at("file");
    const std::string ext = file.substr(file.rfind('.') + 1);
    const std::uint64_t sector = f.at("start_sector");
    tree.addCarvedItem(sector, CarvedFind{u"Test", utf8ToUtf16(ext), f.at("size"), 0, 0}, 512, UINT64_MAX / 1024);
    expected["Raw Data/Test/" + ext + "/" + std::to_string(sector) + "." + ext] =
        test::readFile(test::dataDir() / "carving" / file);
    longItem = sector;
  }
  ASSERT_GE(expected.size(), 10u);
  const std::string longExt(110, 'x');
  ResultNode& longNode =
      tree.addCarvedItem(longItem, CarvedFind{u"Test", utf8ToUtf16(longExt), 4096, 0, 0}, 512, UINT64_MAX / 1024);
  const std::vector<std::uint8_t> image = test::readFile(carving);
  const std::vector<std::uint8_t> longBytes(image.begin() + static_cast<long>(longItem * 512),
                                            image.begin() + static_cast<long>(longItem * 512 + 4096));

  // {what, compressed, the medium's size (0: unlimited), stopped while writing, the outcome, how the end message begins}
  const std::vector<std::tuple<const char*, bool, std::uint64_t, bool, BurnOutcome, const char*>> rows = {
      {"disc image", false, 0, false, BurnOutcome::Completed, kBurnCompletedText},
      {"compressed disc image", true, 0, false, BurnOutcome::Completed, kBurnCompletedText},
      {"larger than the chosen medium", false, 65536, false, BurnOutcome::Failed, disc::kHigherCapacityText},
      {"compressed, larger than the chosen medium", true, 65536, false, BurnOutcome::Failed, disc::kHigherCapacityText},
      {"stopped while writing", false, 0, true, BurnOutcome::Stopped, kBurnAbortedText},
  };
  std::string noReader;
  for (const auto& [what, compress, mediumBytes, stopWhenWriting, outcome, message] : rows) {
    SCOPED_TRACE(what);
    const fs::path folder = test::scratchDir() / "burn" / what;
    fs::create_directories(folder / "cache");
    const fs::path iso = folder / "out.iso";

    // The long name only where a burn shortens it.
    setChecked(tree.root(), true);
    longNode.checked = compress;
    recomputeFolderChecks(tree.root());
    RunControl run;
    run.start();
    Host host(run, stopWhenWriting);
    carver::CarverDisk disk(host);
    ASSERT_EQ(disk.open(carving.string(), 512), 0);
    SaveSettings save;
    save.compress = compress, save.source = identifySource(carving.string());
    BurnSettings burn;
    burn.imagePath = iso.string(), burn.mediumBytes = mediumBytes, burn.cacheFolder = (folder / "cache").string();
    int asked = 0;
    burn.askShorterName = [&asked](const std::u16string& name) {
      EXPECT_GT(name.size(), kBurnLongNameLimit);
      ++asked;
      return std::optional<std::u16string>(u"short");
    };
    const BurnReport report = burnMarkedItems(tree.root(), disk, save, burn, host, run);

    EXPECT_EQ(report.outcome, outcome);
    ASSERT_FALSE(host.messages.empty());
    EXPECT_EQ(host.messages.back().text.rfind(message, 0), 0u) << host.messages.back().text;
    // The staging folder and "OVTmp" are gone, whatever the end; so is an image not written whole.
    EXPECT_TRUE(fs::is_empty(folder / "cache"));
    EXPECT_TRUE(report.stagingLeft.empty());
    EXPECT_EQ(fs::exists(iso), outcome == BurnOutcome::Completed);
    if (outcome == BurnOutcome::Stopped) {
      EXPECT_NE(host.messages.back().text.find(kCacheDeletedText), std::string::npos);
    }
    if (outcome != BurnOutcome::Completed) continue;

    EXPECT_EQ(report.imageBytes, fs::file_size(iso));
    EXPECT_EQ(host.last, std::make_pair(report.imageBytes, report.imageBytes));
    const Files burned = test::jolietFiles(iso, noReader);
    if (!noReader.empty()) continue;
    Files want = expected;
    if (!compress) {
      EXPECT_EQ(hashes(burned), hashes(want));
      continue;
    }
    // Compressed: the archive is all there is on the disc, and it holds the files.
    EXPECT_EQ(asked, 2);  // the extension's folder and the item
    want["Raw Data/Test/short/short"] = longBytes;
    ASSERT_EQ(burned.size(), 1u);
    EXPECT_TRUE(std::regex_match(burned.begin()->first, std::regex("DataXEB[0-9]+\\.zip")));
    const fs::path zip = folder / "burned.zip";
    test::writeFile(zip, burned.begin()->second);
    Files inZip;
    for (auto& [name, entry] : test::unzipAll(zip)) inZip[name] = std::move(entry.bytes);
    EXPECT_EQ(hashes(inZip), hashes(want));
  }
  if (!noReader.empty()) GTEST_SKIP() << "the images' contents were not read back: " << noReader;
}

}  // namespace
}  // namespace ov
