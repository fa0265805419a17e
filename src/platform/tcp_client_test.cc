#include "platform/tcp_client.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

#include "platform/cancellation.h"
#include "tests/support/silent_listener.h"

namespace platform {
namespace {

constexpr int kWaitMs = 5000;  // an upper bound for things that happen at once

// A port on 127.0.0.1 that nothing listens on (it was free a moment ago).
uint16_t closedPort() {
  TcpListener listener;
  EXPECT_TRUE(listener.listen("127.0.0.1", 0).isOk());
  return listener.port();
}

int64_t millisSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                start)
      .count();
}

// One port on three loopback addresses: a listener that accepts
// (127.0.0.1), nothing (127.0.0.2) and a listener that never answers
// (127.0.0.3).
class ProbeTcp : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(open_.listen("127.0.0.1", 0).isOk());
    ASSERT_TRUE(tavin::test::listenSilently(&silent_, "127.0.0.3", open_.port()));
  }
  uint16_t port() const { return open_.port(); }

  TcpListener open_;
  TcpListener silent_;
};

TEST_F(ProbeTcp, TrueOnlyWhenTheConnectionOpensInTime) {
  constexpr int kLimitMs = 1000;
  struct Case {
    const char* remote;
    const char* local;
    bool expected;
  };
  const Case cases[] = {
      {"127.0.0.3", "127.0.0.1", false},  // no answer
      {"127.0.0.1", "127.0.0.1", true},
      {"127.0.0.2", "127.0.0.1", false},  // refused
      {"127.0.0.1", "abc", false},        // local address is not an address
      {"127.0.0.3", "127.0.0.1", false},
      {"127.0.0.1", "", false},
      {"abc", "127.0.0.1", false},
      {"127.0.0.1", "127.0.0.1.5", false},
      {"", "127.0.0.1", false},
      {"127.0.0.1", "127.0.0.1", true},
  };
  std::vector<ProbeLink> links;
  std::vector<bool> expected;
  for (const Case& c : cases) {
    links.push_back({c.remote, c.local});
    expected.push_back(c.expected);
  }
  // Side by side the two silent links cost one time limit; one at a time
  // two, and a link that waited for its turn still gets its whole limit.
  for (int atOnce : {kProbeMaxInFlight, 1}) {
    SCOPED_TRACE(std::to_string(atOnce) + " at once");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(probeTcpAll(links, port(), kLimitMs, nullptr, atOnce), expected);
    const int64_t took = millisSince(start);
    if (atOnce == 1) {
      EXPECT_GE(took, 2 * kLimitMs);
    } else {
      EXPECT_LT(took, 2 * kLimitMs);
    }
  }
  EXPECT_TRUE(probeTcp("127.0.0.1", "127.0.0.1", port()));
  EXPECT_FALSE(probeTcp("127.0.0.1", "127.0.0.1", closedPort()));
}

TEST_F(ProbeTcp, ACancelEndsEveryAttempt) {
  // More silent links than run at once, each with a limit four times what
  // the test waits for them, cancelled before or during the attempts.
  const std::vector<ProbeLink> links(2 * kProbeMaxInFlight + 1, ProbeLink{"127.0.0.3", "127.0.0.1"});
  for (bool before : {true, false}) {
    SCOPED_TRACE(before ? "cancelled before" : "cancelled during");
    Cancellation cancellation;
    if (before) cancellation.cancel();
    std::thread canceller([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      cancellation.cancel();
    });
    auto probe = std::async(std::launch::async, [&] {
      return probeTcpAll(links, port(), 4 * kWaitMs, &cancellation);
    });
    ASSERT_EQ(probe.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    EXPECT_EQ(probe.get(), std::vector<bool>(links.size(), false));
    canceller.join();
  }
}

TEST(TcpClient, ExchangesBytesAndSeesTheClose) {
  TcpListener listener;
  ASSERT_TRUE(listener.listen("127.0.0.1", 0).isOk());
  TcpClient client;
  ASSERT_TRUE(client.connect("127.0.0.1", listener.port(), kWaitMs).isOk());
  TcpClient server;
  ASSERT_TRUE(listener.accept(&server, kWaitMs).isOk());

  std::string received;
  EXPECT_EQ(client.receive(&received, 20), TcpClient::Received::kTimeout);
  EXPECT_EQ(received, "");

  // More than any socket buffer holds: sendAll has to wait for the reader.
  std::string big(4 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  std::thread writer([&] { EXPECT_TRUE(client.sendAll(big, 30000).isOk()); });
  while (received.size() < big.size()) {
    if (server.receive(&received, kWaitMs) != TcpClient::Received::kData) break;
  }
  writer.join();
  EXPECT_TRUE(received == big);

  ASSERT_TRUE(server.sendAll("pong\x01", kWaitMs).isOk());
  received.clear();
  ASSERT_EQ(client.receive(&received, kWaitMs), TcpClient::Received::kData);
  EXPECT_EQ(received, "pong\x01");

  server.close();
  EXPECT_FALSE(server.isOpen());
  received.clear();
  EXPECT_EQ(client.receive(&received, kWaitMs), TcpClient::Received::kClosed);

  // A moved client keeps the connection; the one moved from is closed.
  TcpClient moved(std::move(client));
  EXPECT_TRUE(moved.isOpen());
  EXPECT_FALSE(client.isOpen());  // NOLINT(bugprone-use-after-move)
  SysStatus failure = SysStatus::ok();
  EXPECT_EQ(client.receive(&received, 0, &failure), TcpClient::Received::kFailed);
  EXPECT_FALSE(failure.isOk());
}

TEST(TcpClient, ConnectFailuresAreReported) {
  TcpClient client;
  EXPECT_FALSE(client.connect("127.0.0.1", closedPort(), kWaitMs).isOk());
  EXPECT_FALSE(client.isOpen());
  EXPECT_FALSE(client.sendAll("x", 0).isOk());

  TcpListener listener;
  EXPECT_FALSE(listener.listen("abc", 0).isOk());
  ASSERT_TRUE(listener.listen("127.0.0.1", 0).isOk());
  TcpClient none;
  EXPECT_FALSE(listener.accept(&none, 10).isOk());  // nobody connects
  EXPECT_FALSE(none.isOpen());
}

}  // namespace
}  // namespace platform
