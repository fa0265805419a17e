// The headless agent's standard output when its reader stalls (a stuck log
// collector, a pager left open): the agent serves on, the log file keeps
// every line, and standard output, once read again, says how many lines it
// dropped. A console's bytes never reach it as raw control bytes.
#include "tests/e2e/agent_fixture.h"
#include "tests/support/wire.h"

namespace tavin::e2e {
namespace {

using AgentOutput = AgentFixture;

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST_F(AgentOutput, AStalledReaderHoldsUpNothingAndIsToldWhatItMissed) {
  writeIni("");
  startAgent();
  agent().holdOutput(true);
  // Each of these messages has an unreadable checksum field: the agent shows
  // "消息解析错误" with the bytes it received (16 KB, a terminal's clear-screen
  // sequence among them) and closes the connection. Forty of them are more
  // than the pipe and the agent's queue for standard output hold together.
  const std::string bad = test::wire({"00=Tavin1.20", "01=C", "04=02", "12=1", "15=0", "38=abc"}) +
                          "\x1b[2J" + std::string(16000, 'y');
  constexpr int kBad = 40;
  for (int i = 0; i < kBad; ++i) {
    auto console = connectConsole();
    ASSERT_NE(console, nullptr);
    ASSERT_TRUE(console->send(bad));
    ASSERT_TRUE(console->waitClosed(5000)) << i;
  }
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  ASSERT_TRUE(console->send(consoleFrame("02", "7")));
  EXPECT_TRUE(console->receiveType("03", 5000).has_value());
  EXPECT_EQ(count(historyLog(), "消息解析错误00=Tavin1.20\x01"), static_cast<size_t>(kBad));

  agent().holdOutput(false);
  EXPECT_TRUE(agent().waitForOutput(" lines dropped here (the log file has them)", 10000));
  bool escaped = false;
  for (const std::string& line : agent().outputLines()) {
    for (char c : line) ASSERT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7f) << line;
    escaped |= line.find("^A38=abc^A^[[2Jyyy") != std::string::npos;
  }
  EXPECT_TRUE(escaped);
}

}  // namespace
}  // namespace tavin::e2e
