#include "platform/tcp_client.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "platform/cancellation.h"

namespace platform {
namespace {

constexpr int kWaitMs = 5000;  // an upper bound for things that happen at once

// A port on 127.0.0.1 that nothing listens on (it was free a moment ago).
uint16_t closedPort() {
  TcpListener listener;
  EXPECT_TRUE(listener.listen("127.0.0.1", 0).isOk());
  return listener.port();
}

TEST(ProbeTcp, TrueOnlyWhenTheConnectionOpens) {
  TcpListener listener;
  ASSERT_TRUE(listener.listen("127.0.0.1", 0).isOk());
  const uint16_t open = listener.port();
  ASSERT_NE(open, 0);
  const uint16_t closed = closedPort();
  struct Case {
    const char* remote;
    const char* local;
    uint16_t port;
    bool expected;
  };
  const Case cases[] = {
      {"127.0.0.1", "127.0.0.1", open, true},
      {"127.0.0.1", "127.0.0.1", closed, false},  // refused
      {"127.0.0.1", "abc", open, false},          // local address is not an address
      {"127.0.0.1", "", open, false},
      {"abc", "127.0.0.1", open, false},
      {"127.0.0.1", "127.0.0.1.5", open, false},
      {"", "127.0.0.1", open, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.remote) + " from " + c.local + ":" + std::to_string(c.port));
    EXPECT_EQ(probeTcp(c.remote, c.local, c.port, kWaitMs), c.expected);
  }
}

// A listener that never accepts answers connections only while its accept
// queue has room; every probe leaves one entry there. Once it is full, new
// connections get no answer. True when a probe has timed out on it.
bool fillAcceptQueue(const TcpListener& listener) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    if (!probeTcp("127.0.0.1", "127.0.0.1", listener.port(), 200)) return true;
  }
  return false;
}

TEST(ProbeTcp, GivesUpWhenTheListenerDoesNotAnswer) {
  TcpListener listener;
  ASSERT_TRUE(listener.listen("127.0.0.1", 0, 1).isOk());
  EXPECT_TRUE(probeTcp("127.0.0.1", "127.0.0.1", listener.port(), kWaitMs));
  EXPECT_TRUE(fillAcceptQueue(listener));
}

TEST(ProbeTcp, ACancelEndsTheAttempt) {
  TcpListener listener;
  ASSERT_TRUE(listener.listen("127.0.0.1", 0, 1).isOk());
  ASSERT_TRUE(fillAcceptQueue(listener));
  // Cancelled before or during an attempt whose own limit is four times
  // what the test waits for it.
  for (bool before : {true, false}) {
    SCOPED_TRACE(before ? "cancelled before" : "cancelled during");
    Cancellation cancellation;
    if (before) cancellation.cancel();
    std::thread canceller([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      cancellation.cancel();
    });
    auto probe = std::async(std::launch::async, [&] {
      return probeTcp("127.0.0.1", "127.0.0.1", listener.port(), 4 * kWaitMs, &cancellation);
    });
    ASSERT_EQ(probe.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    EXPECT_FALSE(probe.get());
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
