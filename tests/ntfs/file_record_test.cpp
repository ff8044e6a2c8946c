#include "ntfs/file_record.h"

#include <gtest/gtest.h>

#include "tests/ntfs/ntfs_builders.h"

namespace ov::ntfs {
namespace {

using test::RecordBuilder;

std::vector<std::uint8_t> plainRecord(std::uint16_t usOffset = 48, std::uint16_t usCount = 3, std::uint16_t first = 56) {
  return RecordBuilder(1024, usOffset, usCount, first).standardInformation(1, 1).fileName(u"a.txt").finish();
}

TEST(FileRecordCheck, AcceptsA1024ByteRecordWithOffset48AndCount3) {
  auto r = plainRecord();
  EXPECT_TRUE(checkFileRecord(r, 1024, 512));
}

TEST(FileRecordCheck, RefusesACountThatDoesNotMatchTheSectors) {
  auto r = RecordBuilder(1024, 48, 2, 56).standardInformation(1, 1).finish();
  EXPECT_FALSE(checkFileRecord(r, 1024, 512));
}

TEST(FileRecordCheck, FirstAttributeOffsetRule) {
  auto ok42 = RecordBuilder(1024, 42, 3, 48).standardInformation(1, 1).finish();
  EXPECT_TRUE(checkFileRecord(ok42, 1024, 512));
  auto bad48 = RecordBuilder(1024, 48, 3, 48).standardInformation(1, 1).finish();
  EXPECT_FALSE(checkFileRecord(bad48, 1024, 512));
  auto bad42 = RecordBuilder(1024, 42, 3, 56).standardInformation(1, 1).finish();
  EXPECT_FALSE(checkFileRecord(bad42, 1024, 512));
}

TEST(FileRecordCheck, FixupsRestoreTheSectorEnds) {
  RecordBuilder b;
  b.standardInformation(1, 1).fileName(u"x");
  auto r = b.finish(512, 1024);  // all of the record in use
  auto original510 = le16(r, 0x30 + 2);
  EXPECT_EQ(le16(r, 510), 0x0007);
  ASSERT_TRUE(checkFileRecord(r, 1024, 512));
  EXPECT_EQ(le16(r, 510), original510);
}

TEST(FileRecordCheck, OnlySectorEndsWithinTheBytesInUseAreFixed) {
  RecordBuilder b;
  b.standardInformation(1, 1);
  auto r = b.finish(512, 600);  // ends inside the second sector
  writeLe<std::uint16_t>(r, 1022, 0xBEEF);  // not the sequence number, but beyond the bytes in use
  ASSERT_TRUE(checkFileRecord(r, 1024, 512));
  EXPECT_EQ(le16(r, 1022), 0xBEEF);
  EXPECT_NE(le16(r, 510), 0x0007);
}

TEST(FileRecordCheck, RefusesAFixupMismatch) {
  auto r = RecordBuilder().standardInformation(1, 1).finish(512, 1024);
  auto intact = r;
  EXPECT_TRUE(checkFileRecord(intact, 1024, 512));
  writeLe<std::uint16_t>(r, 510, 0x1234);
  EXPECT_FALSE(checkFileRecord(r, 1024, 512));
}

TEST(FileRecordCheck, RefusesBadHeaders) {
  auto check = [](auto change) {
    auto r = plainRecord();
    change(r);
    return checkFileRecord(r, 1024, 512);
  };
  EXPECT_FALSE(check([](auto& r) { r[0] = 'B'; }));
  EXPECT_FALSE(check([](auto& r) { writeLe<std::uint16_t>(r, 4, 40); }));
  EXPECT_FALSE(check([](auto& r) { writeLe<std::uint32_t>(r, 0x18, 2000); }));  // in use > allocated
  EXPECT_FALSE(check([](auto& r) { writeLe<std::uint32_t>(r, 0x1C, 2048); }));  // allocated != record size
  EXPECT_FALSE(check([](auto& r) { writeLe<std::uint32_t>(r, 0x18, 0x101); }));  // not a multiple of 8
  auto r = plainRecord();
  EXPECT_FALSE(checkFileRecord(r, 1024, 0));
  EXPECT_FALSE(checkFileRecord(MutableBytes(r.data(), 512), 1024, 512));  // buffer shorter than the record
}

TEST(FileRecordCheck, RefusesBadAttributes) {
  auto withRaw = [](std::uint32_t type, std::uint32_t length, std::uint8_t nonResident) {
    RecordBuilder b;
    b.standardInformation(1, 1).rawAttribute(type, length, nonResident);
    auto r = b.finish();
    return checkFileRecord(r, 1024, 512);
  };
  EXPECT_FALSE(withRaw(0x15, 0x18, 0));    // type not a multiple of 0x10
  EXPECT_FALSE(withRaw(0x110, 0x18, 0));   // above 0x100
  EXPECT_TRUE(withRaw(0x100, 0x18, 0));
  EXPECT_FALSE(withRaw(0x80, 0, 0));       // zero length
  EXPECT_FALSE(withRaw(0x80, 0x1C, 0));    // length not a multiple of 8
  EXPECT_FALSE(withRaw(0x80, 0x48, 2));    // non-resident flag must be exactly 1
  RecordBuilder b;
  b.standardInformation(1, 1).nonResident(0x80, 0, 4096, 4096, 4096, 1, 4);
  auto r = b.finish();
  std::size_t data = 56 + 0x60;
  writeLe<std::uint16_t>(r, data + 0x20, 0x50);  // run list said to start past the attribute's end
  EXPECT_FALSE(checkFileRecord(r, 1024, 512));
}

TEST(FileRecordCheck, StandardInformationMustBeResidentAndValuesInside) {
  auto nonResidentSi = RecordBuilder().rawAttribute(0x10, 0x48, 1).finish();
  EXPECT_FALSE(checkFileRecord(nonResidentSi, 1024, 512));
  RecordBuilder b;
  b.standardInformation(1, 1);
  auto r = b.finish();
  writeLe<std::uint32_t>(r, 56 + 0x10, 0x1000);  // value length beyond the attribute
  EXPECT_FALSE(checkFileRecord(r, 1024, 512));
}

TEST(FileRecordCheck, NeedsAtLeastOneAttribute) {
  auto r = RecordBuilder().finish();
  EXPECT_FALSE(checkFileRecord(r, 1024, 512));
}

TEST(FirstRecords, RecogniseTheMftAndTheMirror) {
  auto mft = RecordBuilder::firstMftRecord(u"$MFT");
  auto copy = mft;
  EXPECT_TRUE(isFirstMftRecord(mft, 1024, 512));
  EXPECT_FALSE(isFirstMirrorRecord(copy, 1024, 512));
  auto mirror = RecordBuilder::firstMftRecord(u"$MFTMirr");
  auto mirrorCopy = mirror;
  EXPECT_TRUE(isFirstMirrorRecord(mirror, 1024, 512));
  EXPECT_FALSE(isFirstMftRecord(mirrorCopy, 1024, 512));
}

TEST(FirstRecords, NeedFourEqualTimesAndTheExactName) {
  auto times = RecordBuilder::firstMftRecord(u"$MFT", 42, 43);
  EXPECT_FALSE(isFirstMftRecord(times, 1024, 512));
  auto longer = RecordBuilder::firstMftRecord(u"$MFTX");
  EXPECT_FALSE(isFirstMftRecord(longer, 1024, 512));
  // A type above 0x80 before the data ends the walk without success.
  RecordBuilder b;
  b.standardInformation(5, 5).fileName(u"$MFT").rawAttribute(0x90, 0x18).nonResident(0x80, 0, 4096, 4096, 4096, 1, 4);
  auto r = b.finish();
  EXPECT_FALSE(isFirstMftRecord(r, 1024, 512));
}

TEST(FirstRunCluster, SignExtendsTheOffset) {
  RecordBuilder b;
  b.standardInformation(1, 1).nonResident(0x80, 0, 4096, 4096, 4096, 1, 0xFFFE);
  auto r = b.finish();
  ASSERT_TRUE(checkFileRecord(r, 1024, 512));
  AttributeWalk walk(r);
  walk.next();
  auto data = walk.next();
  ASSERT_TRUE(data);
  EXPECT_EQ(firstRunCluster(r, *data), static_cast<std::uint64_t>(-2));
}

}  // namespace
}  // namespace ov::ntfs
