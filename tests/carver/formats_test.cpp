// The end-finding routines on real sample files (tests/data/carving) in random bytes, and on hostile headers.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <optional>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "carver/formats/common.h"
#include "carver/formats/memory_source.h"
#include "carver/formats/registry.h"
#include "disk/byte_io.h"
#include "tests/support/test_support.h"

namespace ov::carver {
namespace {

using Buffer = std::vector<std::uint8_t>;

constexpr std::uint16_t kSector = 512;
constexpr std::uint64_t kLeadSectors = 7;

struct Sample {
  std::string file;
  int handler = 0;
  std::uint64_t size = 0;
  std::string expected;
  bool jump = false;
  std::uint64_t carvedSize = 0;  // the size the routine gives when it is not the file's own
  std::string extension;         // the extension the routine names the file with, if any
  Buffer bytes;
};

const std::vector<Sample>& samples() {
  static const std::vector<Sample> all = [] {
    std::ifstream in(test::dataDir() / "carving" / "samples.json");
    const auto json = nlohmann::json::parse(in);
    std::vector<Sample> out;
    for (const auto& s : json.at("samples")) {
      const std::string file = s.at("file");
      out.push_back({file, s.at("handler"), s.at("size"), s.at("expected"), s.at("jump"),
                     s.value("carved_size", s.at("size").get<std::uint64_t>()), s.value("extension", std::string()),
                     test::readFile(test::dataDir() / "carving" / file)});
    }
    return out;
  }();
  return all;
}

const Sample& sample(const std::string& file) {
  for (const Sample& s : samples())
    if (s.file == file) return s;
  throw std::runtime_error("no sample " + file);
}

void appendRandom(Buffer& disk, std::size_t n, std::mt19937& rng) {
  for (std::size_t i = 0; i < n; ++i) disk.push_back(static_cast<std::uint8_t>(rng() & 0xFFu));
}

// `lead` random sectors, the file, then random bytes to a sector boundary `tail` bytes further.
Buffer diskWith(const Buffer& file, std::uint16_t bps = kSector, std::uint64_t lead = kLeadSectors,
                std::size_t tail = 64 * 1024, unsigned seed = 1) {
  std::mt19937 rng(seed);
  Buffer disk;
  appendRandom(disk, static_cast<std::size_t>(lead) * bps, rng);
  disk.insert(disk.end(), file.begin(), file.end());
  appendRandom(disk, (bps - disk.size() % bps) % bps + tail, rng);
  appendRandom(disk, (bps - disk.size() % bps) % bps, rng);
  return disk;
}

struct Carved {
  CarveResult result;
  std::uint64_t bad = 0;
  std::uint64_t sectorsRead = 0;
};

Carved carve(int code, MemorySource& src, std::uint64_t start, CarveState* state = nullptr, RunControl* run = nullptr) {
  const FormatRoutine* routine = findRoutine(code);
  if (routine == nullptr) throw std::runtime_error("no routine");
  CarveContext ctx{src, start};
  ctx.state = state;
  ctx.run = run;
  return {routine->findEnd(ctx), src.badRequests(), src.sectorsRead()};  // the counts read after the walk
}

Carved carveBytes(int code, Buffer disk, std::uint64_t start = 0, std::uint16_t bps = kSector) {
  MemorySource src(std::move(disk), bps);
  return carve(code, src, start);
}

void expectSample(const Sample& s, const CarveResult& r, const std::string& where) {
  SCOPED_TRACE(s.file + " " + where);
  ASSERT_EQ(r.outcome, s.expected == "rejected" ? Outcome::Rejected : Outcome::Accepted);
  if (s.expected == "rejected") return;
  EXPECT_EQ(r.size, s.expected == "max size" ? std::uint64_t{0} : s.carvedSize);
  if (s.expected == "max size") return;
  EXPECT_EQ(r.endFound, s.jump);
  EXPECT_EQ(r.skipBytes, s.jump ? s.carvedSize : 0u);
  EXPECT_EQ(r.extension, s.extension.empty() ? r.extension : s.extension);
}

// SOI, an APP0 segment, SOF0 of 65535 x 65535 pixels and SOS: no end-of-image marker follows.
Buffer giantJpegHeader() {
  return {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0x00, 0x00, 0xFF, 0xC0, 0x00, 0x11, 0x08, 0xFF, 0xFF, 0xFF,
          0xFF, 0x03, 0x01, 0x22, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01, 0xFF, 0xDA, 0x00, 0x0C, 0x03,
          0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00};
}

TEST(CarverSamples, EveryRoutineHasASample) {
  std::set<int> covered;
  for (const Sample& s : samples()) {
    EXPECT_EQ(s.bytes.size(), s.size) << s.file;
    covered.insert(s.handler);
  }
  for (const FormatRoutine* r : allRoutines()) EXPECT_TRUE(covered.contains(r->handlerCode)) << r->handlerCode;
}

// Each sample on 512- and 4096-byte sectors, at the disk's end and from the chunk the scan holds, as its manifest expects.
TEST(CarverSamples, EachFileAtASectorBoundaryInRandomBytes) {
  for (const Sample& s : samples()) {
    for (const auto& [bps, lead, tail, where] : {std::tuple<std::uint16_t, std::uint64_t, std::size_t, const char*>{kSector, kLeadSectors, 65536, "512-byte sectors"},
                                                 {4096, 3, 65536, "4096-byte sectors"}, {kSector, kLeadSectors, 0, "at the disk's end"}}) {
      MemorySource src(diskWith(s.bytes, bps, lead, tail), bps);
      CarveState state;
      const Carved r = carve(s.handler, src, lead, &state);
      expectSample(s, r.result, where);
      EXPECT_EQ(r.bad, 0u) << s.file << " " << where;
    }
    const Buffer disk = diskWith(s.bytes);
    MemorySource resident(disk, kSector);
    const std::size_t from = kLeadSectors * kSector;
    CarveContext ctx{resident, kLeadSectors};
    ctx.resident = Bytes(disk.data() + from, std::min<std::size_t>(disk.size() - from, 63u * kSector - from));
    expectSample(s, findRoutine(s.handler)->findEnd(ctx), "resident chunk");
  }
}

// A compound file with neither a Word nor a Workbook stream is taken for a presentation; WAVE hands MPEG audio on.
TEST(CarverSamples, Ole2WithoutWordOrWorkbookIsAPresentationAndWaveHandsMpegAudioToTheFrameWalk) {
  Buffer doc = sample("ole2_doc.doc").bytes;
  const std::uint64_t dir = (std::uint64_t{doc[48]} | std::uint64_t{doc[49]} << 8) + 1;
  for (std::uint64_t e = 1; e < 4; ++e) doc[dir * 512 + e * 128] = 'X';
  EXPECT_EQ(carveBytes(235, diskWith(doc), kLeadSectors).result.extension, "ppt");
  MemorySource src(diskWith(sample("wave_mp3.wav").bytes), kSector);
  CarveState state;
  carve(68, src, kLeadSectors, &state);  // its size: EachFileAtASectorBoundaryInRandomBytes
  EXPECT_TRUE(state.mp3Starts.contains(kLeadSectors));
}

// Files cut by the disk's end, and a truncated file followed by random bytes.
TEST(CarverBounds, TruncatedFiles) {
  for (const Sample& s : samples()) {
    const std::vector<std::pair<std::size_t, std::size_t>> cuts = {
        {s.size / 2, 0}, {s.size - 1, 0}, {600, 0}, {100, 0}, {s.size * 2 / 3, 256 * 1024}};  // {kept, tail}
    for (const auto& [keep, tail] : cuts) {
      if (keep == 0 || keep > s.size) continue;
      SCOPED_TRACE(s.file + " kept " + std::to_string(keep) + " tail " + std::to_string(tail));
      Buffer cut(s.bytes.begin(), s.bytes.begin() + static_cast<std::ptrdiff_t>(keep));
      Buffer disk = diskWith(cut, kSector, kLeadSectors, tail, tail ? 5 : 1);
      const std::uint64_t available = disk.size() - kLeadSectors * kSector;
      MemorySource src(std::move(disk), kSector);
      const Carved r = carve(s.handler, src, kLeadSectors);
      EXPECT_EQ(r.bad, 0u);
      EXPECT_LE(r.result.size, available);
      EXPECT_LE(r.result.skipBytes, available);
      EXPECT_NE(r.result.outcome, Outcome::ReadFailed);
    }
  }
}

// Each sample starting on the disk's last sector, past its end, and on a disk that is gone.
TEST(CarverBounds, LastSectorOutsideTheDiskAndALostDisk) {
  for (const Sample& s : samples()) {
    SCOPED_TRACE(s.file);
    Buffer disk(8 * kSector, 0);
    std::copy_n(s.bytes.begin(), std::min<std::size_t>(kSector, s.bytes.size()), disk.begin() + 7 * kSector);
    MemorySource src(disk, kSector), outside(disk, kSector), gone(diskWith(s.bytes), kSector);
    const Carved last = carve(s.handler, src, 7);
    EXPECT_LE(last.result.size, kSector);
    EXPECT_EQ(last.bad, 0u);
    EXPECT_EQ(carve(s.handler, outside, 8).result.outcome, Outcome::Rejected);
    EXPECT_EQ(outside.reads(), 0u);
    gone.failAfter(0);
    EXPECT_EQ(carve(s.handler, gone, kLeadSectors).result.outcome, Outcome::ReadFailed);
  }
  // A failure after the header was read: the JPEG's end-of-image search.
  const Sample& jpeg = sample("jpeg_exif_thumb.jpg");
  Buffer disk = diskWith(jpeg.bytes);
  MemorySource src(disk, kSector);
  CarveContext ctx{src, kLeadSectors};
  ctx.resident = Bytes(disk.data() + kLeadSectors * kSector, 2 * kSector);
  src.failAfter(0);
  EXPECT_EQ(findRoutine(167)->findEnd(ctx).outcome, Outcome::ReadFailed);
}

TEST(CarverBounds, NoSectorSizeMeansNothingIsRead) {
  for (const FormatRoutine* routine : allRoutines()) {
    MemorySource src(sample("png.png").bytes, 0);
    CarveContext ctx{src, 0};
    EXPECT_EQ(routine->findEnd(ctx).outcome, Outcome::Rejected) << routine->name;
    EXPECT_EQ(src.reads(), 0u);
  }
}

TEST(CarverBounds, StoppedScanEndsTheWalk) {
  // A JPEG of 65535 x 65535 pixels and no end: a stopped scan ends the search at its next test.
  Buffer head = giantJpegHeader();
  head.resize(64 * 1024 * 1024, 0);
  MemorySource src(std::move(head), kSector);
  RunControl run;  // never started: running() is false
  const Carved r = carve(167, src, 0, nullptr, &run);
  EXPECT_TRUE(r.result.accepted());
  EXPECT_LE(r.sectorsRead, 128u);
}

void putBe32(Buffer& b, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}
void putLe32(Buffer& b, std::size_t at, std::uint32_t v) { writeLe<std::uint32_t>(b, at, v); }
void putLe16(Buffer& b, std::size_t at, std::uint16_t v) { writeLe<std::uint16_t>(b, at, v); }
void putText(Buffer& b, std::size_t at, const std::string& s) { std::copy(s.begin(), s.end(), b.begin() + static_cast<std::ptrdiff_t>(at)); }

// A TIFF header and directories at `dirs`, each of one valid entry (ImageWidth, SHORT, 1) and a link to `links`.
Buffer tiffChain(const std::vector<std::uint32_t>& dirs, const std::vector<std::uint32_t>& links, bool big = false) {
  Buffer b(16 * kSector, 0);
  auto put = [&](std::size_t at, std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (big ? 8 * (n - 1 - i) : 8 * i));
  };
  putText(b, 0, big ? "MM" : "II");
  put(2, 42, 2);
  put(4, dirs.front(), 4);
  for (std::size_t i = 0; i < dirs.size(); ++i) {
    const std::tuple<std::size_t, std::uint32_t, int> fields[] = {{0, 1, 2}, {2, 256, 2}, {4, 3, 2}, {6, 1, 4}, {10, 16, 2}, {14, links[i], 4}};
    for (const auto& [at, v, n] : fields) put(dirs[i] + at, v, n);
  }
  return b;
}

TEST(CarverHostile, JpegWithGiantDimensionsAndNoEnd) {
  Buffer head = giantJpegHeader();
  head.resize(2 * 1024 * 1024, 0);
  MemorySource src(head, kSector);
  const Carved r = carve(167, src, 0);
  ASSERT_TRUE(r.result.accepted());
  EXPECT_FALSE(r.result.endFound);
  // The estimate reaches past the disk: the size stops one sector short of its end.
  EXPECT_EQ(r.result.size, head.size() - kSector);
  // The entropy-coded data are followed to the disk's end, then the window is searched.
  EXPECT_LE(r.sectorsRead, 3 * head.size() / kSector);
  // A marker chain with a zero length ends the walk there.
  Buffer zero = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x00};
  zero.resize(8 * kSector, 0);
  EXPECT_TRUE(carveBytes(167, zero).result.accepted());
}

TEST(CarverMended, PdfWithoutLinearizationEndsAtItsLastEof) {
  const Sample& plain = sample("pdf_plain.pdf");
  auto carvePdf = [](const Buffer& file) { return carveBytes(110, diskWith(file), kLeadSectors).result; };
  // An incremental update appended to the file: the size takes it in.
  Buffer updated = plain.bytes;
  const std::string update = "6 0 obj\n<< /Producer (x) >>\nendobj\nxref\n0 1\n0000000000 65535 f \ntrailer\n"
                             "<< /Size 7 /Root 1 0 R /Prev 9 >>\nstartxref\n701\n%%EOF\n";
  updated.insert(updated.end(), update.begin(), update.end());
  EXPECT_EQ(carvePdf(updated).size, updated.size());
  EXPECT_FALSE(carvePdf(updated).endFound);
  // Another PDF starting at the next sector boundary is not part of this one.
  Buffer two = plain.bytes;
  two.resize(2 * kSector, '\n');
  two.insert(two.end(), plain.bytes.begin(), plain.bytes.end());
  EXPECT_EQ(carvePdf(two).size, plain.size);
  // Without any "%%EOF" the size is left to the scanner.
  const CarveResult none = carvePdf(Buffer(plain.bytes.begin(), plain.bytes.begin() + 300));
  EXPECT_TRUE(none.accepted() && none.size == 0);
  // A header that is not PDF 1.x or 2.x is rejected (the scanner still adds an item).
  Buffer v3 = plain.bytes;
  v3[5] = '3';
  EXPECT_EQ(carvePdf(v3).outcome, Outcome::Rejected);
}

// (One sub-block, MIDI's last chunk, ID3v1 tags: on the carving image.) Comment blocks before the image.
TEST(CarverMended, GifOfOneSubBlockAndLongExtensions) {
  const Sample& tiny = sample("gif_tiny.gif");
  Buffer gif(tiny.bytes.begin(), tiny.bytes.end());
  std::size_t at = 13 + (gif[10] & 0x80 ? 3u << ((gif[10] & 7u) + 1u) : 0u);
  const Buffer comment = {0x21, 0xFE, 3, 'a', 'b', 'c', 2, 'd', 'e', 1, 0x3B, 0};
  gif.insert(gif.begin() + static_cast<std::ptrdiff_t>(at), comment.begin(), comment.end());
  EXPECT_EQ(carveBytes(161, diskWith(gif), kLeadSectors).result.size, gif.size());
}

TEST(CarverMended, DenseJpegEndsAtItsOwnEndMarker) {
  // Quality 100 and random pixels: longer than its dimensions suggest, restart markers in the data.
  const Sample& s = sample("jpeg_dense.jpg");
  const std::uint64_t pixels = 160 * 160;
  ASSERT_GT(s.size, 63u * kSector + pixels * 3 / 2 * 3 / 4) << "the end marker is inside the window";
  // The walk finds the real end even when the type's limit is just enough.
  MemorySource src(diskWith(s.bytes), kSector);
  CarveContext ctx{src, kLeadSectors};
  ctx.defaultSize = static_cast<std::uint32_t>(s.size);
  const CarveResult r = findRoutine(167)->findEnd(ctx);
  EXPECT_EQ(r.size, s.size);
  EXPECT_TRUE(r.endFound);
  ctx.defaultSize = static_cast<std::uint32_t>(s.size - 100);
  EXPECT_FALSE(findRoutine(167)->findEnd(ctx).endFound);
}

TEST(CarverMended, MpegSystemStreamIsOneItemWithEveryPackListed) {
  const Sample& s = sample("mpeg1_system.mpg");
  MemorySource src(diskWith(s.bytes), kSector);
  CarveState state;
  ASSERT_EQ(carve(18, src, kLeadSectors, &state).result.size, s.size);
  // Packs start at 4,096, 8,192, 10,240 and 12,288 bytes: every one of them is in the list.
  for (std::uint64_t at : {4096u, 8192u, 10240u, 12288u}) EXPECT_TRUE(state.mpegStarts.contains(kLeadSectors + at / kSector)) << at;
}

struct HostileCase {
  const char* what;
  int code;
  std::function<Buffer()> disk;
  std::optional<Outcome> outcome;  // nullopt: either
  std::int64_t size;  // the expected size; -1: anything within the disk
  int jump = -1;      // 0 or 1: whether the scan may jump over it; -1: either
};

Buffer zeros(std::size_t sectors) { return Buffer(sectors * kSector, 0); }
Buffer withText(Buffer b, std::size_t at, const std::string& text) {
  putText(b, at, text);
  return b;
}
Buffer repeated(std::size_t sectors, const Buffer& unit, std::size_t from = 0) {
  Buffer b = zeros(sectors);
  for (std::size_t at = from; at + unit.size() <= b.size(); at += unit.size()) std::copy(unit.begin(), unit.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
  return b;
}
Buffer patched(const std::string& file, std::function<void(Buffer&)> change, std::size_t pad = 64) {
  Buffer b = sample(file).bytes;
  change(b);
  b.resize((b.size() + kSector - 1) / kSector * kSector + pad * kSector, 0);
  return b;
}

// A little-endian TIFF whose directory at 8 holds `entries` ({tag, type, count, value}) and links to `next`.
Buffer tiffEntries(const std::vector<std::array<std::uint32_t, 4>>& entries, std::uint32_t next = 0, Buffer b = tiffChain({8}, {0})) {
  b[8] = static_cast<std::uint8_t>(entries.size());
  std::size_t at = 10;
  for (const auto& [tag, type, count, value] : entries) {
    putLe16(b, at, static_cast<std::uint16_t>(tag)); putLe16(b, at + 2, static_cast<std::uint16_t>(type));
    putLe32(b, at + 4, count); putLe32(b, at + 8, value);
    at += 12;
  }
  putLe32(b, at, next);
  return b;
}
Buffer zipStart(std::size_t sectors) {
  Buffer b = withText(zeros(sectors), 0, "PK\x03\x04\x14");
  putLe16(b, 26, 1);
  return b;
}

TEST(CarverHostile, MpegPacksOfFourBytes) {
  // Pack start codes with no pack header after them are no stream.
  MemorySource src(repeated(64, {0x00, 0x00, 0x01, 0xBA}), kSector);
  CarveState state;
  EXPECT_EQ(carve(18, src, 0, &state).result.outcome, Outcome::Rejected);
  EXPECT_TRUE(state.mpegStarts.empty());
  // MPEG-1 packs of twelve bytes and empty padding packets to the disk's end: one stream.
  MemorySource packs(repeated(64, {0x00, 0x00, 0x01, 0xBA, 0x21, 0x00, 0x01, 0x00, 0x01, 0x80, 0x00, 0x01, 0x00, 0x00, 0x01, 0xBE,
                                   0x00, 0x0E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), kSector);
  CarveState packState;
  EXPECT_EQ(carve(18, packs, 0, &packState).result.size, 64u * kSector);
  EXPECT_EQ(packState.mpegStarts.size(), 63u);  // one per sector after the first
}

// Gigabyte size fields, endless or looping chains, lying headers: rejected, or bounded by the disk.
TEST(CarverHostile, HeadersRejectOrStayBounded) {
  constexpr auto any = std::nullopt;
  const std::vector<HostileCase> cases = {
      {"length field of 4 GB", 4, [] { Buffer b = zeros(64); putLe32(b, 4, 0xFFFFFFFFu); return b; }, any, 64 * kSector},
      {"BMP of 4 GB", 142, [] { Buffer b = withText(zeros(64), 0, "BM"); putLe32(b, 2, 0xFFFFFFF0u); return b; }, any, 64 * kSector},
      {"MRW header blocks of 4 GB", 207, [] { Buffer b = zeros(64); putBe32(b, 4, 0xFFFFFFF0u); b[24] = b[25] = b[26] = b[27] = b[32] = 0xFF; return b; }, any, 64 * kSector},
      {"WAVE of 4 GB", 68, [] { Buffer b = withText(zeros(64), 0, "RIFF"); putLe32(b, 4, 0xFFFFFFFFu); return withText(b, 8, "WAVE"); }, any, 64 * kSector},
      {"PDF linearization length of 25 digits", 110, [] { return withText(Buffer(64 * kSector, ' '), 0, "%PDF-1.5\n1 0 obj << /Linearized 1 /L 9999999999999999999999999 >>"); }, any, 64 * kSector},
      {"MIDI of empty track chunks to the end", 61, [] { return withText(repeated(32, {'M', 'T', 'r', 'k', 0, 0, 0, 0}), 0, "MThd"); }, any, 32 * kSector},
      {"MIDI track chunk of 4 GB", 61, [] { Buffer b = withText(zeros(32), 0, "MThd"); putBe32(b, 4, 0xFFFFFFF0u); return b; }, any, 32 * kSector},
      {"free atoms to the end", 15, [] { return repeated(32, {0, 0, 0, 8, 'f', 'r', 'e', 'e'}); }, any, 32 * kSector},
      {"an atom of 4 GB", 15, [] { Buffer b = repeated(32, {0, 0, 0, 8, 'f', 'r', 'e', 'e'}); putBe32(b, 64, 0xFFFFFFF0u); return b; }, any, 32 * kSector},
      {"a 64-bit atom size ends the chain before it", 15, [] { Buffer b = repeated(32, {0, 0, 0, 8, 'f', 'r', 'e', 'e'}); putBe32(b, 64, 1); return b; }, any, 64},
      {"PNG chunk of 2^31 - 1 bytes", 185, [] { Buffer b = sample("png.png").bytes; b.resize(45); putBe32(b, 33, 0x7FFFFFFFu); putText(b, 37, "IDAT"); b.resize(32 * kSector, 0); return b; }, any, 32 * kSector},
      {"GIF sub-blocks that never end", 161, [] { Buffer b = withText(Buffer(32 * kSector, 0xFF), 0, "GIF89a"); b[10] = 0; b[13] = 0x2C; b[22] = 0; return b; }, any, -1},
      {"ID3 tag of maximal size", 62, [] { Buffer b = withText(zeros(16), 0, "ID3"); b[3] = 3; b[6] = b[7] = b[8] = b[9] = 0x7F; return b; }, Outcome::Rejected, 0},
      {"ID3 size not synch-safe", 62, [] { Buffer b = withText(zeros(16), 0, "ID3"); b[3] = 3; b[6] = b[7] = b[8] = 0x7F; b[9] = 0x80; return b; }, Outcome::Rejected, 0},
      // Twenty-odd frames of 104 bytes: fewer than the forty a file needs.
      {"MP3 of too few frames", 62, [] { return patched("mp3_plain.mp3", [](Buffer& b) { b.resize(2500); }); }, Outcome::Rejected, 0},
      {"RIFF-wrapped MP3 whose chunks run past the first sector", 62, [] { Buffer b = withText(withText(zeros(16), 0, "RIFF"), 8, "WAVEfmt "); putLe32(b, 16, 0xFFFFFF00u); putLe16(b, 20, 0x55); return b; }, Outcome::Rejected, 0},
      // 8 -> 100 -> 8 -> ...: the walk stops at the repeat; the farthest directory ends at 118.
      {"TIFF directories that point at each other", 208, [] { return tiffChain({8, 100}, {100, 8}); }, Outcome::Accepted, 118, 1},
      {"big-endian TIFF directories that point at each other", 203, [] { return tiffChain({8, 100}, {100, 8}, true); }, Outcome::Accepted, 118, 1},
      {"TIFF directory linking to itself", 208, [] { return tiffChain({8}, {8}); }, Outcome::Accepted, 26},
      {"TIFF directory linking past the disk", 208, [] { return tiffChain({8}, {0x7FFFFFF0u}); }, Outcome::Accepted, 26},
      // Image data first, then the directory with nothing out of line: the file ends with it.
      {"TIFF directory after the image data", 208, [] { return tiffChain({1000}, {0}); }, Outcome::Accepted, 1018},
      {"TIFF of an odd first offset", 208, [] { Buffer b = tiffChain({8}, {0}); b[4] = 9; return b; }, Outcome::Rejected, 0},
      {"OLE2 of 4 billion table sectors", 235, [] { return patched("ole2_xls.xls", [](Buffer& b) { putLe32(b, 44, 0xFFFFFFFFu); }); }, Outcome::Accepted, -1},
      {"OLE2 table-of-tables chain pointing at itself", 235, [] { return patched("ole2_xls.xls", [](Buffer& b) { putLe32(b, 44, 300); putLe32(b, 68, 0); putLe32(b, 72, 1); }, 8192); }, Outcome::Accepted, -1},
      {"OLE2 of no table sectors: the capacity rule", 235, [] { return patched("ole2_xls.xls", [](Buffer& b) { putLe32(b, 44, 0); }); }, any, 512},
      {"OLE2 without a root entry at its directory", 235, [] { return patched("ole2_xls.xls", [](Buffer& b) { putLe32(b, 48, 1); }); }, Outcome::Rejected, 0},
      // A TIFF of a raw maker's name, or a Canon raw header, is left to the raw type.
      {"TIFF naming a raw maker, type 203", 203, [] { return patched("tiff_le.tif", [](Buffer& b) { putText(b, 600, "NIKON"); }); }, Outcome::Rejected, 0},
      {"TIFF naming a raw maker, type 208", 208, [] { return patched("tiff_le.tif", [](Buffer& b) { putText(b, 600, "NIKON"); }); }, Outcome::Accepted, -1},
      {"TIFF with a Canon raw header", 203, [] { return patched("tiff_le.tif", [](Buffer& b) { putLe32(b, 8, 0x00025243u); }); }, Outcome::Rejected, 0},
      {"TIFF strip at 4 GB", 208, [] { return tiffEntries({{273, 4, 1, 0xFFFFFF00u}, {279, 4, 1, 0x1000u}}); }, any, 16 * kSector},
      {"RIFF of 4 GB", 236, [] { Buffer b = withText(zeros(16), 0, "RIFFxxxxAVI "); putLe32(b, 4, 0xFFFFFFF7u); return b; }, Outcome::Accepted, 16 * kSector},
      {"RIFF form type not text", 236, [] { Buffer b = withText(zeros(4), 0, "RIFF"); putLe32(b, 4, 100); return b; }, Outcome::Rejected, 0},
      {"WebP without an image chunk", 237, [] { return withText(zeros(4), 0, std::string("RIFF\x40\0\0\0WEBPJUNK", 16)); }, Outcome::Rejected, 0},
      {"JPEG of empty segments to the end", 238, [] { Buffer b = repeated(64, {0xFF, 0xFE, 0x00, 0x02}, 2); b[0] = 0xFF; b[1] = 0xD8; return b; }, Outcome::Rejected, 0},
      {"JPEG scan without a frame", 238, [] { return Buffer{0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0xFF, 0xD9}; }, Outcome::Rejected, 0},
      {"ZIP whose directory points at itself", 239, [] { Buffer b = zipStart(8); putText(b, 1000, "PK\x05\x06"); putLe16(b, 1010, 0xFFFF); putLe32(b, 1016, 1000); return b; }, Outcome::Accepted, 0},
      {"ZIP64 locator past the disk", 239, [] {
         Buffer b = zipStart(8); putText(b, 980, "PK\x06\x07"); putLe32(b, 988, 0xFFFFFF00u); putText(b, 1000, "PK\x05\x06"); putLe32(b, 1016, 0xFFFFFFFFu);
         return b; }, Outcome::Accepted, 0},
      {"ZIP of a million central headers", 239, [] {
         Buffer b = repeated(2048, withText(Buffer(46, 0), 0, "PK\x01\x02"), 46);
         std::copy_n(zipStart(1).begin(), 46, b.begin());
         const std::size_t end = 46 + (b.size() - 46 - 22) / 46 * 46;
         putText(b, end, "PK\x05\x06"); putLe16(b, end + 10, 0xFFFE); putLe32(b, end + 12, static_cast<std::uint32_t>(end - 46)); putLe32(b, end + 16, 46);
         return b; }, Outcome::Accepted, -1},
      {"ISO media of one giant box", 240, [] { Buffer b = withText(zeros(8), 4, "ftypheic"); putBe32(b, 0, 16); putBe32(b, 16, 1); putText(b, 20, "moov"); putBe32(b, 24, 0xFFFFFFFFu); putBe32(b, 28, 0xFFFFFFFFu); return b; }, Outcome::Accepted, 8 * kSector},
      {"ISO media without content", 240, [] { Buffer b = withText(zeros(8), 4, "ftypheic"); putBe32(b, 0, 16); return b; }, Outcome::Rejected, 0},
      {"Matroska header of 1 GB", 241, [] { return Buffer{0x1A, 0x45, 0xDF, 0xA3, 0x08, 0x40, 0, 0, 0, 0, 0, 0, 0}; }, Outcome::Rejected, 0},
      // A header, a segment of unknown size, then empty voids.
      {"Matroska of unknown size over empty voids", 241, [] { return withText(repeated(64, {0xEC, 0x80}, 28), 0, std::string("\x1A\x45\xDF\xA3\x8B\x42\x82\x88matroska\x18\x53\x80\x67\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 28)); }, Outcome::Accepted, 64 * kSector},
      {"FLAC metadata past the disk", 242, [] { Buffer b = withText(zeros(4), 0, "fLaC"); putBe32(b, 4, 34); putBe32(b, 42, 0x05FFFFFFu); return b; }, Outcome::Rejected, 0},
      {"FLAC frames of wrong CRC", 242, [] { return patched("flac.flac", [](Buffer& b) { for (std::size_t i = 200; i < b.size(); i += 97) b[i] ^= 0x5A; }); }, Outcome::Accepted, -1},
      {"Ogg page of wrong CRC", 243, [] { return patched("ogg_vorbis.ogg", [](Buffer& b) { b[22] ^= 1; }); }, Outcome::Rejected, 0},
      {"RIFF that is not WAVE", 68, [] { return patched("wave_mp3.wav", [](Buffer& b) { b[8] = 'X'; }); }, Outcome::Rejected, 0},
      {"SQLite page size 3", 244, [] { return patched("sqlite.db", [](Buffer& b) { b[16] = 0; b[17] = 3; }); }, Outcome::Rejected, 0},
      // A size from a field that runs past the disk: no jump over the rest of the disk.
      {"SQLite of 4 billion pages", 244, [] { return patched("sqlite.db", [](Buffer& b) { putBe32(b, 28, 0xFFFFFFFFu); }, 4); }, Outcome::Accepted, -1, 0},
      {"7z start header of wrong CRC", 245, [] { return patched("seven_zip.7z", [](Buffer& b) { b[20] ^= 1; }); }, Outcome::Rejected, 0},
      {"RAR 5 header of wrong CRC", 246, [] { return patched("rar5.rar", [](Buffer& b) { b[8] ^= 1; }); }, Outcome::Rejected, 0},
      {"RAR 5 block of 2^63 bytes", 246, [] {  // a main header (type 1) with a data area of 2^63 - 1 bytes
         const Buffer header = {12, 0x01, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x00};
         Buffer b = withText(withText(zeros(8), 0, std::string("Rar!\x1A\x07\x01\x00", 8)), 12, std::string(header.begin(), header.end()));
         putLe32(b, 8, crc32Update(0, Bytes(header)));
         return b; }, Outcome::Accepted, 8 * kSector},
      // 8: Make (ASCII, 6 at 300) and SubIFDs (LONG, 1) pointing back at 8; its link to 100, which links back.
      {"raw directories that point at each other", 247, [] { return withText(tiffEntries({{271, 2, 6, 300}, {330, 4, 1, 8}}, 100, tiffChain({8, 100}, {100, 8})), 300, "NIKON"); }, Outcome::Accepted, 306},
      {"raw TIFF of no known maker", 247, [] { return tiffChain({8}, {0}); }, Outcome::Rejected, 0},
  };
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.what);
    Buffer disk = c.disk();
    disk.resize((disk.size() + kSector - 1) / kSector * kSector, 0);
    const std::uint64_t size = disk.size();
    MemorySource src(std::move(disk), kSector);
    const Carved r = carve(c.code, src, 0);
    if (c.outcome) {
      EXPECT_EQ(r.result.outcome, *c.outcome);
    }
    EXPECT_EQ(r.bad, 0u);
    EXPECT_LE(r.result.size, size);
    EXPECT_LE(r.sectorsRead, 8 * size / kSector + 64);
    if (c.size >= 0) {
      EXPECT_EQ(r.result.size, static_cast<std::uint64_t>(c.size));
    }
    if (c.jump >= 0) {
      EXPECT_EQ(r.result.endFound, c.jump == 1);
    }
  }
}

}  // namespace
}  // namespace ov::carver
