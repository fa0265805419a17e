// The server's logic against a loop driven by the test: admission, the
// receive path, the idle timer, restart, stop and start, response delivery
// and the heartbeat pass. The worker threads are real.
#include "server/agent_server.h"

#include <gtest/gtest.h>

#include <deque>
#include <set>

#include "codec/errors.h"
#include "codec/numbers.h"
#include "handlers/trouble_shooting_messages.h"
#include "server/server_test_support.h"

namespace tavin {
namespace {

using test::beatText;
using test::consoleMessage;
using test::FakeEventLoop;
using test::ManualClock;
using test::RecordingHistory;
using test::RecordingView;
using test::ScriptedRequest;
using test::statusRequest;
using test::statusResponseText;
using test::wire;
using Line = RecordingHistory::Line;

constexpr char kConsole[] = "127.0.0.1";
constexpr char kOtherConsole[] = "127.0.0.3";
constexpr char kUnlisted[] = "127.0.0.2";

// A heartbeat period no test waits for, unless it asks for a short one.
constexpr int64_t kNoHeartbeat = 3600 * 1000;

class AgentServerTest : public ::testing::Test {
 protected:
  ServerOptions options() {
    ServerOptions o;
    o.port = 0;
    o.heartbeatPeriodMillis = kNoHeartbeat;
    o.processorWaitMillis = 20;
    return o;
  }

  void startServer(const ServerOptions& o) {
    ServerContext context{
        loop,
        factory,
        history,
        clock,
        countAll,
        [this](const std::string& address) { return allowed.count(address) != 0; },
        &feed,
        &view,
    };
    server = std::make_unique<AgentServer>(context, o);
    server->start();
  }
  void startServer() { startServer(options()); }

  void addLog(const std::string& text) { feed.add(text); }
  int passCount() { return feed.passEnds(); }
  // Waits until a whole heartbeat pass has posted its work after this call,
  // then runs that work. (When pass n + 2 ends its push, pass n + 1 has
  // posted everything.)
  void awaitHeartbeatPass() {
    const int passes = passCount();
    ASSERT_TRUE(loop.pumpUntil([&] { return passCount() >= passes + 2; }));
    loop.runPosted();
  }

  // The idle timer (the one of 40 s), or 0.
  platform::TimerId idleTimer() const { return timerOf(40000); }
  // The running timer of that period, or 0.
  platform::TimerId timerOf(int64_t millis) const {
    for (const auto& [id, timer] : loop.timers()) {
      if (timer.delayMillis == millis) return id;
    }
    return 0;
  }

  FakeEventLoop loop;
  MessageBodyFactory factory = test::statusFactory();
  RecordingHistory history;
  ManualClock clock;
  std::atomic<bool> countAll{false};
  RecordingView view;
  std::set<std::string> allowed{kConsole, kOtherConsole};
  test::ListFeed feed;
  test::Gate gate;  // outlives the server, whose processor may wait at it
  // Declared last: destroyed first, while everything it uses lives.
  std::unique_ptr<AgentServer> server;
};

TEST_F(AgentServerTest, StartListensAndShowsTheRunningState) {
  startServer();
  EXPECT_TRUE(server->isListening());
  EXPECT_EQ(server->port(), 4321);
  EXPECT_EQ(history.lines().at(0).text, "Listening at 4321");
  EXPECT_TRUE(history.lines().at(0).shown);
  EXPECT_EQ(view.states, std::vector<std::string>{"listening/running"});
  EXPECT_EQ(server->beatText(), beatText());
}

TEST_F(AgentServerTest, StartFailsWithTheReasonWhenThePortCannotBeBound) {
  loop.failListen = true;
  ServerOptions o = options();
  o.port = 10012;
  try {
    startServer(o);
    FAIL() << "no error";
  } catch (const AppError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Cannot listen on port 10012: bind failed: 98", 0), 0u)
        << e.what();
  }
  EXPECT_FALSE(server->isListening());
}

TEST_F(AgentServerTest, AdmitsOneListedConsoleAtATime) {
  startServer();
  history.clear();
  const auto first = loop.connect(kConsole);
  EXPECT_TRUE(loop.isOpen(first));
  EXPECT_NE(idleTimer(), 0u);
  const auto timer = idleTimer();

  struct Case {
    const char* address;
    std::vector<std::string> lines;
  } cases[] = {
      // Listed but a console is connected: refused, then its loss.
      {kOtherConsole, {"Client 127.0.0.3 denied", "Client 127.0.0.3 lost"}},
      // Not listed: refused without a loss line.
      {kUnlisted, {"Client 127.0.0.2 denied"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    history.clear();
    const auto id = loop.connect(c.address);
    EXPECT_FALSE(loop.isOpen(id));
    EXPECT_EQ(history.texts(), c.lines);
  }
  EXPECT_TRUE(loop.isOpen(first));
  EXPECT_EQ(server->connectionCount(), 1);
  EXPECT_EQ(idleTimer(), timer);  // admission did not restart the countdown

  // The first console still works.
  loop.receive(first, statusRequest("5"));
  EXPECT_TRUE(loop.pumpUntil([&] { return loop.sentTo(first) == statusResponseText("5"); }));
}

TEST_F(AgentServerTest, RepeatedRefusalsAreCountedAndSummedUpOncePerPeriod) {
  startServer();
  loop.connect(kConsole);
  history.clear();
  for (int i = 0; i < 6; ++i) loop.connect(kUnlisted);
  for (int i = 0; i < 3; ++i) loop.connect(kOtherConsole);  // listed, but one is connected
  EXPECT_EQ(history.texts(),
            (std::vector<std::string>{"Client 127.0.0.2 denied", "Client 127.0.0.3 denied",
                                      "Client 127.0.0.3 lost"}));
  EXPECT_EQ(server->refusedCount(), 9u);

  history.clear();
  loop.fire(timerOf(60000));
  EXPECT_EQ(history.texts(),
            (std::vector<std::string>{"Client 127.0.0.2 denied 5 more times in the last minute",
                                      "Client 127.0.0.3 denied 2 more times in the last minute"}));
  EXPECT_TRUE(history.lines()[0].shown);
  // Still counted in the next period; a quiet period ends it.
  loop.connect(kUnlisted);
  history.clear();
  loop.fire(timerOf(60000));
  EXPECT_EQ(history.texts(),
            std::vector<std::string>{"Client 127.0.0.2 denied 1 more times in the last minute"});
  loop.fire(timerOf(60000));
  EXPECT_EQ(timerOf(60000), 0u);
  history.clear();
  loop.connect(kUnlisted);
  EXPECT_EQ(history.texts(), std::vector<std::string>{"Client 127.0.0.2 denied"});
}

TEST_F(AgentServerTest, AnUnlistedConsoleIsDeniedEvenWhenAlone) {
  startServer();
  history.clear();
  const auto id = loop.connect(kUnlisted);
  EXPECT_FALSE(loop.isOpen(id));
  EXPECT_EQ(history.texts(), std::vector<std::string>{"Client 127.0.0.2 denied"});
  EXPECT_EQ(idleTimer(), 0u);
}

TEST_F(AgentServerTest, ALostConsoleLeavesTheIdleTimerRunning) {
  startServer();
  const auto id = loop.connect(kConsole);
  const auto timer = idleTimer();
  history.clear();
  loop.close(id);
  EXPECT_EQ(history.lines().size(), 1u);
  EXPECT_EQ(history.lines()[0].text, "Client 127.0.0.1 lost");
  EXPECT_TRUE(history.lines()[0].shown);
  EXPECT_EQ(idleTimer(), timer);

  // A newcomer within the countdown inherits it and is timed out by it.
  const auto next = loop.connect(kOtherConsole);
  EXPECT_EQ(idleTimer(), timer);
  loop.fire(timer);
  EXPECT_FALSE(loop.isOpen(next));
  EXPECT_TRUE(history.has("Client连接超时"));
}

TEST_F(AgentServerTest, IdleTimerDropsTheConsoleAndStops) {
  startServer();
  const auto id = loop.connect(kConsole);
  history.clear();
  loop.fire(idleTimer());
  EXPECT_FALSE(loop.isOpen(id));
  EXPECT_EQ(history.texts(),
            (std::vector<std::string>{"Client连接超时", "Client 127.0.0.1 lost"}));
  EXPECT_EQ(idleTimer(), 0u);

  // With nobody connected the timer only stops.
  const auto next = loop.connect(kConsole);
  const auto timer = idleTimer();
  loop.close(next);
  history.clear();
  loop.fire(timer);
  EXPECT_TRUE(history.texts().empty());
  EXPECT_EQ(idleTimer(), 0u);
}

TEST_F(AgentServerTest, EveryAcceptedMessageRestartsTheIdleTimer) {
  startServer();
  const auto id = loop.connect(kConsole);
  struct Case {
    const char* name;
    std::string bytes;
    bool restarts;
  } cases[] = {
      {"console heartbeat", consoleMessage("12", "-1"), true},
      {"request", statusRequest("1"), true},
      {"wrong checksum", wire({"00=Tavin1.20", "01=C", "04=02", "12=1", "15=0", "99=999"}), false},
      {"garbage", "garbage", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto before = idleTimer();
    ASSERT_NE(before, 0u);
    loop.receive(id, c.bytes);
    EXPECT_EQ(idleTimer() != before, c.restarts);
    EXPECT_EQ(loop.timers().size(), 1u);
  }
}

// Each outcome of reading one message, from one read on a fresh console.
TEST_F(AgentServerTest, ReceivePathOutcomes) {
  startServer();
  const std::string wrongCheckSum =
      wire({"00=Tavin1.20", "01=C", "04=02", "12=1", "15=0", "99=999"});
  const std::string badCheckSumField = wire({"00=Tavin1.20", "01=C", "04=02", "12=1", "15=0",
                                             "38=abc"});
  const std::string notANumber = wire({"00=Tavin1.20", "01=C", "04=02", "12=1", "15=x"}) +
                                 "99=xxx" + '\x01';
  const std::string body20481 = "82=" + std::string(20477, 'a') + '\x01';
  const std::string tooLong = consoleMessage("13", "1", body20481);
  const std::string agentOlder = consoleMessage("02", "1", "", "Tavin1.21");
  const std::string consoleOlder = consoleMessage("02", "1", "", "Tavin1.19");

  struct Case {
    const char* name;
    std::string bytes;
    std::vector<Line> lines;
    bool staysOpen;
  } cases[] = {
      {"agent older", agentOlder,
       {{"探针版本低于Monitor,请升级探针", true}, {"Client 127.0.0.1 lost", true}}, false},
      {"console older", consoleOlder,
       {{"Monitor版本低于探针,请升级Monitor", true}, {"Client 127.0.0.1 lost", true}}, false},
      {"checksum field unreadable", badCheckSumField,
       {{"消息解析错误" + badCheckSumField, true}, {"Client 127.0.0.1 lost", true}}, false},
      {"body over 20480 bytes", tooLong,
       {{"消息过长", true}, {"Client 127.0.0.1 lost", true}}, false},
      {"wrong checksum", wrongCheckSum,
       {{"exception: Check sum error, <127.0.0.1>\n" + wrongCheckSum, false}}, true},
      {"bodyLength not a number", notANumber,
       {{"Exception: " + notAnIntegerMessage("x") + ", <127.0.0.1>\n" + notANumber, false}},
       true},
      {"bytes that are no message", "hello\x01world", {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto id = loop.connect(kConsole);
    history.clear();
    const uint64_t received = server->receivedCount();
    loop.receive(id, c.bytes);
    const auto lines = history.lines();
    ASSERT_EQ(lines.size(), c.lines.size()) << ::testing::PrintToString(history.texts());
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].text, c.lines[i].text);
      EXPECT_EQ(lines[i].shown, c.lines[i].shown);
    }
    EXPECT_EQ(loop.isOpen(id), c.staysOpen);
    EXPECT_EQ(server->receivedCount(), received + 1);  // every attempt counts
    EXPECT_TRUE(loop.sentTo(id).empty());
    loop.close(id);
  }
}

TEST_F(AgentServerTest, TwoRequestsInOneReadAreAnsweredInOrder) {
  startServer();
  const auto id = loop.connect(kConsole);
  loop.receive(id, statusRequest("1") + statusRequest("2"));
  EXPECT_EQ(server->receivedCount(), 2u);
  const std::string expected = statusResponseText("1") + statusResponseText("2");
  ASSERT_TRUE(loop.pumpUntil([&] { return loop.sentTo(id).size() >= expected.size(); }));
  EXPECT_EQ(loop.sentTo(id), expected);
  EXPECT_TRUE(loop.pumpUntil([&] { return server->sentCount() == 2; }));
}

// Many small messages in one read: each is taken by its real length, so the
// last one is read too.
TEST_F(AgentServerTest, ManyHeartbeatsInOneReadAreAllTaken) {
  startServer();
  const auto id = loop.connect(kConsole);
  std::string bytes;
  for (int i = 0; i < 50; ++i) bytes += consoleMessage("12", "-1");
  bytes += statusRequest("9");
  loop.receive(id, bytes);
  EXPECT_EQ(history.count("Beat message received from 127.0.0.1"), 50);
  EXPECT_EQ(server->receivedCount(), 1u);
  EXPECT_TRUE(loop.pumpUntil([&] { return loop.sentTo(id) == statusResponseText("9"); }));
}

TEST_F(AgentServerTest, ConsoleHeartbeatIsNotedButNotQueued) {
  startServer();
  countAll = true;
  const auto id = loop.connect(kConsole);
  history.clear();
  const std::string beat = consoleMessage("12", "-1");
  loop.receive(id, beat);
  EXPECT_EQ(history.texts(), (std::vector<std::string>{"[From: 127.0.0.1]received:" + beat,
                                                       "Beat message received from 127.0.0.1"}));
  EXPECT_EQ(server->receivedCount(), 0u);
  // A request after it is answered first: nothing was queued before it.
  loop.receive(id, statusRequest("3"));
  EXPECT_TRUE(loop.pumpUntil([&] { return loop.sentTo(id) == statusResponseText("3"); }));
}

// The text a read hands to each attempt shrinks message by message.
TEST_F(AgentServerTest, CountAllLogsTheUnconsumedTextOfEachAttempt) {
  startServer();
  countAll = true;
  const auto id = loop.connect(kConsole);
  history.clear();
  const std::string a = consoleMessage("12", "-1");
  const std::string b = statusRequest("1");
  loop.receive(id, a + b);
  const auto texts = history.texts();
  ASSERT_GE(texts.size(), 3u);
  EXPECT_EQ(texts[0], "[From: 127.0.0.1]received:" + a + b);
  EXPECT_EQ(texts[2], "[From: 127.0.0.1]received:" + b);
}

TEST_F(AgentServerTest, ARawTrafficLineShowsItsMessageAndAtMostAKiBMore) {
  startServer();
  countAll = true;
  const auto id = loop.connect(kConsole);
  history.clear();
  const std::string beat = consoleMessage("12", "-1");
  std::string read;
  for (int i = 0; i < 3000; ++i) read += beat;  // 126 KB of heartbeats in one read
  loop.receive(id, read);
  std::vector<std::string> raw;
  for (const std::string& text : history.texts()) {
    if (text.rfind("[From: ", 0) == 0) raw.push_back(text);
  }
  ASSERT_EQ(raw.size(), 3000u);
  const std::string prefix = "[From: 127.0.0.1]received:";
  EXPECT_EQ(raw[0], prefix + read.substr(0, beat.size() + 1024) + " [" +
                        std::to_string(read.size() - beat.size() - 1024) +
                        " more bytes not logged]");
  EXPECT_EQ(raw.back(), prefix + beat);
  size_t logged = 0;
  for (const std::string& line : raw) logged += line.size();
  EXPECT_LT(logged, 3000u * (prefix.size() + beat.size() + 1024 + 40));
}

TEST_F(AgentServerTest, ABodyOfExactly20480BytesIsQueued) {
  startServer();
  const auto id = loop.connect(kConsole);
  const std::string body = "82=" + std::string(20476, 'a') + '\x01';
  ASSERT_EQ(body.size(), 20480u);
  const std::string request = consoleMessage("13", "4", body);
  loop.receive(id, request);
  EXPECT_TRUE(loop.isOpen(id));
  // A console's log message yields no response: the processor says so.
  const std::string line = "Exception: Exception: request yields no response, <127.0.0.1>" +
                           request;
  EXPECT_TRUE(loop.pumpUntil([&] { return history.has(line); }));
}

TEST_F(AgentServerTest, ARequestOfAnUnknownTypeIsReportedByTheProcessor) {
  startServer();
  const auto id = loop.connect(kConsole);
  const std::string request = consoleMessage("77", "8", "38=1\x01");
  loop.receive(id, request);
  const std::string line = "Exception: Exception: no body class for message type 77, <127.0.0.1>" +
                           wire({"00=Tavin1.20", "01=C", "04=77", "12=8", "15=5"});
  EXPECT_TRUE(loop.pumpUntil([&] { return history.has(line); }))
      << ::testing::PrintToString(history.texts());
  EXPECT_TRUE(loop.sentTo(id).empty());
}

// Two requests split at every byte boundary across two reads: both come out
// whole and in order, and each counts once.
TEST_F(AgentServerTest, MessagesSplitAtEveryByteAreJoined) {
  startServer();
  const std::string bytes = statusRequest("1") + statusRequest("2");
  const std::string expected = statusResponseText("1") + statusResponseText("2");
  for (size_t cut = 1; cut < bytes.size(); ++cut) {
    SCOPED_TRACE(cut);
    const auto id = loop.connect(kConsole);
    const uint64_t received = server->receivedCount();
    loop.receive(id, bytes.substr(0, cut));
    loop.receive(id, bytes.substr(cut));
    ASSERT_TRUE(loop.pumpUntil([&] { return loop.sentTo(id).size() >= expected.size(); }));
    EXPECT_EQ(loop.sentTo(id), expected);
    EXPECT_EQ(server->receivedCount(), received + 2);
    loop.close(id);
  }
}

// A header that has fully arrived but cannot be read is dropped with the rest
// of its read; the next read is framed afresh.
TEST_F(AgentServerTest, AnUnreadableHeaderDropsTheRestOfTheRead) {
  startServer();
  const auto id = loop.connect(kConsole);
  history.clear();
  loop.receive(id, wire({"00=Tavin1.20", "01=C", "05=02", "12=1", "15=0"}) + statusRequest("1"));
  EXPECT_TRUE(history.texts().empty());
  EXPECT_TRUE(loop.isOpen(id));
  loop.receive(id, statusRequest("2"));
  EXPECT_TRUE(loop.pumpUntil([&] { return !loop.sentTo(id).empty(); }));
  EXPECT_EQ(loop.sentTo(id), statusResponseText("2"));
}

TEST_F(AgentServerTest, AMessageThatOutgrowsTheInboundLimitIsTooLong) {
  ServerOptions o = options();
  o.inboundLimit = 1000;
  startServer(o);
  const auto id = loop.connect(kConsole);
  history.clear();
  // A header announcing a body far beyond what is kept, then its bytes.
  loop.receive(id, wire({"00=Tavin1.20", "01=C", "04=13", "12=1", "15=999999"}));
  for (int i = 0; i < 10 && loop.isOpen(id); ++i) loop.receive(id, std::string(300, 'a'));
  EXPECT_FALSE(loop.isOpen(id));
  EXPECT_EQ(history.texts(), (std::vector<std::string>{"消息过长", "Client 127.0.0.1 lost"}));
}

TEST_F(AgentServerTest, AFullQueueDisconnectsTheConsole) {
  ServerOptions o = options();
  o.queueLimit = 2;
  // The first request blocks the processor until the test lets it go.
  factory.registerBody(2, [this] {
    return std::make_unique<ScriptedRequest>("02", [this] {
      gate.wait();
      return test::fixedStatusResponse();
    });
  });
  startServer(o);
  const auto id = loop.connect(kConsole);
  loop.receive(id, statusRequest("1"));
  history.clear();
  // One is being executed; two wait; the fourth finds the queue full.
  for (int i = 2; i <= 4 && loop.isOpen(id); ++i) {
    loop.receive(id, statusRequest(std::to_string(i)));
  }
  gate.open();
  EXPECT_FALSE(loop.isOpen(id));
  EXPECT_EQ(history.count("Request queue full, client 127.0.0.1 disconnected"), 1);
}

TEST_F(AgentServerTest, ResponsesGoOnlyToTheConnectionTheyBelongTo) {
  factory.registerBody(2, [this] {
    return std::make_unique<ScriptedRequest>("02", [this] {
      gate.wait();
      return test::fixedStatusResponse();
    });
  });
  startServer();
  const auto first = loop.connect(kConsole);
  loop.receive(first, statusRequest("1"));
  loop.close(first);
  // The same console is back from the same address before the answer is ready.
  const auto second = loop.connect(kConsole);
  history.clear();
  gate.open();
  const std::string line = "Socket closed for message, IP= 127.0.0.1" + statusResponseText("1");
  ASSERT_TRUE(loop.pumpUntil([&] { return history.has(line); }));
  EXPECT_TRUE(loop.sentTo(second).empty());
  EXPECT_EQ(server->sentCount(), 0u);
  EXPECT_FALSE(server->lastSendTime(kConsole).has_value());
}

TEST_F(AgentServerTest, AResponseIsCountedTimedAndLogged) {
  startServer();
  countAll = true;
  clock.set(5000000);
  const auto id = loop.connect(kConsole);
  loop.receive(id, statusRequest("6"));
  ASSERT_TRUE(loop.pumpUntil([&] { return server->sentCount() == 1; }));
  EXPECT_EQ(server->lastSendTime(kConsole), 5000000.0);
  EXPECT_TRUE(history.has("[To: 127.0.0.1]sending:" + statusResponseText("6")));
  EXPECT_EQ(history.count("[From: 127.0.0.1]executing:"), 1);
}

TEST_F(AgentServerTest, AResponseOver20480BytesIsNeverSent) {
  factory.registerBody(19, [] {
    return std::make_unique<ScriptedRequest>("19", [] {
      return std::make_unique<TroubleShootingResponseMessageBody>("1", "2",
                                                                  std::string(20481, 'r'));
    });
  });
  startServer();
  const auto id = loop.connect(kConsole);
  history.clear();
  loop.receive(id, consoleMessage("19", "7"));
  ASSERT_TRUE(loop.pumpUntil([&] { return history.count("Socket closed for message") == 1; }));
  EXPECT_EQ(history.texts().at(0), "消息过长");
  EXPECT_EQ(history.texts().at(1), "Client 127.0.0.1 lost");
  EXPECT_FALSE(loop.isOpen(id));
  EXPECT_TRUE(loop.sentTo(id).empty());
  EXPECT_EQ(server->sentCount(), 0u);
}

TEST_F(AgentServerTest, AConsoleThatStopsReadingIsDisconnected) {
  startServer();
  const auto id = loop.connect(kConsole);
  loop.overLimit[id] = true;
  history.clear();
  loop.receive(id, statusRequest("1"));
  ASSERT_TRUE(loop.pumpUntil([&] { return !loop.isOpen(id); }));
  EXPECT_EQ(history.texts(),
            (std::vector<std::string>{
                "Client 127.0.0.1 is not reading, send buffer full; disconnected",
                "Client 127.0.0.1 lost"}));
  EXPECT_EQ(server->sentCount(), 0u);
}

TEST_F(AgentServerTest, AClientErrorRestartsTheListener) {
  startServer();
  const auto id = loop.connect(kConsole);
  history.clear();
  view.states.clear();
  loop.fail(id, 104);
  EXPECT_EQ(history.texts(), (std::vector<std::string>{
                                 "Connection to 127.0.0.1 error(socket error):104",
                                 "Try to restart", "Client 127.0.0.1 lost", "Listening at 4321"}));
  EXPECT_EQ(view.states, (std::vector<std::string>{"closed/running", "listening/running"}));
  EXPECT_EQ(loop.listenCalls, 2);
  EXPECT_TRUE(server->isListening());
  EXPECT_TRUE(server->isRunning());
}

TEST_F(AgentServerTest, ARestartThatCannotListenLeavesTheServiceStopped) {
  startServer();
  const auto id = loop.connect(kConsole);
  loop.failListen = true;
  history.clear();
  view.states.clear();
  loop.fail(id, 104);
  EXPECT_EQ(history.count("Cannot listen on port 4321: bind failed: 98"), 1);
  EXPECT_FALSE(server->isListening());
  EXPECT_FALSE(server->isRunning());
  EXPECT_EQ(view.states.back(), "closed/stopped");

  loop.failListen = false;
  server->btnStatusClick();
  EXPECT_TRUE(server->isListening());
  EXPECT_EQ(view.states.back(), "listening/running");
}

TEST_F(AgentServerTest, StopDropsQueuedRequestsAndStartServesAgain) {
  std::atomic<int> executed{0};
  factory.registerBody(2, [this, &executed] {
    return std::make_unique<ScriptedRequest>("02", [this, &executed] {
      ++executed;
      gate.wait();
      return test::fixedStatusResponse();
    });
  });
  startServer();
  const auto id = loop.connect(kConsole);
  loop.receive(id, statusRequest("1"));
  ASSERT_TRUE(loop.pumpUntil([&] { return executed == 1; }));
  loop.receive(id, statusRequest("2"));
  loop.receive(id, statusRequest("3"));
  history.clear();
  view.states.clear();
  view.counters.clear();

  server->btnStatusClick();  // Stop
  EXPECT_FALSE(server->isListening());
  EXPECT_FALSE(loop.isOpen(id));
  EXPECT_EQ(history.texts(), std::vector<std::string>{"Client 127.0.0.1 lost"});
  EXPECT_EQ(view.states, std::vector<std::string>{"closed/stopped"});
  ASSERT_FALSE(view.counters.empty());
  EXPECT_EQ(view.counters.back().connections, 0);
  EXPECT_EQ(view.counters.back().received, 3u);

  // The request being executed finishes; its console has gone.
  gate.open();
  ASSERT_TRUE(loop.pumpUntil([&] { return history.count("Socket closed for message") == 1; }));

  server->btnStatusClick();  // Start
  EXPECT_TRUE(server->isListening());
  EXPECT_EQ(history.texts().back(), "Listening at 4321");
  EXPECT_EQ(view.states.back(), "listening/running");
  const auto next = loop.connect(kConsole);
  loop.receive(next, statusRequest("4"));
  ASSERT_TRUE(loop.pumpUntil([&] { return !loop.sentTo(next).empty(); }));
  // Requests 2 and 3 were dropped unanswered; 4 is the only answer.
  EXPECT_EQ(loop.sentTo(next), statusResponseText("4"));
  EXPECT_EQ(executed, 2);
  EXPECT_EQ(server->receivedCount(), 4u);  // the counters keep their values
}

TEST_F(AgentServerTest, ShutdownWritesAgentClosedLast) {
  startServer();
  loop.connect(kConsole);
  history.clear();
  server->shutdown();
  EXPECT_EQ(history.texts(), std::vector<std::string>{"Agent Closed"});
  EXPECT_FALSE(server->isListening());
  EXPECT_EQ(server->connectionCount(), 0);
  server->shutdown();
  EXPECT_EQ(history.texts().size(), 1u);
}

TEST_F(AgentServerTest, HeartbeatPassPushesLogsFirstThenDueBeats) {
  ServerOptions o = options();
  o.heartbeatPeriodMillis = 1;
  clock.set(1000000);
  startServer(o);
  // New lines wait until a console is connected.
  addLog("A 1 first\x02");
  addLog("A 2 second\x02");
  const auto id = loop.connect(kConsole);
  awaitHeartbeatPass();

  const std::string sent = loop.sentTo(id);
  const MessageBodyFactory wireFactory = wireBodyFactory();
  size_t next = 0;
  for (const char* record : {"A 1 first\x02", "A 2 second\x02"}) {
    SCOPED_TRACE(record);
    Message message;
    const int64_t at = message.parse(sent.substr(next), wireFactory);
    ASSERT_GT(at, 0);
    EXPECT_EQ(message.getOrientation(), "S");
    EXPECT_EQ(message.getSequence(), "-1");
    EXPECT_EQ(message.getMessageType(), "13");
    EXPECT_EQ(message.body()->getValue("sysLog"), record);
    next += static_cast<size_t>(at - 1) + 7;
  }
  EXPECT_EQ(sent.substr(next), beatText());
  EXPECT_EQ(history.count("Beat message sent to 127.0.0.1"), 1);
  EXPECT_EQ(history.count("[To: "), 0);  // pushes leave no line without CountAll
  EXPECT_EQ(server->sentCount(), 0u);
  EXPECT_EQ(server->lastSendTime(kConsole), 1000000.0);
}

TEST_F(AgentServerTest, WithCountAllPushesAreLogged) {
  ServerOptions o = options();
  o.heartbeatPeriodMillis = 1;
  countAll = true;
  startServer(o);
  addLog("A 1 first\x02");
  loop.connect(kConsole);
  awaitHeartbeatPass();
  EXPECT_EQ(history.count("[To: 127.0.0.1]sending:00=Tavin1.20\x01" "01=S\x01" "04=13\x01"), 1);
}

TEST_F(AgentServerTest, BeatsFollowTheSilenceSinceTheLastSend) {
  ServerOptions o = options();
  o.heartbeatPeriodMillis = 1;
  clock.set(1000000);
  startServer(o);
  const auto id = loop.connect(kConsole);
  awaitHeartbeatPass();
  ASSERT_EQ(history.count("Beat message sent to "), 1);

  struct Step {
    const char* name;
    double now;
    int beats;  // total so far
  } steps[] = {
      {"5000 ms is not more than 5000", 1005000, 1},
      {"5001 ms is", 1005001, 2},
      {"clock set back by more than 5000 ms", 990000, 3},
      {"right after that beat", 990001, 3},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    clock.set(step.now);
    awaitHeartbeatPass();
    EXPECT_EQ(history.count("Beat message sent to 127.0.0.1"), step.beats);
  }

  // A response postpones the next beat.
  clock.set(994000);
  loop.receive(id, statusRequest("1"));
  ASSERT_TRUE(loop.pumpUntil([&] { return server->sentCount() == 1; }));
  EXPECT_EQ(server->lastSendTime(kConsole), 994000.0);
  clock.set(999000);
  awaitHeartbeatPass();
  EXPECT_EQ(history.count("Beat message sent to 127.0.0.1"), 3);
  clock.set(999001);
  awaitHeartbeatPass();
  EXPECT_EQ(history.count("Beat message sent to 127.0.0.1"), 4);
}

}  // namespace
}  // namespace tavin

namespace tavin {
namespace {

// The log texts of the type "13" messages among the bytes sent.
std::vector<std::string> pushedTexts(const std::string& sent) {
  const MessageBodyFactory wireFactory = wireBodyFactory();
  std::vector<std::string> texts;
  size_t next = 0;
  while (next < sent.size()) {
    Message message;
    const int64_t at = message.parse(sent.substr(next), wireFactory);
    if (at <= 0) break;
    if (message.getMessageType() == "13") texts.push_back(message.body()->getValue("sysLog"));
    next += static_cast<size_t>(at - 1) + message.getCheckSumLength();
  }
  return texts;
}

// Log batches of about 20 KB, each starting with its number.
std::string bigBatch(int k) { return std::to_string(k) + std::string(20000, 'x') + "\x02"; }

std::vector<std::string> bigBatches(int from, int to) {
  std::vector<std::string> texts;
  for (int k = from; k < to; ++k) texts.push_back(bigBatch(k));
  return texts;
}

TEST_F(AgentServerTest, TheLogPushWaitsForTheConsoleToTakeItsBytes) {
  ServerOptions o = options();
  o.heartbeatPeriodMillis = 1;
  startServer(o);
  for (int k = 0; k < 60; ++k) addLog(bigBatch(k));  // 1.2 MB: far more than the watermark
  const auto id = loop.connect(kConsole);
  loop.holdBytes.insert(id);  // the console reads nothing for now
  ASSERT_TRUE(loop.pumpUntil([&] { return loop.pendingBytes(id) >= HeartbeatThread::kLowWatermark; }));
  // Passes go on; nothing more is read while the console has no room.
  const int reads = feed.reads();
  const size_t passes = view.counters.size();
  ASSERT_TRUE(loop.pumpUntil([&] { return view.counters.size() >= passes + 5; }));
  EXPECT_EQ(feed.reads(), reads);
  EXPECT_LT(loop.pendingBytes(id), HeartbeatThread::kLowWatermark + 20480 + 100);
  EXPECT_EQ(feed.maxText(), 20480u - 4);  // "82=" and SOH around the lines

  // The console takes what waits: the rest follows, every batch once, in
  // order; first as the socket reports its writes, then as the heartbeats,
  // each written with what waited before it, show the room.
  ASSERT_TRUE(loop.pumpUntil([&] {
    loop.drain(id, SIZE_MAX);
    return pushedTexts(loop.sentTo(id)).size() >= 20;
  }));
  ASSERT_TRUE(loop.pumpUntil([&] { return loop.pendingBytes(id) >= HeartbeatThread::kLowWatermark; }));
  double now = 1.7e12;
  ASSERT_TRUE(loop.pumpUntil([&] {
    loop.drain(id, SIZE_MAX, false);
    clock.set(now += 6000);  // a heartbeat is due at every pass
    return pushedTexts(loop.sentTo(id)).size() == 60;
  }));
  EXPECT_EQ(pushedTexts(loop.sentTo(id)), bigBatches(0, 60));
  EXPECT_EQ(server->pushedLines(0), 60u);
  EXPECT_TRUE(loop.isOpen(id));
}

// The console's host acknowledged the first three messages and part of the
// fourth, though the system took everything (into its send buffer), and the
// console went: the next console gets every line from the fourth on. A
// failure on the loop's side of a push loses nothing either.
TEST_F(AgentServerTest, LinesTheConsolesHostNeverAcknowledgedGoToTheNextConsole) {
  ServerOptions o = options();
  o.heartbeatPeriodMillis = 1;
  o.pushAnswerMillis = 3600 * 1000;  // an answer that did not come would hang the test
  countAll = true;
  history.failOn = "[To: ";  // the first push's raw-traffic line fails
  startServer(o);
  for (int k = 0; k < 30; ++k) addLog(bigBatch(k));
  const auto first = loop.connect(kConsole);
  loop.holdAcks.insert(first);
  ASSERT_TRUE(loop.pumpUntil([&] { return pushedTexts(loop.sentTo(first)).size() == 30; }));
  EXPECT_EQ(pushedTexts(loop.sentTo(first)), bigBatches(0, 30));
  EXPECT_EQ(loop.escaped, std::vector<std::string>{"history unwritable"});
  const std::string sent = loop.sentTo(first);
  size_t acknowledged = 0;
  for (int logs = 0; logs < 3;) {
    Message message;
    const int64_t at = message.parse(sent.substr(acknowledged), wireBodyFactory());
    ASSERT_GT(at, 0);
    acknowledged += static_cast<size_t>(at - 1) + message.getCheckSumLength();
    logs += message.getMessageType() == "13" ? 1 : 0;
  }
  loop.acknowledge(first, acknowledged + 10);
  loop.close(first);
  // Kept for a restart: the position behind the last message acknowledged,
  // never one further.
  ASSERT_TRUE(loop.pumpUntil([&] { return !feed.saved().empty(); }));
  EXPECT_EQ(feed.saved(), std::vector<size_t>{3});

  const auto next = loop.connect(kConsole);
  ASSERT_TRUE(loop.pumpUntil([&] { return pushedTexts(loop.sentTo(next)).size() == 27; }));
  EXPECT_EQ(pushedTexts(loop.sentTo(next)), bigBatches(3, 30));
  ASSERT_TRUE(loop.pumpUntil([&] { return feed.saved().back() == 30; }));
}

// A connection being refused is never the console, not even while it closes:
// passes that run meanwhile read nothing.
TEST_F(AgentServerTest, ARefusedConnectionNeverStartsAPush) {
  ServerOptions o = options();
  o.heartbeatPeriodMillis = 1;
  startServer(o);
  addLog("A 1 first\x02");
  loop.beforeDisconnect = [&] {
    const size_t posts = loop.postCount();
    // Each pass posts its counters' refresh: a few passes run here (unless
    // one waits for the loop, held here, to take a push).
    test::waitUntil([&] { return loop.postCount() >= posts + 3; }, std::chrono::seconds(2));
  };
  for (int i = 0; i < 5; ++i) loop.connect(kUnlisted);
  loop.beforeDisconnect = nullptr;
  loop.runPosted();
  EXPECT_EQ(feed.reads(), 0);
  EXPECT_EQ(server->refusedCount(), 5u);
}

}  // namespace
}  // namespace tavin
