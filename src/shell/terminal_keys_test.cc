#include "shell/terminal_keys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavin {
namespace {

KeyPress key(KeyCode code) { return {code, 0}; }
KeyPress ch(char c) { return {KeyCode::kChar, c}; }

TEST(KeyDecoder, TurnsTerminalBytesIntoKeys) {
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<KeyPress> keys;
  };
  const Case cases[] = {
      {"letters", "sQ", {ch('s'), ch('Q')}},
      {"arrows (normal mode)", "\x1b[A\x1b[B", {key(KeyCode::kUp), key(KeyCode::kDown)}},
      {"arrows (application mode)", "\x1bOA\x1bOB", {key(KeyCode::kUp), key(KeyCode::kDown)}},
      {"paging", "\x1b[5~\x1b[6~", {key(KeyCode::kPageUp), key(KeyCode::kPageDown)}},
      {"home and end, both forms", "\x1b[H\x1b[F\x1b[1~\x1b[4~\x1bOH\x1b[7~\x1b[8~",
       {key(KeyCode::kHome), key(KeyCode::kEnd), key(KeyCode::kHome), key(KeyCode::kEnd),
        key(KeyCode::kHome), key(KeyCode::kHome), key(KeyCode::kEnd)}},
      {"a modifier does not change the key", "\x1b[5;5~\x1b[1;2A",
       {key(KeyCode::kPageUp), key(KeyCode::kUp)}},
      {"a lone escape ends the read", "\x1b", {key(KeyCode::kEscape)}},
      {"alt with a letter", "\x1by", {key(KeyCode::kEscape), ch('y')}},
      {"enter and ctrl-l", "\r\n\x0c",
       {key(KeyCode::kEnter), key(KeyCode::kEnter), key(KeyCode::kRedraw)}},
      {"keys of no use are dropped whole", "\x1b[C\x1b[200~x\x1b[2;3R",
       {ch('x')}},
      {"non-ASCII input and control bytes are no keys", "\xe6\x98\xaf\x01\x7fs", {ch('s')}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KeyDecoder decoder;
    EXPECT_EQ(decoder.feed(c.bytes), c.keys);
  }
}

TEST(KeyDecoder, CompletesASequenceSplitAcrossReads) {
  KeyDecoder decoder;
  EXPECT_TRUE(decoder.feed("s\x1b[").size() == 1);
  EXPECT_TRUE(decoder.feed("5").empty());
  EXPECT_EQ(decoder.feed("~q"), (std::vector<KeyPress>{key(KeyCode::kPageUp), ch('q')}));
}

TEST(KeyDecoder, ForgetsAnUnfinishedSequenceThatRunsTooLong) {
  KeyDecoder decoder;
  EXPECT_TRUE(decoder.feed("\x1b[" + std::string(40, '1')).empty());
  EXPECT_EQ(decoder.feed("y"), std::vector<KeyPress>{ch('y')});
}

}  // namespace
}  // namespace tavin
