// FAT boot sectors, the stored volume record, reads on a failing disk, and hostile cluster chains.

#include "fat/fat_volume.h"
#include "tests/support/builders.h"

namespace ov::fat {
namespace {

using Buffer = std::vector<std::uint8_t>;
using test::FatBootFields;

FatBootFields fat32Fields() { return {512, 1, 32, 630, 81920, 0x5EED1602u}; }

TEST(FatBootSector, EachRuleTakesOrRefusesAndTheKindComesFromTheClusterCount) {
  struct Row {
    const char* what;
    bool fat32;
    std::function<void(Buffer&)> change;
    bool accepted;
    bool fat12 = false;
  };
  using Change = std::function<void(Buffer&)>;
  auto put = [](std::size_t at, std::uint32_t value, int width) -> Change {
    return [=](Buffer& b) {
      for (int i = 0; i < width; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    };
  };
  auto all = [](std::vector<Change> changes) -> Change {
    return [=](Buffer& b) {
      for (const auto& c : changes) c(b);
    };
  };
  std::vector<Row> rows;
  for (bool fat32 : {false, true}) {
    const std::vector<Row> shared = {
        {"well formed", fat32, [](Buffer&) {}, true},
        {"jump byte 0", fat32, put(0, 0, 1), false},
        {"jump byte 1", fat32, put(1, 0, 1), false},
        {"jump byte 2", fat32, put(2, 0x91, 1), false},
        {"sector size 0", fat32, put(11, 0, 2), true},
        {"sector size 4096", fat32, put(11, 4096, 2), true},
        {"sector size 1536", fat32, put(11, 1536, 2), false},
        {"sector size 256", fat32, put(11, 256, 2), false},
        {"one FAT", fat32, put(16, 1, 1), false},
        {"three FATs", fat32, put(16, 3, 1), false},
        {"no sectors per cluster", fat32, put(13, 0, 1), false},
        {"3 sectors per cluster", fat32, put(13, 3, 1), false},
        {"64 sectors per cluster: few clusters", fat32, put(13, 64, 1), true, !fat32},
        {"cut short", fat32, [](Buffer& b) { b.resize(100); }, false},
    };
    rows.insert(rows.end(), shared.begin(), shared.end());
  }
  const std::vector<Row> own = {
      {"FAT16 below 65,536 sectors", false, all({put(32, 0, 4), put(19, 60000, 2)}), true},
      {"1.44 MB floppy", false,
       all({put(32, 0, 4), put(19, 2880, 2), put(13, 1, 1), put(14, 1, 2), put(17, 224, 2), put(22, 9, 2)}), true, true},
      // Reserved 4 + FATs 160 + root 32 = 196 sectors before 4,084 or 4,085 clusters of 4.
      {"4,084 clusters", false, put(32, 196 + 4084 * 4 + 3, 4), true, true},
      {"4,085 clusters", false, put(32, 196 + 4085 * 4, 4), true},
      {"the 16-bit total wins", false, put(19, 196 + 100 * 4, 2), true, true},
      {"no file system name", false, put(57, 0, 4), false},
      {"no root entries", false, put(17, 0, 2), false},
      {"no reserved sector", false, put(14, 0, 2), false},
      {"no 16-bit FAT size", false, put(22, 0, 2), false},
      {"no size at all", false, put(32, 0, 4), false},
      {"no room for a cluster", false, put(32, 199, 4), false},
      {"root at cluster 3", true, put(44, 3, 4), false},
      {"no backup boot sector", true, put(50, 0, 2), false},
      {"information sector 2", true, put(48, 2, 2), false},
  };
  rows.insert(rows.end(), own.begin(), own.end());
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.fat32 ? "FAT32: " : "FAT16: ") + row.what);
    Buffer b = row.fat32 ? test::fat32BootSector(fat32Fields()) : test::fat16BootSector();
    row.change(b);
    EXPECT_EQ(row.fat32 ? isFat32BootSector(b) : isFat12or16BootSector(b), row.accepted);
    EXPECT_FALSE(row.fat32 ? isFat12or16BootSector(b) : isFat32BootSector(b));
    if (!row.accepted || row.fat32) continue;
    FatVolume v;
    parseFat12or16BootSector(b, v);
    EXPECT_EQ(v.fat12, row.fat12);
  }
}

TEST(FatBootSector, AVolumeSmallerThanItsFatsHasNoClustersAndSectorSize0IsTheSources) {
  FatBootFields tiny = fat32Fields();
  tiny.totalSectors = 1000;  // less than reserved + 2 FATs
  FatVolume v;
  parseFat32BootSector(test::fat32BootSector(tiny), v);
  EXPECT_EQ(v.clusterCount, 0u);
  Buffer zero = test::fat16BootSector();
  writeLe<std::uint16_t>(zero, 11, 0);
  FatVolume p;
  parseFat12or16BootSector(zero, p);
  EXPECT_EQ(selectVolume(p, 512).bytesPerCluster, 2048u);
  EXPECT_EQ(selectVolume(FatVolume{}, 4096).bytesPerCluster, 32768u);
}

TEST(StoredFatVolume, LayoutAndRoundTrip) {
  FatVolume v;
  const std::vector<test::Field> fields = {
      {0, 1, 0}, OV_FIELD(v, bootCopySector, 1, 8, 0x0102030405060708ull),
      OV_FIELD(v, startSector, 9, 8, 0x1112131415161718ull), OV_FIELD(v, sectorCount, 17, 8, 0x2122232425262728ull),
      OV_FIELD(v, serialNumber, 25, 8, 0x3132333435363738ull), OV_FIELD(v, reservedSectors, 33, 8, 0x4142434445464748ull),
      OV_FIELD(v, secondFatOffset, 41, 8, 0x5152535455565758ull), OV_FIELD(v, dataOffset, 49, 8, 0x6162636465666768ull),
      OV_FIELD(v, fatSectors, 57, 4, 0x71727374u), OV_FIELD(v, clusterCount, 65, 4, 0x81828384u),
      OV_FIELD(v, bytesPerCluster, 69, 4, 0x91929394u), OV_FIELD(v, bytesPerSector, 73, 2, 0xA1A2),
      OV_FIELD(v, sectorsPerCluster, 75, 1, 0xB1), OV_FIELD(v, fatType, 76, 1, 0xC1), OV_FIELD(v, foundBy, 77, 1, 0x0D)};
  const auto b = encodeFatVolume(v, true);
  test::expectLayout(Buffer(b.begin(), b.end()), 78, fields);
  EXPECT_NE(le32(b, 61), 0u);  // another record follows
  EXPECT_EQ(le32(encodeFatVolume(v, false), 61), 0u);
  bool more = false;
  EXPECT_EQ(decodeFatVolume(b, &more), v);
  EXPECT_TRUE(more);
  EXPECT_FALSE(decodeFatVolume(Bytes(b.data(), 77)));
  // FAT12 and the root's size sit where older records hold 0 (the byte at 0 and the 64-bit
  // boot copy of a FAT16 volume); those read back as FAT16 with a root of 32 sectors.
  const FatVolume small{.bytesPerSector = 512, .fatType = kFat16, .fat12 = true, .rootEntries = 224};
  auto s = encodeFatVolume(small, false);
  EXPECT_EQ(s[0], 12);
  EXPECT_EQ(le64(Bytes(s.data(), s.size()), 1), 224u);
  EXPECT_EQ(decodeFatVolume(s), small);
  EXPECT_EQ(rootDirSectors(small), 14u);
  s[0] = 0;
  writeLe<std::uint64_t>(MutableBytes(s.data(), s.size()), 1, 0);
  auto older = decodeFatVolume(s);
  ASSERT_TRUE(older);
  EXPECT_FALSE(older->fat12);
  EXPECT_EQ(rootDirSectors(*older), kFat16RootSectors);
  writeLe<std::uint64_t>(MutableBytes(s.data(), s.size()), 1, 0x10000);  // no root holds 65,536 entries
  EXPECT_FALSE(decodeFatVolume(s));
}

// A 64-sector disk whose bytes tell their position; `volumeSector` is the FAT volume's sector size.
TEST(FatReader, SkipsUnreadableSectorsWaitsOutBusyOnesAndReportsTheRest) {
  struct Row {
    const char* what;
    std::vector<std::pair<std::uint64_t, int>> failures;
    std::uint16_t volumeSector;
    std::size_t bytes;
    std::uint64_t at;
    bool stopped;
    enum { Read, Aborted, Reported } outcome;
    std::vector<std::size_t> zeroPieces;  // pieces of volumeSector bytes read as zeros
    std::size_t waits = 0;
  };
  const std::vector<Row> rows = {
      {"an unreadable sector reads as zeros, unlogged", {{12, EIO}}, 512, 8 * 512, 10, false, Row::Read, {2}},
      {"busy sectors are waited out, half a second each", {{0, EBUSY}, {1, EBUSY}, {2, EBUSY}, {3, EBUSY}}, 512, 4 * 512,
       0, false, Row::Read, {0, 1, 2, 3}, 4},
      {"access denied ends the operation", {{3, EACCES}}, 512, 8 * 512, 0, false, Row::Reported, {}},
      {"a failure on the last piece is still reported", {{0, EIO}, {1, ENODEV}}, 512, 2 * 512, 0, false, Row::Reported, {}},
      {"a stop during the retry", {{5, EIO}}, 512, 8 * 512, 0, true, Row::Aborted, {}},
      {"the retry steps by the volume's sector", {{12, EIO}}, 1024, 4096, 10, false, Row::Read, {1}},
      {"past the end of the disk", {}, 512, 1024, 63, false, Row::Read, {1}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    test::MemoryDisk d(64);
    for (std::size_t i = 0; i < d.bytes.size(); ++i) d.bytes[i] = static_cast<std::uint8_t>(i / 512 + i % 7 + 1);
    d.open();
    for (auto [sector, error] : row.failures) d.faults->failSector(sector, error);
    if (row.stopped) d.run.stop();
    FatVolume v;
    v.bytesPerSector = row.volumeSector;
    FatReader reader(d.source, v);
    std::vector<std::chrono::milliseconds> waits;
    reader.setSleeper([&](std::chrono::milliseconds ms) { waits.push_back(ms); });
    Buffer buffer(row.bytes, 0xEE);
    if (row.outcome == Row::Reported) {
      EXPECT_THROW(reader.read(buffer.data(), buffer.size(), row.at), AlreadyReported);
      ASSERT_EQ(d.host.messages.size(), 1u);
      EXPECT_EQ(d.host.messages[0].title, "Error");
      continue;
    }
    EXPECT_EQ(reader.read(buffer.data(), buffer.size(), row.at), row.outcome == Row::Read);
    if (row.outcome == Row::Aborted) continue;
    for (std::size_t i = 0; i < buffer.size(); ++i) {
      const bool zero = std::count(row.zeroPieces.begin(), row.zeroPieces.end(), i / row.volumeSector) > 0;
      const std::size_t at = row.at * 512 + i;
      ASSERT_EQ(buffer[i], zero || at >= d.bytes.size() ? 0 : d.bytes[at]) << i;
    }
    EXPECT_EQ(waits.size(), row.waits);
    for (auto w : waits) EXPECT_EQ(w.count(), 500);
    EXPECT_TRUE(d.host.log.empty());
    EXPECT_TRUE(d.host.messages.empty());
  }
}

using Chain = std::vector<std::uint32_t>;

// FATs at sector 10 of an in-memory disk; entries are set in the FAT at `copy` sectors from there.
struct Fats {
  Buffer bytes;
  FatVolume v;
  Fats(std::uint8_t type, std::uint32_t fatSectors, bool fat12 = false)
      : bytes((16 + 2 * fatSectors) * 512, 0),
        v{.startSector = 10, .fatSectors = fatSectors, .bytesPerSector = 512, .sectorsPerCluster = 1, .fatType = type, .fat12 = fat12} {}
  Fats& set(std::uint32_t cluster, std::uint32_t value, std::uint64_t copy = 0) {
    auto& b = bytes;
    if (v.fat12) {  // two entries in three bytes, the even one in the low 12 bits
      const std::size_t at = (v.startSector + copy) * 512 + cluster + cluster / 2;
      const std::uint16_t pair = le16(b, at);
      writeLe<std::uint16_t>(b, at, cluster % 2 == 0 ? static_cast<std::uint16_t>((pair & 0xF000) | value)
                                                     : static_cast<std::uint16_t>((pair & 0x000F) | (value << 4)));
    } else if (v.fatType == kFat16) {
      writeLe<std::uint16_t>(b, (v.startSector + copy) * 512 + cluster * 2u, static_cast<std::uint16_t>(value));
    } else {
      writeLe<std::uint32_t>(b, (v.startSector + copy) * 512 + cluster * 4u, value);
    }
    return *this;
  }
  Fats& link(std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t c = from; c < to; ++c) set(c, c + 1);
    return *this;
  }
  Chain chain(std::uint32_t first) const {
    test::MemoryDisk disk(bytes.size() / 512);
    disk.bytes = bytes;
    FatReader reader(disk.open(), v);
    return buildClusterChain(reader, first);
  }
};

TEST(ClusterChain, FollowsTheFatToItsEndAndStopsAtLoopsAndBadMarks) {
  struct Row {
    const char* what;
    std::function<Fats()> fats;
    std::uint32_t first;
    Chain chain;  // empty: no chain at all
  };
  const std::uint32_t fat12Max = kMaxFat12Clusters;
  const std::vector<Row> rows = {
      {"FAT16 to its end mark, into the FAT's second sector",
       [] { return Fats(kFat16, 4).set(2, 3).set(3, 7).set(7, 300).set(300, 0xFFFF); }, 2, {2, 3, 7, 300}},
      {"FAT12 entries of both halves and across a sector boundary",
       [] { return Fats(kFat16, 4, true).set(2, 3).set(3, 340).link(340, 342).set(342, 0xFFF).set(4, 0xABC).set(5, 0x123); },
       2, {2, 3, 340, 341, 342}},
      {"a FAT12 bad cluster mark", [] { return Fats(kFat16, 4, true).set(341, 342).set(342, 0xFF7); }, 341, {341, 342}},
      {"a FAT12 end mark of 0xFF8", [] { return Fats(kFat16, 4, true).link(340, 342).set(342, 0xFF8); }, 340, {340, 341, 342}},
      {"the longest FAT12 chain", [=] { return Fats(kFat16, 12, true).link(2, fat12Max + 1).set(fat12Max + 1, 0xFFF); }, 2,
       [=] {
         Chain c;
         for (std::uint32_t i = 2; i < fat12Max + 2; ++i) c.push_back(i);
         return c;
       }()},
      {"a FAT12 chain longer than the volume can hold", [=] { return Fats(kFat16, 12, true).link(2, fat12Max + 2).set(fat12Max + 2, 0xFFF); },
       2, {}},
      {"cluster 1, the FAT16 root", [] { return Fats(kFat16, 4).set(1, 5); }, 1, {}},
      {"a FAT16 bad cluster mark", [] { return Fats(kFat16, 4).set(2, 4).set(4, 0xFFF7); }, 2, {2, 4}},
      {"a reserved FAT16 value", [] { return Fats(kFat16, 4).set(2, 0xFFF0); }, 2, {2}},
      {"a free entry", [] { return Fats(kFat16, 4).set(2, 0); }, 2, {2}},
      {"a link to cluster 1", [] { return Fats(kFat16, 4).set(2, 1); }, 2, {2}},
      {"a FAT32 end mark with the top bits set", [] { return Fats(kFat32, 4).set(5, 6).set(6, 0xFFFFFFF8u); }, 5, {5, 6}},
      {"a FAT32 bad cluster mark", [] { return Fats(kFat32, 4).set(5, 0x0FFFFFF7u); }, 5, {5}},
      {"the top four bits are no part of the cluster",
       [] { return Fats(kFat32, 4).set(5, 0xF0000009u).set(9, 0x0FFFFFFFu); }, 5, {5, 9}},
      {"an entry pointing at itself", [] { return Fats(kFat16, 4).set(2, 3).set(3, 3); }, 2, {2, 3}},
      {"a loop back to an earlier cluster", [] { return Fats(kFat16, 4).link(2, 5).set(5, 3); }, 2, {2, 3, 4, 5}},
      {"the second FAT when it is set",
       [] {
         Fats f(kFat16, 4);
         f.v.secondFatOffset = 4;
         return f.set(2, 0xFFFF).set(2, 8, 4).set(8, 0xFFFF, 4);
       },
       2, {2, 8}},
      {"no FAT type", [] { return Fats(kFatUnknown, 4); }, 2, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Fats f = row.fats();
    EXPECT_EQ(f.chain(row.first), row.chain);
  }
  // A long loop, past the point where the chain keeps a bitmap of the clusters it holds; and the
  // longest FAT16 chain, 65,518 clusters, kept whole.
  auto loop = Fats(kFat32, 8).link(2, 900).set(900, 100).chain(2);
  ASSERT_EQ(loop.size(), 899u);
  EXPECT_EQ(loop.back(), 900u);
  auto longest = Fats(kFat16, 256).link(2, 0xFFEF).set(0xFFEF, 0xFFFF).chain(2);
  ASSERT_EQ(longest.size(), 65518u);
  EXPECT_EQ(longest.back(), 0xFFEFu);
  // A stop while reading the FAT keeps what was followed.
  Fats stopped(kFat16, 4);
  stopped.set(2, 300);
  test::MemoryDisk disk(24);
  disk.bytes = stopped.bytes;
  disk.open();
  disk.faults->failSector(11, EIO);
  disk.run.stop();
  FatReader reader(disk.source, stopped.v);
  EXPECT_EQ(buildClusterChain(reader, 2), (Chain{2, 300}));
}

}  // namespace
}  // namespace ov::fat
