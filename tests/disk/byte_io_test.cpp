#include "disk/byte_io.h"

#include <gtest/gtest.h>

namespace ov {
namespace {

TEST(ByteIo, ReadsLittleEndianAndYieldsZeroPastTheEnd) {
  std::vector<std::uint8_t> b = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  EXPECT_EQ(le16(b, 0), 0x0201);
  EXPECT_EQ(le32(b, 4), 0x08070605u);
  EXPECT_EQ(le64(b, 0), 0x0807060504030201ull);
  EXPECT_EQ(le32(b, 6), 0u);
  EXPECT_EQ(le16(b, SIZE_MAX), 0);
}

TEST(ByteIo, ReaderTurnsNotOkPastTheEnd) {
  std::vector<std::uint8_t> b = {1, 0, 0, 0, 2};
  ByteReader r(b);
  EXPECT_EQ(r.u32(), 1u);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.u16(), 0);
  EXPECT_FALSE(r.ok());
}

TEST(ByteIo, Utf16RoundTripWithSurrogatesAndBadInput) {
  std::u16string s = u"Fotos \u00e9t\u00e9 \U0001F600";
  EXPECT_EQ(utf8ToUtf16(utf16ToUtf8(s)), s);
  EXPECT_EQ(utf16ToUtf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
  EXPECT_EQ(utf8ToUtf16("\xE2\x82"), u"\uFFFD");
}

}  // namespace
}  // namespace ov
