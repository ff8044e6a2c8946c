#include "disk/byte_io.h"

#include <gtest/gtest.h>

namespace ov {
namespace {

// Every decoder relies on these: reads past the end give zeros or a reader that is no longer ok,
// and bad UTF-16 or UTF-8 gives replacement characters.
TEST(ByteIo, PastTheEndAndBadTextAreSafe) {
  std::vector<std::uint8_t> b = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  EXPECT_EQ(le64(b, 0), 0x0807060504030201ull);
  EXPECT_EQ(le32(b, 6), 0u);
  EXPECT_EQ(le16(b, SIZE_MAX), 0);
  ByteReader r(Bytes(b.data(), 5));
  EXPECT_EQ(r.u32(), 0x04030201u);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.u16(), 0);
  EXPECT_FALSE(r.ok());
  const std::u16string s = u"Fotos \u00e9t\u00e9 \U0001F600";
  EXPECT_EQ(utf8ToUtf16(utf16ToUtf8(s)), s);
  EXPECT_EQ(utf16ToUtf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
  EXPECT_EQ(utf8ToUtf16("\xE2\x82"), u"\uFFFD");
}

}  // namespace
}  // namespace ov
