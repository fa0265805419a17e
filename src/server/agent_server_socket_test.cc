// The server on a real loop with loopback sockets: the test thread plays the
// console.
#include <gtest/gtest.h>

#include "handlers/system_log_message.h"
#include "server/socket_test_fixture.h"

namespace tavin {
namespace {

using test::AgentServerSocketTest;
using test::beatText;
using test::closedByAgent;
using test::readBytes;
using test::TcpClient;
using test::consoleMessage;
using test::statusRequest;
using test::statusResponseText;
using test::waitUntil;

constexpr int kMillis = test::kMillis;

TEST_F(AgentServerSocketTest, TheHeartbeatGoesOutAsFortyTwoBytes) {
  ServerOptions o = options();
  o.heartbeatPeriodMillis = 20;
  clock.set(1.7e12);
  startServer(o);
  TcpClient client;
  connectConsole(client);
  const std::string beat = readBytes(client, 42);
  EXPECT_EQ(test::hex(beat),
            test::hex(test::wire({"00=Tavin1.20", "01=S", "04=12", "12=-1", "15=0", "99= 43"})));
  EXPECT_TRUE(waitUntil([&] { return history.count("Beat message sent to 127.0.0.1") == 1; }));
}

TEST_F(AgentServerSocketTest, AStatusRequestIsAnsweredWithItsSequence) {
  startServer();
  TcpClient client;
  connectConsole(client);
  ASSERT_TRUE(client.sendAll(statusRequest("7")).isOk());
  const std::string expected = statusResponseText("7");
  EXPECT_EQ(readBytes(client, expected.size()), expected);
  EXPECT_TRUE(waitUntil([&] { return server->sentCount() == 1; }));
}

TEST_F(AgentServerSocketTest, TwoRequestsInOneSendAreAnsweredInOrder) {
  startServer();
  TcpClient client;
  connectConsole(client);
  ASSERT_TRUE(client.sendAll(statusRequest("1") + statusRequest("2")).isOk());
  const std::string expected = statusResponseText("1") + statusResponseText("2");
  EXPECT_EQ(readBytes(client, expected.size()), expected);
}

TEST_F(AgentServerSocketTest, AMessageInTwoPiecesIsJoined) {
  startServer();
  countAll = true;
  TcpClient client;
  connectConsole(client);
  const std::string request = statusRequest("3");
  const std::string first = request.substr(0, 20);
  ASSERT_TRUE(client.sendAll(first).isOk());
  // The agent has read the first piece before the second is sent.
  ASSERT_TRUE(waitUntil([&] { return history.has("[From: 127.0.0.1]received:" + first); }));
  ASSERT_TRUE(client.sendAll(request.substr(20)).isOk());
  const std::string expected = statusResponseText("3");
  EXPECT_EQ(readBytes(client, expected.size()), expected);
  EXPECT_EQ(server->receivedCount(), 1u);
}

TEST_F(AgentServerSocketTest, AWrongChecksumIsLoggedAndTheConnectionKept) {
  startServer();
  TcpClient client;
  connectConsole(client);
  std::string bad = statusRequest("4");
  bad[bad.size() - 2] = bad[bad.size() - 2] == '0' ? '1' : '0';
  ASSERT_TRUE(client.sendAll(bad).isOk());
  const std::string line = "exception: Check sum error, <127.0.0.1>\n" + bad;
  ASSERT_TRUE(waitUntil([&] { return history.has(line); }));
  ASSERT_TRUE(client.sendAll(statusRequest("5")).isOk());
  const std::string expected = statusResponseText("5");
  EXPECT_EQ(readBytes(client, expected.size()), expected);
}

TEST_F(AgentServerSocketTest, RefusedMessagesCloseTheConnection) {
  startServer();
  const std::string tooLong = consoleMessage("13", "1", "82=" + std::string(20477, 'a') + '\x01');
  struct Case {
    const char* name;
    std::string bytes;
    std::string line;
  } cases[] = {
      {"console older", consoleMessage("02", "1", "", "Tavin1.19"),
       "Monitor版本低于探针,请升级Monitor"},
      {"agent older", consoleMessage("02", "1", "", "Tavin2.00"),
       "探针版本低于Monitor,请升级探针"},
      {"body too long", tooLong, "消息过长"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TcpClient client;
    connectConsole(client);
    ASSERT_TRUE(client.sendAll(c.bytes).isOk());
    EXPECT_TRUE(closedByAgent(client));
    EXPECT_TRUE(waitUntil([&] { return history.has(c.line); }));
    EXPECT_TRUE(waitUntil([&] { return server->connectionCount() == 0; }));
  }
}

TEST_F(AgentServerSocketTest, AnUnlistedConsoleIsDenied) {
  allowed.clear();
  startServer();
  TcpClient client;
  ASSERT_TRUE(client.connect("127.0.0.1", port, kMillis).isOk());
  EXPECT_TRUE(closedByAgent(client));
  EXPECT_TRUE(waitUntil([&] { return history.has("Client 127.0.0.1 denied"); }));
  EXPECT_EQ(history.count("Client 127.0.0.1 lost"), 0);
}

TEST_F(AgentServerSocketTest, ASecondConsoleIsDeniedWhileTheFirstKeepsWorking) {
  startServer();
  TcpClient first;
  connectConsole(first);
  TcpClient second;
  ASSERT_TRUE(second.connect("127.0.0.1", port, kMillis).isOk());
  EXPECT_TRUE(closedByAgent(second));
  EXPECT_TRUE(waitUntil([&] { return history.has("Client 127.0.0.1 lost"); }));
  EXPECT_EQ(history.count("Client 127.0.0.1 denied"), 1);

  ASSERT_TRUE(first.sendAll(statusRequest("8")).isOk());
  const std::string expected = statusResponseText("8");
  EXPECT_EQ(readBytes(first, expected.size()), expected);
}

TEST_F(AgentServerSocketTest, LogLinesArePushedInBatchesBeforeTheHeartbeat) {
  ServerOptions o = options();
  o.heartbeatPeriodMillis = 20;
  clock.set(1.7e12);
  feed.add("A 1 first\x02");
  feed.add("A 2 second\x02" "B 1 third\x02");
  startServer(o);
  TcpClient client;
  connectConsole(client);
  std::string expected;
  for (const char* record : {"A 1 first\x02", "A 2 second\x02" "B 1 third\x02"}) {
    Message message("Tavin1.20", "S", "-1", std::make_unique<LogMessageBody>(record));
    expected += message.toString();
  }
  expected += beatText();
  EXPECT_EQ(readBytes(client, expected.size()), expected);
}

TEST_F(AgentServerSocketTest, StopClosesThePortAndStartOpensItAgain) {
  startServer();
  TcpClient client;
  connectConsole(client);
  ASSERT_TRUE(client.sendAll(statusRequest("1")).isOk());
  ASSERT_EQ(readBytes(client, statusResponseText("1").size()), statusResponseText("1"));

  thread.call([&] {
    server->btnStatusClick();
    return 0;
  });
  EXPECT_TRUE(closedByAgent(client));
  TcpClient refused;
  EXPECT_FALSE(refused.connect("127.0.0.1", port, kMillis).isOk());

  thread.call([&] {
    server->btnStatusClick();
    return 0;
  });
  EXPECT_EQ(thread.call([&] { return server->port(); }), port);
  TcpClient again;
  connectConsole(again);
  ASSERT_TRUE(again.sendAll(statusRequest("2")).isOk());
  EXPECT_EQ(readBytes(again, statusResponseText("2").size()), statusResponseText("2"));
  EXPECT_EQ(server->receivedCount(), 2u);
  EXPECT_TRUE(waitUntil([&] { return server->sentCount() == 2; }));
  EXPECT_EQ(history.count("Listening at " + std::to_string(port)), 2);
}

TEST_F(AgentServerSocketTest, ShutdownClosesTheConsoleAndThePort) {
  startServer();
  TcpClient client;
  connectConsole(client);
  thread.call([&] {
    server->shutdown();
    return 0;
  });
  EXPECT_TRUE(closedByAgent(client));
  TcpClient refused;
  EXPECT_FALSE(refused.connect("127.0.0.1", port, kMillis).isOk());
  EXPECT_EQ(history.texts().back(), "Agent Closed");
}

}  // namespace
}  // namespace tavin
