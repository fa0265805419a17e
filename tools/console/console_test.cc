#include "console/console.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "codec/message.h"
#include "codec/records.h"
#include "handlers/beat_message.h"
#include "handlers/bodies.h"
#include "handlers/status_messages.h"
#include "handlers/system_log_message.h"
#include "handlers/trouble_shooting_messages.h"
#include "platform/tcp_client.h"
#include "platform/text.h"

namespace tavin::console {
namespace {

using platform::gbkToUtf8;

// What the fake agent saw of a console's message.
struct Seen {
  std::string version, orientation, type, sequence, serviceType, shootingType;
  bool hasServiceType = false;
};

// A fake agent on 127.0.0.1: accepts one console, sends `greeting` at once,
// then answers every message it reads with what `reply` returns. All its
// waits are bounded; the destructor stops and joins its thread.
class FakeAgent {
 public:
  std::string greeting;
  bool closeAfterGreeting = false;  // refuse: close before reading anything
  bool closeOnRequest = false;      // read the first message, then close
  std::function<std::string(const Message& request)> reply;

  void start() {
    ASSERT_TRUE(listener_.listen("127.0.0.1", 0).isOk());
    thread_ = std::thread([this] { serve(); });
  }

  ~FakeAgent() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  std::string port() const { return std::to_string(listener_.port()); }

  std::vector<Seen> seen() {
    std::lock_guard<std::mutex> lock(mu_);
    return seen_;
  }

 private:
  void serve() {
    platform::TcpClient console;
    if (!listener_.accept(&console, 20000).isOk()) return;
    if (!greeting.empty() && !console.sendAll(greeting, 5000).isOk()) return;
    if (closeAfterGreeting) return;
    const MessageBodyFactory factory = wireBodyFactory();
    std::string buffer;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
      const auto received = console.receive(&buffer, 50);
      if (received == platform::TcpClient::Received::kClosed ||
          received == platform::TcpClient::Received::kFailed) {
        return;
      }
      for (;;) {
        Message message;
        const int64_t end = message.parse(buffer, factory);
        if (end <= 0) break;
        buffer.erase(0, static_cast<size_t>(end) + message.getCheckSumLength() - 1);
        record(message);
        if (closeOnRequest) return;
        if (reply) {
          const std::string answer = reply(message);
          if (!answer.empty() && !console.sendAll(answer, 5000).isOk()) return;
        }
      }
    }
  }

  void record(const Message& message) {
    Seen seen{message.getVersion(), message.getOrientation(), message.getMessageType(),
              message.getSequence(), "", "", false};
    if (message.body() != nullptr) {
      seen.hasServiceType = !message.body()->getField("serviceType").isEmpty();
      seen.serviceType = message.body()->getValue("serviceType");
      seen.shootingType = message.body()->getValue("ShootingType");
    }
    std::lock_guard<std::mutex> lock(mu_);
    seen_.push_back(seen);
  }

  platform::TcpListener listener_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  // Guarded by mu_.
  std::vector<Seen> seen_;
};

std::string agentFrame(const std::string& sequence, std::unique_ptr<MessageBody> body) {
  return Message("Tavin1.20", "S", sequence, std::move(body)).toString();
}

std::string heartbeat() { return agentFrame("-1", std::make_unique<BeatMessageBody>()); }

std::string sysLogPush() {
  return agentFrame("-1", std::make_unique<LogMessageBody>("监控程序1 12 启动完成\r\n\x02"
                                                           "监控程序1 13 连接正常\r\n\x02"));
}

std::string statusResponse(const std::string& sequence, const std::string& cpuUsage = "5") {
  Qex qex;
  qex.setExist("Y");
  qex.setName("监控程序1");
  qex.setStatus("运行");
  qex.setWarningLevel("0");
  const std::string pbu = Pbu::fromConfig("监控程序1", "12345678901").recordText();
  return agentFrame(sequence, std::make_unique<StatusResponseMessageBody>(
                                  "正常运行", "2013-01-03 07:05:09 ", cpuUsage, "40", "67", "07",
                                  qex.recordText(), pbu));
}

struct ConsoleRun {
  int status;
  std::string out;
  std::string err;
};

ConsoleRun runAgainst(const std::vector<std::string>& args,
               std::function<bool(const std::string& out)> interrupted = nullptr,
               int heartbeatIntervalMs = 10000) {
  std::ostringstream out, err;
  ConsoleEnvironment environment{out, err, platform::Clock::system(), nullptr,
                                 heartbeatIntervalMs};
  if (interrupted) environment.interrupted = [&] { return interrupted(out.str()); };
  const int status = runConsole(args, environment);
  return {status, out.str(), err.str()};
}

TEST(Console, StatusPassesOverOtherMessagesToItsAnswer) {
  FakeAgent agent;
  agent.greeting = heartbeat() + sysLogPush();
  agent.reply = [](const Message& request) {
    // An answer to another request and a heartbeat come first.
    return statusResponse("999", "99") + heartbeat() + statusResponse(request.getSequence());
  };
  agent.start();
  const ConsoleRun run = runAgainst({"--port", agent.port(), "status"});
  ASSERT_EQ(run.status, kExitOk) << run.err;
  EXPECT_EQ(run.err, "");
  for (const char* expected : {"hostStatus   正常运行\n", "HostTime     2013-01-03 07:05:09 \n",
                               "cpuUsage     5\n", "memoryUsage  40\n", "diskUsage    67\n",
                               "envNo        07\n", "Programs (1)\n", "  Y         监控程序1",
                               "Trading units (1)\n", "  监控程序1  12345678901     "}) {
    SCOPED_TRACE(expected);
    EXPECT_NE(run.out.find(gbkToUtf8(expected)), std::string::npos) << run.out;
  }
  EXPECT_EQ(run.out.find("99"), std::string::npos);
  const std::vector<Seen> seen = agent.seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].version, "Tavin1.20");
  EXPECT_EQ(seen[0].orientation, "C");
  EXPECT_EQ(seen[0].type, "02");
  EXPECT_EQ(seen[0].sequence, "1");
}

TEST(Console, ShootSendsTheCheckAndShowsItsResult) {
  FakeAgent agent;
  agent.reply = [](const Message& request) {
    const std::string type = request.body()->getValue("ShootingType");
    return agentFrame(request.getSequence(),
                      std::make_unique<TroubleShootingResponseMessageBody>(
                          request.body()->getValue("serviceType"), type,
                          "端口10105\r\nA股报盘程序状态:\r\nA股报盘程序不存在\r\n"));
  };
  agent.start();
  const ConsoleRun run = runAgainst({"shoot", "CheckCS", "--port=" + agent.port(), "--json"});
  ASSERT_EQ(run.status, kExitOk) << run.err;
  EXPECT_EQ(run.out, gbkToUtf8("{\"type\":\"shoot\",\"sequence\":\"1\",\"serviceType\":\"\","
                               "\"ShootingType\":\"CheckCS\",\"result\":\"端口10105\\r\\n"
                               "A股报盘程序状态:\\r\\nA股报盘程序不存在\\r\\n\"}\n"));
  const std::vector<Seen> seen = agent.seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].type, "19");
  EXPECT_EQ(seen[0].orientation, "C");
  EXPECT_EQ(seen[0].shootingType, "CheckCS");
  EXPECT_TRUE(seen[0].hasServiceType);  // the agent's template needs the field
}

TEST(Console, RawShowsTheFramesBothWays) {
  FakeAgent agent;
  agent.reply = [](const Message& request) { return statusResponse(request.getSequence()); };
  agent.start();
  const ConsoleRun run = runAgainst({"status", "--raw", "--port", agent.port()});
  ASSERT_EQ(run.status, kExitOk) << run.err;
  const std::string request =
      "00=Tavin1.20\x01" "01=C\x01" "04=02\x01" "12=1\x01" "15=0\x01";
  std::string expectedOut = "> " + request;
  expectedOut += "99=" + checkSumOf(request) + "\x01";
  const std::string response = statusResponse("1");
  auto visible = [](std::string text) {
    std::string out;
    for (char c : text) out += c == '\x01' ? std::string("<SOH>") : std::string(1, c);
    return out;
  };
  EXPECT_EQ(run.out, visible(expectedOut) + "\n" + gbkToUtf8("< " + visible(response)) + "\n");
}

TEST(Console, WatchShowsPushesAndKeepsTheConnectionAlive) {
  FakeAgent agent;
  agent.greeting = heartbeat() + sysLogPush();
  agent.start();
  // Ctrl-C once both log lines are out and at least one console heartbeat
  // has reached the agent.
  const ConsoleRun run = runAgainst(
      {"watch", "--port", agent.port()},
      [&](const std::string& out) {
        return out.find("#13") != std::string::npos && !agent.seen().empty();
      },
      50);
  ASSERT_EQ(run.status, kExitOk) << run.err;
  std::istringstream lines(run.out);
  std::string line;
  std::vector<std::string> tails;  // each line without its timestamp
  while (std::getline(lines, line)) {
    ASSERT_GT(line.size(), 21u);
    EXPECT_EQ(line[4], '-');
    EXPECT_EQ(line[13], ':');
    tails.push_back(line.substr(19));
  }
  EXPECT_EQ(tails, (std::vector<std::string>{"  heartbeat", gbkToUtf8("  监控程序1 #12  启动完成"),
                                             gbkToUtf8("  监控程序1 #13  连接正常")}));
  for (const Seen& seen : agent.seen()) {
    EXPECT_EQ(seen.type, "12");
    EXPECT_EQ(seen.orientation, "C");
    EXPECT_EQ(seen.sequence, "-1");
  }
}

// The agent's idle timer may be running down from an earlier console: the
// watch speaks at once, not one heartbeat period (10 s) after it connected.
TEST(Console, WatchSendsAHeartbeatAsSoonAsItConnects) {
  FakeAgent agent;
  agent.start();
  const ConsoleRun run = runAgainst({"watch", "--seconds", "5", "--port", agent.port()},
                                    [&](const std::string&) { return !agent.seen().empty(); });
  ASSERT_EQ(run.status, kExitOk) << run.err;
  const std::vector<Seen> seen = agent.seen();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen[0].type, "12");
}

TEST(Console, WatchForSecondsEndsByItself) {
  FakeAgent agent;
  agent.greeting = sysLogPush();
  agent.start();
  const ConsoleRun run = runAgainst({"watch", "--seconds", "0.5", "--json", "--port", agent.port()});
  ASSERT_EQ(run.status, kExitOk) << run.err;
  EXPECT_NE(run.out.find(gbkToUtf8("\"program\":\"监控程序1\",\"line\":\"13\",\"text\":\"连接正常\"}\n")),
            std::string::npos)
      << run.out;
}

TEST(Console, FailuresHaveTheirOwnExitStatus) {
  struct Case {
    const char* what;
    std::string greeting;
    bool closeAfterGreeting;
    bool closeOnRequest;
    std::function<std::string(const Message&)> reply;
    int status;
    std::string message;
  };
  std::string badSum = heartbeat();
  badSum[badSum.size() - 2] = badSum[badSum.size() - 2] == '1' ? '2' : '1';
  const Case cases[] = {
      {"closed before anything", "", true, false, nullptr, kExitRefused, "refused the console"},
      {"no answer", "", false, false, nullptr, kExitTimeout, "no answer from the agent at 127.0.0.1:"},
      {"closed after a heartbeat", heartbeat(), false, true, nullptr, kExitLost, "closed the connection"},
      {"bad checksum", badSum, false, false, nullptr, kExitBadAnswer, "Check sum error"},
      {"answer of the wrong type", "", false, false,
       [](const Message& request) {
         return agentFrame(request.getSequence(), std::make_unique<BeatMessageBody>());
       },
       kExitBadAnswer, "answered with message type '12' instead of '03'"},
      {"broken package", "", false, false,
       [](const Message& request) {
         return agentFrame(request.getSequence(),
                           std::make_unique<StatusResponseMessageBody>("a", "b", "c", "d", "e",
                                                                       "f", "85=Y", ""));
       },
       kExitBadAnswer, "a record field is cut off"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeAgent agent;
    agent.greeting = c.greeting;
    agent.closeAfterGreeting = c.closeAfterGreeting;
    agent.closeOnRequest = c.closeOnRequest;
    agent.reply = c.reply;
    agent.start();
    const ConsoleRun run = runAgainst({"status", "--port", agent.port(), "--timeout", "0.3"});
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
}

TEST(Console, CannotConnectAndUsageErrors) {
  uint16_t closed;
  {
    platform::TcpListener listener;
    ASSERT_TRUE(listener.listen("127.0.0.1", 0).isOk());
    closed = listener.port();
  }
  ConsoleRun run = runAgainst({"status", "--port", std::to_string(closed)});
  EXPECT_EQ(run.status, kExitCannotConnect);
  EXPECT_EQ(run.err.find("tavin-console: cannot connect to 127.0.0.1:" + std::to_string(closed)),
            0u)
      << run.err;

  run = runAgainst({"shoot", "agentversion"});
  EXPECT_EQ(run.status, kExitUsage);
  EXPECT_NE(run.err.find("Try 'tavin-console --help'."), std::string::npos);

  run = runAgainst({"--help"});
  EXPECT_EQ(run.status, kExitOk);
  EXPECT_EQ(run.out.find("Usage: tavin-console"), 0u);
}

TEST(Console, InterruptEndsAWaitForAnAnswer) {
  FakeAgent agent;  // never answers
  agent.start();
  const ConsoleRun run = runAgainst({"status", "--port", agent.port()},
                             [](const std::string&) { return true; });
  EXPECT_EQ(run.status, kExitInterrupted);
  EXPECT_EQ(run.err, "tavin-console: interrupted\n");
}

}  // namespace
}  // namespace tavin::console
