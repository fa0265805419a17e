// The system-log push of the real agent over a slow link (a rate-limited
// loopback in a network namespace of the test's own): a backlog flows at the
// link's rate, whole and in order; a console that pauses gets every line from
// where it stopped; a console that never reads is dropped at the outbound
// bound, and the lines it never got go to the next console. On loopback and
// over the slow link: a console reset in the middle of a backlog is followed
// by one that starts no later than the first line the first one's host had
// not received. On loopback: an agent stopped or killed and started again
// goes on where the console's host stopped acknowledging, and a position it
// cannot use or keep leaves it starting behind the last separator; a line
// written in two parts comes whole.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/agent_fixture.h"
#include "tests/e2e/slow_link.h"

namespace tavin::e2e {
namespace {

constexpr int kLinkKbit = 4000;
constexpr int kAnswerMs = 15000;

std::string today() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buffer[16];
  std::strftime(buffer, sizeof buffer, "%Y%m%d", &tm);
  return buffer;
}

const std::string kSeparatorLine = std::string(20, '-') + "\r\n";

// count lines of 100 bytes each (CR LF included), numbered from first.
std::string logLines(int count, int first = 1) {
  std::string text;
  text.reserve(static_cast<size_t>(count) * 100);
  char head[32];
  for (int n = first; n < first + count; ++n) {
    std::snprintf(head, sizeof head, "line %06d ", n);
    text += head;
    text.append(100 - 2 - std::string(head).size(), 'x');
    text += "\r\n";
  }
  return text;
}

// What a console has received of the log: the numbers of the lines, in the
// order they came, and the bytes of the messages that carried them.
struct Received {
  std::vector<int> lines;
  size_t bytes = 0;
};

// Takes the log lines out of one type "13" message: entries
// "<program> <n> line <n> xxx...\r\n" closed by 0x02.
void takeLines(const ReceivedMessage& message, Received* into) {
  const std::string sysLog = message.message->body()->getValue("sysLog");
  into->bytes += message.frame.size();
  size_t start = 0;
  size_t end;
  while ((end = sysLog.find('\x02', start)) != std::string::npos) {
    const std::string entry = sysLog.substr(start, end - start);
    const size_t at = entry.find(" line ");
    if (at != std::string::npos) into->lines.push_back(std::stoi(entry.substr(at + 6, 6)));
    start = end + 1;
  }
}

// Whether lines holds first, first + 1, ..., last and nothing else.
::testing::AssertionResult consecutive(const std::vector<int>& lines, int first, int last) {
  if (lines.size() != static_cast<size_t>(last - first + 1)) {
    return ::testing::AssertionFailure()
           << lines.size() << " lines, expected " << (last - first + 1) << " (" << first << " to "
           << last << ")";
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != first + static_cast<int>(i)) {
      return ::testing::AssertionFailure()
             << "line " << lines[i] << " where " << (first + static_cast<int>(i)) << " belongs";
    }
  }
  return ::testing::AssertionSuccess();
}

// The number of the last line whose entry lies whole in bytes of the wire
// (the entries of a message still arriving included); 0 for none.
int lastWholeLine(const std::string& bytes) {
  int last = 0;
  size_t start = 0;
  size_t end;
  while ((end = bytes.find('\x02', start)) != std::string::npos) {
    const size_t at = bytes.rfind(" line ", end);
    if (at != std::string::npos && at >= start) last = std::stoi(bytes.substr(at + 6, 6));
    start = end + 1;
  }
  return last;
}

// An agent with a backlog in program 1's log, and consoles that read it;
// over a slow link when the test makes one.
class BacklogFixture : public AgentFixture {
 protected:
  // Makes the slow link, or skips the test where it cannot be made (from
  // SetUp: the test's body does not run then).
  void makeSlowLink() {
    std::string whyNot;
    link_ = SlowLink::create(kLinkKbit, &whyNot);
    if (!link_) GTEST_SKIP() << whyNot;
  }
  // Stopped while the link lives: the agent runs in its namespace.
  void TearDown() override { stopAgent(); }

  // Program 1 monitored (200 trading units: a status answer is some 33 KB),
  // with count lines already in today's log.
  void startWithBacklog(int count) {
    writeFile("Tavin_ASHR.exe", "");
    writeProgramOneUnits(200);
    writeFile("logs/sys1/system" + today() + ".log", logLines(count));
    writeIni("[Program]\r\n监控程序1=Y\r\n监控程序1_SYSLOGDIR=sys1\r\n");
    startAgent();
  }

  // Reads log lines until the console has `until` lines, or no line comes
  // for kAnswerMs. Sends a heartbeat now and then, so the agent keeps it.
  static bool readLines(ConsoleConnection& console, Received* into, size_t until) {
    using std::chrono::steady_clock;
    auto lastBeat = steady_clock::now();
    auto lastLine = steady_clock::now();
    while (into->lines.size() < until) {
      if (steady_clock::now() - lastLine > std::chrono::milliseconds(kAnswerMs)) return false;
      auto message = console.receive(kAnswerMs);
      if (!message) return false;
      if (message->message->getMessageType() == "13") {
        takeLines(*message, into);
        lastLine = steady_clock::now();
      }
      if (steady_clock::now() - lastBeat > std::chrono::seconds(5)) {
        lastBeat = steady_clock::now();
        if (!console.send(consoleFrame("12", "1"))) return false;
      }
    }
    return true;
  }

  const SlowLink& link() const { return *link_; }

  std::string todaysLog() const { return "logs/sys1/system" + today() + ".log"; }
  // Starts the agent again after it ended, and waits for its start-up to end.
  void restartAgent(int starts) {
    startAgent();
    ASSERT_TRUE(waitForHistoryCount("Hostname: ", starts, underWine() ? 60000 : 10000));
  }

 private:
  std::unique_ptr<SlowLink> link_;
};

class RateLimitedLink : public BacklogFixture {
 protected:
  void SetUp() override { makeSlowLink(); }
};

TEST_F(RateLimitedLink, ABacklogReachesTheConsoleWholeInOrderAtTheLinksRate) {
  constexpr int kLines = 40000;
  startWithBacklog(kLines);
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  Received received;
  // The first message: the first pass has started.
  ASSERT_TRUE(readLines(*console, &received, 1));
  const auto firstMessage = std::chrono::steady_clock::now();
  const size_t firstBytes = received.bytes;
  ASSERT_TRUE(readLines(*console, &received, kLines)) << received.lines.size() << " lines arrived";
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - firstMessage).count();
  EXPECT_TRUE(consecutive(received.lines, 1, kLines));
  const double rate = (received.bytes - firstBytes) / seconds;
  // In the XML or JSON report (--gtest_output), for the record.
  RecordProperty("bytes_per_second", static_cast<int>(rate));
  RecordProperty("link_bytes_per_second", static_cast<int>(link().bytesPerSecond()));
  EXPECT_GE(rate, 0.8 * link().bytesPerSecond())
      << (received.bytes - firstBytes) << " bytes in " << seconds << " s";
  EXPECT_EQ(historyLog().find("disconnected"), std::string::npos);
}

TEST_F(RateLimitedLink, AConsoleThatPausesGetsEveryLineFromWhereItStopped) {
  constexpr int kLines = 20000;
  startWithBacklog(kLines);
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  Received received;
  ASSERT_TRUE(readLines(*console, &received, 3000));
  // Reads nothing for a while: the agent's buffers fill, then it waits.
  std::this_thread::sleep_for(std::chrono::seconds(8));
  ASSERT_TRUE(console->send(consoleFrame("12", "1")));
  ASSERT_TRUE(readLines(*console, &received, kLines)) << received.lines.size() << " lines arrived";
  EXPECT_TRUE(consecutive(received.lines, 1, kLines));
  EXPECT_FALSE(console->closed());
}

TEST_F(RateLimitedLink, AConsoleThatNeverReadsIsDroppedAndTheNextGetsWhatItMissed) {
  constexpr int kLines = 20000;
  startWithBacklog(kLines);
  ConsoleConnection deaf;
  ASSERT_TRUE(deaf.connect(port(), 5000, 4096));
  // Answers (some 3 MB) pile up behind the log lines until the outbound bound.
  std::string requests;
  for (int i = 1; i <= 100; ++i) requests += consoleFrame("02", std::to_string(i));
  ASSERT_TRUE(deaf.send(requests));
  ASSERT_TRUE(waitForHistory("Client 127.0.0.1 is not reading, send buffer full; disconnected",
                             60000));
  // What the agent wrote before it gave up still reaches this console.
  Received got;
  while (auto message = deaf.receive(kAnswerMs)) {
    if (message->message->getMessageType() == "13") takeLines(*message, &got);
  }
  ASSERT_TRUE(got.lines.empty() || consecutive(got.lines, 1, static_cast<int>(got.lines.size())));

  auto next = connectConsole();
  ASSERT_NE(next, nullptr);
  Received rest;
  ASSERT_TRUE(readLines(*next, &rest, 1)) << got.lines.size() << " lines before";
  // The next console starts no later than the first line the deaf one never
  // got, and gets every line from there.
  const int first = rest.lines.front();
  EXPECT_LE(first, static_cast<int>(got.lines.size()) + 1);
  ASSERT_TRUE(readLines(*next, &rest, static_cast<size_t>(kLines - first + 1)))
      << rest.lines.size() << " lines arrived";
  EXPECT_TRUE(consecutive(rest.lines, first, kLines));
}

struct ResetCase {
  const char* name;
  bool slowLink;
  bool readHeld;  // the console reads what its host holds, then is reset
};

class ConsoleReset : public BacklogFixture, public ::testing::WithParamInterface<ResetCase> {
 protected:
  void SetUp() override {
    if (GetParam().slowLink) makeSlowLink();
  }
};

// A console stops reading in the middle of a backlog and is reset, as a hung
// console that is restarted: what its host acknowledged but the console never
// read is lost with it (beyond the agent's knowledge), everything else is
// read again for the next console, which gets its first line within a pass.
TEST_P(ConsoleReset, TheNextConsoleStartsNoLaterThanTheFirstLineTheFirstHostLacked) {
  constexpr int kLines = 60000;
  startWithBacklog(kLines);
  ConsoleConnection first;
  // A small receive buffer: the window the agent fills closes soon.
  ASSERT_TRUE(first.connect(port(), 5000, 16384));
  Received got;
  ASSERT_TRUE(readLines(first, &got, 2000));
  // Stops reading: the agent fills the window and its own buffers, and waits.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  if (GetParam().readHeld) {
    // Reads what its host holds, no more; the agent writes into the window
    // that opens, until it is full again.
    const size_t holding = first.held().size();
    for (size_t taken = 0; taken < holding;) {
      auto message = first.receive(kAnswerMs);
      ASSERT_TRUE(message.has_value());
      if (message->message->getMessageType() == "13") takeLines(*message, &got);
      taken += message->frame.size();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  const int hostLast = std::max(got.lines.back(), lastWholeLine(first.held()));
  first.reset();
  // Until the agent has seen the reset, a second console would be refused.
  ASSERT_TRUE(waitForHistory("Client 127.0.0.1 lost", kAnswerMs));

  auto next = connectConsole();
  ASSERT_NE(next, nullptr);
  const auto connected = std::chrono::steady_clock::now();
  Received rest;
  ASSERT_TRUE(readLines(*next, &rest, 1));
  const auto wait = std::chrono::steady_clock::now() - connected;
  EXPECT_LT(wait, std::chrono::milliseconds(3000 + 2000)) << "one pass, and a margin";
  const int start = rest.lines.front();
  EXPECT_LE(start, hostLast + 1) << "lines " << hostLast + 1 << " to " << start - 1 << " lost";
  RecordProperty("lines_sent_again", hostLast + 1 - start);
  ASSERT_TRUE(readLines(*next, &rest, 3000));
  EXPECT_TRUE(consecutive(rest.lines, start, start + static_cast<int>(rest.lines.size()) - 1));
}

INSTANTIATE_TEST_SUITE_P(
    LoopbackAndSlowLink, ConsoleReset,
    ::testing::Values(ResetCase{"Loopback", false, false},
                      ResetCase{"LoopbackAfterReadingWhatTheHostHeld", false, true},
                      ResetCase{"SlowLink", true, false},
                      ResetCase{"SlowLinkAfterReadingWhatTheHostHeld", true, true}),
    [](const ::testing::TestParamInfo<ResetCase>& info) { return info.param.name; });


struct RestartCase {
  const char* name;
  bool killed;  // SIGKILL, else SIGTERM (the confirmed exit)
  bool newRun;  // while it is down, the program begins a new run (a separator)
};

class AgentRestart : public BacklogFixture, public ::testing::WithParamInterface<RestartCase> {};

// The agent ends while a console reads, lines are written while it is down,
// and it starts again: the next console gets every line from where the
// first console's host stopped acknowledging, a new run's lines too, and
// nothing is skipped. After the confirmed exit at most one message comes
// again; after a kill, only lines the first console got in the last two
// seconds (the position is kept once a second).
TEST_P(AgentRestart, TheNextConsoleGoesOnWhereTheLastHostStopped) {
  using std::chrono::steady_clock;
  if (!GetParam().killed && underWine()) GTEST_SKIP() << "SIGTERM is no window's exit";
  constexpr int kBacklog = 3000;
  startWithBacklog(kBacklog);
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  Received first;
  ASSERT_TRUE(readLines(*console, &first, kBacklog));
  std::map<int, steady_clock::time_point> arrived;
  int written = kBacklog;
  steady_clock::time_point ended;
  if (GetParam().killed) {
    // Lines go on coming, 20 every 20 ms, until the kill (a failed assertion
    // ends the test only once the writer has ended: jthread).
    std::atomic<int> appended{kBacklog};
    std::jthread writer([&] {
      for (int i = 0; i < 100; ++i) {
        appendFile(todaysLog(), logLines(20, appended + 1));
        appended += 20;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
    while (first.lines.size() < 1500 + static_cast<size_t>(kBacklog)) {
      auto message = console->receive(kAnswerMs);
      ASSERT_TRUE(message.has_value());
      if (message->message->getMessageType() != "13") continue;
      const size_t before = first.lines.size();
      takeLines(*message, &first);
      for (size_t i = before; i < first.lines.size(); ++i) arrived[first.lines[i]] = steady_clock::now();
    }
    agent().sendSignal(SIGKILL);
    ended = steady_clock::now();
    writer.join();
    written = appended;
    // What the console's host had when the agent died counts as arrived then.
    while (auto message = console->receive(1000)) {
      if (message->message->getMessageType() == "13") takeLines(*message, &first);
    }
  } else {
    agent().sendSignal(SIGTERM);
  }
  ASSERT_TRUE(agent().waitForExit(kAnswerMs).has_value());
  const int lastGot = first.lines.back();

  appendFile(todaysLog(), logLines(500, written + 1));
  if (GetParam().newRun) appendFile(todaysLog(), kSeparatorLine + logLines(500, written + 501));
  const int last = written + (GetParam().newRun ? 1000 : 500);
  restartAgent(2);
  // The resume line follows the host-name line; it may reach the file a moment later.
  EXPECT_TRUE(waitForHistory("监控程序1 system log: resuming at line ", kAnswerMs)) << historyLog();
  auto next = connectConsole();
  ASSERT_NE(next, nullptr);
  Received rest;
  ASSERT_TRUE(readLines(*next, &rest, 1));
  const int start = rest.lines.front();
  ASSERT_TRUE(readLines(*next, &rest, static_cast<size_t>(last - start + 1)))
      << rest.lines.size() << " lines arrived";
  EXPECT_TRUE(consecutive(rest.lines, start, last));
  EXPECT_LE(start, lastGot + 1) << "lines " << lastGot + 1 << " to " << start - 1 << " lost";
  RecordProperty("lines_sent_again", lastGot + 1 - start);
  if (!GetParam().killed) {
    EXPECT_LE(lastGot + 1 - start, 20) << "more than one message again";
    return;
  }
  for (int n = start; n <= lastGot; ++n) {
    const auto at = arrived.find(n);
    const auto when = at != arrived.end() ? at->second : ended;
    EXPECT_GE(when, ended - std::chrono::seconds(2)) << "line " << n << " came again";
    if (when < ended - std::chrono::seconds(2)) break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    StoppedAndKilled, AgentRestart,
    ::testing::Values(RestartCase{"Stopped", false, false},
                      RestartCase{"StoppedThenANewRun", false, true},
                      RestartCase{"Killed", true, false},
                      RestartCase{"KilledThenANewRun", true, true}),
    [](const ::testing::TestParamInfo<RestartCase>& info) { return info.param.name; });

// A kept position that cannot be used (none, a file that is not one, one of
// another file, one past the file's end) leaves the agent starting behind
// the last separator, with a line saying why; one that cannot be written
// leaves it serving, with a line saying so.
TEST_F(BacklogFixture, AKeptPositionThatCannotBeUsedOrKeptChangesNothingElse) {
  const char sep = underWine() ? '\\' : '/';
  const std::string log = std::string(".") + sep + "logs" + sep + "sys1" + sep + "system" +
                          today() + ".log";
  const auto state = [&](const std::string& file, int offset) {
    return "[TavinMonitorAgent]\r\nversion=1\r\nreading=0\r\n[监控程序1]\r\nfile=" + file +
           "\r\ndate=" + today() + "\r\noffset=" + std::to_string(offset) +
           "\r\nline=1\r\nentered=top\r\n";
  };
  struct Case {
    const char* name;
    std::string content;  // of the state file; empty: none
    bool unwritable;      // a directory stands where the new state file goes
    std::string line;     // a part of the history line
  };
  const Case cases[] = {
      {"none", "", false, "starting behind the last separator of today's file: no position kept in"},
      {"garbage", "garbage", false, "TavinMonitorAgent.state cannot be used: no [TavinMonitorAgent]"},
      {"another file", state(log + ".old", 100), false, "the kept position is of another file"},
      {"past the end", state(log, 100000), false, "is shorter than the kept position"},
      {"unwritable", "", true, "Cannot keep the system-log read positions in "},
  };
  int starts = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(path("TavinMonitorAgent.state.new"));
    std::filesystem::remove(path("TavinMonitorAgent.state"));
    if (!c.content.empty()) writeFile("TavinMonitorAgent.state", c.content);
    if (c.unwritable) writeFile("TavinMonitorAgent.state.new/x", "");
    writeFile("Tavin_ASHR.exe", "");
    writeFile(todaysLog(), logLines(2) + kSeparatorLine + logLines(2, 3));
    writeIni("[Program]\r\n监控程序1=Y\r\n监控程序1_SYSLOGDIR=sys1\r\n");
    if (starts == 0) {
      startAgent();
      ++starts;
    } else {
      restartAgent(++starts);
    }
    auto console = connectConsole();
    ASSERT_NE(console, nullptr);
    Received got;
    ASSERT_TRUE(readLines(*console, &got, 2));
    EXPECT_TRUE(consecutive(got.lines, 3, 4));
    EXPECT_TRUE(waitForHistoryCount(c.line, 1, kAnswerMs)) << historyLog();
    console.reset();
    stopAgent();
  }
}

// A line caught while the program writes it comes as one entry, whole.
TEST_F(BacklogFixture, ALineWrittenInTwoPartsComesWhole) {
  startWithBacklog(1);
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  Received got;
  ASSERT_TRUE(readLines(*console, &got, 1));
  const std::string line = logLines(1, 2);
  appendFile(todaysLog(), line.substr(0, 40));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  appendFile(todaysLog(), line.substr(40));
  auto push = console->receiveType("13", kAnswerMs);
  ASSERT_TRUE(push.has_value());
  EXPECT_EQ(push->message->body()->getValue("sysLog"), "监控程序1 2 " + line + "\x02");
}

}  // namespace
}  // namespace tavin::e2e
