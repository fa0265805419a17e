// The server's periods at their real length: the 40-second idle timeout and
// the 3-second heartbeat pass with its 5-second silence. Slow on purpose; the
// suite name ends in "Slow" so a quick run can leave it out
// (--gtest_filter=-*Slow*).
#include <gtest/gtest.h>

#include <vector>

#include "server/socket_test_fixture.h"

namespace tavin {
namespace {

using test::TcpClient;
using Steady = std::chrono::steady_clock;

class AgentServerSlow : public test::AgentServerSocketTest {};

TEST_F(AgentServerSlow, ASilentConsoleIsDroppedAfterFortySeconds) {
  ServerOptions o;  // the agent's own periods
  o.port = 0;
  startServer(o);
  TcpClient client;
  const auto connected = Steady::now();
  connectConsole(client);
  std::string ignored;
  TcpClient::Received got = TcpClient::Received::kTimeout;
  while (got != TcpClient::Received::kClosed && got != TcpClient::Received::kFailed &&
         Steady::now() - connected < std::chrono::seconds(80)) {
    got = client.receive(&ignored, 1000);
  }
  ASSERT_TRUE(got == TcpClient::Received::kClosed || got == TcpClient::Received::kFailed);
  // Never before the timer's period (a little slack for the clocks).
  EXPECT_GE(Steady::now() - connected, std::chrono::milliseconds(39500));
  EXPECT_TRUE(history.has("Client连接超时"));
  EXPECT_TRUE(test::waitUntil([&] { return history.has("Client 127.0.0.1 lost"); }));
}

TEST_F(AgentServerSlow, ASilentConsoleGetsAHeartbeatAfterEachFiveSecondsOfSilence) {
  ServerOptions o;
  o.port = 0;
  useSystemClock = true;  // the silence is measured by the agent's own time
  startServer(o);
  TcpClient client;
  connectConsole(client);
  std::vector<Steady::time_point> arrivals;
  std::string bytes;
  const auto end = Steady::now() + std::chrono::seconds(30);
  while (arrivals.size() < 3 && Steady::now() < end) {
    if (client.receive(&bytes, 1000) != TcpClient::Received::kData) continue;
    while (bytes.size() >= 42) {
      ASSERT_EQ(bytes.substr(0, 42), test::beatText());
      bytes.erase(0, 42);
      arrivals.push_back(Steady::now());
    }
  }
  ASSERT_EQ(arrivals.size(), 3u);
  for (size_t i = 1; i < arrivals.size(); ++i) {
    SCOPED_TRACE(i);
    // More than 5000 ms of silence, found by a pass every 3000 ms.
    EXPECT_GE(arrivals[i] - arrivals[i - 1], std::chrono::milliseconds(4500));
  }
  // Each line follows its send.
  EXPECT_TRUE(test::waitUntil([&] { return history.count("Beat message sent to 127.0.0.1") == 3; }));
}

}  // namespace
}  // namespace tavin
