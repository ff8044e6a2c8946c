// NTFS structures built field by field: what is taken or refused, and the stored records' layouts.

#include "ntfs/boot_sector.h"
#include "ntfs/file_record.h"
#include "ntfs/logical_volume.h"
#include "ntfs/mft.h"
#include "ntfs/run_list.h"
#include "ntfs/working_files.h"
#include "tests/support/builders.h"

namespace ov::ntfs {
namespace {

using test::Field;
using test::NtfsBootFields;
using test::RecordBuilder;
using Buffer = std::vector<std::uint8_t>;
using Change = std::function<void(Buffer&)>;

TEST(NtfsBootSector, EachRuleTakesOrRefuses) {
  struct Row {
    const char* what;
    Change change;
    bool accepted;
  };
  auto sectorSize = [](std::uint16_t bps) { return [bps](Buffer& b) { writeLe<std::uint16_t>(b, 0x0B, bps); }; };
  const std::vector<Row> rows = {
      {"well formed", [](Buffer&) {}, true},
      {"jump byte 0", [](Buffer& b) { b[0] = 0; }, false},
      {"jump byte 1", [](Buffer& b) { b[1] = 0; }, false},
      {"jump byte 2", [](Buffer& b) { b[2] = 0x91; }, false},
      {"sectors field", [](Buffer& b) { b[0x20] = 1; }, false},
      {"signature 0x80", [](Buffer& b) { writeLe<std::uint16_t>(b, 0x24, 0x0081); }, false},
      {"no sectors per cluster", [](Buffer& b) { b[0x0D] = 0; }, false},
      {"3 sectors per cluster", [](Buffer& b) { b[0x0D] = 3; }, false},
      {"no record size", [](Buffer& b) { b[0x40] = 0; }, false},
      {"no index record size", [](Buffer& b) { b[0x44] = 0; }, false},
      {"MFT at cluster 0", [](Buffer& b) { writeLe<std::uint64_t>(b, 0x30, 0); }, false},
      {"mirror at the last cluster", [](Buffer& b) { writeLe<std::uint64_t>(b, 0x38, UINT64_MAX); }, false},
      {"no sectors", [](Buffer& b) { writeLe<std::uint64_t>(b, 0x28, 0); }, false},
      {"name and signature are not tested", [](Buffer& b) { b[3] = 'X'; b[0x1FE] = 0; }, true},
      {"sector size 0", sectorSize(0), true},     {"sector size 3072", sectorSize(3072), true},
      {"sector size 4096", sectorSize(4096), true}, {"sector size 1536", sectorSize(1536), false},
      {"sector size 513", sectorSize(513), false},
      {"cut short", [](Buffer& b) { b.resize(100); }, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Buffer b = test::ntfsBootSector();
    row.change(b);
    EXPECT_EQ(isNtfsBootSector(b), row.accepted);
  }
}

TEST(NtfsBootSector, GivesTheVolumeAndFitsTheDisk) {
  // The volume's fields are checked against the images' manifests (tests/e2e). Absurd record size codes: no shift past 63, no division by zero.
  EXPECT_EQ(decodeRecordSize(-128, 8, 4096, 512).bytes, 0u);
  EXPECT_EQ(decodeRecordSize(-12, 8, 4096, 0).sectors, 0u);
  // A sector size of 0 takes the source's when checked, and stays 0 as stored.
  const NtfsBootFields f{.bytesPerSector = 0, .sectorsPerCluster = 2};
  EXPECT_EQ(volumeFromBootSector(test::ntfsBootSector(f), 0, 1, 4096, BootSectorSize::Checked).bytesPerSector, 4096);
  const auto stored = volumeFromBootSector(test::ntfsBootSector(f), 0, 1, 512, BootSectorSize::AsStored);
  EXPECT_EQ(stored.bytesPerSector, 0);
  EXPECT_EQ(stored.sectorsPerMftRecord, 2);
  // Fits: the volume and its MFT lie within the disk, without overflow.
  NtfsBootFields small{.totalSectors = 1000, .mftLcn = 10};
  EXPECT_TRUE(bootSectorFits(test::ntfsBootSector(small), 100, 1100));
  EXPECT_FALSE(bootSectorFits(test::ntfsBootSector(small), 101, 1100));
  small.mftLcn = UINT64_MAX / 4;
  EXPECT_FALSE(bootSectorFits(test::ntfsBootSector(small), 0, 1000));
}

TEST(FileRecordCheck, TakesSoundRecordsAndRefusesDamagedOnes) {
  auto plain = [](std::uint16_t usOffset = 48, std::uint16_t usCount = 3, std::uint16_t first = 56) {
    return RecordBuilder(1024, usOffset, usCount, first).standardInformation(1, 1).fileName(u"a.txt").finish();
  };
  auto withAttribute = [](std::uint32_t type, std::uint32_t length, std::uint8_t nonResident) {
    return RecordBuilder().standardInformation(1, 1).rawAttribute(type, length, nonResident).finish();
  };
  struct Row {
    const char* what;
    Buffer record;
    bool accepted;
  };
  Buffer fixup = RecordBuilder().standardInformation(1, 1).finish(512, 1024);
  writeLe<std::uint16_t>(fixup, 510, 0x1234);
  Buffer runs = RecordBuilder().standardInformation(1, 1).nonResident(0x80, 0, 4096, 4096, 4096, 1, 4).finish();
  writeLe<std::uint16_t>(runs, 56 + 0x60 + 0x20, 0x50);  // run list past the attribute's end
  Buffer valueOut = RecordBuilder().standardInformation(1, 1).finish();
  writeLe<std::uint32_t>(valueOut, 56 + 0x10, 0x1000);  // value beyond the attribute
  auto changed = [&](Change c) {
    Buffer r = plain();
    c(r);
    return r;
  };
  const std::vector<Row> rows = {
      {"1024 bytes, sequence at 48, 3 entries", plain(), true},
      {"sequence at 42, attributes at 48", plain(42, 3, 48), true},
      {"sequence at 48, attributes at 48", plain(48, 3, 48), false},
      {"sequence at 42, attributes at 56", plain(42, 3, 56), false},
      {"count that does not match the sectors", plain(48, 2, 56), false},
      {"a fixup that does not match", fixup, false},
      {"not FILE", changed([](Buffer& r) { r[0] = 'B'; }), false},
      {"sequence at 40", changed([](Buffer& r) { writeLe<std::uint16_t>(r, 4, 40); }), false},
      {"in use beyond allocated", changed([](Buffer& r) { writeLe<std::uint32_t>(r, 0x18, 2000); }), false},
      {"allocated not the record size", changed([](Buffer& r) { writeLe<std::uint32_t>(r, 0x1C, 2048); }), false},
      {"in use not a multiple of 8", changed([](Buffer& r) { writeLe<std::uint32_t>(r, 0x18, 0x101); }), false},
      {"type not a multiple of 0x10", withAttribute(0x15, 0x18, 0), false},
      {"type above 0x100", withAttribute(0x110, 0x18, 0), false},
      {"type 0x100", withAttribute(0x100, 0x18, 0), true},
      {"attribute of length 0", withAttribute(0x80, 0, 0), false},
      {"length not a multiple of 8", withAttribute(0x80, 0x1C, 0), false},
      {"non-resident flag 2", withAttribute(0x80, 0x48, 2), false},
      {"run list past the attribute", runs, false},
      {"non-resident standard information", RecordBuilder().rawAttribute(0x10, 0x48, 1).finish(), false},
      {"value beyond the attribute", valueOut, false},
      {"no attribute at all", RecordBuilder().finish(), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Buffer r = row.record;
    EXPECT_EQ(checkFileRecord(r, 1024, 512), row.accepted);
  }
  Buffer r = plain();
  EXPECT_FALSE(checkFileRecord(r, 1024, 0));
  EXPECT_FALSE(checkFileRecord(MutableBytes(r.data(), 512), 1024, 512));  // buffer shorter than the record
}

TEST(FileRecordCheck, FixupsRestoreOnlyTheSectorEndsInUse) {
  Buffer whole = RecordBuilder().standardInformation(1, 1).fileName(u"x").finish(512, 1024);
  const std::uint16_t original = le16(whole, 0x30 + 2);
  ASSERT_TRUE(checkFileRecord(whole, 1024, 512));
  EXPECT_EQ(le16(whole, 510), original);
  Buffer part = RecordBuilder().standardInformation(1, 1).finish(512, 600);  // ends in the second sector
  writeLe<std::uint16_t>(part, 1022, 0xBEEF);
  ASSERT_TRUE(checkFileRecord(part, 1024, 512));
  EXPECT_EQ(le16(part, 1022), 0xBEEF);
}

TEST(FirstRecords, AreKnownByNameTimesAndData) {
  struct Row {
    const char* what;
    Buffer record;
    bool mft, mirror;
  };
  RecordBuilder late;
  late.standardInformation(5, 5).fileName(u"$MFT").rawAttribute(0x90, 0x18).nonResident(0x80, 0, 4096, 4096, 4096, 1, 4);
  const std::vector<Row> rows = {
      {"$MFT", RecordBuilder::firstMftRecord(u"$MFT"), true, false},
      {"$MFTMirr", RecordBuilder::firstMftRecord(u"$MFTMirr"), false, true},
      {"times differ", RecordBuilder::firstMftRecord(u"$MFT", 42, 43), false, false},
      {"a longer name", RecordBuilder::firstMftRecord(u"$MFTX"), false, false},
      {"a type above 0x80 before the data", late.finish(), false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Buffer a = row.record, b = row.record;
    EXPECT_EQ(isFirstMftRecord(a, 1024, 512), row.mft);
    EXPECT_EQ(isFirstMirrorRecord(b, 1024, 512), row.mirror);
  }
  // A run's offset is signed.
  Buffer r = RecordBuilder().standardInformation(1, 1).nonResident(0x80, 0, 4096, 4096, 4096, 1, 0xFFFE).finish();
  ASSERT_TRUE(checkFileRecord(r, 1024, 512));
  AttributeWalk walk(r);
  walk.next();
  auto data = walk.next();
  ASSERT_TRUE(data);
  EXPECT_EQ(firstRunCluster(r, *data), static_cast<std::uint64_t>(-2));
}

TEST(RunList, DecodesSignedOffsetsHolesAndStopsAtBadFields) {
  struct Row {
    const char* what;
    Buffer bytes;
    std::vector<ntfs::Run> runs;
  };
  const std::vector<Row> rows = {
      {"runs, a step back, a hole, a step on",
       {0x21, 0x10, 0x00, 0x10, 0x21, 0x04, 0xFE, 0xFF, 0x01, 0x08, 0x11, 0x02, 0x10, 0x00},
       {{0x1000, 0x10, false}, {0x0FFE, 4, false}, {0, 8, true}, {0x100E, 2, false}}},
      {"an end mark first", {0x00, 0x21, 0x10, 0x00, 0x10}, {}},
      {"a 5-byte offset ends it", {0x11, 0x01, 0x05, 0x51, 0x01, 1, 2, 3, 4, 5}, {{5, 1, false}}},
      {"a 5-byte length ends it", {0x11, 0x01, 0x05, 0x15, 1, 2, 3, 4, 5, 1}, {{5, 1, false}}},
      {"a length of all ones", {0x11, 0xFF, 0x05}, {}},
      {"an offset of all ones", {0x11, 0x01, 0xFF}, {}},
      {"fields past the end", {0x31, 0x01, 0x05}, {}},
  };
  for (const Row& row : rows) {
    std::vector<ntfs::Run> runs;
    decodeRunList(row.bytes, runs);
    EXPECT_EQ(runs, row.runs) << row.what;
  }
}

TEST(IndexRecord, ChecksItsHeaderAndFixups) {
  Buffer r(4096, 0);
  std::memcpy(r.data(), "INDX", 4);
  writeLe<std::uint16_t>(r, 4, 0x28);
  writeLe<std::uint16_t>(r, 6, 9);
  writeLe<std::uint32_t>(r, 0x18, 0x28);
  writeLe<std::uint32_t>(r, 0x1C, 0xFE8);
  writeLe<std::uint32_t>(r, 0x20, 0xFE8);
  writeLe<std::uint16_t>(r, 0x28, 0x0005);
  for (std::size_t i = 1; i <= 8; ++i) {
    writeLe<std::uint16_t>(r, 0x28 + 2 * i, static_cast<std::uint16_t>(0x100 + i));
    writeLe<std::uint16_t>(r, 512 * i - 2, 0x0005);
  }
  Buffer ok = r, badFixup = r, tooLong = r, wrongCount = r;
  EXPECT_TRUE(checkIndexRecord(ok, 512, 8));
  EXPECT_EQ(le16(ok, 4094), 0x108);
  EXPECT_FALSE(checkIndexRecord(wrongCount, 512, 4));
  writeLe<std::uint16_t>(badFixup, 1022, 0x0006);
  EXPECT_FALSE(checkIndexRecord(badFixup, 512, 8));
  writeLe<std::uint32_t>(tooLong, 0x1C, 0xFF0);
  EXPECT_FALSE(checkIndexRecord(tooLong, 512, 8));
}

// What a record says about its file, with the record's flags (1 in use, 2 folder) and number.
TEST(RecordFacts, NamesKindsAndWhatIsListed) {
  auto facts = [](RecordBuilder& b, std::uint16_t flags, std::uint32_t number, bool* listed = nullptr) {
    Buffer r = b.finish();
    writeLe<std::uint16_t>(r, 0x16, flags);
    writeLe<std::uint32_t>(r, 0x2C, number);
    EXPECT_TRUE(checkFileRecord(r, 1024, 512));
    test::Source none;
    NtfsVolume volume;
    RecordFacts f;
    const bool l = readRecordFacts(none.source, volume, r, f);
    if (listed) *listed = l;
    return f;
  };
  const Buffer data(10, 0x41);
  // The long name wins over the short one in either order.
  RecordBuilder a, b;
  a.standardInformation(1, 1).fileName(u"LONGFI~1.TXT", 2).fileName(u"long file name.txt", 1).resident(0x80, data);
  b.standardInformation(1, 1).fileName(u"long file name.txt", 1).fileName(u"LONGFI~1.TXT", 2).resident(0x80, data);
  EXPECT_EQ(facts(a, 1, 77).name, u"long file name.txt");
  EXPECT_EQ(facts(b, 1, 77).name, u"long file name.txt");
  // In the root, $Bitmap is the system file only as record 6 (in a folder: tests/e2e); a record
  // without a name is not listed.
  bool listed = true;
  for (std::uint32_t number : {6u, 30u}) {
    RecordBuilder bitmap;
    bitmap.standardInformation(1, 1).fileName(u"$Bitmap", 3, 5);
    facts(bitmap, 1, number, &listed);
    EXPECT_EQ(listed, number == 30) << number;
  }
  RecordBuilder nameless;
  nameless.standardInformation(1, 1).resident(0x80, data);
  facts(nameless, 1, 70, &listed);
  EXPECT_FALSE(listed);
  // A folder's index root gives its own number; the root's own record is not listed.
  auto folder = [&](std::uint64_t parent, std::uint64_t childParent, bool* l) {
    Buffer root(0x10 + 0x10 + 0x60 + 0x10, 0);
    writeLe<std::uint32_t>(root, 0, 0x30);
    writeLe<std::uint32_t>(root, 0x10, 0x10);
    writeLe<std::uint32_t>(root, 0x14, 0x80);
    writeLe<std::uint32_t>(root, 0x18, 0x80);
    writeLe<std::uint16_t>(root, 0x20 + 8, 0x60);
    writeLe<std::uint64_t>(root, 0x20 + 0x10, childParent);
    RecordBuilder d;
    d.standardInformation(1, 1).fileName(u"Docs", 1, parent).resident(0x90, root);
    return facts(d, 3, 0, l);
  };
  EXPECT_EQ(folder(5, 41, &listed).selfRecord, 41u);
  EXPECT_TRUE(listed);
  folder(5, 5, &listed);
  EXPECT_FALSE(listed);
  folder(41, 41, &listed);  // a folder that names itself as its parent is still listed
  EXPECT_TRUE(listed);
}

// ---- stored records: every field at its offset, the round trip, a short record refused ----

TEST(StoredNtfsRecords, LayoutAndRoundTrip) {
  LogicalVolume v;
  const std::vector<Field> volumeFields = {
      {0, 8, 0}, OV_FIELD(v, startSector, 8, 8, 0x0102030405060708ull),
      OV_FIELD(v, sectorCount, 16, 8, 0x1112131415161718ull), OV_FIELD(v, mftSector, 24, 8, 0x2122232425262728ull),
      OV_FIELD(v, mftLcn, 32, 8, 0x3132333435363738ull), OV_FIELD(v, mftMirrLcn, 40, 8, 0x4142434445464748ull),
      OV_FIELD(v, serialNumber, 48, 8, 0x5152535455565758ull), OV_FIELD(v, indexRecordBytes, 56, 4, 0x61626364u),
      OV_FIELD(v, bytesPerCluster, 60, 4, 0x71727374u), OV_FIELD(v, mftRecordBytes, 64, 2, 0x8182),
      OV_FIELD(v, bytesPerSector, 66, 2, 0x9192), OV_FIELD(v, sectorsPerCluster, 68, 1, 0xA1),
      OV_FIELD(v, sectorsPerMftRecord, 69, 1, 0xB1), OV_FIELD(v, sectorsPerIndexRecord, 70, 1, 0xC1),
      OV_FIELD(v, foundBy, 71, 1, 0x0D)};
  const auto volume = encodeVolume(v, true);
  test::expectLayout(Buffer(volume.begin(), volume.end()), 76, volumeFields);
  EXPECT_NE(le32(volume, 72), 0u);  // another record follows
  EXPECT_EQ(le32(encodeVolume(v, false), 72), 0u);
  bool more = false;
  EXPECT_EQ(decodeVolume(volume, &more), v);
  EXPECT_TRUE(more);
  EXPECT_FALSE(decodeVolume(Bytes(volume.data(), 75)));

  VolumeParameters p;
  const std::vector<Field> paramFields = {
      OV_FIELD(p, sectorCount, 0, 8, 0x0102030405060708ull), OV_FIELD(p, mftSector, 8, 8, 0x1112131415161718ull),
      OV_FIELD(p, mftLcn, 16, 8, 0x2122232425262728ull), OV_FIELD(p, mftMirrLcn, 24, 8, 0x3132333435363738ull),
      OV_FIELD(p, serialNumber, 32, 8, 0x4142434445464748ull), OV_FIELD(p, startSector, 40, 8, 0x5152535455565758ull),
      OV_FIELD(p, mftRecordCount, 52, 4, 0x61626364), OV_FIELD(p, bytesPerMftRecord, 56, 4, 0x71727374),
      OV_FIELD(p, bytesPerIndexRecord, 60, 4, 0x81828384), OV_FIELD(p, bytesPerCluster, 64, 4, 0x91929394),
      OV_FIELD(p, bytesPerSector, 68, 2, 0xA1A2), OV_FIELD(p, sectorsPerMftRecord, 70, 1, 0xB1),
      OV_FIELD(p, sectorsPerIndexRecord, 71, 1, 0xC1), OV_FIELD(p, sectorsPerCluster, 72, 1, 0xD1),
      OV_FIELD(p, turboScanMark, 73, 1, 1)};
  const auto params = encodeParameters(p, true);
  test::expectLayout(Buffer(params.begin(), params.end()), 74, paramFields);
  EXPECT_NE(le32(params, 48), 0u);  // runs follow
  EXPECT_EQ(decodeParameters(params, &more), p);
  EXPECT_TRUE(more);
  EXPECT_FALSE(decodeParameters(Bytes(params.data(), 73)));

  const ntfs::Run run{0x0102030405060708ull, 0x11121314, false};
  const auto storedRun = encodeRun(run, true);
  test::expectLayout(Buffer(storedRun.begin(), storedRun.end()), 16, {{0, 4, 0x11121314}, {4, 8, run.lcn}});
  EXPECT_EQ(decodeRun(storedRun, &more), run);
  EXPECT_TRUE(more);

  FileEntry e;
  e.name = u"abc";
  const std::vector<Field> entryFields = {
      OV_FIELD(e, dataSize, 0, 8, 0x0102030405060708ull), OV_FIELD(e, recordSector, 8, 8, 0x1112131415161718ull),
      OV_FIELD(e, entryIndex, 16, 4, 0x21222324u), OV_FIELD(e, recordNumber, 20, 4, 0x31323334u),
      OV_FIELD(e, parentRecord, 24, 4, 0x41424344u), OV_FIELD(e, childrenBlock, 28, 4, 0x51525354u),
      OV_FIELD(e, nameOffset, 32, 4, 0x61626364u), {36, 2, 3}, OV_FIELD(e, attributes, 38, 2, 0x7172),
      OV_FIELD(e, createdDate, 40, 2, 0x8182), OV_FIELD(e, accessedDate, 42, 2, 0x9192)};
  const auto entry = encodeEntry(e);
  test::expectLayout(Buffer(entry.begin(), entry.end()), 44, entryFields);
  std::uint16_t nameLength = 0;
  FileEntry back = decodeEntry(entry, nameLength);  // the name is the caller's to read
  EXPECT_EQ(nameLength, 3);
  e.name.clear();
  EXPECT_EQ(back, e);

  TreeBlock t;
  t.key = 0x01020304u;
  t.next = 0x11121314u;
  std::vector<Field> words = {{0, 4, t.key}, {4, 4, t.next}};
  for (std::size_t i = 0; i < kTreeSlots; ++i) {
    t.slots[i] = 0xA0000000u + static_cast<std::uint32_t>(i);
    words.push_back({8 + 4 * i, 4, t.slots[i]});
  }
  const auto block = encodeTreeBlock(t);
  test::expectLayout(Buffer(block.begin(), block.end()), 128, words);
  EXPECT_EQ(decodeTreeBlock(block), t);
}

}  // namespace
}  // namespace ov::ntfs
