// End-to-end tests of the real agent: started in a temporary directory,
// talked to over loopback like a console, stopped by its pid.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <thread>

#include "codec/codec_texts.h"
#include "platform/text.h"
#include "tests/e2e/agent_fixture.h"

namespace tavin::e2e {
namespace {

constexpr int kAnswerMs = 5000;

std::string utf8(const std::string& gbk) { return platform::gbkToUtf8(gbk); }

std::string sysLogDate() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%04d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday);
  return buffer;
}

// The entries of a system-log text: "<program> <n> <line>" each closed by 0x02.
std::vector<std::string> logEntries(const std::string& sysLog) {
  std::vector<std::string> entries;
  size_t start = 0;
  size_t end;
  while ((end = sysLog.find('\x02', start)) != std::string::npos) {
    entries.push_back(sysLog.substr(start, end - start));
    start = end + 1;
  }
  return entries;
}

// True when a connect to the port is refused within timeoutMs.
bool refusedWithin(int port, int timeoutMs) {
  for (int waited = 0; waited <= timeoutMs; waited += 20) {
    ConsoleConnection probe;
    if (!probe.connect(port, 0)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

using AgentEndToEnd = AgentFixture;
using AgentSmoke = AgentFixture;
using AgentEndToEndSlow = AgentFixture;

TEST_F(AgentSmoke, AnswersStatusSendsHeartbeatsAndPushesLogLines) {
  writeFile("Tavin_ASHR.exe", "");
  writeFile("logs/sys1/system" + sysLogDate() + ".log", "first line\r\nsecond line\r\n");
  writeIni("[Program]\r\n监控程序1=Y\r\n监控程序1_SYSLOGDIR=sys1\r\n");
  startAgent();
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);

  auto log = console->receiveType("13", 10000);
  ASSERT_TRUE(log.has_value());
  EXPECT_EQ(log->message->body()->getValue("sysLog"),
            "监控程序1 1 first line\r\n\x02监控程序1 2 second line\r\n\x02");

  auto beat = console->receiveType("12", 10000);
  ASSERT_TRUE(beat.has_value());
  EXPECT_EQ(beat->frame, "00=Tavin1.20\x01" "01=S\x01" "04=12\x01" "12=-1\x01" "15=0\x01"
                         "99= 43\x01");

  ASSERT_TRUE(console->send(consoleFrame("02", "7")));
  auto status = console->receiveType("03", underWine() ? 20000 : kAnswerMs);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->message->getSequence(), "7");
  EXPECT_EQ(status->message->body()->getValue("hostStatus"), "正常运行");
}

// The log folder replaced by a link to elsewhere while the agent runs (under
// Wine, a Unix symbolic link is a reparse point): the agent writes nothing
// through it and says so; once the folder is back, its lines go there again.
TEST_F(AgentSmoke, ALogFolderReplacedByALinkIsNotWrittenThrough) {
  writeIni("");
  startAgent();
  ASSERT_TRUE(waitForHistory("Listening at", 10000));
  const std::string logs = path("logs");
  const std::string elsewhere = path("elsewhere");
  ASSERT_EQ(std::rename(logs.c_str(), (logs + ".moved").c_str()), 0);
  ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
  ASSERT_EQ(::symlink(elsewhere.c_str(), logs.c_str()), 0);
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  ASSERT_TRUE(console->send(consoleFrame("02", "1")));
  ASSERT_TRUE(console->receiveType("03", underWine() ? 20000 : kAnswerMs).has_value());
  if (!underWine()) {
    EXPECT_TRUE(agent().waitForOutput("History not written to", 5000));
  }
  console->close();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere));

  ASSERT_EQ(::unlink(logs.c_str()), 0);
  ASSERT_EQ(std::rename((logs + ".moved").c_str(), logs.c_str()), 0);
  auto again = connectConsole();
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(waitForHistory("Client 127.0.0.1 connected", 10000));
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
}

TEST_F(AgentEndToEnd, StatusResponseHasEightFieldsInOrderAndTheRequestsSequence) {
  writeIni("");
  startAgent();
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  ASSERT_TRUE(console->send(consoleFrame("02", "42")));
  auto status = console->receiveType("03", kAnswerMs);
  ASSERT_TRUE(status.has_value());
  const Message& message = *status->message;
  EXPECT_EQ(message.getVersion(), "Tavin1.20");
  EXPECT_EQ(message.getOrientation(), "S");
  EXPECT_EQ(message.getSequence(), "42");

  size_t previous = 0;
  for (const char* tag : {"58=", "92=", "60=", "61=", "62=", "38=", "69=", "70=", "71=", "72="}) {
    SCOPED_TRACE(tag);
    size_t at = status->frame.find(std::string("\x01") + tag, previous);
    ASSERT_NE(at, std::string::npos);
    previous = at + 1;
  }
  const MessageBody& body = *message.body();
  EXPECT_EQ(body.getValue("envNo"), "00");
  EXPECT_EQ(body.getValue("HostTime").size(), 20u);
  EXPECT_EQ(body.getValue("HostTime").back(), ' ');
  // Both programs are disabled: two records with status "不存在", no trading units.
  const std::string qex = body.getValue("qexPackage");
  EXPECT_NE(qex.find("85=N\x01" "89=监控程序1\x01"), std::string::npos);
  EXPECT_NE(qex.find("85=N\x01" "89=监控程序2\x01"), std::string::npos);
  EXPECT_NE(qex.find("64=不存在\x01"), std::string::npos);
  EXPECT_EQ(body.getValue("pbuPackage"), "");
}

TEST_F(AgentEndToEnd, TwoRequestsInOneSendAndOneRequestInTwoPieces) {
  writeIni("");
  startAgent();
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  ASSERT_TRUE(console->send(consoleFrame("02", "1") + consoleFrame("02", "2")));
  auto first = console->receiveType("03", kAnswerMs);
  auto second = console->receiveType("03", kAnswerMs);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->message->getSequence(), "1");
  EXPECT_EQ(second->message->getSequence(), "2");

  const std::string frame = consoleFrame("02", "3");
  ASSERT_TRUE(console->send(frame.substr(0, 17)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(console->send(frame.substr(17)));
  auto third = console->receiveType("03", kAnswerMs);
  ASSERT_TRUE(third.has_value());
  EXPECT_EQ(third->message->getSequence(), "3");
}

TEST_F(AgentEndToEnd, WrongChecksumIsLoggedAndTheConnectionKept) {
  writeIni("");
  startAgent();
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  std::string bad = consoleFrame("02", "5");
  bad[bad.size() - 2] = bad[bad.size() - 2] == '1' ? '2' : '1';
  ASSERT_TRUE(console->send(bad));
  EXPECT_TRUE(waitForHistory("exception: Check sum error, <127.0.0.1>\n" + bad + "\r\n", 5000));
  EXPECT_FALSE(console->waitClosed(500));
  ASSERT_TRUE(console->send(consoleFrame("02", "6")));
  auto status = console->receiveType("03", kAnswerMs);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->message->getSequence(), "6");
}

TEST_F(AgentEndToEnd, VersionMismatchAndOversizedBodyCloseTheConnection) {
  writeIni("");
  startAgent();
  {
    auto console = connectConsole();
    ASSERT_NE(console, nullptr);
    ASSERT_TRUE(console->send(consoleFrame("02", "1", "", "Tavin1.19")));
    EXPECT_TRUE(console->waitClosed(5000));
    EXPECT_TRUE(agent().waitForOutput(utf8("Monitor版本低于探针,请升级Monitor"), 5000));
  }
  {
    auto console = connectConsole();
    ASSERT_NE(console, nullptr);
    ASSERT_TRUE(console->send(consoleFrame("02", "1", "", "Tavin1.3")));
    EXPECT_TRUE(console->waitClosed(5000));
    EXPECT_TRUE(agent().waitForOutput(utf8("探针版本低于Monitor,请升级探针"), 5000));
  }
  {
    // 20480 body bytes are accepted (a log message: no answer, still open) ...
    auto console = connectConsole();
    ASSERT_NE(console, nullptr);
    ASSERT_TRUE(console->send(consoleFrame("13", "1", "82=" + std::string(20476, 'x') + '\x01')));
    ASSERT_TRUE(console->send(consoleFrame("02", "2")));
    EXPECT_TRUE(console->receiveType("03", kAnswerMs).has_value());
    // ... 20481 are not.
    ASSERT_TRUE(console->send(consoleFrame("13", "3", "82=" + std::string(20477, 'x') + '\x01')));
    EXPECT_TRUE(console->waitClosed(5000));
    EXPECT_TRUE(agent().waitForOutput(utf8("消息过长"), 5000));
  }
}

TEST_F(AgentEndToEnd, UnlistedAndSecondConsolesAreDenied) {
  writeIni("[ACCESS_CONTROL]\r\nip1=127.0.0.001\r\n", false);
  startAgent();
  auto first = connectConsole();
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(waitForHistory("Client 127.0.0.1 connected", 5000));
  auto second = connectConsole();
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(second->waitClosed(5000));
  EXPECT_TRUE(waitForHistory("Client 127.0.0.1 denied", 5000));
  EXPECT_TRUE(waitForHistory("Client 127.0.0.1 lost", 5000));
  ASSERT_TRUE(first->send(consoleFrame("02", "9")));
  auto status = first->receiveType("03", kAnswerMs);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->message->getSequence(), "9");
}

TEST_F(AgentEndToEnd, ConsoleFromAnUnlistedAddressIsDeniedWithoutALossLine) {
  writeIni("[ACCESS_CONTROL]\r\nip1=127.0.0.2\r\n", false);
  startAgent();
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  EXPECT_TRUE(console->waitClosed(5000));
  EXPECT_TRUE(waitForHistory("Client 127.0.0.1 denied", 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(historyLog().find("Client 127.0.0.1 lost"), std::string::npos);
}

TEST_F(AgentEndToEnd, LogLinesArePushedInBatchesOfTwentyProgramOneFirst) {
  writeFile("Tavin_ASHR.exe", "");
  writeFile("Tavin_BSHR.exe", "");
  std::string log1;
  for (int i = 1; i <= 25; ++i) log1 += "A line " + std::to_string(i) + "\r\n";
  writeFile("logs/sys1/system" + sysLogDate() + ".log", log1);
  writeFile("logs/sys2/system" + sysLogDate() + ".log", "B1\r\nB2\r\nB3\r\n");
  writeIni("[Program]\r\n监控程序1=Y\r\n监控程序2=Y\r\n"
           "监控程序1_SYSLOGDIR=sys1\r\n监控程序2_SYSLOGDIR=sys2\r\n");
  startAgent();
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);

  std::vector<std::vector<std::string>> batches;
  for (int i = 0; i < 3; ++i) {
    auto message = console->receive(10000);
    ASSERT_TRUE(message.has_value());
    ASSERT_EQ(message->message->getMessageType(), "13") << "push comes before the heartbeat";
    EXPECT_EQ(message->message->getSequence(), "-1");
    batches.push_back(logEntries(message->message->body()->getValue("sysLog")));
  }
  ASSERT_EQ(batches[0].size(), 20u);
  ASSERT_EQ(batches[1].size(), 5u);
  ASSERT_EQ(batches[2].size(), 3u);
  EXPECT_EQ(batches[0][0], "监控程序1 1 A line 1\r\n");
  EXPECT_EQ(batches[1][4], "监控程序1 25 A line 25\r\n");
  EXPECT_EQ(batches[2][2], "监控程序2 3 B3\r\n");
  auto beat = console->receive(10000);
  ASSERT_TRUE(beat.has_value());
  EXPECT_EQ(beat->message->getMessageType(), "12");

  appendFile("logs/sys2/system" + sysLogDate() + ".log", "B4\r\n");
  auto more = console->receiveType("13", 10000);
  ASSERT_TRUE(more.has_value());
  EXPECT_EQ(more->message->body()->getValue("sysLog"), "监控程序2 4 B4\r\n\x02");
}

TEST_F(AgentEndToEnd, HeadlessOutputAndCleanExitOnSigterm) {
  writeIni("");
  startAgent();
  EXPECT_TRUE(agent().waitForOutput("Hostname: ", 5000));
  EXPECT_TRUE(agent().waitForOutput("Listening at " + std::to_string(port()), 5000));
  agent().sendSignal(SIGTERM);
  auto status = agent().waitForExit(5000);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0);
  const std::string log = historyLog();
  ASSERT_GE(log.size(), 14u);
  EXPECT_EQ(log.substr(log.size() - 14), "Agent Closed\r\n");
}

TEST_F(AgentEndToEnd, Sigusr1StopsAndStartsTheListener) {
  writeIni("");
  startAgent();
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  agent().sendSignal(SIGUSR1);
  EXPECT_TRUE(console->waitClosed(5000));
  // The listener closes right after the consoles, so a connect may still
  // slip into its backlog for a moment; the port is refused soon after.
  EXPECT_TRUE(refusedWithin(port(), 3000));
  agent().sendSignal(SIGUSR1);
  auto again = connectConsole();
  ASSERT_NE(again, nullptr);
  ASSERT_TRUE(again->send(consoleFrame("02", "11")));
  EXPECT_TRUE(again->receiveType("03", kAnswerMs).has_value());
}

TEST_F(AgentEndToEnd, StartupFailuresGoToStderrWithStatusOne) {
  struct Case {
    std::string ini;
    std::string message;  // GBK
    bool inHistory;       // the log folder is there for it
  };
  const Case cases[] = {
      {"[Program]\r\nlogs_dir=./no/such/dir/\r\n", "Cannot create LogFile Directory.", false},
      {"[Program]\r\n监控程序1=Y\r\n", "无法找到监控程序1 的程序启动文件。", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    writeIni(c.ini);
    AgentProcess process({path("TavinMonitorAgent")}, workDir());
    auto status = process.waitForExit(10000);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 1);
    process.drainOutput();
    EXPECT_NE(process.errorOutput().find(utf8(c.message)), std::string::npos)
        << process.errorOutput();
    EXPECT_EQ(historyLog().find(c.message) != std::string::npos, c.inHistory) << historyLog();
    EXPECT_TRUE(refusedWithin(port(), 0));
  }
}

TEST_F(AgentEndToEnd, SecondInstanceExitsAtOnce) {
  writeIni("");
  startAgent();
  AgentProcess second({path("TavinMonitorAgent")}, workDir());
  auto status = second.waitForExit(5000);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0);
  EXPECT_FALSE(agent().waitForExit(200).has_value());  // the first keeps running
}

TEST_F(AgentEndToEndSlow, SilentConsoleGetsHeartbeatsAndIsDroppedAfterFortySeconds) {
  writeIni("");
  startAgent();
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  const auto start = std::chrono::steady_clock::now();
  int beats = 0;
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
    auto message = console->receive(500);
    if (message && message->message->getMessageType() == "12") ++beats;
  }
  EXPECT_GE(beats, 3);
  EXPECT_LE(beats, 4);
  EXPECT_TRUE(console->waitClosed(25000));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GT(seconds, 35.0);
  EXPECT_TRUE(waitForHistory("Client连接超时", 2000));
}

TEST_F(AgentEndToEndSlow, ConsoleHeartbeatsKeepTheConnection) {
  writeIni("");
  startAgent();
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  for (int i = 0; i < 10; ++i) {  // 50 seconds, past the 40-second limit
    ASSERT_TRUE(console->send(consoleFrame("12", "-1")));
    EXPECT_FALSE(console->waitClosed(5000));
  }
  EXPECT_EQ(historyLog().find("Client连接超时"), std::string::npos);
  EXPECT_NE(historyLog().find("Beat message received from 127.0.0.1"), std::string::npos);
}

}  // namespace
}  // namespace tavin::e2e
