#include "codec/numbers.h"

#include <gtest/gtest.h>

#include "codec/errors.h"

namespace tavin {
namespace {

TEST(Numbers, LengthAcceptsOnlyPlainNonNegative32BitDecimals) {
  EXPECT_EQ(parseLength("0"), 0);
  EXPECT_EQ(parseLength("20480"), 20480);
  EXPECT_EQ(parseLength("007"), 7);
  EXPECT_EQ(parseLength("2147483647"), 2147483647);
  for (const char* bad : {"", "-1", "+1", " 1", "1 ", "2147483648", "99999999999", "1a", "0x10"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(parseLength(bad), ConversionError);
  }
  try {
    parseLength("-5");
    FAIL();
  } catch (const ConversionError& e) {
    EXPECT_STREQ(e.what(), "'-5' is not a valid integer value");
  }
}

TEST(Numbers, Int32TakesBlanksAndSignButNothingAfterTheDigits) {
  EXPECT_EQ(parseInt32("  -12"), -12);
  EXPECT_EQ(parseInt32("+7"), 7);
  EXPECT_EQ(parseInt32("010"), 10);
  EXPECT_EQ(parseInt32("-2147483648"), INT32_MIN);
  for (const char* bad : {"", " ", "-", "1.5", "12 ", "abc", "2147483648", "-2147483649",
                          "123456789012345678901234567890"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(parseInt32(bad).has_value());
  }
  EXPECT_THROW(toInt32("x"), ConversionError);
}

TEST(Numbers, LeadingIntegerReadsLikeAtolAndSaturates) {
  EXPECT_EQ(leadingInteger("02"), 2);
  EXPECT_EQ(leadingInteger("  002xyz"), 2);
  EXPECT_EQ(leadingInteger("-13"), -13);
  EXPECT_EQ(leadingInteger(""), 0);
  EXPECT_EQ(leadingInteger("abc"), 0);
  EXPECT_EQ(leadingInteger("99999999999999999999999"), INT64_MAX);
  EXPECT_EQ(leadingInteger("-99999999999999999999999"), INT64_MIN);
}

}  // namespace
}  // namespace tavin
