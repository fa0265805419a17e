// Pins the bytes of a few literals: a build without -fexec-charset=GBK
// produces UTF-8 here and fails.
#include <gtest/gtest.h>

#include <string>

#include "codec/codec_texts.h"
#include "tests/support/wire.h"

namespace tavin {
namespace {

TEST(GbkLiterals, ChineseTextsAreGbkBytes) {
  EXPECT_EQ(test::hex(std::string(kProgram1Name)), "BC E0 BF D8 B3 CC D0 F2 31");
  EXPECT_EQ(test::hex(std::string(kStatusUnknown)), "CE B4 D6 AA");
  EXPECT_EQ(test::hex(std::string(kStatusRunning)), "D4 CB D0 D0");
  EXPECT_EQ(test::hex("，"), "A3 AC");
}

}  // namespace
}  // namespace tavin
