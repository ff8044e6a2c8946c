// Imaging with a mapfile: resumed after a stop and after a source that failed, bad sectors
// retried, a map written by GNU ddrescue continued; and the mapfile reader's refusals.

#include "scans/disk_copy.h"
#include "scans/rescue_map.h"
#include "tests/support/engines.h"

namespace ov {
namespace {

namespace fs = std::filesystem;

RescueMap loadMap(const fs::path& p) {
  std::string error;
  const auto bytes = test::readFile(p);
  auto map = RescueMap::parse(std::string(bytes.begin(), bytes.end()), error);
  EXPECT_TRUE(map) << error;
  return map ? *map : RescueMap();
}

// The sectors a map marks bad.
std::set<std::uint64_t> badSectors(const RescueMap& map, std::uint32_t bps = 512) {
  std::set<std::uint64_t> out;
  for (const auto& b : map.blocks())
    if (b.status == '-')
      for (std::uint64_t s = b.start / bps; s < (b.start + b.size) / bps; ++s) out.insert(s);
  return out;
}

// The image holds the source's bytes, and zeros in the bad sectors.
void expectImage(const fs::path& image, const std::vector<std::uint8_t>& source, const std::set<std::uint64_t>& bad) {
  std::vector<std::uint8_t> expected = source;
  for (std::uint64_t s : bad) std::fill_n(expected.begin() + static_cast<long>(s * 512), 512, std::uint8_t{0});
  EXPECT_TRUE(test::readFile(image) == expected);
}

struct ImagingRun {
  CopyResult result;
  std::uint64_t reads = 0;
  std::vector<std::pair<std::uint64_t, std::size_t>> requests;  // what reached the disk
};

// One imaging run with a map over the source bytes with `faults` (sector -> errno).
ImagingRun image(const std::vector<std::uint8_t>& bytes, const std::map<std::uint64_t, int>& faults, const fs::path& dest,
          const fs::path& map, std::uint32_t retries = 0, std::function<void(FaultBackend&, RunControl&, test::ProgressHost&)> setup = {}) {
  test::ProgressHost host;
  RunControl run;
  SectorSource source(host, run);
  auto counting = std::make_unique<test::CountingBackend>(bytes);
  test::CountingBackend* counter = counting.get();
  auto fault = std::make_unique<FaultBackend>(std::move(counting), 512);
  for (const auto& [s, e] : faults) fault->failSector(s, e);
  FaultBackend* raw = fault.get();
  if (setup) setup(*raw, run, host);
  source.openBackend(std::move(fault), 512, bytes.size() / 512);
  CopyOptions options;
  options.mapPath = map.string();
  options.retryPasses = retries;
  ImagingRun r;
  r.result = copyDisk(host, run, source, dest.string(), options);
  r.reads = raw->readCount();
  r.requests = counter->requests;
  return r;
}

TEST(RescueMap, ImagingResumesAfterAStopAndAFailedSourceAndEndsWithTheBadSectors) {
  const std::vector<std::uint8_t> bytes = test::readFile(test::image("fat_small_mbr"));
  const std::map<std::uint64_t, int> faults = {{5, EIO}, {300, EIO}, {301, EIO}, {20000, EILSEQ}, {43006, EIO}};
  // Not the last sector: ddrescue's test mode does not fail a bad block at the very end.
  const std::set<std::uint64_t> bad = {5, 300, 301, 20000, 43006};
  struct Row {
    std::string what;
    std::function<void(FaultBackend&, RunControl&, test::ProgressHost&)> interrupt;
    bool failed;  // the first run ends with an error rather than a stop
  };
  const std::vector<Row> rows = {
      {"stopped half way",
       [](FaultBackend&, RunControl& run, test::ProgressHost& host) {
         host.onProgress = [&run](std::uint64_t total, std::uint64_t done) {
           if (done > total / 2) run.stop();
         };
       },
       false},
      {"source gone after 60 reads", [](FaultBackend& f, RunControl&, test::ProgressHost&) { f.disappearAfterReads(60); }, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const fs::path dir = test::scratchDir() / ("resume-" + std::to_string(&row - rows.data()));
    fs::create_directories(dir);
    const fs::path dest = dir / "disk.img", map = dir / "disk.map";
    ImagingRun first = image(bytes, faults, dest, map, 0, row.interrupt);
    EXPECT_EQ(first.result.outcome, CopyOutcome::Aborted);
    EXPECT_EQ(!first.result.error.empty(), row.failed);
    RescueMap half = loadMap(map);
    ASSERT_GT(half.bytesWith('+'), 0u);
    ASSERT_GT(half.bytesWith('?'), 0u);
    if (std::system("command -v ddrescue >/dev/null 2>&1") == 0) {
      // ddrescue continues the map too (its test mode failing the same sectors).
      fs::copy_file(dest, dir / "dd.img");
      fs::copy_file(map, dir / "dd.map");
      test::writeFile(dir / "source.img", bytes);
      RescueMap faultsMap(bytes.size());
      faultsMap.set(0, bytes.size(), '+');
      for (std::uint64_t s : bad) faultsMap.set(s * 512, s * 512 + 512, '-');
      std::ofstream(dir / "faults.map") << faultsMap.format();
      const std::string d = "'" + dir.string() + "/";
      ASSERT_EQ(std::system(("ddrescue -q -H " + d + "faults.map' " + d + "source.img' " + d + "dd.img' " + d + "dd.map'").c_str()), 0);
      EXPECT_EQ(badSectors(loadMap(dir / "dd.map")), bad);
      expectImage(dir / "dd.img", bytes, bad);
    }

    ImagingRun second = image(bytes, faults, dest, map);
    ASSERT_EQ(second.result.outcome, CopyOutcome::Completed) << second.result.error;
    EXPECT_TRUE(second.result.resumed);
    RescueMap done = loadMap(map);
    EXPECT_EQ(done.currentStatus, '+');
    EXPECT_EQ(badSectors(done), bad);
    EXPECT_EQ(done.bytesWith('+') + done.bytesWith('-'), bytes.size());
    EXPECT_EQ(second.result.unreadableSectors, std::vector<std::uint64_t>(bad.begin(), bad.end()));
    expectImage(dest, bytes, bad);
    // What the first run copied was not read again: chunks of 256 sectors, and a sector at a
    // time in the five failed chunks.
    const std::uint64_t left = (half.bytesWith('?') + half.bytesWith('*')) / 512;
    EXPECT_LE(second.reads, left / 256 + 2 + 5 * 257);
  }

  // A pass over the bad sectors reads them again; the ones that read now are copied.
  const fs::path dir = test::scratchDir() / "retry";
  fs::create_directories(dir);
  image(bytes, faults, dir / "disk.img", dir / "disk.map");
  ImagingRun retried = image(bytes, {{300, EIO}}, dir / "disk.img", dir / "disk.map", 2);
  ASSERT_EQ(retried.result.outcome, CopyOutcome::Completed);
  EXPECT_EQ(badSectors(loadMap(dir / "disk.map")), std::set<std::uint64_t>{300});
  EXPECT_EQ(retried.reads, 5u + 1u);  // five bad sectors, then sector 300 once more
  expectImage(dir / "disk.img", bytes, {300});
}

TEST(RescueMap, AMapWrittenByDdrescueIsContinued) {
  // ddrescue (its test mode failing sectors 100-107 and 20000, no trimming, stopped at 12 MiB)
  // left three areas: two clusters it could not read ('*') and the rest not tried ('?').
  const fs::path given = test::dataDir() / "containers" / "fat_small_mbr.ddrescue.map";
  const std::vector<std::uint8_t> bytes = test::readFile(test::image("fat_small_mbr"));
  const fs::path dir = test::scratchDir() / "ddrescue";
  fs::create_directories(dir);
  const fs::path map = dir / "disk.map", dest = dir / "disk.img";
  fs::copy_file(given, map, fs::copy_options::overwrite_existing);
  // The image ddrescue wrote: what it read, nothing where it failed or did not go.
  RescueMap before = loadMap(map);
  std::vector<std::uint8_t> partial(bytes.size(), 0);
  for (const auto& b : before.blocks())
    if (b.status == '+') std::copy_n(bytes.begin() + static_cast<long>(b.start), b.size, partial.begin() + static_cast<long>(b.start));
  test::writeFile(dest, partial);
  const std::set<std::uint64_t> bad = {100, 101, 102, 103, 104, 105, 106, 107, 20000};
  std::map<std::uint64_t, int> faults;
  for (std::uint64_t s : bad) faults[s] = EIO;
  ImagingRun run = image(bytes, faults, dest, map);
  ASSERT_EQ(run.result.outcome, CopyOutcome::Completed) << run.result.error;
  RescueMap after = loadMap(map);
  EXPECT_EQ(badSectors(after), bad);
  EXPECT_EQ(after.bytesWith('+') + after.bytesWith('-'), bytes.size());
  expectImage(dest, bytes, bad);
  for (const auto& request : run.requests) EXPECT_NE(before.statusAt(request.first), '+') << request.first;
}

TEST(RescueMap, MalformedMapsAreRefusedWithTheLine) {
  struct Row {
    std::string text;
    std::string errorHas;  // empty: the map is read
  };
  const std::vector<Row> rows = {
      {"# only a comment\n", "no current position"},
      {"0x0 ?\n0x0 0x200 +\n0x400 0x200 -\n", "line 3"},  // a gap
      {"0x0 ?\n0x0 0x400 +\n0x200 0x200 -\n", "line 3"},  // an overlap
      {"0x0 ?\n0x0 0x200 x\n", "line 2"},
      {"0x0 ?\n0x0 0x0 +\n", "line 2"},  // an empty block
      {"0x0 ?\n0xZZ 0x200 +\n", "line 2"},
      {"0x0 ?\n0x0 0x8000000000000000 +\n", "line 2"},
      {"0x0 ? 1 extra\n", "line 1"},
      {"0x0 Q\n", "line 1"},
      {"0x0 ?\n0x0 0x200 + +\n", "line 2"},
      // Decimal and octal numbers, CR LF line ends, no pass number, a first block past 0.
      {"512 *\r\n1024 01000 +\r\n", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    std::string error;
    auto map = RescueMap::parse(row.text, error);
    if (row.errorHas.empty()) {
      ASSERT_TRUE(map) << error;
      EXPECT_EQ(map->size(), 1536u);
      EXPECT_EQ(map->statusAt(0), '?');
      EXPECT_EQ(map->statusAt(1024), '+');
      // Written and read again, the same blocks.
      auto again = RescueMap::parse(map->format("comment"), error);
      ASSERT_TRUE(again);
      EXPECT_EQ(again->format(), map->format());
    } else {
      EXPECT_FALSE(map);
      EXPECT_NE(error.find(row.errorHas), std::string::npos) << error;
    }
  }
}

}  // namespace
}  // namespace ov
