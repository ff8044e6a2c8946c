// The FAT tree on small volumes built in memory: directory entries, hostile trees for the processing
// run and the Turbo Scan, and the extractor's bounds.

#include "fat/fat_engine.h"
#include "fat/fat_extract.h"
#include "fat/fat_tree.h"
#include "tests/support/builders.h"
#include "tests/support/engines.h"

namespace ov::fat {
namespace {

using Entry = std::array<std::uint8_t, 32>;
using Entries = std::vector<Entry>;
constexpr std::uint16_t kCreated = 0x5A21;
constexpr std::uint32_t kEnd = 0x0FFFFFFF;

using test::fatEntry;

std::uint8_t checksumOf(const char* name11) {
  return shortNameChecksum(Bytes(reinterpret_cast<const std::uint8_t*>(name11), 11));
}

// The long-name entries of 13 units from `units` (padded the usual way unless `raw`), last first.
Entries longEntries(const std::u16string& name, std::uint8_t checksum, bool deleted = false, bool raw = false) {
  static constexpr std::size_t kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  const std::size_t pieces = (name.size() + 12) / 13;
  Entries out;
  for (std::size_t p = pieces; p-- > 0;) {
    Entry e{};
    e[0] = deleted ? 0xE5 : static_cast<std::uint8_t>((p + 1) | (p + 1 == pieces ? 0x40 : 0));
    e[11] = 0x0F;
    e[13] = checksum;
    for (std::size_t i = 0; i < 13; ++i) {
      const std::size_t at = p * 13 + i;
      const char16_t unit = at < name.size() ? name[at] : (at == name.size() && !raw ? 0 : 0xFFFF);
      writeLe<std::uint16_t>(MutableBytes(e.data(), 32), kOffsets[i], unit);
    }
    out.push_back(e);
  }
  return out;
}

Entries named(const std::u16string& longName, const char* name11, std::uint8_t attribute, std::uint32_t cluster,
              std::uint32_t size = 0) {
  auto out = longEntries(longName, checksumOf(name11));
  out.push_back(fatEntry(name11, attribute, cluster, size));
  return out;
}

Entries dots(std::uint32_t self, std::uint32_t parent, std::uint16_t created = kCreated) {
  return {fatEntry(".          ", 0x10, self, 0, created), fatEntry("..         ", 0x10, parent, 0, created)};
}

Entries operator+(Entries a, const Entries& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Entries operator+(Entries a, const Entry& b) {
  a.push_back(b);
  return a;
}

// A small FAT32 or FAT16 volume at sector 0 of an in-memory disk whose reads are counted.
struct Disk {
  test::ProgressHost host;
  RunControl run;
  FatEngine engine{host, run};
  FatVolume v;
  std::vector<std::uint8_t> bytes;
  test::CountingBackend* backend = nullptr;

  Disk(std::uint8_t type, std::uint32_t clusters, std::uint8_t sectorsPerCluster = 1, std::uint16_t bytesPerSector = 512) {
    v.fatType = type;
    v.bytesPerSector = bytesPerSector;
    v.sectorsPerCluster = sectorsPerCluster;
    v.bytesPerCluster = std::uint32_t{bytesPerSector} * sectorsPerCluster;
    v.reservedSectors = type == kFat32 ? 32 : 1;
    v.fatSectors = static_cast<std::uint32_t>(((clusters + 2) * (2u * type) + bytesPerSector - 1) / bytesPerSector);
    v.secondFatOffset = v.reservedSectors + v.fatSectors;
    v.dataOffset = v.reservedSectors + 2 * v.fatSectors;
    v.sectorCount = v.dataOffset + (type == kFat16 ? kFat16RootSectors : 0) + std::uint64_t{clusters} * sectorsPerCluster;
    v.clusterCount = static_cast<std::uint32_t>((v.sectorCount - v.dataOffset) / sectorsPerCluster);
    v.foundBy = kFatBootParsed;
    bytes.assign(static_cast<std::size_t>(v.sectorCount * bytesPerSector), 0);
    if (type == kFat32) fat(2, kEnd);
  }

  std::size_t offsetOf(std::uint32_t cluster) const {
    return static_cast<std::size_t>(clusterSector(v, cluster) * v.bytesPerSector);
  }
  void fat(std::uint32_t cluster, std::uint32_t value) {
    for (std::uint64_t copy : {v.reservedSectors, v.secondFatOffset}) {
      const std::size_t at = static_cast<std::size_t>(copy * v.bytesPerSector) + cluster * 2u * v.fatType;
      if (v.fatType == kFat16) writeLe<std::uint16_t>(bytes, at, static_cast<std::uint16_t>(value));
      else writeLe<std::uint32_t>(bytes, at, value);
    }
  }
  void chain(const std::vector<std::uint32_t>& clusters) {
    for (std::size_t i = 0; i < clusters.size(); ++i) fat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : kEnd);
  }
  // Directory entries from the start of `cluster` on (0: the FAT16 root); the chain is the caller's.
  void dir(std::uint32_t cluster, const Entries& entries) {
    const std::size_t at = cluster == 0 ? static_cast<std::size_t>(fat16RootSector(v) * v.bytesPerSector) : offsetOf(cluster);
    for (std::size_t i = 0; i < entries.size(); ++i) std::memcpy(bytes.data() + at + i * 32, entries[i].data(), 32);
  }
  void fill(std::uint32_t cluster, std::size_t count, std::uint8_t seed) {
    for (std::size_t i = 0; i < count * v.bytesPerCluster; ++i)
      bytes[offsetOf(cluster) + i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
  }
  std::vector<std::uint8_t> clusters(std::initializer_list<std::uint32_t> list, std::size_t size) const {
    std::vector<std::uint8_t> out;
    for (std::uint32_t c : list)
      out.insert(out.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offsetOf(c)),
                 bytes.begin() + static_cast<std::ptrdiff_t>(offsetOf(c) + v.bytesPerCluster));
    out.resize(size);
    return out;
  }
  std::vector<std::uint8_t> run_(std::uint32_t first, std::size_t size) const {
    return std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(offsetOf(first)),
                                     bytes.begin() + static_cast<std::ptrdiff_t>(offsetOf(first) + size));
  }

  void open() {
    auto owned = std::make_unique<test::CountingBackend>(bytes);
    backend = owned.get();
    engine.source().openBackend(std::move(owned), v.bytesPerSector, bytes.size() / v.bytesPerSector);
    engine.setVolumes({v});
    ASSERT_TRUE(engine.selectVolume(0));
  }
  bool process() {
    open();
    return engine.processFileSystem();
  }
  bool turbo() {
    open();
    return engine.turboScan(1);
  }

  const FileEntry& top() const { return *engine.tree().root(); }
  // The entry at the path below the top (the live one when there are both).
  const FileEntry* at(const std::vector<std::u16string>& path) const {
    const FileEntry* f = &top();
    for (const auto& part : path) {
      const FileEntry* found = nullptr;
      for (const FileEntry* c : FatTree::children(*f))
        if (c->name == part && (!found || c->isLive())) found = c;
      if (!(f = found)) return nullptr;
    }
    return f;
  }
  std::vector<std::u16string> names(const FileEntry& folder) const {
    std::vector<std::u16string> out;
    for (const FileEntry* c : FatTree::children(folder)) out.push_back(c->name);
    return out;
  }

  // Parses one buffer into `into` (the root), with a builder started on the first call.
  bool parse(const Entries& entries, std::size_t size = 512, FileEntry* into = nullptr,
             WalkMode mode = WalkMode::Processing) {
    if (!builder) {
      if (!engine.source().isOpen()) open();
      reader = std::make_unique<FatReader>(engine.source(), engine.volume());
      builder = std::make_unique<FatTreeBuilder>(*reader, engine.tree(), host, run);
      builder->start();
    }
    const auto buffer = test::fatEntries(entries, size);
    return builder->parseDirectoryBuffer(Bytes(buffer.data(), buffer.size()), into ? *into : *engine.tree().root(), mode);
  }
  std::unique_ptr<FatReader> reader;
  std::unique_ptr<FatTreeBuilder> builder;

  std::size_t dataRequests(std::size_t from) const {
    std::size_t n = 0;
    const std::uint64_t dataStart = (v.startSector + v.dataOffset) * v.bytesPerSector;
    for (std::size_t i = from; i < backend->requests.size(); ++i) n += backend->requests[i].first >= dataStart;
    return n;
  }
};

TEST(FatDirectory, EntriesGiveTheNamesTheyHold) {
  // One piece without a terminator that ends in blanks and 0x00FF units.
  const Entry trail = longEntries(u"trail \u00FF      ", checksumOf("TRAIL   TXT"), false, true)[0];
  auto mixed = longEntries(u"pieces that disagree on the checksum", checksumOf("MIXED   TXT"));
  mixed[1][13] ^= 0x55;
  const std::u16string spaced = u"abcdefghijkl mnop.txt";  // a blank as the 13th unit stays
  struct Row {
    const char* what;
    Entries entries;
    std::vector<std::u16string> names;  // sorted, "Lost" included
    std::size_t size = 512;
  };
  const std::vector<Row> rows = {
      {"high bytes are code page 437; 0x05 stands for 0xE5",
       {fatEntry("\x80" "AF\x9A" "    \xE1  ", 0x20, 5, 1), fatEntry("\x05" "BC     TXT", 0x20, 6, 1)},
       {u"Lost", u"\u00C7AF\u00DC.\u00DF", u"\u03C3BC.TXT"}},
      {"padding and trailing blanks go, inner blanks stay",
       named(spaced, "ABCDEF~1TXT", 0x20, 5, 1) + trail + fatEntry("TRAIL   TXT", 0x20, 6, 1), {u"Lost", spaced, u"trail"}},
      {"long names with the wrong checksum are not used",
       longEntries(u"belongs to another file.doc", static_cast<std::uint8_t>(checksumOf("NEWFILE TXT") + 1)) +
           fatEntry("NEWFILE TXT", 0x20, 5, 1) + mixed + fatEntry("MIXED   TXT", 0x20, 6, 1),
       {u"Lost", u"MIXED.TXT", u"NEWFILE.TXT"}},
      {"a long name over 255 units falls back to the short name", named(std::u16string(260, u'x'), "XXXXXX~1TXT", 0x20, 5, 1),
       {u"Lost", u"XXXXXX~1.TXT"}, 1024},
      {"255 units are kept", named(std::u16string(255, u'y'), "YYYYYY~1TXT", 0x20, 5, 1), {u"Lost", std::u16string(255, u'y')},
       1024},
      // An empty file is listed; a cluster 0 with a size, cluster 1, the root's cluster, a folder
      // without a cluster, attribute 0 and unknown flags are not; the case flags give lower case.
      {"entries that fail their checks",
       {fatEntry("EMPTY   TXT", 0x20, 0, 0), fatEntry("ATTRZERONUL", 0x00, 5, 1),
        fatEntry("BADFLAGSTXT", 0x20, 6, 1, kCreated, 0x20), fatEntry("SELF    TXT", 0x20, 2, 1),
        fatEntry("ONE     TXT", 0x20, 1, 1), fatEntry("LOWER   TXT", 0x20, 7, 1, kCreated, 0x18),
        fatEntry("NOCLUST TXT", 0x20, 0, 10), fatEntry("NODATA     ", 0x10, 0, 0)},
       {u"EMPTY.TXT", u"Lost", u"lower.txt"}},
      {"an end mark ends the folder", {fatEntry("A       TXT", 0x20, 5, 1), Entry{}, fatEntry("B       TXT", 0x20, 6, 1)},
       {u"A.TXT", u"Lost"}},
      {"a foreign attribute ends the folder",
       {fatEntry("A       TXT", 0x20, 5, 1), fatEntry("GARBAGE BIN", 0x31, 6, 1), fatEntry("B       TXT", 0x20, 7, 1)},
       {u"A.TXT", u"Lost"}},
      {"a volume label first is skipped", {fatEntry("MYVOLUME   ", 0x08, 0x41), fatEntry("A       TXT", 0x20, 5, 1)},
       {u"A.TXT", u"Lost"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Disk d(kFat32, 64);
    EXPECT_TRUE(d.parse(row.entries, row.size));
    auto names = d.names(d.top());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, row.names);
  }
  // A full buffer without an end mark is used whole, and the parser asks for more.
  Disk d(kFat32, 64);
  EXPECT_FALSE(d.parse(Entries(16, fatEntry("F       TXT", 0x20, 9, 1))));
  EXPECT_EQ(FatTree::children(d.top()).size(), 17u);
}

TEST(FatDirectory, DotEntriesMustDescribeTheFolderBeingRead) {
  Disk d(kFat32, 64);
  d.parse({});
  FileEntry& f =
      d.engine.tree().add({.firstCluster = 9, .parentCluster = 2, .name = u"Docs", .createdDate = kCreated, .attributes = 0x18});
  const Entry a = fatEntry("A       TXT", 0x20, 5, 1);
  // Another date, another parent, another folder.
  for (const Entries& other : {dots(9, 0, kCreated + 1) + a, dots(9, 7) + a, dots(8, 0) + a}) EXPECT_TRUE(d.parse(other, 512, &f));
  EXPECT_EQ(f.firstChild, nullptr);
  EXPECT_EQ(d.builder->index().find(9), nullptr);
  d.parse(dots(9, 0) + a, 512, &f);  // ".." of 0 is the root
  ASSERT_NE(f.firstChild, nullptr);
  EXPECT_EQ(d.builder->index().find(9), &f);
  // The naming pass takes the entries without checking.
  f.firstChild = nullptr;
  d.parse(dots(8, 7) + fatEntry("B       TXT", 0x20, 5, 1), 512, &f, WalkMode::Naming);
  ASSERT_NE(f.firstChild, nullptr);
  EXPECT_EQ(f.firstChild->name, u"B.TXT");
}

TEST(FatProcessing, ANameAcrossClustersIsWholeAndAStopKeepsWhatWasFound) {
  Disk d(kFat32, 128);
  d.chain({2, 20});
  Entries root = Entries{fatEntry("SAMPLE     ", 0x08, 0)} + named(u"My Documents", "MYDOCU~1   ", 0x10, 3) +
                 fatEntry("README  TXT", 0x20, 5, 100) + fatEntry("\xE5" "OST    TXT", 0x20, 6, 600) +
                 fatEntry("\xE5" "LD        ", 0x10, 7);
  while (root.size() < 15) root.push_back(fatEntry("FILLER  TXT", 0x20, 40, 1));
  // A two-entry long name that starts in the first cluster's last slot.
  root = root + named(u"split across clusters.txt", "SPLITA~1TXT", 0x20, 41, 5);
  d.dir(2, Entries(root.begin(), root.begin() + 16));
  d.dir(20, Entries(root.begin() + 16, root.end()));
  d.fat(3, kEnd);
  d.dir(3, dots(3, 0) + fatEntry("A       TXT", 0x20, 8, 1000) + fatEntry("SUB        ", 0x10, 10));
  d.fat(10, kEnd);
  d.dir(10, dots(10, 3) + fatEntry("DEEP    BIN", 0x20, 11, 10));
  ASSERT_TRUE(d.process());
  EXPECT_NE(d.at({u"split across clusters.txt"}), nullptr);
  // A listing gives files before folders.
  auto listing = FatTree::listing(d.top());
  auto firstFolder = std::find_if(listing.begin(), listing.end(), [](const FileEntry* e) { return e->isFolder(); });
  EXPECT_TRUE(std::all_of(firstFolder, listing.end(), [](const FileEntry* e) { return e->isFolder(); }));

  // A stop keeps what was found.
  Disk s(kFat32, 128);
  s.bytes = d.bytes;
  s.host.onProgress = [&](std::uint64_t total, std::uint64_t) {
    if (total > 0) s.run.stop();
  };
  EXPECT_FALSE(s.process());
  EXPECT_EQ(s.host.log[1].name, "Aborted processing Internal File System Structure");
  EXPECT_EQ(s.host.log[1].kind, LogKind::Aborted);
  EXPECT_NE(s.at({u"README.TXT"}), nullptr);
  EXPECT_EQ(s.at({u"My Documents", u"SUB"}), nullptr);  // never reached
}

TEST(FatProcessing, HostileTreesEndAndKeepWhatTheyHold) {
  // A FAT16 root with a label and a folder.
  Disk r(kFat16, 64);
  r.dir(0, {fatEntry("LABEL16    ", 0x08, 0), fatEntry("ROOTFILETXT", 0x20, 2, 3), fatEntry("DIR        ", 0x10, 3)});
  r.fat(3, 0xFFFF);
  r.dir(3, dots(3, 0) + fatEntry("IN      TXT", 0x20, 4, 3));
  ASSERT_TRUE(r.process());
  ASSERT_NE(r.at({u"DIR", u"IN.TXT"}), nullptr);
  EXPECT_EQ(r.at({u"DIR"})->parentCluster, 1u);

  // Folders whose clusters no longer start with their dot entries are not read.
  Disk g(kFat32, 64);
  g.dir(2, {fatEntry("GONE       ", 0x10, 3), fatEntry("REUSED     ", 0x10, 4)});
  g.dir(3, {fatEntry("DATA    BIN", 0x20, 9, 1)});
  g.dir(4, dots(4, 11) + fatEntry("OTHER   TXT", 0x20, 9, 1));
  ASSERT_TRUE(g.process());
  EXPECT_EQ(g.at({u"GONE"})->firstChild, nullptr);
  EXPECT_EQ(g.at({u"REUSED"})->firstChild, nullptr);

  // Every level names the next folder twice: read each time, 2^40 folders would be walked.
  Disk x(kFat32, 64);
  x.dir(2, {fatEntry("L0         ", 0x10, 3)});
  for (std::uint32_t c = 3; c < 43; ++c) {
    x.fat(c, kEnd);
    x.dir(c, dots(c, c == 3 ? 0 : c - 1) + fatEntry("TWIN1      ", 0x10, c + 1) + fatEntry("TWIN2      ", 0x10, c + 1));
  }
  ASSERT_TRUE(x.process());
  EXPECT_LT(x.engine.tree().size(), 200u);

  // A folder whose chain loops: its entries once each.
  Disk l(kFat32, 64);
  l.dir(2, {fatEntry("LOOP       ", 0x10, 3)});
  l.fat(3, 4);
  l.fat(4, 3);
  Entries first = dots(3, 0) + fatEntry("ONE     TXT", 0x20, 9, 1);
  while (first.size() < 16) first.push_back(fatEntry("PAD     TXT", 0x20, 9, 1));
  l.dir(3, first);
  l.dir(4, {fatEntry("TWO     TXT", 0x20, 10, 1)});
  ASSERT_TRUE(l.process());
  auto names = l.names(*l.at({u"LOOP"}));
  EXPECT_EQ(names.size(), 15u);
  EXPECT_EQ(std::count(names.begin(), names.end(), u"TWO.TXT"), 1);

  // 6,000 levels, walked without recursion, by the processing run and by the Turbo Scan.
  constexpr std::uint32_t kDepth = 6000;
  Disk deep(kFat32, kDepth + 8);
  deep.dir(2, {fatEntry("D          ", 0x10, 3)});
  for (std::uint32_t i = 0; i < kDepth; ++i) {
    const std::uint32_t c = 3 + i;
    deep.fat(c, kEnd);
    deep.dir(c, dots(c, i == 0 ? 0 : c - 1) +
                    (i + 1 < kDepth ? fatEntry("D          ", 0x10, c + 1) : fatEntry("BOTTOM  TXT", 0x20, 2, 1)));
  }
  const std::vector<std::u16string> bottom(kDepth, u"D");
  ASSERT_TRUE(deep.process());
  EXPECT_NE(deep.at(bottom), nullptr);
  Disk swept(kFat32, kDepth + 8);
  swept.bytes = deep.bytes;
  ASSERT_TRUE(swept.turbo());
  EXPECT_NE(swept.at(bottom), nullptr);
  EXPECT_EQ(swept.engine.tree().lost()->firstChild, nullptr);  // every folder found and named
}

TEST(FatTurboScan, FindsLiveDeletedAndOrphanedFolders) {
  Disk d(kFat32, 64);
  d.dir(2, {fatEntry("LIVE       ", 0x10, 3), fatEntry("\xE5" "EL        ", 0x10, 4), fatEntry("ROOT    TXT", 0x20, 20, 5)});
  d.fat(3, kEnd);
  d.dir(3, dots(3, 0) + fatEntry("INLIVE  TXT", 0x20, 21, 5));
  d.dir(4, dots(4, 0) + fatEntry("F1      TXT", 0x20, 22, 5));
  d.dir(5, dots(5, 9) + fatEntry("ORPHAN  TXT", 0x20, 23, 5));  // its parent, 9, is gone
  // A byte-identical copy of cluster 3 elsewhere is not a folder of its own.
  std::memcpy(d.bytes.data() + d.offsetOf(6), d.bytes.data() + d.offsetOf(3), 512);
  ASSERT_TRUE(d.turbo());
  EXPECT_TRUE(d.at({u"LIVE", u"INLIVE.TXT"})->isLive());
  ASSERT_NE(d.at({u"XEL", u"F1.TXT"}), nullptr);
  EXPECT_FALSE(d.at({u"XEL", u"F1.TXT"})->isLive());
  EXPECT_NE(d.at({u"Lost", u"#9", u"#5", u"ORPHAN.TXT"}), nullptr);
  EXPECT_EQ(d.at({u"Lost", u"#9"})->firstCluster, 9u);
  for (const FileEntry* c : FatTree::children(d.top())) EXPECT_NE(c->firstCluster, 6u);
  EXPECT_EQ(d.host.log.back().name, "Completed turbo scan of logical drive 1");
  ASSERT_EQ(d.host.messages.size(), 1u);
  EXPECT_EQ(d.host.messages[0].text, "Turbo Scan Completed");

  // FAT16 folders with a ".." of 0 hang under the top.
  Disk s(kFat16, 64);
  s.dir(0, {fatEntry("A          ", 0x10, 2)});
  s.fat(2, 0xFFFF);
  s.dir(2, dots(2, 0) + fatEntry("X       TXT", 0x20, 9, 1));
  s.dir(5, dots(5, 0));  // deleted from the root long ago
  ASSERT_TRUE(s.turbo());
  ASSERT_NE(s.at({u"A", u"X.TXT"}), nullptr);
  EXPECT_EQ(s.at({u"#5"})->parentCluster, 1u);
}

TEST(FatTurboScan, FoldersThatNameEachOtherAsParentsEndUpInLost) {
  Disk d(kFat32, 64);
  d.dir(3, dots(3, 4) + fatEntry("A       TXT", 0x20, 20, 1));
  d.dir(4, dots(4, 3) + fatEntry("B       TXT", 0x20, 21, 1));
  d.dir(5, dots(5, 5) + fatEntry("C       TXT", 0x20, 22, 1));  // its own parent
  // The root's own cluster dressed as a folder under another: the root stays the root.
  d.dir(2, dots(2, 6));
  d.dir(6, dots(6, 0));
  ASSERT_TRUE(d.turbo());
  std::size_t files = 0;
  std::vector<const FileEntry*> pending{d.engine.tree().lost()};
  while (!pending.empty()) {
    const FileEntry* f = pending.back();
    pending.pop_back();
    for (const FileEntry* c : FatTree::children(*f)) {
      if (c->isFolder()) pending.push_back(c);
      else ++files;
    }
  }
  EXPECT_EQ(files, 3u);  // both members of the loop and the folder of its own
  EXPECT_EQ(d.top().parent, nullptr);
  EXPECT_NE(d.at({u"#6"}), nullptr);
}

TEST(FatTurboScan, AStopKeepsWhatWasFoundAndSmallClustersAreReadInLargeRequests) {
  Disk d(kFat32, 64, 16);  // 8 KiB clusters: one sector read per cluster
  d.dir(2, {fatEntry("FIRST      ", 0x10, 3)});
  d.dir(3, dots(3, 0));
  d.dir(40, dots(40, 0));
  d.host.onProgress = [&](std::uint64_t, std::uint64_t done) {
    if (done == 10) d.run.stop();
  };
  EXPECT_FALSE(d.turbo());
  EXPECT_NE(d.at({u"#3"}), nullptr);
  EXPECT_EQ(d.at({u"#40"}), nullptr);
  EXPECT_EQ(d.host.log.back().name, "Aborted turbo scan of logical drive 1");
  EXPECT_EQ(d.host.messages[0].text, "Turbo Scan aborted");

  Disk s(kFat32, 3000);
  s.dir(2, {fatEntry("KEEP       ", 0x10, 2500)});
  s.dir(2500, dots(2500, 0));
  s.dir(2999, dots(2999, 2500));
  ASSERT_TRUE(s.turbo());
  EXPECT_NE(s.at({u"KEEP", u"#2999"}), nullptr);
  EXPECT_LT(s.dataRequests(0), 40u);
}

// ---- extraction, on 4096-byte clusters ----

FileEntry fileAt(std::uint32_t first, std::uint64_t size) {
  return {.dataSize = size, .firstCluster = first, .name = {}, .attributes = 0x28};
}

std::vector<std::uint8_t> save(FileExtractor& x, const FileEntry& e) {
  const auto path = test::scratchDir() / "fat-extract.bin";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  x.saveFileData(e, fd);
  ::close(fd);
  return test::readFile(path);
}

TEST(FatExtract, FollowsTheChainOrConsecutiveClustersInBoundedRequests) {
  std::vector<std::uint32_t> forty;
  for (std::uint32_t c = 300; c < 340; ++c) forty.push_back(c);
  struct Row {
    const char* what;
    std::vector<std::vector<std::uint32_t>> chains;
    FileEntry file;
    std::function<std::vector<std::uint8_t>(const Disk&)> expected;
    int usedChain;         // -1: not checked
    std::size_t requests;  // 0: not counted
  };
  const std::vector<Row> rows = {
      {"a contiguous chain in one request", {{10, 11, 12}}, fileAt(10, 10000),
       [](const Disk& d) { return d.clusters({10, 11, 12}, 10000); }, 1, 1},
      {"runs of a chain", {{100, 101, 102, 200}}, fileAt(100, 4 * 4096),
       [](const Disk& d) { return d.clusters({100, 101, 102, 200}, 4 * 4096); }, 1, 2},
      {"at most sixteen clusters a request", {forty}, fileAt(300, 40 * 4096 - 5),
       [](const Disk& d) { return d.run_(300, 40 * 4096 - 5); }, 1, 3},
      {"a deleted file from consecutive clusters", {}, fileAt(50, 9000), [](const Disk& d) { return d.run_(50, 9000); }, 0, 0},
      {"a chain one cluster short of the size is trusted", {{20, 25, 26}}, fileAt(20, 8192),
       [](const Disk& d) { return d.clusters({20, 25}, 8192); }, 1, 0},
      {"a chain longer than the size is not", {{30, 31, 32, 33}}, fileAt(30, 8192),
       [](const Disk& d) { return d.run_(30, 8192); }, 0, 0},
      {"an empty file reads nothing", {}, fileAt(10, 0), [](const Disk&) { return std::vector<std::uint8_t>{}; }, -1, 0},
      {"no data cluster: nothing to copy", {}, fileAt(0, 100), [](const Disk&) { return std::vector<std::uint8_t>{}; }, -1, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Disk d(kFat32, 400, 8);
    d.fill(2, 390, 1);
    for (const auto& c : row.chains) d.chain(c);
    d.open();
    d.run.start();
    FileExtractor x(d.engine.source(), d.engine.volume());
    const std::size_t before = d.backend->requests.size();
    EXPECT_EQ(save(x, row.file), row.expected(d));
    if (row.usedChain >= 0) {
      EXPECT_EQ(x.usedChain(), row.usedChain == 1);
    }
    if (row.requests) {
      EXPECT_EQ(d.dataRequests(before), row.requests);
    }
    if (row.file.dataSize == 0) {
      EXPECT_EQ(d.backend->requests.size(), before);
    }
  }
  // Huge clusters are read in bounded requests, and consecutive clusters end with the volume.
  Disk h(kFat32, 4, 128, 2048);  // 256 KiB clusters
  h.fill(3, 1, 9);
  h.open();
  h.run.start();
  FileExtractor x(h.engine.source(), h.engine.volume());
  auto out = save(x, fileAt(3, 6u << 20));
  EXPECT_EQ(out.size(), 3u * 262144);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 262144, h.run_(3, 262144).begin()));
  for (const auto& r : h.backend->requests) EXPECT_LE(r.second, kMaxRequestBytes);
}

TEST(FatExtract, CopiesNeedARunningOperationOrQuietProgressAndStopWhenCancelled) {
  Disk d(kFat32, 7700, 8);
  d.fill(3, 120, 10);
  d.open();
  FileExtractor x(d.engine.source(), d.engine.volume());
  EXPECT_TRUE(save(x, fileAt(10, 5000)).empty());  // neither running nor quiet
  x.setQuietProgress(true);
  EXPECT_EQ(save(x, fileAt(10, 5000)), d.run_(10, 5000));
  // Previews: up to thirty megabytes.
  EXPECT_EQ(x.loadPreview(fileAt(3, 5000)), d.run_(3, 5000));
  EXPECT_EQ(x.loadPreview(fileAt(3, kMaxPreviewBytes))->size(), kMaxPreviewBytes);
  EXPECT_FALSE(x.loadPreview(fileAt(3, kMaxPreviewBytes + 1)));
  EXPECT_TRUE(x.loadPreview(fileAt(3, 0))->empty());
  // A cancel stops the copy after the requests in flight; progress tells what was written.
  d.run.start();
  FileExtractor c(d.engine.source(), d.engine.volume());
  std::vector<std::uint64_t> seen;
  c.setProgress([&](std::uint64_t done, std::uint64_t total) {
    seen.push_back(done);
    EXPECT_EQ(total, 100u * 4096);
  });
  int calls = 0;
  c.setCancel([&] { return ++calls > 2; });
  const auto out = save(c, fileAt(10, 100 * 4096));
  EXPECT_EQ(out.size(), 2u * 16 * 4096);
  EXPECT_EQ(seen.back(), out.size());
}

}  // namespace
}  // namespace ov::fat
