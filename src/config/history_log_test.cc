#include "config/history_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <thread>

#include "platform/files.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_dir.h"

namespace tavin {
namespace {

const std::string kSep(1, platform::pathSeparator());

std::vector<std::string> splitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  for (size_t end; (end = text.find("\r\n", pos)) != std::string::npos; pos = end + 2) {
    lines.push_back(text.substr(pos, end - pos));
  }
  EXPECT_EQ(pos, text.size()) << "text after the last CR LF";
  return lines;
}

std::string readAll(const std::string& path) {
  std::string text;
  EXPECT_TRUE(platform::readFile(path, &text).isOk()) << path;
  return text;
}

TEST(HistoryLog, DailyFileNameGoesInTheFileNamePart) {
  const std::string stamp = "2026-03-09 07:05:02 ";
  struct Case {
    std::string name;
    std::string daily;
  };
  const Case cases[] = {
      {"." + kSep + "logs" + kSep + "TavinMonitorAgent.log",
       "." + kSep + "logs" + kSep + "TavinMonitorAgent_2026-03-09.log"},
      {"agentlog", "_2026-03-09agentlog"},
      {"." + kSep + "logs" + kSep + "agentlog", "." + kSep + "logs" + kSep + "_2026-03-09agentlog"},
      {"a.b.log", "a.b_2026-03-09.log"},
      {"", "_2026-03-09"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(HistoryLog::dailyFileName(c.name, stamp), c.daily);
  }
}

TEST(HistoryLog, AppendsStampedGbkLinesToTheDaysFile) {
  test::TempDir dir;
  test::FakeClock clock(test::FakeClock::at(2026, 3, 9, 7, 5, 2));
  MemoryHistoryView view;
  HistoryLog log(dir.path("agent.log"), clock, &view);
  EXPECT_EQ(log.HistoryTimestamp(), "2026-03-09 07:05:02 ");

  log.LogEvent("Hostname: 主机");
  log.WriteHistory("Beat message sent to 127.0.0.1", false);
  clock.set(test::FakeClock::at(2026, 3, 10, 0, 0, 0));
  log.LogEvent("Agent Closed");

  EXPECT_EQ(readAll(dir.path("agent_2026-03-09.log")),
            "2026-03-09 07:05:02 Hostname: 主机\r\n"
            "2026-03-09 07:05:02 Beat message sent to 127.0.0.1\r\n");
  EXPECT_EQ(readAll(dir.path("agent_2026-03-10.log")), "2026-03-10 00:00:00 Agent Closed\r\n");
  EXPECT_EQ(view.lines(), (std::vector<std::string>{"2026-03-09 07:05:02 Hostname: 主机",
                                                    "2026-03-10 00:00:00 Agent Closed"}));
}

TEST(HistoryLog, ViewIsEmptiedOnTheCallAfterLine501) {
  test::TempDir dir;
  test::FakeClock clock;
  struct Case {
    const char* name;
    bool lastShown;
    size_t linesAfter;
  };
  const Case cases[] = {
      {"shown line", true, 1},
      {"file-only line empties the full view too", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryHistoryView view;
    HistoryLog log(dir.path("agent.log"), clock, &view);
    for (int i = 1; i <= 501; ++i) log.LogEvent("line " + std::to_string(i));
    EXPECT_EQ(view.lines().size(), 501u);
    log.WriteHistory("next", c.lastShown);
    EXPECT_EQ(view.lines().size(), c.linesAfter);
  }
}

TEST(HistoryLog, ClearingTheViewRestartsTheCount) {
  test::TempDir dir;
  test::FakeClock clock;
  MemoryHistoryView view;
  HistoryLog log(dir.path("agent.log"), clock, &view);
  for (int i = 1; i <= 400; ++i) log.LogEvent("early");
  log.clearView();
  for (int i = 1; i <= 200; ++i) log.LogEvent("late");
  EXPECT_EQ(view.lines().size(), 200u);  // 600 written, but only 200 since the clear
}

TEST(HistoryLog, ALineThatCannotBeWrittenStillReachesTheViewAndIsCounted) {
  test::TempDir dir;
  test::FakeClock clock;
  MemoryHistoryView view;
  HistoryLog log(dir.path("missing") + kSep + "agent.log", clock, &view);
  log.LogEvent("kept");
  log.LogEvent("kept too");
  EXPECT_EQ(view.lines().size(), 2u);
  EXPECT_FALSE(platform::directoryExists(dir.path("missing")));  // never created here
  EXPECT_EQ(log.writeFailures(), 2u);
  HistoryLog written(dir.path("agent.log"), clock);
  written.LogEvent("written");
  EXPECT_EQ(written.writeFailures(), 0u);
}

TEST(HistoryLog, LinesOfSeveralThreadsStayWholeAndInOrder) {
  test::TempDir dir;
  test::FakeClock clock;
  MemoryHistoryView view;
  HistoryLog log(dir.path("agent.log"), clock, &view);
  constexpr int kThreads = 3;
  constexpr int kLines = 150;  // 450 shown lines stay below the view limit
  const std::string padding(200, 'x');
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kLines; ++i) {
          log.WriteHistory("thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                               padding,
                           i % 2 == 0);
        }
      });
    }
  }
  auto check = [&](const std::vector<std::string>& lines, bool onlyShown) {
    std::map<int, int> nextOf;  // thread -> its next expected line
    for (const std::string& line : lines) {
      int t = -1;
      int i = -1;
      ASSERT_EQ(std::sscanf(line.c_str() + 20, "thread %d line %d", &t, &i), 2) << line;
      ASSERT_EQ(line, log.HistoryTimestamp() + "thread " + std::to_string(t) + " line " +
                          std::to_string(i) + " " + padding);
      EXPECT_EQ(i, nextOf[t]) << "thread " << t;
      nextOf[t] = i + (onlyShown ? 2 : 1);
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(nextOf[t], kLines) << "thread " << t;
  };
  const std::vector<std::string> fileLines =
      splitCrLf(readAll(dir.path("agent_2026-03-09.log")));
  EXPECT_EQ(fileLines.size(), static_cast<size_t>(kThreads * kLines));
  check(fileLines, false);
  check(view.lines(), true);
}

}  // namespace
}  // namespace tavin
