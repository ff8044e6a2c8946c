#include "ntfs/mft.h"

#include <gtest/gtest.h>

#include <cstring>

#include "ntfs/file_record.h"
#include "tests/ntfs/ntfs_builders.h"
#include "tests/support/test_support.h"

namespace ov::ntfs {
namespace {

using test::RecordBuilder;

std::vector<ntfs::Run> decode(std::vector<std::uint8_t> bytes) {
  std::vector<ntfs::Run> runs;
  decodeRunList(bytes, runs);
  return runs;
}

TEST(RunList, DecodesLengthsAndSignedOffsets) {
  // 0x21: 1 length byte, 2 offset bytes. Runs at 0x1000, then 0x1000 - 2, then a hole, then +0x10.
  auto runs = decode({0x21, 0x10, 0x00, 0x10, 0x21, 0x04, 0xFE, 0xFF, 0x01, 0x08, 0x11, 0x02, 0x10, 0x00});
  ASSERT_EQ(runs.size(), 4u);
  EXPECT_EQ(runs[0], (ntfs::Run{0x1000, 0x10, false}));
  EXPECT_EQ(runs[1], (ntfs::Run{0x0FFE, 4, false}));
  EXPECT_EQ(runs[2], (ntfs::Run{0, 8, true}));
  EXPECT_EQ(runs[3], (ntfs::Run{0x100E, 2, false}));
}

TEST(RunList, EndsAtZeroWideFieldsAllOnesAndTheBufferEnd) {
  EXPECT_TRUE(decode({0x00, 0x21, 0x10, 0x00, 0x10}).empty());
  EXPECT_EQ(decode({0x11, 0x01, 0x05, 0x51, 0x01, 1, 2, 3, 4, 5}).size(), 1u);  // 5-byte offset
  EXPECT_EQ(decode({0x11, 0x01, 0x05, 0x15, 1, 2, 3, 4, 5, 1}).size(), 1u);     // 5-byte length
  EXPECT_TRUE(decode({0x11, 0xFF, 0x05}).empty());
  EXPECT_TRUE(decode({0x11, 0x01, 0xFF}).empty());
  EXPECT_TRUE(decode({0x31, 0x01, 0x05}).empty());  // fields past the end
}

VolumeParameters sampleParameters() {
  VolumeParameters p;
  p.sectorCount = 0x0102030405060708ull;
  p.mftSector = 0x1112131415161718ull;
  p.mftLcn = 0x2122232425262728ull;
  p.mftMirrLcn = 0x3132333435363738ull;
  p.serialNumber = 0x4142434445464748ull;
  p.startSector = 0x5152535455565758ull;
  p.mftRecordCount = 0x61626364;
  p.bytesPerMftRecord = 0x71727374;
  p.bytesPerIndexRecord = 0x81828384;
  p.bytesPerCluster = 0x91929394;
  p.bytesPerSector = 0xA1A2;
  p.sectorsPerMftRecord = 0xB1;
  p.sectorsPerIndexRecord = 0xC1;
  p.sectorsPerCluster = 0xD1;
  p.turboScanMark = 1;
  return p;
}

TEST(StoredParameters, FieldsSitAtTheirOffsetsAndRoundTrip) {
  auto b = encodeParameters(sampleParameters(), true);
  ASSERT_EQ(b.size(), 74u);
  EXPECT_EQ(le64(b, 0), 0x0102030405060708ull);
  EXPECT_EQ(le64(b, 8), 0x1112131415161718ull);
  EXPECT_EQ(le64(b, 16), 0x2122232425262728ull);
  EXPECT_EQ(le64(b, 24), 0x3132333435363738ull);
  EXPECT_EQ(le64(b, 32), 0x4142434445464748ull);
  EXPECT_EQ(le64(b, 40), 0x5152535455565758ull);
  EXPECT_NE(le32(b, 48), 0u);
  EXPECT_EQ(le32(b, 52), 0x61626364u);
  EXPECT_EQ(le32(b, 56), 0x71727374u);
  EXPECT_EQ(le32(b, 60), 0x81828384u);
  EXPECT_EQ(le32(b, 64), 0x91929394u);
  EXPECT_EQ(le16(b, 68), 0xA1A2);
  EXPECT_EQ(b[70], 0xB1);
  EXPECT_EQ(b[71], 0xC1);
  EXPECT_EQ(b[72], 0xD1);
  EXPECT_EQ(b[73], 1);
  bool hasRuns = false;
  EXPECT_EQ(decodeParameters(b, &hasRuns), sampleParameters());
  EXPECT_TRUE(hasRuns);
  EXPECT_EQ(le32(encodeParameters(sampleParameters(), false), 48), 0u);
  EXPECT_FALSE(decodeParameters(Bytes(b.data(), 73)));
}

TEST(StoredRun, FieldsSitAtTheirOffsetsAndRoundTrip) {
  ntfs::Run run{0x0102030405060708ull, 0x11121314, false};
  auto b = encodeRun(run, true);
  EXPECT_EQ(le32(b, 0), 0x11121314u);
  EXPECT_EQ(le64(b, 4), 0x0102030405060708ull);
  EXPECT_NE(le32(b, 12), 0u);
  bool hasNext = false;
  EXPECT_EQ(decodeRun(b, &hasNext), run);
  EXPECT_TRUE(hasNext);
}

TEST(SelectVolume, FillsDefaults) {
  LogicalVolume v;
  v.startSector = 63;
  v.mftLcn = 4;
  auto p = selectVolume(v, 512);
  EXPECT_EQ(p.bytesPerSector, 512);
  EXPECT_EQ(p.sectorsPerMftRecord, 2);
  EXPECT_EQ(p.bytesPerMftRecord, 1024u);
  EXPECT_EQ(p.bytesPerCluster, 4096u);  // 8 sectors when sectors per cluster is 0
  EXPECT_EQ(p.sectorsPerIndexRecord, 8);
  EXPECT_EQ(p.bytesPerIndexRecord, 4096u);
  v.sectorsPerCluster = 2;
  EXPECT_EQ(selectVolume(v, 512).bytesPerCluster, 1024u);
}

TEST(RecordSector, MapsRecordsThroughTheRuns) {
  NtfsVolume volume;
  volume.params.startSector = 100;
  volume.params.sectorsPerCluster = 2;
  volume.params.sectorsPerMftRecord = 2;
  volume.mftRuns = {ntfs::Run{10, 1000, false}, ntfs::Run{5000, 10, false}};
  EXPECT_EQ(recordSector(volume, 0), 120u);
  EXPECT_EQ(recordSector(volume, 999), 120u + 999 * 2);
  EXPECT_EQ(recordSector(volume, 1000), 100u + 5000 * 2);
  EXPECT_EQ(recordSector(volume, 1009), 100u + 5000 * 2 + 18);
  EXPECT_FALSE(recordSector(volume, 1010));
}

TEST(DosDate, FromFileTime) {
  // 2026-12-06 00:00:00 UTC = 134774 + 20793 days after 1601-01-01.
  std::uint64_t day = 86400ULL * 10000000ULL;
  std::uint64_t t = (134774ULL + 20793ULL) * day + 5 * 3600ULL * 10000000ULL;
  EXPECT_EQ(fileTimeToDosDate(t), 6 | (12 << 5) | ((2026 - 1980) << 9));
  EXPECT_EQ(fileTimeToDosDate(134774ULL * day), 0);  // 1970: before DOS dates begin
  EXPECT_EQ(fileTimeToDosDate(0), 0);
  EXPECT_EQ(fileTimeToDosDate(UINT64_MAX), 0);
}

// Facts of records built attribute by attribute; no attribute list, so no reads are needed.
RecordFacts factsOf(std::vector<std::uint8_t> record, bool* listed = nullptr) {
  ov::test::RecordingHost host;
  RunControl run;
  SectorSource source(host, run);
  NtfsVolume volume;
  EXPECT_TRUE(checkFileRecord(record, 1024, 512));
  RecordFacts f;
  bool l = readRecordFacts(source, volume, record, f);
  if (listed) *listed = l;
  return f;
}

std::vector<std::uint8_t> withFlags(std::vector<std::uint8_t> r, std::uint16_t flags, std::uint32_t number) {
  // Flags and the record's own number are outside the protected sector ends.
  writeLe<std::uint16_t>(r, 0x16, flags);
  writeLe<std::uint32_t>(r, 0x2C, number);
  return r;
}

std::vector<std::uint8_t> dataValue(std::size_t n) { return std::vector<std::uint8_t>(n, 0x41); }

TEST(RecordFacts, LongNameWinsOverTheShortNameInEitherOrder) {
  RecordBuilder a;
  a.standardInformation(1, 1).fileName(u"LONGFI~1.TXT", 2).fileName(u"long file name.txt", 1).resident(0x80, dataValue(10));
  RecordBuilder b;
  b.standardInformation(1, 1).fileName(u"long file name.txt", 1).fileName(u"LONGFI~1.TXT", 2).resident(0x80, dataValue(10));
  EXPECT_EQ(factsOf(withFlags(a.finish(), 1, 77)).name, u"long file name.txt");
  EXPECT_EQ(factsOf(withFlags(b.finish(), 1, 77)).name, u"long file name.txt");
}

TEST(RecordFacts, LiveAndDeletedFilesAndFolders) {
  auto build = [](std::uint16_t flags) {
    RecordBuilder b;
    b.standardInformation(1, 1).fileName(u"x", 3, 40).resident(0x80, dataValue(3));
    return factsOf(withFlags(b.finish(), flags, 99));
  };
  EXPECT_EQ(build(1).attributes & 0x18, 0x08);  // live file
  EXPECT_EQ(build(0).attributes & 0x18, 0x00);  // deleted file
  EXPECT_EQ(build(3).attributes & 0x18, 0x18);  // live folder
  EXPECT_EQ(build(2).attributes & 0x18, 0x10);  // deleted folder
  auto f = build(1);
  EXPECT_EQ(f.dataSize, 3u);
  EXPECT_EQ(f.parentRecord, 40u);
  EXPECT_EQ(f.recordNumber, 99u);
}

TEST(RecordFacts, SystemFilesAndNamelessRecordsAreNotListed) {
  bool listed = true;
  RecordBuilder sys;
  sys.standardInformation(1, 1).fileName(u"$Bitmap", 3, 5);
  auto f = factsOf(withFlags(sys.finish(), 1, 6), &listed);
  EXPECT_FALSE(listed);
  EXPECT_TRUE(f.name.empty());
  // The same name on a user's file (record 24 and up, or outside the root) is an ordinary name.
  factsOf(withFlags(sys.finish(), 1, 30), &listed);
  EXPECT_TRUE(listed);
  RecordBuilder inFolder;
  inFolder.standardInformation(1, 1).fileName(u"$Bitmap", 3, 40);
  factsOf(withFlags(inFolder.finish(), 1, 6), &listed);
  EXPECT_TRUE(listed);
  RecordBuilder nameless;
  nameless.standardInformation(1, 1).resident(0x80, dataValue(1));
  factsOf(withFlags(nameless.finish(), 1, 70), &listed);
  EXPECT_FALSE(listed);
}

TEST(RecordFacts, IndexRootGivesTheFoldersOwnNumberAndTheRootIsNotListed) {
  auto folder = [](std::uint64_t parent, std::uint64_t childParent) {
    // An index root over file names whose first entry names its parent (the folder itself).
    std::vector<std::uint8_t> root(0x10 + 0x10 + 0x60 + 0x10, 0);
    writeLe<std::uint32_t>(root, 0, 0x30);
    writeLe<std::uint32_t>(root, 0x10, 0x10);  // entries offset
    writeLe<std::uint32_t>(root, 0x14, 0x80);  // index length
    writeLe<std::uint32_t>(root, 0x18, 0x80);  // allocated
    std::size_t entry = 0x20;
    writeLe<std::uint16_t>(root, entry + 8, 0x60);
    writeLe<std::uint64_t>(root, entry + 0x10, childParent);
    RecordBuilder b;
    b.standardInformation(1, 1).fileName(u"Docs", 1, parent).resident(0x90, root);
    bool listed = false;
    auto f = factsOf(withFlags(b.finish(), 3, 0), &listed);
    return std::make_pair(listed, f);
  };
  auto [listed, f] = folder(5, 41);
  EXPECT_TRUE(listed);
  EXPECT_EQ(f.selfRecord, 41u);
  EXPECT_FALSE(folder(5, 5).first);   // the root's own record
  EXPECT_TRUE(folder(41, 41).first);   // a folder that names itself as its parent is still listed
}

TEST(IndexRecord, ChecksHeaderAndFixups) {
  std::vector<std::uint8_t> r(4096, 0);
  r[0] = 'I'; r[1] = 'N'; r[2] = 'D'; r[3] = 'X';
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
  auto ok = r;
  EXPECT_TRUE(checkIndexRecord(ok, 512, 8));
  EXPECT_EQ(le16(ok, 510), 0x101);
  EXPECT_EQ(le16(ok, 4094), 0x108);
  auto wrongCount = r;
  EXPECT_FALSE(checkIndexRecord(wrongCount, 512, 4));
  auto badFixup = r;
  writeLe<std::uint16_t>(badFixup, 1022, 0x0006);
  EXPECT_FALSE(checkIndexRecord(badFixup, 512, 8));
  auto tooLong = r;
  writeLe<std::uint32_t>(tooLong, 0x1C, 0xFF0);
  EXPECT_FALSE(checkIndexRecord(tooLong, 512, 8));
}

}  // namespace
}  // namespace ov::ntfs
