#include "platform/gbk.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(Gbk, FoldsAsciiLettersAndStepsOverTwoByteCharacters) {
  struct Case {
    std::string a;
    std::string b;
    bool equal;
  };
  const Case cases[] = {
      {"Tavin_ASHR.exe", "tavin_ashr.EXE", true},
      {"监控程序1", "监控程序1", true},
      {"\xB0\x61", "\xB0\x41", false},  // second bytes that look like letters
      {"\xB0\x61x", "\xB0\x61X", true},
      {"abc", "abcd", false},
      {"", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.a + " / " + c.b);
    EXPECT_EQ(equalsIgnoreAsciiCaseGbk(c.a, c.b), c.equal);
  }
  EXPECT_EQ(asciiUpperGbk("a\xB0\x61z"), "A\xB0\x61Z");
}

TEST(Gbk, FindsOnlyWholeCharacters) {
  EXPECT_EQ(findGbkChar("\x81\x5C\\", '\\'), 2u);
  EXPECT_EQ(findGbkChar("\x81\x5D", ']'), std::string_view::npos);
  EXPECT_EQ(findGbkChar("a]b]", ']', 2), 3u);
}

}  // namespace
}  // namespace platform
