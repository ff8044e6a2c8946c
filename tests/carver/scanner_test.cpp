// The carving scanner on small disks built in memory: lookups, jumps, sizes, reads, faults, pause and stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <thread>
#include <vector>

#include "carver/saving.h"
#include "carver/scanner.h"
#include "disk/backend.h"
#include "tests/support/engines.h"

namespace ov::carver {
namespace {

using Buffer = std::vector<std::uint8_t>;
using namespace std::string_literals;
constexpr std::uint16_t kBps = 512;


Buffer randomSectors(std::uint64_t sectors, unsigned seed = 7) {
  std::mt19937 rng(seed);
  Buffer b(static_cast<std::size_t>(sectors) * kBps);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng() & 0xFFu);
  // No signature by chance: only what a test places at a sector's start is found.
  for (std::size_t s = 0; s < b.size(); s += kBps) std::memset(b.data() + s, 0xEE, 16);
  return b;
}

void place(Buffer& disk, std::uint64_t sector, const Buffer& bytes) {
  ASSERT_LE(sector * kBps + bytes.size(), disk.size());
  std::copy(bytes.begin(), bytes.end(), disk.begin() + static_cast<std::ptrdiff_t>(sector * kBps));
}

Buffer sample(const std::string& name) { return test::readFile(test::dataDir() / "carving" / name); }


SignatureRecord row(const std::string& ext, const std::string& category, const Buffer& signature,
                    std::uint16_t offset, std::uint32_t handler, std::uint32_t defaultSize = 0) {
  SignatureRecord r;
  r.selected = 1, r.name = ext + " file", r.extension = ext, r.category = category;
  r.signatureLength = static_cast<std::uint8_t>(signature.size()), r.signatureOffset = offset;
  std::copy(signature.begin(), signature.end(), r.signature.begin());
  r.defaultSize = defaultSize, r.handlerCode = handler;
  return r;
}

Buffer text(const std::string& s) { return Buffer(s.begin(), s.end()); }


class ScanHost : public test::RecordingHost {
 public:
  void progress(std::uint64_t total, std::uint64_t done) override {
    {
      std::lock_guard lock(mutex);
      positions.emplace_back(done, total);
    }
    if (onProgress) onProgress(done);
  }
  void processingFinished(int code) override { finished.push_back(code); }

  std::size_t progressCount() {
    std::lock_guard lock(mutex);
    return positions.size();
  }

  std::mutex mutex;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> positions;  // (position, total)
  std::vector<int> finished;
  std::function<void(std::uint64_t)> onProgress;
};

struct Found {
  std::uint64_t sector;
  std::string extension;
  std::uint64_t size;
  bool sizeKnown;
  bool operator==(const Found&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Found& f) {
  return os << "{" << f.sector << " " << f.extension << " " << f.size << (f.sizeKnown ? " known}" : "}"); }

struct Scan {
  ScanHost host;
  RunControl run;
  ResultTree tree;
  CarverDisk disk{host};
  test::CountingBackend* backend = nullptr;
  ScanReport report;
  std::vector<Found> found;

  explicit Scan(Buffer bytes, bool refusePastEnd = false)
      : Scan(std::make_unique<test::CountingBackend>(std::move(bytes), refusePastEnd)) {
    backend = static_cast<test::CountingBackend*>(disk.backend());
  }
  explicit Scan(std::unique_ptr<ReadBackend> b) {
    const std::uint64_t total = b->sizeBytes() / kBps;
    disk.openBackend(std::move(b), kBps, total);
  }

  std::vector<Found> operator()(const std::vector<SignatureRecord>& fileOrder, std::uint32_t maxSize = 0,
                                ScanOptions options = {}) {
    SelectedList list = buildSelectedList(fileOrder, maxSize);
    CarvingScanner scanner(disk, host, run, tree, options);
    report = scanner.scan(list.records, list.count);
    found.clear();
    for (const auto& item : scanner.items())
      found.push_back({item.startSector, item.extension, item.size, item.sizeKnown});
    return found;
  }
};

// One scan per row: bytes placed at sector starts of a random disk, a catalogue in file order, the user's maximum.
TEST(Scanner, ItemsOnSmallDisks) {
  using Placed = std::vector<std::pair<std::uint64_t, Buffer>>;
  constexpr std::uint64_t kAny = UINT64_MAX;  // a size not checked
  const Buffer bmp = sample("bmp.bmp");       // 3 sectors; the routine gives the size only
  Buffer bmpHeader = text("BM");              // a size of 10 sectors and 100 bytes
  for (int i = 0; i < 4; ++i) bmpHeader.push_back(static_cast<std::uint8_t>((10 * 512 + 100) >> (8 * i)));
  const Buffer jpegSig{0xFF, 0xD8, 0xFF}, oox = text("OOXML!");
  const Placed ab = {{10, text("ABCD")}, {20, text("ABxx")}}, badJpeg = {{9, Buffer{0xFF, 0xD8, 0xFF, 0x00, 0x11}}},
               noFrames = {{8, Buffer{0xFF, 0xFB, 0x00, 0x00}}, {20, text("ID3\x04\x00\x00\x00\x00\x00\x00"s)}},
               t1 = {{10, text("T1")}};
  const auto a = row("aaa", "Other", text("AB"), 0, 1, 1024), b = row("bbb", "Other", text("ABCD"), 0, 1, 2048);
  const auto jpg = row("jpg", "Pictures", jpegSig, 0, 167, 999), t1Row = row("t1", "Other", text("T1"), 0, 1, 12345);
  // {what, disk sectors, bytes placed, catalogue in file order, the maximum, the items}
  const std::vector<std::tuple<const char*, std::uint64_t, Placed, std::vector<SignatureRecord>, std::uint32_t, std::vector<Found>>> cases = {
      // The selected list reverses file order: the group of the later row's length comes first.
      {"groups in index order, one item a sector", 200, ab, {a, b}, 0, {{10, "bbb", 2048, false}, {20, "aaa", 1024, false}}},
      {"groups in index order, the other file order", 200, ab, {b, a}, 0, {{10, "aaa", 1024, false}, {20, "aaa", 1024, false}}},
      // The last row is the entry; each alternative is an item of the entry's record with its own extension.
      {"handler 0 gives one item per alternative and none of its own", 100, {{7, oox}},
       {row("docx", "Documents", oox, 0, 1, 1000), row("xlsx", "Documents", oox, 0, 1, 2000), row("oox", "Documents", oox, 0, 0, 3000)},
       0, {{7, "xlsx", 3000, false}, {7, "docx", 3000, false}}},
      {"a rejected routine falls back to the alternatives", 100, badJpeg, {row("jpe", "Pictures", jpegSig, 0, 1, 777), jpg}, 0, {{9, "jpe", 999, false}}},
      {"a rejected routine without alternatives gives nothing", 100, badJpeg, {jpg}, 0, {}},
      {"the forced MP3 lookup gives alternatives only where \"ID\" stands", 100, noFrames,
       {row("id", "Other", text("ID"), 0, 1, 100), row("mp3", "Audio", text("ID"), 0, 62, 8 << 20)}, 0, {{20, "id", 80 * 512, false}}},
      {"an \"ID\" row of another handler is looked up only where \"ID\" stands", 100, noFrames,
       {row("idx", "Other", text("ID"), 0, 1, 512)}, 0, {{20, "idx", 512, false}}},
      {"a size without a known end is not jumped over", 100, {{10, bmp}, {11, text("BM")}},
       {row("bmp", "Pictures", text("BM"), 0, 142, 1 << 20)}, 0, {{10, "bmp", bmp.size(), false}, {11, "bmp", kAny, false}}},
      // The size: the routine's, else the user's maximum, else the row's default, else 2 MiB.
      {"size of the routine and the maximum", 5000, {{10, text("T1")}, {20, bmp}}, {t1Row, row("bmp", "Pictures", text("BM"), 0, 142, 777)},
       5000, {{10, "t1", 5000, false}, {20, "bmp", bmp.size(), false}}},
      {"size of the row's default", 5000, t1, {t1Row}, 0, {{10, "t1", 12345, false}}},
      {"size of 2 MiB", 5000, t1, {row("t1", "Other", text("T1"), 0, 1, 0)}, 0, {{10, "t1", 2097152, false}}},
      {"a size past the disk's end is cut there", 100, {{90, bmpHeader}}, {row("bmp", "Pictures", text("BM"), 0, 142, 0)}, 0, {{90, "bmp", 10 * 512, false}}},
  };
  for (const auto& [what, sectors, placed, catalogue, maxSize, expected] : cases) {
    SCOPED_TRACE(what);
    Buffer disk = randomSectors(sectors);
    for (const auto& [sector, bytes] : placed) place(disk, sector, bytes);
    std::vector<Found> found = Scan(disk)(catalogue, maxSize);
    ASSERT_EQ(found.size(), expected.size());
    for (std::size_t i = 0; i < found.size(); ++i)
      if (expected[i].size == kAny) found[i].size = kAny;
    EXPECT_EQ(found, expected);
  }
}


std::vector<SignatureRecord> mp3AndBmp() {
  return {row("mp3", "Audio", text("ID"), 0, 62, 8 << 20), row("bmp", "Pictures", text("BM"), 0, 142, 8 << 20)};
}

TEST(Scanner, MpegAudioWithoutATagIsFoundThroughTheForcedLookup) {
  Buffer disk = randomSectors(200);
  const Buffer mp3 = sample("mp3_plain.mp3");
  const Buffer bmp = sample("bmp.bmp");
  ASSERT_EQ(mp3[0], 0xFF);
  place(disk, 5, mp3);
  place(disk, 60, bmp);  // same group as "ID": still looked up with its own key
  place(disk, 90, sample("mp3_id3v2.mp3"));
  Scan scan(disk);
  auto found = scan(mp3AndBmp());
  EXPECT_EQ(found, (std::vector<Found>{{5, "mp3", mp3.size(), true},
                                       {60, "bmp", bmp.size(), false},
                                       {90, "mp3", sample("mp3_id3v2.mp3").size(), true}}));
  // The frames walked in the first scan do not hide the files from a second one.
  EXPECT_EQ(scan(mp3AndBmp()), found);
  // Without the "ID" row the bare frames are not looked for.
  Scan without(disk);
  EXPECT_EQ(without({mp3AndBmp()[1]}), (std::vector<Found>{{60, "bmp", bmp.size(), false}}));
}


// A MIDI file of `tracks` tracks of `trackBytes` each.
Buffer midi(std::size_t tracks, std::uint32_t trackBytes) {
  Buffer b = text("MThd");
  for (int x : {0, 0, 0, 6, 0, 1, 0, 1, 0, 0x60}) b.push_back(static_cast<std::uint8_t>(x));
  for (std::size_t t = 0; t < tracks; ++t) {
    for (char c : std::string("MTrk")) b.push_back(static_cast<std::uint8_t>(c));
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<std::uint8_t>(trackBytes >> shift));
    b.insert(b.end(), trackBytes, 0x90);
  }
  return b;
}

TEST(Scanner, AFileWhoseEndIsKnownIsJumpedOverIntoALaterChunk) {
  Buffer disk = randomSectors(400);
  const Buffer thumbJpeg = sample("jpeg_exif_thumb.jpg");  // holds a thumbnail with its own markers
  place(disk, 60, thumbJpeg);                              // crosses into the second chunk
  const Buffer song = midi(4, 20000);                      // about 157 sectors
  place(disk, 130, song);
  place(disk, 200, text("PK\x03\x04"));  // inside the song: jumped over
  place(disk, 300, text("PK\x03\x04"));
  Scan scan(disk);
  auto found = scan({row("jpg", "Pictures", Buffer{0xFF, 0xD8, 0xFF}, 0, 167, 4 << 20),
                     row("mid", "Audio", text("MThd"), 0, 61, 256 << 10),
                     row("zip", "Archives", text("PK\x03\x04"), 0, 1, 4096)});
  ASSERT_EQ(found.size(), 3u);
  EXPECT_GE(found[1].size, song.size());
  EXPECT_EQ(found, (std::vector<Found>{{60, "jpg", thumbJpeg.size(), true}, {130, "mid", found[1].size, true}, {300, "zip", 4096, false}}));

  // The chunk after each jump starts where the jump landed; nothing inside the song is read.
  const std::uint64_t afterJpeg = 60 + (thumbJpeg.size() + kBps - 1) / kBps;
  const std::uint64_t afterSong = 130 + (found[1].size + kBps - 1) / kBps;
  std::set<std::uint64_t> positions;
  for (const auto& p : scan.host.positions) positions.insert(p.first);
  EXPECT_TRUE(positions.contains(afterJpeg) && positions.contains(afterSong) && positions.contains(400));
  for (std::uint64_t p : positions) EXPECT_FALSE(p > 130 && p < afterSong) << p;
}

TEST(Scanner, TheLastReadIsShortenedToTheDisksEnd) {
  Buffer disk = randomSectors(100);  // the last chunk holds 37 sectors
  place(disk, 99, text("T1"));
  for (std::uint32_t ahead : {63u, kDefaultReadAheadSectors}) {
    // A device that refuses any request past its end still gives the last sectors.
    Scan scan(disk, true);
    EXPECT_EQ(scan({row("t1", "Other", text("T1"), 0, 1, 0)}, 4096, ScanOptions{ahead}),
              (std::vector<Found>{{99, "t1", 512, false}}));
    for (const auto& [offset, length] : scan.backend->requests) EXPECT_LE(offset + length, disk.size());
  }
}

std::vector<SignatureRecord> everyRow() {
  return {row("jpg", "Pictures", Buffer{0xFF, 0xD8, 0xFF}, 0, 167, 4 << 20),
          row("png", "Pictures", Buffer{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, 0, 185, 4 << 20),
          row("mp3", "Audio", text("ID"), 0, 62, 8 << 20),
          row("bmp", "Pictures", text("BM"), 0, 142, 8 << 20),
          row("mid", "Audio", text("MThd"), 0, 61, 256 << 10),
          row("zip", "Archives", text("PK\x03\x04"), 0, 1, 64 << 10)};
}

Buffer mixedDisk() {
  Buffer disk = randomSectors(3000, 11);
  place(disk, 3, sample("jpeg_exif_thumb.jpg"));
  place(disk, 62, sample("png.png"));
  place(disk, 130, sample("mp3_plain.mp3"));
  place(disk, 400, sample("bmp.bmp"));
  place(disk, 401, text("PK\x03\x04"));
  place(disk, 1000, midi(2, 30000));
  place(disk, 1100, text("PK\x03\x04"));  // inside the song
  place(disk, 2990, text("PK\x03\x04"));
  return disk;
}

// Reads of any length give the results and progress of reads chunk by chunk; an unreadable sector loses only its chunk.
TEST(Scanner, LargerReadsGiveTheSameResultsAndAnUnreadableSectorLosesOnlyItsChunk) {
  const Buffer disk = mixedDisk();
  auto scanWith = [&](std::uint32_t ahead, bool failing) {
    auto fault = std::make_unique<FaultBackend>(std::make_unique<MemoryBackend>(disk), kBps);
    if (failing) fault->failSector(410, EIO);  // in the chunk at 378 (after the PNG's jump to 80, ...)
    auto scan = std::make_unique<Scan>(std::move(fault));
    (*scan)(everyRow(), 0, ScanOptions{ahead});
    EXPECT_EQ(scan->report.outcome, ScanOutcome::Completed);
    EXPECT_TRUE(scan->host.messages.size() == 1 && scan->host.messages[0].text == kScanCompletedText);
    return scan;
  };
  const auto chunkwise = scanWith(63, false);
  ASSERT_EQ(chunkwise->found.size(), 7u);
  for (std::uint32_t ahead : {126u, 630u, 6300u, kDefaultReadAheadSectors}) {
    const auto larger = scanWith(ahead, false);
    EXPECT_EQ(larger->found, chunkwise->found) << ahead;
    EXPECT_EQ(larger->host.positions, chunkwise->host.positions) << ahead;
  }
  // The BMP at 400 and the zip at 401 lie in the chunk that cannot be read; the rest is found.
  std::vector<Found> rest;
  for (const Found& f : chunkwise->found)
    if (f.sector != 400 && f.sector != 401) rest.push_back(f);
  EXPECT_EQ(scanWith(63, true)->found, rest);
  EXPECT_EQ(scanWith(kDefaultReadAheadSectors, true)->found, rest);
}

TEST(Scanner, ALostDiskIsReportedOnceAndEndsTheScanWithWhatWasFound) {
  const Buffer disk = mixedDisk();
  auto fault = std::make_unique<FaultBackend>(std::make_unique<MemoryBackend>(disk), kBps);
  FaultBackend* f = fault.get();
  Scan scan(std::move(fault));
  // Reads succeed until the scan has passed sector 400, then the device is gone.
  scan.host.onProgress = [&](std::uint64_t position) {
    if (position > 400) f->disappearAfterReads(f->readCount());
  };
  auto found = scan(everyRow(), 0, ScanOptions{63});
  EXPECT_EQ(scan.report.outcome, ScanOutcome::Disconnected);
  ASSERT_EQ(scan.host.messages.size(), 1u);
  EXPECT_EQ(scan.host.messages[0].text, kDisconnectedText);
  EXPECT_EQ(scan.host.finished, std::vector<int>{0});
  ASSERT_FALSE(found.empty());
  EXPECT_EQ(found.back().sector, 401u);
  EXPECT_EQ(scan.tree.foundCount(), found.size());
}

TEST(Scanner, StopEndsTheScanWithWhatWasFoundAndNoCompletionMessage) {
  Buffer disk = randomSectors(1000);
  for (std::uint64_t s = 5; s < 1000; s += 100) place(disk, s, text("T1"));
  Scan scan(disk);
  scan.host.onProgress = [&](std::uint64_t position) {
    if (position >= 300) scan.run.stop();
  };
  auto found = scan({row("t1", "Other", text("T1"), 0, 1, 0)}, 512);
  EXPECT_EQ(scan.report.outcome, ScanOutcome::Stopped);
  // 5, 105, 205 and 305 (in the chunk at 252): the stop came before the chunk at 315 was tested.
  EXPECT_EQ(found.size(), 4u);
  EXPECT_TRUE(scan.host.messages.empty());
  EXPECT_EQ(scan.host.finished, std::vector<int>{0});
  EXPECT_EQ(scan.host.positions.back().first, 315u);
}

TEST(Scanner, PauseHoldsTheScanUntilResumed) {
  Buffer disk = randomSectors(1000);
  place(disk, 900, text("T1"));
  Scan scan(disk);
  std::atomic<bool> paused{false};
  std::size_t countAtPause = 0;
  std::size_t countWhilePaused = 0;
  std::thread ui;
  scan.host.onProgress = [&](std::uint64_t position) {
    if (position == 126 && !paused) {
      paused = true;
      scan.run.pause();
      countAtPause = scan.host.positions.size();
      ui = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        countWhilePaused = scan.host.progressCount();
        scan.run.resume();
      });
    }
  };
  auto found = scan({row("t1", "Other", text("T1"), 0, 1, 0)}, 512, ScanOptions{63});
  ui.join();
  EXPECT_TRUE(paused);
  EXPECT_EQ(countWhilePaused, countAtPause);  // nothing moved while paused
  EXPECT_EQ(scan.report.outcome, ScanOutcome::Completed);
  EXPECT_EQ(found, (std::vector<Found>{{900, "t1", 512, false}}));
}

// The disk as the save's source: whole sectors of an image, nothing read past the end, a lost disk reported.
TEST(CarverDisk, ReadsWithinTheDiskAndReportsItsLoss) {
  Buffer disk = randomSectors(20);
  test::RecordingHost host;
  CarverDisk d(host);
  auto backend = std::make_unique<test::CountingBackend>(disk, true);
  test::CountingBackend* rec = backend.get();
  d.openBackend(std::move(backend), kBps, 20);
  ResultTree tree;
  ResultNode& item = tree.addCarvedItem(16, CarvedFind{u"Other", u"bin", 3 * 512 + 10, 0, 0}, kBps, 20);
  EXPECT_EQ(readCarvedItem(d, item), Buffer(disk.begin() + 16 * 512, disk.begin() + 16 * 512 + 3 * 512 + 10));
  std::vector<std::uint8_t> out(2 * 512, 0);
  EXPECT_FALSE(d.read(19, 2, out.data()));  // the second sector lies past the end
  EXPECT_EQ(Buffer(out.begin(), out.begin() + 512), Buffer(disk.begin() + 19 * 512, disk.end()));
  EXPECT_EQ(Buffer(out.begin() + 512, out.end()), Buffer(512, 0));
  for (const auto& [offset, length] : rec->requests) EXPECT_LE(offset + length, disk.size());

  auto fault = std::make_unique<FaultBackend>(std::make_unique<MemoryBackend>(disk), kBps);
  fault->disappearAfterReads(0);
  d.openBackend(std::move(fault), kBps, 20);
  EXPECT_THROW(d.read(0, 1, out.data()), AlreadyReported);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, kDisconnectedText);

  const auto path = test::scratchDir() / "carver_disk_open.img";
  test::writeFile(path, Buffer(5 * 512 + 100, 0x41));  // a last sector cut short
  EXPECT_EQ(d.open(path.string()), 0);
  EXPECT_EQ(d.totalSectors(), 5u);
  EXPECT_NE(d.open((test::scratchDir() / "no such image").string()), 0);
  EXPECT_FALSE(d.isOpen());
}

}  // namespace
}  // namespace ov::carver
