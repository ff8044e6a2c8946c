// The FAT tree, its directory parser, the Turbo Scan and the extractor, on small volumes built
// in memory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>

#include "disk/backend.h"
#include "fat/fat_engine.h"
#include "fat/fat_extract.h"
#include "fat/fat_tree.h"
#include "tests/support/test_support.h"

namespace ov::fat {
namespace {

using Entry = std::array<std::uint8_t, 32>;
constexpr std::uint16_t kCreated = 0x5A21;
constexpr std::uint16_t kAccessed = 0x5A35;
constexpr std::uint32_t kEnd = 0x0FFFFFFF;

Entry shortEntry(const char* name11, std::uint8_t attribute, std::uint32_t cluster, std::uint32_t size = 0,
                 std::uint16_t created = kCreated, std::uint8_t flags = 0) {
  Entry e{};
  std::memcpy(e.data(), name11, 11);
  e[11] = attribute;
  e[12] = flags;
  MutableBytes b(e.data(), e.size());
  writeLe<std::uint16_t>(b, 16, created);
  writeLe<std::uint16_t>(b, 18, kAccessed);
  writeLe<std::uint16_t>(b, 20, static_cast<std::uint16_t>(cluster >> 16));
  writeLe<std::uint16_t>(b, 26, static_cast<std::uint16_t>(cluster));
  writeLe<std::uint32_t>(b, 28, size);
  return e;
}

std::uint8_t checksumOf(const char* name11) {
  return shortNameChecksum(Bytes(reinterpret_cast<const std::uint8_t*>(name11), 11));
}

// The long-name entries of `name` in stored order (last piece first), padded the usual way.
std::vector<Entry> longEntries(const std::u16string& name, std::uint8_t checksum, bool deleted = false) {
  static constexpr std::size_t kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  std::size_t pieces = (name.size() + 12) / 13;
  std::vector<Entry> out;
  for (std::size_t p = pieces; p-- > 0;) {
    Entry e{};
    e[0] = deleted ? 0xE5 : static_cast<std::uint8_t>((p + 1) | (p + 1 == pieces ? 0x40 : 0));
    e[11] = 0x0F;
    e[13] = checksum;
    MutableBytes b(e.data(), e.size());
    for (std::size_t i = 0; i < 13; ++i) {
      std::size_t at = p * 13 + i;
      char16_t unit = at < name.size() ? name[at] : (at == name.size() ? 0 : 0xFFFF);
      writeLe<std::uint16_t>(b, kOffsets[i], unit);
    }
    out.push_back(e);
  }
  return out;
}

std::vector<Entry> named(const std::u16string& longName, const char* name11, std::uint8_t attribute,
                         std::uint32_t cluster, std::uint32_t size = 0) {
  auto out = longEntries(longName, checksumOf(name11));
  out.push_back(shortEntry(name11, attribute, cluster, size));
  return out;
}

std::vector<Entry> dots(std::uint32_t self, std::uint32_t parent, std::uint16_t created = kCreated) {
  return {shortEntry(".          ", 0x10, self, 0, created), shortEntry("..         ", 0x10, parent, 0, created)};
}

std::vector<Entry> operator+(std::vector<Entry> a, const std::vector<Entry>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
std::vector<Entry> operator+(std::vector<Entry> a, const Entry& b) {
  a.push_back(b);
  return a;
}

std::vector<std::uint8_t> flat(const std::vector<Entry>& entries, std::size_t size) {
  std::vector<std::uint8_t> out(size, 0);
  for (std::size_t i = 0; i < entries.size() && (i + 1) * 32 <= size; ++i)
    std::memcpy(out.data() + i * 32, entries[i].data(), 32);
  return out;
}

// Records every request that reaches the image.
class CountingBackend final : public ReadBackend {
 public:
  explicit CountingBackend(std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
  int readAt(std::uint64_t offset, void* buffer, std::size_t length, std::size_t& got) override {
    requests.emplace_back(offset, length);
    got = 0;
    if (offset >= bytes_.size()) return 0;
    got = static_cast<std::size_t>(std::min<std::uint64_t>(length, bytes_.size() - offset));
    std::memcpy(buffer, bytes_.data() + offset, got);
    return 0;
  }
  std::uint64_t sizeBytes() const override { return bytes_.size(); }
  std::string path() const override { return "memory"; }
  std::vector<std::pair<std::uint64_t, std::size_t>> requests;

 private:
  std::vector<std::uint8_t>& bytes_;
};

class Host : public ov::test::RecordingHost {
 public:
  void progress(std::uint64_t total, std::uint64_t done) override {
    if (onProgress) onProgress(total, done);
  }
  std::function<void(std::uint64_t, std::uint64_t)> onProgress;
};

// A small FAT32 or FAT16 volume at sector 0 of an in-memory disk.
struct Disk {
  Host host;
  RunControl run;
  FatEngine engine{host, run};
  FatVolume v;
  std::vector<std::uint8_t> bytes;
  CountingBackend* backend = nullptr;

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
      std::size_t at = static_cast<std::size_t>(copy * v.bytesPerSector) + cluster * 2u * v.fatType;
      MutableBytes b(bytes.data(), bytes.size());
      if (v.fatType == kFat16) writeLe<std::uint16_t>(b, at, static_cast<std::uint16_t>(value));
      else writeLe<std::uint32_t>(b, at, value);
    }
  }
  void chain(const std::vector<std::uint32_t>& clusters) {
    for (std::size_t i = 0; i < clusters.size(); ++i)
      fat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : kEnd);
  }
  // Writes directory entries from the start of `cluster` on (into the next clusters if they
  // do not fit); the chain is the caller's.
  void dir(std::uint32_t cluster, const std::vector<Entry>& entries) {
    for (std::size_t i = 0; i < entries.size(); ++i) std::memcpy(bytes.data() + offsetOf(cluster) + i * 32, entries[i].data(), 32);
  }
  void root16(const std::vector<Entry>& entries) {
    std::size_t at = static_cast<std::size_t>(fat16RootSector(v) * v.bytesPerSector);
    for (std::size_t i = 0; i < entries.size(); ++i) std::memcpy(bytes.data() + at + i * 32, entries[i].data(), 32);
  }
  void fill(std::uint32_t cluster, std::size_t count, std::uint8_t seed) {
    for (std::size_t i = 0; i < count * v.bytesPerCluster; ++i)
      bytes[offsetOf(cluster) + i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
  }
  std::vector<std::uint8_t> clusters(std::uint32_t first, std::size_t size) const {
    return std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(offsetOf(first)),
                                     bytes.begin() + static_cast<std::ptrdiff_t>(offsetOf(first) + size));
  }

  void open() {
    auto owned = std::make_unique<CountingBackend>(bytes);
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
  // The child of `folder` named `name` (the live one when there are both).
  const FileEntry* child(const FileEntry& folder, const std::u16string& name) const {
    const FileEntry* found = nullptr;
    for (const FileEntry* c : FatTree::children(folder))
      if (c->name == name && (!found || c->isLive())) found = c;
    return found;
  }
  const FileEntry* at(const std::vector<std::u16string>& path) const {
    const FileEntry* f = &top();
    for (const auto& part : path) {
      if (!f) return nullptr;
      f = child(*f, part);
    }
    return f;
  }
  std::vector<std::u16string> names(const FileEntry& folder) const {
    std::vector<std::u16string> out;
    for (const FileEntry* c : FatTree::children(folder)) out.push_back(c->name);
    return out;
  }

  // Parses one buffer into the root with a fresh builder; returns what the parser returned.
  bool parse(const std::vector<Entry>& entries, WalkMode mode, FileEntry* into = nullptr, std::size_t size = 512) {
    if (!engine.source().isOpen()) open();
    reader = std::make_unique<FatReader>(engine.source(), engine.volume());
    builder = std::make_unique<FatTreeBuilder>(*reader, engine.tree(), host, run);
    builder->start();
    auto buffer = flat(entries, size);
    return builder->parseDirectoryBuffer(Bytes(buffer.data(), buffer.size()), into ? *into : *engine.tree().root(), mode);
  }
  std::unique_ptr<FatReader> reader;
  std::unique_ptr<FatTreeBuilder> builder;

  std::vector<std::uint8_t> save(const FileEntry& e, FileExtractor& extractor) {
    static int counter = 0;
    auto path = ov::test::scratchDir() / ("fat-" + std::to_string(counter++));
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    extractor.saveFileData(e, fd);
    ::close(fd);
    return ov::test::readFile(path);
  }
  std::size_t dataRequests(std::size_t from) const {
    std::size_t n = 0;
    std::uint64_t dataStart = (v.startSector + v.dataOffset) * v.bytesPerSector;
    for (std::size_t i = from; i < backend->requests.size(); ++i)
      if (backend->requests[i].first >= dataStart) ++n;
    return n;
  }
};

// ---- names ----

TEST(FatDirectory, ShortNamesKeepTheirDotAndLoseTrailingBlanks) {
  Disk d(kFat32, 64);
  d.parse({shortEntry("README  TXT", 0x20, 5, 10), shortEntry("NOEXT      ", 0x20, 6, 1),
           shortEntry("\xE5" "EADME  TXT", 0x20, 7, 1)},
          WalkMode::Processing);
  const FileEntry* readme = d.child(d.top(), u"README.TXT");
  ASSERT_NE(readme, nullptr);
  EXPECT_TRUE(readme->isLive());
  EXPECT_EQ(readme->attributes, 0x28);
  EXPECT_EQ(readme->dataSize, 10u);
  EXPECT_EQ(readme->firstCluster, 5u);
  EXPECT_EQ(readme->parentCluster, 2u);
  EXPECT_EQ(readme->createdDate, kCreated);
  EXPECT_EQ(readme->accessedDate, kAccessed);
  ASSERT_NE(d.child(d.top(), u"NOEXT"), nullptr);
  const FileEntry* deleted = d.child(d.top(), u"XEADME.TXT");
  ASSERT_NE(deleted, nullptr);
  EXPECT_FALSE(deleted->isLive());
  EXPECT_EQ(deleted->attributes, 0x20);
}

TEST(FatDirectory, HighBytesOfShortNamesAreCodePage437) {
  Disk d(kFat32, 64);
  d.parse({shortEntry("\x80" "AF\x9A" "    \xE1  ", 0x20, 5, 1), shortEntry("\x05" "BC     TXT", 0x20, 6, 1)},
          WalkMode::Processing);
  EXPECT_NE(d.child(d.top(), u"\u00C7AF\u00DC.\u00DF"), nullptr);
  // 0x05 stands for a name that really begins with 0xE5.
  EXPECT_NE(d.child(d.top(), u"\u03C3BC.TXT"), nullptr);
  EXPECT_EQ(codePage437(0x41), u'A');
  EXPECT_EQ(codePage437(0xFF), u'\u00A0');
  EXPECT_EQ(codePage437(0xB0), u'\u2591');
}

TEST(FatDirectory, LongNamesAreAssembledInReadingOrder) {
  Disk d(kFat32, 64);
  const std::u16string name = u"A rather long name, over three entries.txt";  // 42 units
  d.parse(named(name, "ARATHE~1TXT", 0x20, 5, 77), WalkMode::Processing);
  const FileEntry* e = d.child(d.top(), name);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->dataSize, 77u);
  EXPECT_EQ(e->nameLength(), 42u);
}

TEST(FatDirectory, PaddingAndTrailingBlanksAreDroppedButInnerBlanksKept) {
  Disk d(kFat32, 64);
  // A blank as the 13th unit ends the first piece; it belongs to the name and stays.
  const std::u16string spaced = u"abcdefghijkl mnop.txt";
  // One piece without a terminator that ends in blanks and 0x00FF units.
  Entry trail{};
  trail[0] = 0x41;
  trail[11] = 0x0F;
  trail[13] = checksumOf("TRAIL   TXT");
  const std::u16string units = u"trail \u00FF      ";
  static constexpr std::size_t kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (std::size_t i = 0; i < 13; ++i) writeLe<std::uint16_t>(MutableBytes(trail.data(), 32), kOffsets[i], units[i]);
  d.parse(named(spaced, "ABCDEF~1TXT", 0x20, 5, 1) + trail + shortEntry("TRAIL   TXT", 0x20, 6, 1),
          WalkMode::Processing);
  EXPECT_NE(d.child(d.top(), spaced), nullptr);
  EXPECT_NE(d.child(d.top(), u"trail"), nullptr);
}

TEST(FatDirectory, ALongNameWithTheWrongChecksumIsNotUsed) {
  Disk d(kFat32, 64);
  auto stale = longEntries(u"belongs to another file.doc", static_cast<std::uint8_t>(checksumOf("NEWFILE TXT") + 1));
  auto mixed = longEntries(u"pieces that disagree on the checksum", checksumOf("MIXED   TXT"));
  mixed[1][13] ^= 0x55;
  d.parse(stale + shortEntry("NEWFILE TXT", 0x20, 5, 1) + mixed + shortEntry("MIXED   TXT", 0x20, 6, 1),
          WalkMode::Processing);
  EXPECT_NE(d.child(d.top(), u"NEWFILE.TXT"), nullptr);
  EXPECT_NE(d.child(d.top(), u"MIXED.TXT"), nullptr);
  EXPECT_EQ(d.child(d.top(), u"belongs to another file.doc"), nullptr);
}

TEST(FatDirectory, ADeletedEntryKeepsItsLongName) {
  Disk d(kFat32, 64);
  auto entries = longEntries(u"long file name example.txt", checksumOf("LONGFI~1TXT"), true);
  entries.push_back(shortEntry("\xE5" "ONGFI~1TXT", 0x20, 5, 20000));
  d.parse(entries, WalkMode::Processing);
  const FileEntry* e = d.child(d.top(), u"long file name example.txt");
  ASSERT_NE(e, nullptr);
  EXPECT_FALSE(e->isLive());
}

TEST(FatDirectory, LongNameRunsOverTheLimitFallBackToTheShortName) {
  Disk d(kFat32, 64);
  std::u16string huge(260, u'x');
  d.parse(named(huge, "XXXXXX~1TXT", 0x20, 5, 1), WalkMode::Processing, nullptr, 1024);
  EXPECT_NE(d.child(d.top(), u"XXXXXX~1.TXT"), nullptr);
  std::u16string most(255, u'y');
  d.parse(named(most, "YYYYYY~1TXT", 0x20, 5, 1), WalkMode::Processing, nullptr, 1024);
  EXPECT_NE(d.child(d.top(), most), nullptr);
}

// An empty file (first cluster 0, size 0) is listed; a cluster 0 with a size, cluster 1 and the
// root's cluster are not, nor a folder without a cluster.
TEST(FatDirectory, EntriesThatFailTheirChecksAreNotListed) {
  Disk d(kFat32, 64);
  d.parse({shortEntry("EMPTY   TXT", 0x20, 0, 0), shortEntry("ATTRZERONUL", 0x00, 5, 1),
           shortEntry("BADFLAGSTXT", 0x20, 6, 1, kCreated, 0x20), shortEntry("SELF    TXT", 0x20, 2, 1),
           shortEntry("ONE     TXT", 0x20, 1, 1), shortEntry("LOWER   TXT", 0x20, 7, 1, kCreated, 0x18),
           shortEntry("NOCLUST TXT", 0x20, 0, 10), shortEntry("NODATA     ", 0x10, 0, 0)},
          WalkMode::Processing);
  EXPECT_EQ(d.names(d.top()), (std::vector<std::u16string>{u"lower.txt", u"EMPTY.TXT", u"Lost"}));
}

TEST(FatDirectory, AnEndMarkOrAForeignAttributeEndsTheDirectory) {
  Disk d(kFat32, 64);
  EXPECT_TRUE(d.parse({shortEntry("A       TXT", 0x20, 5, 1), Entry{}, shortEntry("B       TXT", 0x20, 6, 1)},
                      WalkMode::Processing));
  EXPECT_EQ(d.names(d.top()), (std::vector<std::u16string>{u"A.TXT", u"Lost"}));
  EXPECT_TRUE(d.parse({shortEntry("A       TXT", 0x20, 5, 1), shortEntry("GARBAGE BIN", 0x31, 6, 1),
                       shortEntry("B       TXT", 0x20, 7, 1)},
                      WalkMode::Processing));
  EXPECT_EQ(d.names(d.top()), (std::vector<std::u16string>{u"A.TXT", u"Lost"}));
  // A full buffer without an end mark is used whole.
  std::vector<Entry> full(16, shortEntry("F       TXT", 0x20, 9, 1));
  EXPECT_FALSE(d.parse(full, WalkMode::Processing));
  EXPECT_EQ(FatTree::children(d.top()).size(), 17u);
}

TEST(FatDirectory, AVolumeLabelFirstIsSkipped) {
  Disk d(kFat32, 64);
  d.parse({shortEntry("MYVOLUME   ", 0x08, 0x41), shortEntry("A       TXT", 0x20, 5, 1)}, WalkMode::Processing);
  EXPECT_EQ(d.names(d.top()), (std::vector<std::u16string>{u"A.TXT", u"Lost"}));
}

TEST(FatDirectory, DotEntriesMustDescribeTheFolderBeingRead) {
  Disk d(kFat32, 64);
  d.open();
  FatTree tree;
  FatReader reader(d.engine.source(), d.engine.volume());
  FatTreeBuilder b(reader, tree, d.host, d.run);
  b.start();
  FileEntry folder;
  folder.name = u"Docs";
  folder.attributes = 0x18;
  folder.firstCluster = 9;
  folder.parentCluster = 2;
  folder.createdDate = kCreated;
  FileEntry& f = tree.add(folder);
  auto parseInto = [&](const std::vector<Entry>& entries) {
    auto buf = flat(entries, 512);
    return b.parseDirectoryBuffer(Bytes(buf.data(), buf.size()), f, WalkMode::Processing);
  };
  EXPECT_TRUE(parseInto(dots(9, 0, kCreated + 1) + shortEntry("A       TXT", 0x20, 5, 1)));  // other date
  EXPECT_TRUE(parseInto(dots(9, 7) + shortEntry("A       TXT", 0x20, 5, 1)));               // other parent
  EXPECT_TRUE(parseInto(dots(8, 0) + shortEntry("A       TXT", 0x20, 5, 1)));               // other folder
  EXPECT_EQ(f.firstChild, nullptr);
  EXPECT_EQ(b.index().find(9), nullptr);
  parseInto(dots(9, 0) + shortEntry("A       TXT", 0x20, 5, 1));  // ".." of 0 is the root
  ASSERT_NE(f.firstChild, nullptr);
  EXPECT_EQ(f.firstChild->name, u"A.TXT");
  EXPECT_EQ(b.index().find(9), &f);
  // The mode of the naming pass takes the entries without checking.
  f.firstChild = nullptr;
  auto naming = flat(dots(8, 7) + shortEntry("B       TXT", 0x20, 5, 1), 512);
  b.parseDirectoryBuffer(Bytes(naming.data(), naming.size()), f, WalkMode::Naming);
  ASSERT_NE(f.firstChild, nullptr);
  EXPECT_EQ(f.firstChild->name, u"B.TXT");
}

TEST(FatDirectory, EverythingInADeletedFolderIsDeleted) {
  Disk d(kFat32, 64);
  d.fat(3, kEnd);
  d.dir(2, {shortEntry("\xE5" "LD        ", 0x10, 3)});
  d.dir(3, dots(3, 0) + shortEntry("KEPT    TXT", 0x20, 5, 1) + shortEntry("SUB        ", 0x10, 4));
  d.fat(4, kEnd);
  d.dir(4, dots(4, 3) + shortEntry("INNER   TXT", 0x20, 6, 1));
  ASSERT_TRUE(d.process());
  const FileEntry* old = d.at({u"XLD"});
  ASSERT_NE(old, nullptr);
  EXPECT_FALSE(old->isLive());
  ASSERT_NE(d.at({u"XLD", u"KEPT.TXT"}), nullptr);
  EXPECT_FALSE(d.at({u"XLD", u"KEPT.TXT"})->isLive());
  ASSERT_NE(d.at({u"XLD", u"SUB", u"INNER.TXT"}), nullptr);
  EXPECT_FALSE(d.at({u"XLD", u"SUB", u"INNER.TXT"})->isLive());
}

TEST(FatDirectory, ALongNameAcrossAClusterBoundaryIsWhole) {
  Disk d(kFat32, 64);
  d.chain({2, 3});
  // 15 entries fill the first cluster but one; the 2-entry long name starts in its last slot.
  std::vector<Entry> entries;
  for (std::uint32_t i = 0; i < 15; ++i) entries.push_back(shortEntry("FILLER  TXT", 0x20, 10 + i, 1));
  const std::u16string name = u"split across clusters.txt";
  entries = entries + named(name, "SPLITA~1TXT", 0x20, 40, 5);
  d.dir(2, entries);
  ASSERT_TRUE(d.process());
  EXPECT_NE(d.child(d.top(), name), nullptr);
}

// ---- processing runs ----

struct SampleDisk : Disk {
  SampleDisk();
};
SampleDisk::SampleDisk() : Disk(kFat32, 128) {
  Disk& d = *this;
  d.dir(2, std::vector<Entry>{shortEntry("SAMPLE     ", 0x08, 0)} + named(u"My Documents", "MYDOCU~1   ", 0x10, 3) +
               shortEntry("README  TXT", 0x20, 5, 100) + shortEntry("\xE5" "OST    TXT", 0x20, 6, 600) +
               shortEntry("\xE5" "LD        ", 0x10, 7));
  d.fat(3, kEnd);
  d.dir(3, dots(3, 0) + shortEntry("A       TXT", 0x20, 8, 1000) + shortEntry("SUB        ", 0x10, 10));
  d.fat(5, kEnd);
  d.chain({8, 9});
  d.fat(10, kEnd);
  d.dir(10, dots(10, 3) + shortEntry("DEEP    BIN", 0x20, 11, 10));
  d.fat(11, kEnd);
  d.dir(7, dots(7, 0) + shortEntry("KEPT    TXT", 0x20, 12, 1));
}

TEST(FatProcessing, BuildsTheTreeUnderTheTopFolder) {
  SampleDisk d;
  ASSERT_TRUE(d.process());
  const FileEntry& top = d.top();
  EXPECT_EQ(top.name, u"#");
  EXPECT_EQ(top.attributes, 0x18);
  EXPECT_EQ(top.firstCluster, 2u);
  EXPECT_EQ(top.parentCluster, 2u);
  // Newest first, so "Lost", created first, is last.
  EXPECT_EQ(d.names(top), (std::vector<std::u16string>{u"XLD", u"XOST.TXT", u"README.TXT", u"My Documents", u"Lost"}));
  const FileEntry* lost = d.engine.tree().lost();
  EXPECT_EQ(lost->attributes, 0x10);
  EXPECT_EQ(lost->firstCluster, 0u);
  const FileEntry* docs = d.at({u"My Documents"});
  ASSERT_NE(docs, nullptr);
  EXPECT_TRUE(docs->isFolder());
  EXPECT_TRUE(docs->isLive());
  EXPECT_EQ(docs->attributes, 0x18);
  ASSERT_NE(d.at({u"My Documents", u"SUB", u"DEEP.BIN"}), nullptr);
  EXPECT_EQ(d.at({u"My Documents", u"SUB", u"DEEP.BIN"})->parentCluster, 10u);
  EXPECT_EQ(d.at({u"My Documents", u"SUB", u"DEEP.BIN"})->parent, d.at({u"My Documents", u"SUB"}));
  // A listing gives files before folders.
  auto listing = FatTree::listing(top);
  ASSERT_EQ(listing.size(), 5u);
  EXPECT_EQ(listing[0]->name, u"XOST.TXT");
  EXPECT_EQ(listing[1]->name, u"README.TXT");
  EXPECT_TRUE(listing[2]->isFolder());
}

TEST(FatProcessing, LogsItsSteps) {
  SampleDisk d;
  ASSERT_TRUE(d.process());
  std::vector<std::pair<std::string, LogKind>> lines;
  for (const auto& e : d.host.log) {
    lines.emplace_back(e.name, e.kind);
    EXPECT_EQ(e.description, std::string(35, '-'));
  }
  std::vector<std::pair<std::string, LogKind>> expected = {
      {"Processing Internal File System Structure...", LogKind::Started},
      {"Completed processing Internal File System Structure", LogKind::Completed},
      {"Populating Directory Structure...", LogKind::Started},
      {"Completed Populating Directory Structure", LogKind::Completed}};
  EXPECT_EQ(lines, expected);
  EXPECT_FALSE(d.run.running());
}

TEST(FatProcessing, AnAbortIsLoggedAndKeepsWhatWasFound) {
  SampleDisk d;
  d.host.onProgress = [&](std::uint64_t total, std::uint64_t) {
    if (total > 0) d.run.stop();
  };
  EXPECT_FALSE(d.process());
  EXPECT_EQ(d.host.log[1].name, "Aborted processing Internal File System Structure");
  EXPECT_EQ(d.host.log[1].kind, LogKind::Aborted);
  EXPECT_NE(d.at({u"README.TXT"}), nullptr);
  EXPECT_EQ(d.at({u"My Documents", u"SUB"}), nullptr);  // never reached
}

TEST(FatProcessing, Fat16RootWithALabelAndItsSubfolders) {
  Disk d(kFat16, 64);
  d.root16(std::vector<Entry>{shortEntry("LABEL16    ", 0x08, 0)} + shortEntry("ROOTFILETXT", 0x20, 2, 3) +
           shortEntry("DIR        ", 0x10, 3));
  d.fat(2, 0xFFFF);
  d.fat(3, 0xFFFF);
  d.dir(3, dots(3, 0) + shortEntry("IN      TXT", 0x20, 4, 3));
  ASSERT_TRUE(d.process());
  EXPECT_EQ(d.top().firstCluster, 1u);
  EXPECT_NE(d.at({u"ROOTFILE.TXT"}), nullptr);
  ASSERT_NE(d.at({u"DIR", u"IN.TXT"}), nullptr);
  EXPECT_EQ(d.at({u"DIR"})->parentCluster, 1u);
}

TEST(FatProcessing, AFolderWhoseClusterNoLongerStartsWithDotsIsNotRead) {
  Disk d(kFat32, 64);
  d.dir(2, {shortEntry("GONE       ", 0x10, 3), shortEntry("REUSED     ", 0x10, 4)});
  d.dir(3, {shortEntry("DATA    BIN", 0x20, 9, 1)});  // a file's data now
  d.dir(4, dots(4, 11) + shortEntry("OTHER   TXT", 0x20, 9, 1));
  ASSERT_TRUE(d.process());
  ASSERT_NE(d.at({u"GONE"}), nullptr);
  EXPECT_EQ(d.at({u"GONE"})->firstChild, nullptr);
  ASSERT_NE(d.at({u"REUSED"}), nullptr);
  EXPECT_EQ(d.at({u"REUSED"})->firstChild, nullptr);
}

TEST(FatProcessing, CrossLinkedFoldersAreReadOnce) {
  // Every level names the next folder twice: read each time, 2^40 folders would be walked.
  Disk d(kFat32, 64);
  d.dir(2, {shortEntry("L0         ", 0x10, 3)});
  for (std::uint32_t level = 0; level < 40; ++level) {
    std::uint32_t c = 3 + level;
    d.fat(c, kEnd);
    d.dir(c, dots(c, level == 0 ? 0 : c - 1) + shortEntry("TWIN1      ", 0x10, c + 1) +
                 shortEntry("TWIN2      ", 0x10, c + 1));
  }
  ASSERT_TRUE(d.process());
  EXPECT_LT(d.engine.tree().size(), 200u);
}

TEST(FatProcessing, ADirectoryChainThatLoopsEnds) {
  Disk d(kFat32, 64);
  d.dir(2, {shortEntry("LOOP       ", 0x10, 3)});
  d.fat(3, 4);
  d.fat(4, 3);
  auto first = dots(3, 0) + shortEntry("ONE     TXT", 0x20, 9, 1);
  while (first.size() < 16) first.push_back(shortEntry("PAD     TXT", 0x20, 9, 1));  // no end mark
  d.dir(3, first);
  d.dir(4, {shortEntry("TWO     TXT", 0x20, 10, 1)});
  ASSERT_TRUE(d.process());
  auto names = d.names(*d.at({u"LOOP"}));
  EXPECT_EQ(names.size(), 15u);
  EXPECT_EQ(std::count(names.begin(), names.end(), u"ONE.TXT"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), u"TWO.TXT"), 1);
}

TEST(FatProcessing, AVeryDeepTreeIsWalkedWithoutRecursion) {
  constexpr std::uint32_t kDepth = 6000;
  Disk d(kFat32, kDepth + 8);
  d.dir(2, {shortEntry("D          ", 0x10, 3)});
  for (std::uint32_t i = 0; i < kDepth; ++i) {
    std::uint32_t c = 3 + i;
    d.fat(c, kEnd);
    std::vector<Entry> entries = dots(c, i == 0 ? 0 : c - 1);
    if (i + 1 < kDepth) entries.push_back(shortEntry("D          ", 0x10, c + 1));
    else entries.push_back(shortEntry("BOTTOM  TXT", 0x20, 2, 1));  // cluster 2 is skipped
    d.dir(c, entries);
  }
  ASSERT_TRUE(d.process());
  const FileEntry* f = &d.top();
  std::uint32_t depth = 0;
  while (const FileEntry* next = d.child(*f, u"D")) {
    f = next;
    ++depth;
  }
  EXPECT_EQ(depth, kDepth);
  // The same volume swept: every folder found and named, none in "Lost".
  Disk t(kFat32, kDepth + 8);
  t.bytes = d.bytes;
  ASSERT_TRUE(t.turbo());
  f = &t.top();
  depth = 0;
  while (const FileEntry* next = t.child(*f, u"D")) {
    f = next;
    ++depth;
  }
  EXPECT_EQ(depth, kDepth);
  EXPECT_EQ(t.engine.tree().lost()->firstChild, nullptr);
}

// ---- Turbo Scan ----

TEST(FatTurboScan, FindsLiveDeletedAndOrphanedFolders) {
  Disk d(kFat32, 64);
  d.dir(2, {shortEntry("LIVE       ", 0x10, 3), shortEntry("\xE5" "EL        ", 0x10, 4),
            shortEntry("ROOT    TXT", 0x20, 20, 5)});
  d.fat(3, kEnd);
  d.dir(3, dots(3, 0) + shortEntry("INLIVE  TXT", 0x20, 21, 5));
  d.dir(4, dots(4, 0) + shortEntry("F1      TXT", 0x20, 22, 5));
  d.dir(5, dots(5, 9) + shortEntry("ORPHAN  TXT", 0x20, 23, 5));  // its parent, 9, is gone
  // A byte-identical copy of cluster 3 elsewhere is not a folder of its own.
  std::memcpy(d.bytes.data() + d.offsetOf(6), d.bytes.data() + d.offsetOf(3), 512);
  ASSERT_TRUE(d.turbo());

  const FileEntry* live = d.at({u"LIVE"});
  ASSERT_NE(live, nullptr);
  EXPECT_TRUE(live->isLive());
  EXPECT_NE(d.at({u"LIVE", u"INLIVE.TXT"}), nullptr);
  const FileEntry* del = d.at({u"XEL"});
  ASSERT_NE(del, nullptr);
  EXPECT_FALSE(del->isLive());
  ASSERT_NE(d.at({u"XEL", u"F1.TXT"}), nullptr);
  EXPECT_FALSE(d.at({u"XEL", u"F1.TXT"})->isLive());
  EXPECT_NE(d.at({u"ROOT.TXT"}), nullptr);

  const FileEntry* placeholder = d.at({u"Lost", u"#9"});
  ASSERT_NE(placeholder, nullptr);
  EXPECT_EQ(placeholder->attributes, 0x10);
  EXPECT_EQ(placeholder->firstCluster, 9u);
  EXPECT_EQ(placeholder->parentCluster, 0u);
  const FileEntry* orphan = d.at({u"Lost", u"#9", u"#5"});
  ASSERT_NE(orphan, nullptr);
  EXPECT_EQ(orphan->parentCluster, 9u);
  EXPECT_NE(d.at({u"Lost", u"#9", u"#5", u"ORPHAN.TXT"}), nullptr);
  EXPECT_EQ(d.at({u"#6"}), nullptr);
  for (const FileEntry* c : FatTree::children(d.top())) EXPECT_NE(c->firstCluster, 6u);

  std::vector<std::string> names;
  for (const auto& e : d.host.log) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Started turbo scan of logical drive 1",
                                             "Completed turbo scan of logical drive 1"}));
  ASSERT_EQ(d.host.messages.size(), 1u);
  EXPECT_EQ(d.host.messages[0].title, "Information");
  EXPECT_EQ(d.host.messages[0].text, "Turbo Scan Completed");
}

TEST(FatTurboScan, Fat16FoldersWithADotDotOfZeroHangUnderTheTop) {
  Disk d(kFat16, 64);
  d.root16({shortEntry("A          ", 0x10, 2)});
  d.fat(2, 0xFFFF);
  d.dir(2, dots(2, 0) + shortEntry("X       TXT", 0x20, 9, 1));
  d.dir(5, dots(5, 0));  // deleted from the root long ago
  ASSERT_TRUE(d.turbo());
  ASSERT_NE(d.at({u"A", u"X.TXT"}), nullptr);
  ASSERT_NE(d.at({u"#5"}), nullptr);
  EXPECT_EQ(d.at({u"#5"})->parentCluster, 1u);
}

TEST(FatTurboScan, FoldersThatNameEachOtherAsParentsEndUpInLost) {
  Disk d(kFat32, 64);
  d.dir(3, dots(3, 4) + shortEntry("A       TXT", 0x20, 20, 1));
  d.dir(4, dots(4, 3) + shortEntry("B       TXT", 0x20, 21, 1));
  d.dir(5, dots(5, 5) + shortEntry("C       TXT", 0x20, 22, 1));  // its own parent
  // The root's own cluster dressed as a folder under another: the root stays the root.
  d.dir(2, dots(2, 6));
  d.dir(6, dots(6, 0));
  ASSERT_TRUE(d.turbo());
  const FileEntry* lost = d.engine.tree().lost();
  std::vector<std::uint32_t> rescued;
  for (const FileEntry* c : FatTree::children(*lost)) rescued.push_back(c->firstCluster);
  std::sort(rescued.begin(), rescued.end());
  ASSERT_EQ(rescued.size(), 2u);
  EXPECT_TRUE(rescued[0] == 3u || rescued[0] == 4u);
  EXPECT_EQ(rescued[1], 5u);
  // Both members of the loop are reachable, one under the other.
  std::size_t files = 0;
  std::vector<const FileEntry*> pending{lost};
  while (!pending.empty()) {
    const FileEntry* f = pending.back();
    pending.pop_back();
    for (const FileEntry* c : FatTree::children(*f)) {
      if (c->isFolder()) pending.push_back(c);
      else ++files;
    }
  }
  EXPECT_EQ(files, 3u);
  EXPECT_EQ(d.top().parent, nullptr);
  EXPECT_NE(d.at({u"#6"}), nullptr);
}

TEST(FatTurboScan, AnAbortKeepsTheFoldersFoundSoFar) {
  Disk d(kFat32, 64, 16);  // 8 KiB clusters: one sector read per cluster
  d.dir(2, {shortEntry("FIRST      ", 0x10, 3)});
  d.dir(3, dots(3, 0));
  d.dir(40, dots(40, 0));
  d.host.onProgress = [&](std::uint64_t, std::uint64_t done) {
    if (done == 10) d.run.stop();
  };
  EXPECT_FALSE(d.turbo());
  EXPECT_NE(d.at({u"#3"}), nullptr);
  EXPECT_EQ(d.at({u"#40"}), nullptr);
  EXPECT_EQ(d.host.log.back().name, "Aborted turbo scan of logical drive 1");
  EXPECT_EQ(d.host.log.back().kind, LogKind::Aborted);
  ASSERT_EQ(d.host.messages.size(), 1u);
  EXPECT_EQ(d.host.messages[0].text, "Turbo Scan aborted");
}

TEST(FatTurboScan, SmallClustersAreSweptInLargeRequests) {
  Disk d(kFat32, 3000);
  d.dir(2, {shortEntry("KEEP       ", 0x10, 2500)});
  d.dir(2500, dots(2500, 0));
  d.dir(2999, dots(2999, 2500));  // below the sweep's end, clusterCount
  ASSERT_TRUE(d.turbo());
  EXPECT_NE(d.at({u"KEEP", u"#2999"}), nullptr);
  EXPECT_LT(d.dataRequests(0), 40u);
}

TEST(FatTree, IndexKeepsTheFirstFolderOfAKeyAndStaysBalanced) {
  FatTree tree;
  tree.reset(2);
  ClusterIndex index;
  std::vector<FileEntry*> folders;
  for (std::uint32_t k = 1; k <= 1000; ++k) {
    FileEntry e;
    e.firstCluster = k;
    folders.push_back(&tree.add(e));
    EXPECT_EQ(index.insert(*folders.back()), folders.back());
  }
  FileEntry again;
  again.firstCluster = 500;
  EXPECT_EQ(index.insert(tree.add(again)), folders[499]);
  EXPECT_EQ(index.find(777), folders[776]);
  EXPECT_EQ(index.find(1001), nullptr);
  EXPECT_EQ(index.preorder().size(), 1000u);
  EXPECT_EQ(placeholderName(4294967295u), u"#4294967295");
}

// ---- extraction ----

struct ExtractDisk : Disk {
  ExtractDisk(std::uint32_t clusters = 400) : Disk(kFat32, clusters, 8) {}  // 4096-byte clusters
  FileEntry file(std::uint32_t first, std::uint64_t size) {
    FileEntry e;
    e.firstCluster = first;
    e.dataSize = size;
    e.attributes = 0x28;
    return e;
  }
};

TEST(FatExtract, ChainMatchesSize) {
  EXPECT_TRUE(chainMatchesSize(3, 10000, 4096));
  EXPECT_TRUE(chainMatchesSize(3, 8192, 4096));  // one spare cluster
  EXPECT_FALSE(chainMatchesSize(4, 8192, 4096));
  EXPECT_FALSE(chainMatchesSize(1, 9000, 4096));
  EXPECT_FALSE(chainMatchesSize(0, 1, 4096));
  EXPECT_TRUE(chainMatchesSize(0, 0, 4096));
}

TEST(FatExtract, AContiguousChainIsReadInOneRequest) {
  ExtractDisk d;
  d.fill(10, 3, 1);
  d.chain({10, 11, 12});
  d.open();
  d.run.start();
  FileExtractor x(d.engine.source(), d.engine.volume());
  std::size_t before = d.backend->requests.size();
  auto out = d.save(d.file(10, 10000), x);
  EXPECT_TRUE(x.usedChain());
  EXPECT_EQ(out, d.clusters(10, 10000));
  EXPECT_EQ(d.dataRequests(before), 1u);
}

TEST(FatExtract, RunsOfAChainAreReadSixteenClustersAtMost) {
  ExtractDisk d;
  d.fill(100, 3, 2);
  d.fill(200, 1, 3);
  d.chain({100, 101, 102, 200});
  std::vector<std::uint32_t> forty;
  for (std::uint32_t c = 300; c < 340; ++c) forty.push_back(c);
  d.chain(forty);
  d.fill(300, 40, 4);
  d.open();
  d.run.start();
  FileExtractor x(d.engine.source(), d.engine.volume());
  std::size_t before = d.backend->requests.size();
  auto out = d.save(d.file(100, 4 * 4096), x);
  EXPECT_EQ(d.dataRequests(before), 2u);
  auto expected = d.clusters(100, 3 * 4096);
  auto tail = d.clusters(200, 4096);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(out, expected);
  before = d.backend->requests.size();
  out = d.save(d.file(300, 40 * 4096 - 5), x);
  EXPECT_EQ(d.dataRequests(before), 3u);
  EXPECT_EQ(out, d.clusters(300, 40 * 4096 - 5));
}

TEST(FatExtract, ADeletedFileIsTakenFromConsecutiveClusters) {
  ExtractDisk d;
  d.fill(50, 3, 5);
  d.open();
  d.run.start();
  FileExtractor x(d.engine.source(), d.engine.volume());
  auto out = d.save(d.file(50, 9000), x);
  EXPECT_FALSE(x.usedChain());
  EXPECT_EQ(out, d.clusters(50, 9000));
}

TEST(FatExtract, TheModeFollowsTheChainLength) {
  ExtractDisk d;
  d.fill(20, 8, 6);
  d.chain({20, 25, 26});  // 3 clusters for 8192 bytes: trusted
  d.chain({30, 31, 32, 33});
  d.open();
  d.run.start();
  FileExtractor x(d.engine.source(), d.engine.volume());
  auto out = d.save(d.file(20, 8192), x);
  EXPECT_TRUE(x.usedChain());
  auto expected = d.clusters(20, 4096);
  auto second = d.clusters(25, 4096);
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(out, expected);
  out = d.save(d.file(30, 8192), x);
  EXPECT_FALSE(x.usedChain());
  EXPECT_EQ(out.size(), 8192u);
}

TEST(FatExtract, AnEmptyFileReadsNothing) {
  ExtractDisk d;
  d.open();
  d.run.start();
  FileExtractor x(d.engine.source(), d.engine.volume());
  std::size_t before = d.backend->requests.size();
  EXPECT_TRUE(d.save(d.file(10, 0), x).empty());
  EXPECT_EQ(d.backend->requests.size(), before);
  // No data cluster at all: nothing to copy.
  EXPECT_TRUE(d.save(d.file(0, 100), x).empty());
}

TEST(FatExtract, QuietCopiesGoOnWithoutARunningOperation) {
  ExtractDisk d;
  d.fill(10, 2, 7);
  d.open();
  FileExtractor x(d.engine.source(), d.engine.volume());
  EXPECT_TRUE(d.save(d.file(10, 5000), x).empty());  // neither running nor quiet
  x.setQuietProgress(true);
  EXPECT_EQ(d.save(d.file(10, 5000), x), d.clusters(10, 5000));
}

TEST(FatExtract, ACancelledCopyStopsAndProgressIsReported) {
  ExtractDisk d(200);
  d.fill(2, 100, 8);
  d.open();
  d.run.start();
  FileExtractor x(d.engine.source(), d.engine.volume());
  std::vector<std::uint64_t> seen;
  x.setProgress([&](std::uint64_t done, std::uint64_t total) {
    seen.push_back(done);
    EXPECT_EQ(total, 100u * 4096);
  });
  int calls = 0;
  x.setCancel([&] { return ++calls > 2; });
  auto out = d.save(d.file(10, 100 * 4096), x);
  EXPECT_EQ(out.size(), 2u * 16 * 4096);
  EXPECT_EQ(seen.back(), out.size());
}

TEST(FatExtract, HugeClustersAreReadInBoundedRequests) {
  Disk d(kFat32, 4, 128, 2048);  // 256 KiB clusters
  d.fill(3, 1, 9);
  d.open();
  d.run.start();
  FileExtractor x(d.engine.source(), d.engine.volume());
  FileEntry e;
  e.firstCluster = 3;
  e.dataSize = 6u << 20;
  auto out = d.save(e, x);
  // Consecutive clusters end with the volume's last one (clusters 3 to 5 here), whatever the size says.
  EXPECT_EQ(out.size(), 3u * 262144);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 262144, d.clusters(3, 262144).begin()));
  for (const auto& r : d.backend->requests) EXPECT_LE(r.second, kMaxRequestBytes);
}

TEST(FatExtract, PreviewLoadsUpToThirtyMegabytes) {
  ExtractDisk d(7700);
  d.fill(2 + 1, 2, 10);
  d.open();
  FileExtractor x(d.engine.source(), d.engine.volume());
  auto small = x.loadPreview(d.file(3, 5000));
  ASSERT_TRUE(small);
  EXPECT_EQ(*small, d.clusters(3, 5000));
  auto limit = x.loadPreview(d.file(3, kMaxPreviewBytes));
  ASSERT_TRUE(limit);
  EXPECT_EQ(limit->size(), kMaxPreviewBytes);
  EXPECT_FALSE(x.loadPreview(d.file(3, kMaxPreviewBytes + 1)));
  auto empty = x.loadPreview(d.file(3, 0));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

TEST(FatExtract, FilesFoundByProcessingAreRecovered) {
  Disk d(kFat32, 64);
  d.dir(2, {shortEntry("LIVE    BIN", 0x20, 10, 1500), shortEntry("\xE5" "ONE    BIN", 0x20, 20, 700)});
  d.chain({10, 12, 11});
  d.fill(10, 3, 11);
  d.fill(20, 2, 12);
  ASSERT_TRUE(d.process());
  d.run.start();
  FileExtractor x(d.engine.source(), d.engine.volume());
  auto live = d.save(*d.at({u"LIVE.BIN"}), x);
  std::vector<std::uint8_t> expected;
  for (std::uint32_t c : {10u, 12u, 11u}) {
    auto part = d.clusters(c, 512);
    expected.insert(expected.end(), part.begin(), part.end());
  }
  expected.resize(1500);
  EXPECT_EQ(live, expected);
  EXPECT_EQ(d.save(*d.at({u"XONE.BIN"}), x), d.clusters(20, 700));
}

}  // namespace
}  // namespace ov::fat
