// The fixture of the server's socket tests: the server on a real loop of its
// own thread, and helpers for the test thread, which plays the console.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/tcp_client.h"
#include "server/agent_server.h"
#include "server/server_test_support.h"

namespace tavin::test {

using platform::TcpClient;

inline constexpr int kMillis = 10000;

// Reads until n bytes have arrived (or the connection ends, or the deadline).
inline std::string readBytes(TcpClient& client, size_t n) {
  std::string bytes;
  while (bytes.size() < n) {
    if (client.receive(&bytes, kMillis) != TcpClient::Received::kData) break;
  }
  return bytes;
}

// Reads until the agent closes the connection; false if it does not.
inline bool closedByAgent(TcpClient& client) {
  std::string ignored;
  for (int i = 0; i < 1000; ++i) {
    const TcpClient::Received got = client.receive(&ignored, kMillis);
    if (got == TcpClient::Received::kClosed || got == TcpClient::Received::kFailed) return true;
    if (got == TcpClient::Received::kTimeout) return false;
  }
  return false;
}

class AgentServerSocketTest : public ::testing::Test {
 protected:
  ServerOptions options() {
    ServerOptions o;
    o.port = 0;
    o.heartbeatPeriodMillis = 3600 * 1000;
    o.processorWaitMillis = 20;
    return o;
  }

  void startServer(const ServerOptions& o) {
    ASSERT_TRUE(thread.ok());
    port = thread.call([&] {
      ServerContext context{
          thread.loop(),
          factory,
          history,
          useSystemClock ? platform::Clock::system() : static_cast<platform::Clock&>(clock),
          countAll,
          [this](const std::string& address) {
            std::lock_guard<std::mutex> lock(mu);
            return allowed.count(address) != 0;
          },
          &feed,
          nullptr,
      };
      server = std::make_unique<AgentServer>(context, o);
      server->start();
      return server->port();
    });
    ASSERT_NE(port, 0);
  }
  void startServer() { startServer(options()); }

  void TearDown() override {
    if (thread.ok()) {
      thread.call([&] {
        server.reset();
        return 0;
      });
    }
    thread.stop();
  }

  // A console connected and admitted (its "connected" line written).
  void connectConsole(TcpClient& client) {
    const int before = history.count("Client 127.0.0.1 connected");
    ASSERT_TRUE(client.connect("127.0.0.1", port, kMillis).isOk());
    ASSERT_TRUE(test::waitUntil([&] { return history.count("Client 127.0.0.1 connected") > before; }));
  }

  MessageBodyFactory factory = test::statusFactory();
  test::RecordingHistory history;
  // At 0 no console is ever due a heartbeat; tests that want them move it.
  test::ManualClock clock{0};
  // Slow tests measure silence with the real clock instead.
  bool useSystemClock = false;
  std::atomic<bool> countAll{false};
  std::mutex mu;
  std::set<std::string> allowed{"127.0.0.1"};
  ListFeed feed;
  test::LoopThread thread;
  std::unique_ptr<AgentServer> server;  // lives on the loop thread
  uint16_t port = 0;
};

}  // namespace tavin::test
