// Fault tolerance of the real agent: monitored files that cannot be read, are
// huge, garbage or change under the reader; a log directory that disappears;
// a port that is taken; a flood of connection attempts; a console that never
// reads; long runs of requests.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "console/decoding.h"
#include "platform/text.h"
#include "tests/e2e/agent_fixture.h"

namespace tavin::e2e {
namespace {

constexpr int kAnswerMs = 10000;
constexpr char kStatusFile[] = "monitor/ASHR_status.txt";
constexpr char kFaketime[] = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

std::string dateText(const char* format) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, format, &tm);
  return buffer;
}

// A status file as a program writes it: its version, and `units` active
// operators whose counters carry the version too.
std::string statusFile(const std::string& version, int units) {
  std::string text = "[TIME]\r\nTime=20121105 09:30:01\r\n[QEXStatus]\r\nQEXVersion=" + version +
                     "\r\nQEXType=A\r\nOperatorTotal=" + std::to_string(units) +
                     "\r\nWarningLevel=0\r\n";
  for (int k = 1; k <= units; ++k) {
    text += "[OperatorStatus." + std::to_string(k) + "]\r\nOperator=" + operatorCode(k) +
            "\r\nStatus=3\r\nWarningLevel=0\r\nOrdNumSubmitted=" + version +
            "\r\nOrdNumConfirmed=1\r\nTradeNumber=1\r\nMaxOrderNumber=100000\r\n"
            "CSIP=127.0.0.1\r\nLocalIP=127.0.0.1\r\nCapability=100\r\nWork=1\r\n";
  }
  return text;
}

// The largest resident size the process has had, in KiB.
long peakResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Ends a helper thread when the test leaves its scope, also by a failed
// assertion.
class Worker {
 public:
  explicit Worker(std::function<void(const std::atomic<bool>& stop)> fn)
      : thread_([this, fn = std::move(fn)] { fn(stop_); }) {}
  ~Worker() { join(); }
  void join() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class AgentFaults : public AgentFixture {
 protected:
  // Program 1 monitored with `units` configured trading units.
  void monitorProgramOne(int units, const std::string& moreIni = "") {
    writeFile("Tavin_ASHR.exe", "");
    writeProgramOneUnits(units);
    writeIni("[Program]\r\n监控程序1=Y\r\n" + moreIni);
  }

  // Sends a status request and decodes the response that carries its
  // sequence; empty when none came.
  static std::optional<console::StatusReport> status(ConsoleConnection& console, int sequence) {
    if (!console.send(consoleFrame("02", std::to_string(sequence)))) return std::nullopt;
    auto response = console.receiveType("03", kAnswerMs);
    if (!response || response->message->getSequence() != std::to_string(sequence)) {
      return std::nullopt;
    }
    return console::decodeStatus(*response->message->body());
  }

  static std::string programVersion(const console::StatusReport& report) {
    if (report.programs.empty()) return "(no program)";
    const std::string* version = report.programs[0].find("qexVersion");
    return version != nullptr ? *version : "(none)";
  }

  // Program 1 monitored with the line A1 in its log of 2026-03-09, and the
  // agent started on a clock read from the file "clock" (libfaketime), set
  // to time.
  void startOnClock(const std::string& time) {
    writeFile("clock", time);
    setHistoryDate("2026-03-09");
    writeFile("Tavin_ASHR.exe", "");
    writeFile("logs/sys1/system20260309.log", "A1\r\n");
    writeIni("[Program]\r\n监控程序1=Y\r\n监控程序1_SYSLOGDIR=sys1\r\n");
    startAgent(clockEnvironment());
  }
  std::vector<std::string> clockEnvironment() const {
    return {std::string("LD_PRELOAD=") + kFaketime, "FAKETIME_TIMESTAMP_FILE=" + path("clock"),
            "FAKETIME_NO_CACHE=1", "FAKETIME_DONT_FAKE_MONOTONIC=1"};
  }

  // The system-log entries pushed to the console until `count` have come.
  static std::vector<std::string> pushedLines(ConsoleConnection& console, size_t count) {
    std::vector<std::string> lines;
    while (lines.size() < count) {
      auto push = console.receiveType("13", kAnswerMs);
      if (!push) break;
      const std::string sysLog = push->message->body()->getValue("sysLog");
      size_t start = 0;
      for (size_t end; (end = sysLog.find('\x02', start)) != std::string::npos; start = end + 1) {
        lines.push_back(sysLog.substr(start, end - start));
      }
    }
    return lines;
  }

  size_t historyCount(const std::string& text) const {
    const std::string log = historyLog();
    size_t count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
      ++count;
    }
    return count;
  }
};

using AgentFaultsSlow = AgentFaults;

TEST_F(AgentFaults, StatusFilesThatCannotBeUsedKeepTheLastValues) {
  monitorProgramOne(2);
  writeFile(kStatusFile, statusFile("1.0", 2));
  startAgent();
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  int sequence = 0;
  auto first = status(*console, ++sequence);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(programVersion(*first), "1.0");

  std::mt19937 random(7);
  std::string garbage(100000, '\0');
  for (char& c : garbage) c = static_cast<char>(random());
  const std::string file = path(kStatusFile);
  struct Case {
    const char* name;
    std::function<void()> spoil;
  };
  // On Linux a file cannot be locked against reading; a FIFO that nobody
  // writes is what a reader meets that may not wait for the file's writer.
  // Windows' share modes are covered by the platform's own tests.
  const Case cases[] = {
      {"a FIFO without a writer", [&] { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); }},
      {"a directory in its place", [&] { std::filesystem::create_directory(file); }},
      {"binary garbage", [&] { writeFile(kStatusFile, garbage); }},
      {"garbage behind a time that is no time",
       [&] { writeFile(kStatusFile, "[TIME]\r\nTime=2012110x\r\n" + garbage); }},
      {"64 MiB long", [&] {
         std::string huge = statusFile("9.9", 2);
         const std::string padding = "; " + std::string(1000, 'p') + "\r\n";
         while (huge.size() < (64u << 20)) huge += padding;
         writeFile(kStatusFile, huge);
       }},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    std::filesystem::remove_all(file);
    cases[i].spoil();
    auto spoiled = status(*console, ++sequence);
    ASSERT_TRUE(spoiled.has_value()) << "no answer";
    EXPECT_EQ(programVersion(*spoiled), "1." + std::to_string(i));
    EXPECT_EQ(spoiled->units.size(), 2u);

    // A good file again is read at the next request.
    std::filesystem::remove_all(file);
    writeFile(kStatusFile, statusFile("1." + std::to_string(i + 1), 2));
    auto good = status(*console, ++sequence);
    ASSERT_TRUE(good.has_value());
    EXPECT_EQ(programVersion(*good), "1." + std::to_string(i + 1));
  }
  // The 64 MiB file was never read whole (the agent peaks near 13 MiB here,
  // near 33 MiB when built with AddressSanitizer).
  const long peak = peakResidentKiB(agent().pid());
  EXPECT_LT(peak, 48 * 1024) << "peak resident size " << peak << " KiB";
}

TEST_F(AgentFaults, StatusFileRewrittenWhileReadIsAnsweredEveryTime) {
  monitorProgramOne(32);
  writeFile(kStatusFile, statusFile("v0", 32));
  startAgent();
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  const std::string file = path(kStatusFile);
  Worker writer([&](const std::atomic<bool>& stop) {
    for (int k = 1; k <= 1000000 && !stop; ++k) {
      // In place and in two writes, so that a read can meet the file empty or
      // half written.
      const std::string text = statusFile("v" + std::to_string(k % 10), 32);
      int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
      if (fd < 0) continue;
      const size_t half = text.size() / 2;
      bool written = ::write(fd, text.data(), half) == static_cast<ssize_t>(half);
      std::this_thread::yield();
      written = written && ::write(fd, text.data() + half, text.size() - half) ==
                               static_cast<ssize_t>(text.size() - half);
      ::close(fd);
      if (!written) break;
    }
  });
  for (int i = 1; i <= 300; ++i) {
    auto report = status(*console, i);
    ASSERT_TRUE(report.has_value()) << "request " << i;
    ASSERT_EQ(report->units.size(), 32u);
    // What the file said when it was read: a whole version, or the part of
    // one that had been written.
    const std::string version = programVersion(*report);
    EXPECT_TRUE(version.empty() || version == "v" ||
                (version.size() == 2 && version[0] == 'v' && std::isdigit(version[1])))
        << version;
  }
}

TEST_F(AgentFaultsSlow, SystemLogTruncatedRecreatedOrRotatedLosesNoLine) {
  writeFile("Tavin_ASHR.exe", "");
  const std::string log = "logs/sys1/system" + dateText("%Y%m%d") + ".log";
  writeFile(log, "L1\r\nL2\r\n");
  writeIni("[Program]\r\n监控程序1=Y\r\n监控程序1_SYSLOGDIR=sys1\r\n");
  startAgent();
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  auto entry = [](int n, const std::string& text) {
    return "监控程序1 " + std::to_string(n) + " " + text + "\r\n";
  };
  EXPECT_EQ(pushedLines(*console, 2), (std::vector<std::string>{entry(1, "L1"), entry(2, "L2")}));

  // Truncated in place and written again.
  writeFile(log, "T1\r\n");
  EXPECT_EQ(pushedLines(*console, 1), std::vector<std::string>{entry(1, "T1")});
  const std::string longLine = "T2 " + std::string(300, 't');
  appendFile(log, longLine + "\r\n");
  EXPECT_EQ(pushedLines(*console, 1), std::vector<std::string>{entry(2, longLine)});

  // Deleted and created again (shorter than what had been read).
  std::filesystem::remove(path(log));
  writeFile(log, "R1\r\nR2\r\n");
  EXPECT_EQ(pushedLines(*console, 2), (std::vector<std::string>{entry(1, "R1"), entry(2, "R2")}));

  // Rotated: renamed away, and a new file (longer than what had been read)
  // in its place.
  std::filesystem::rename(path(log), path(log + ".1"));
  const std::string newLine = "N2 " + std::string(300, 'n');
  writeFile(log, "N1\r\n" + newLine + "\r\n");
  EXPECT_EQ(pushedLines(*console, 2), (std::vector<std::string>{entry(1, "N1"), entry(2, newLine)}));
}

TEST_F(AgentFaults, SystemLogLinesWrittenJustBeforeMidnightAreNotLost) {
  if (::access(kFaketime, R_OK) != 0) GTEST_SKIP() << "libfaketime is not installed";
  startOnClock("2026-03-09 23:59:59");
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  EXPECT_EQ(pushedLines(*console, 1), std::vector<std::string>{"监控程序1 1 A1\r\n"});

  // A last line for the old day, then midnight, then the new day's file. A
  // push between the line and midnight sends it as usual; otherwise the
  // first push after midnight must still send it, before the new day's.
  appendFile("logs/sys1/system20260309.log", "late\r\n");
  writeFile("clock", "2026-03-10 00:00:01");
  writeFile("logs/sys1/system20260310.log", std::string(20, '-') + "\r\nB1\r\n");
  EXPECT_EQ(pushedLines(*console, 2),
            (std::vector<std::string>{"监控程序1 2 late\r\n", "监控程序1 2 B1\r\n"}));
}

// Stopped a minute before midnight while a console reads a quiet log (its
// position kept long before), and started again a minute after midnight:
// the rest of the day before's file comes first.
TEST_F(AgentFaults, SystemLogStoppedJustBeforeMidnightLosesNothing) {
  if (::access(kFaketime, R_OK) != 0) GTEST_SKIP() << "libfaketime is not installed";
  startOnClock("2026-03-09 23:50:00");
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  EXPECT_EQ(pushedLines(*console, 1), std::vector<std::string>{"监控程序1 1 A1\r\n"});
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // kept, at 23:50
  writeFile("clock", "2026-03-09 23:59:00");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // still read for, at 23:59
  agent().sendSignal(SIGTERM);
  ASSERT_TRUE(agent().waitForExit(kAnswerMs).has_value());
  appendFile("logs/sys1/system20260309.log", "late\r\n");
  writeFile("clock", "2026-03-10 00:01:00");
  writeFile("logs/sys1/system20260310.log", std::string(20, '-') + "\r\nB1\r\n");
  setHistoryDate("2026-03-10");
  startAgent(clockEnvironment());
  console = connectConsole();
  ASSERT_NE(console, nullptr);
  EXPECT_EQ(pushedLines(*console, 2),
            (std::vector<std::string>{"监控程序1 2 late\r\n", "监控程序1 2 B1\r\n"}));
}

// The host's clock set a day ahead by mistake while a console reads, and
// set right again: the day's file goes on where it stopped, no line lost or
// sent twice.
TEST_F(AgentFaults, SystemLogClockSetADayAheadAndBackLosesAndRepeatsNothing) {
  if (::access(kFaketime, R_OK) != 0) GTEST_SKIP() << "libfaketime is not installed";
  startOnClock("2026-03-09 10:00:00");
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  EXPECT_EQ(pushedLines(*console, 1), std::vector<std::string>{"监控程序1 1 A1\r\n"});

  // A day ahead: the rest of the day first, then the later day's file, which
  // the program writes under the wrong date too.
  appendFile("logs/sys1/system20260309.log", "A2\r\n");
  writeFile("clock", "2026-03-10 10:00:00");
  writeFile("logs/sys1/system20260310.log", "F1\r\n");
  EXPECT_EQ(pushedLines(*console, 2),
            (std::vector<std::string>{"监控程序1 2 A2\r\n", "监控程序1 1 F1\r\n"}));
  // Set right: on in the day's file.
  writeFile("clock", "2026-03-09 10:00:10");
  appendFile("logs/sys1/system20260309.log", "A3\r\n");
  EXPECT_EQ(pushedLines(*console, 1), std::vector<std::string>{"监控程序1 3 A3\r\n"});
  appendFile("logs/sys1/system20260309.log", "A4\r\n");
  EXPECT_EQ(pushedLines(*console, 1), std::vector<std::string>{"监控程序1 4 A4\r\n"});
}

TEST_F(AgentFaults, LogDirectoryRemovedWhileRunning) {
  writeIni("");
  startAgent();
  std::filesystem::remove_all(path("logs"));
  {
    auto console = connectConsole();
    ASSERT_NE(console, nullptr);
    EXPECT_TRUE(status(*console, 1).has_value());
  }
  // The lines go on to standard output; the file's are lost, and the agent
  // does not make the directory again behind the operator's back.
  EXPECT_TRUE(agent().waitForOutput("Client 127.0.0.1 lost", 5000));
  EXPECT_FALSE(std::filesystem::exists(path("logs")));

  std::filesystem::create_directory(path("logs"));
  {
    auto console = connectConsole();
    ASSERT_NE(console, nullptr);
    EXPECT_TRUE(status(*console, 2).has_value());
  }
  EXPECT_TRUE(waitForHistory("Client 127.0.0.1 lost", 5000));
  EXPECT_FALSE(agent().waitForExit(0).has_value());
}

TEST_F(AgentFaults, PortInUseAtStartIsAClearStartupError) {
  int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port()));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(taken, 1), 0);
  writeIni("");
  AgentProcess process({path("TavinMonitorAgent")}, workDir());
  auto exit = process.waitForExit(10000);
  ::close(taken);
  ASSERT_TRUE(exit.has_value());
  EXPECT_EQ(*exit, 1);
  process.drainOutput();
  EXPECT_NE(process.errorOutput().find("Cannot listen on port " + std::to_string(port()) + ": "),
            std::string::npos)
      << process.errorOutput();
}

TEST_F(AgentFaults, FloodOfConnectionsLeavesTheAdmittedConsoleServed) {
  writeIni("");
  startAgent();
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  ASSERT_TRUE(waitForHistory("Client 127.0.0.1 connected", 5000));

  constexpr int kThreads = 4;
  constexpr int kAttemptsEach = 250;
  std::atomic<int> refused{0};
  std::vector<std::unique_ptr<Worker>> flood;
  for (int t = 0; t < kThreads; ++t) {
    flood.push_back(std::make_unique<Worker>([&](const std::atomic<bool>& stop) {
      for (int i = 0; i < kAttemptsEach && !stop; ++i) {
        ConsoleConnection intruder;
        if (intruder.connect(port(), 5000) && intruder.waitClosed(5000)) ++refused;
      }
    }));
  }
  for (int i = 1; i <= 200; ++i) {
    ASSERT_TRUE(status(*console, i).has_value()) << "request " << i;
  }
  for (auto& worker : flood) worker->join();
  EXPECT_EQ(refused, kThreads * kAttemptsEach);
  EXPECT_TRUE(status(*console, 201).has_value());
  EXPECT_FALSE(console->closed());
  // Every intruder saw its connection closed: each refusal has been handled.
  // The first is logged; the others wait for the minute's summary line.
  EXPECT_EQ(historyCount("Client 127.0.0.1 denied"), 1u);
  EXPECT_EQ(historyCount("Client 127.0.0.1 lost"), 1u);
}

TEST_F(AgentFaults, ConsoleThatNeverReadsIsDroppedAndTheAgentServesTheNext) {
  monitorProgramOne(200);
  writeFile(kStatusFile, statusFile("1.0", 200));
  startAgent();
  ConsoleConnection deaf;
  ASSERT_TRUE(deaf.connect(port(), 5000, 4096));
  std::string requests;
  for (int i = 1; i <= 500; ++i) requests += consoleFrame("02", std::to_string(i));
  ASSERT_TRUE(deaf.send(requests));
  // Some 7 MiB of answers (15.2 KB each), more than the sockets on both
  // sides hold; at 1 MiB waiting in the agent it gives up on this console.
  EXPECT_TRUE(waitForHistory("Client 127.0.0.1 is not reading, send buffer full; disconnected",
                             30000));
  auto next = connectConsole();
  ASSERT_NE(next, nullptr);
  auto report = status(*next, 1);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->units.size(), 200u);
  EXPECT_FALSE(agent().waitForExit(0).has_value());
}

TEST_F(AgentFaultsSlow, TenThousandRequestsInARowAllAnsweredInOrder) {
  monitorProgramOne(2);
  writeFile(kStatusFile, statusFile("1.0", 2));
  startAgent();
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  constexpr int kRequests = 10000;
  constexpr int kWindow = 50;  // requests in flight, well below the queue's bound
  int sent = 0;
  for (; sent < kWindow; ++sent) ASSERT_TRUE(console->send(consoleFrame("02", std::to_string(sent + 1))));
  for (int answered = 1; answered <= kRequests; ++answered) {
    auto response = console->receiveType("03", kAnswerMs);
    ASSERT_TRUE(response.has_value()) << "no answer to request " << answered;
    ASSERT_EQ(response->message->getSequence(), std::to_string(answered));
    if (sent < kRequests) {
      ++sent;
      ASSERT_TRUE(console->send(consoleFrame("02", std::to_string(sent))));
    }
  }
  EXPECT_FALSE(console->closed());
}

}  // namespace
}  // namespace tavin::e2e
