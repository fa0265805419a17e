#include "platform/text.h"

#include <gtest/gtest.h>

#include "platform/gbk.h"

namespace platform {
namespace {

// The expected values are spelled as bytes: the literals of this file are
// compiled to GBK.
const std::string kGbkProgram1 = "\xBC\xE0\xBF\xD8\xB3\xCC\xD0\xF2\x31";  // 监控程序1
const std::string kUtf8Program1 = "\xE7\x9B\x91\xE6\x8E\xA7\xE7\xA8\x8B\xE5\xBA\x8F\x31";

TEST(Text, GbkAndUtf8RoundTrip) {
  EXPECT_EQ(gbkToUtf8(kGbkProgram1), kUtf8Program1);
  EXPECT_EQ(utf8ToGbk(kUtf8Program1), kGbkProgram1);
  EXPECT_EQ(gbkToUtf8("plain ascii"), "plain ascii");
  EXPECT_EQ(gbkToUtf8(""), "");
}

TEST(Text, WideForms) {
  const std::wstring wide = gbkToWide(kGbkProgram1);
  ASSERT_EQ(wide.size(), 5u);
  EXPECT_EQ(wide[0], L'\x76D1');
  EXPECT_EQ(wide[4], L'1');
  EXPECT_EQ(wideToGbk(wide), kGbkProgram1);
}

TEST(Text, InvalidBytesAreReplacedNotDropped) {
  // A lead byte at the end has no second byte.
  const std::string out = gbkToUtf8("ab\xBC");
  EXPECT_EQ(out.substr(0, 2), "ab");
  EXPECT_GT(out.size(), 2u);
}

// Where the system has no converter for GBK: ASCII stays, every other
// character becomes one U+FFFD, whole or cut off at the end.
TEST(Text, WithoutATableAsciiStaysAndEveryOtherCharacterIsReplaced) {
  EXPECT_EQ(gbkAsciiOnly("a" + kGbkProgram1 + "\x80z\xBC"),
            U"a\xFFFD\xFFFD\xFFFD\xFFFD" U"1\xFFFDz\xFFFD");
  // A lead byte before a byte that cannot follow it stands alone.
  EXPECT_EQ(gbkAsciiOnly("\xBC\x7F"), U"\xFFFD\x7F");
}

}  // namespace
}  // namespace platform
