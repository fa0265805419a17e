#include "server/server_texts.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/wire.h"

namespace tavin {
namespace {

// The Chinese texts are GBK bytes in the binary; a build without the GBK
// execution character set fails here.
TEST(ServerTexts, ChineseTextsAreGbkBytes) {
  struct Case {
    std::string_view text;
    const char* hex;
  } cases[] = {
      {kMessageTooLong, "CF FB CF A2 B9 FD B3 A4"},
      {kMessageParseError, "CF FB CF A2 BD E2 CE F6 B4 ED CE F3"},
      {kClientTimedOut, "43 6C 69 65 6E 74 C1 AC BD D3 B3 AC CA B1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex);
    EXPECT_EQ(test::hex(std::string(c.text)), c.hex);
  }
}

}  // namespace
}  // namespace tavin
