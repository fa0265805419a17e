#include "server/heartbeat_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "server/server_test_support.h"

namespace tavin {
namespace {

// Records what a pass asks of the server, in order.
class RecordingLink : public HeartbeatLink {
 public:
  bool hasClients() const override { return clients; }
  bool nextSysLog(std::string& out) override {
    std::lock_guard<std::mutex> lock(mu);
    if (failOnLog) throw std::runtime_error("log unreadable");
    if (endless) {
      out = "A 1 again\x02";
      return true;
    }
    if (logs.empty()) return false;
    out = logs.front();
    logs.erase(logs.begin());
    return true;
  }
  void pushToAll(std::string text) override {
    std::lock_guard<std::mutex> lock(mu);
    calls.push_back("push " + text);
  }
  void sendBeats() override {
    std::lock_guard<std::mutex> lock(mu);
    calls.push_back("beats");
  }
  void updateCounters() override {
    std::lock_guard<std::mutex> lock(mu);
    calls.push_back("counters");
  }
  std::vector<std::string> recorded() {
    std::lock_guard<std::mutex> lock(mu);
    return calls;
  }

  std::atomic<bool> clients{true};
  bool failOnLog = false;
  bool endless = false;
  std::vector<std::string> logs;
  std::mutex mu;
  std::vector<std::string> calls;
};

TEST(HeartbeatThread, AFailedPassEndsQuietly) {
  RecordingLink link;
  link.failOnLog = true;
  HeartbeatThread heartbeat(link, std::chrono::hours(1));
  heartbeat.SendPendingAndBeats();
  EXPECT_TRUE(link.recorded().empty());
}

TEST(HeartbeatThread, AnEndlessBacklogIsPushedInBoundedPasses) {
  RecordingLink link;
  link.endless = true;
  HeartbeatThread heartbeat(link, std::chrono::hours(1));
  heartbeat.SendPendingAndBeats();
  const auto calls = link.recorded();
  ASSERT_EQ(calls.size(), static_cast<size_t>(HeartbeatThread::kMaxBatchesPerPass) + 1);
  EXPECT_EQ(calls.back(), "beats");
}

TEST(HeartbeatThread, PassesRunOnlyWithClientsAndNotWhilePaused) {
  RecordingLink link;
  link.clients = false;
  HeartbeatThread heartbeat(link, std::chrono::milliseconds(1));
  heartbeat.start();
  ASSERT_TRUE(test::waitUntil([&] { return link.recorded().size() >= 3; }));
  for (const std::string& call : link.recorded()) EXPECT_EQ(call, "counters");

  heartbeat.pause();
  link.clients = true;
  const size_t before = link.recorded().size();
  // A pass that had already begun may finish; then nothing more happens
  // until resume, and after it the passes include the beats.
  heartbeat.resume();
  ASSERT_TRUE(test::waitUntil([&] {
    const auto calls = link.recorded();
    return calls.size() > before && calls.back() == "counters" &&
           std::find(calls.begin() + before, calls.end(), "beats") != calls.end();
  }));
  heartbeat.stop();
}

TEST(HeartbeatThread, StopDoesNotWaitOutThePeriod) {
  RecordingLink link;
  HeartbeatThread heartbeat(link, std::chrono::hours(1));
  heartbeat.start();
  auto stopped = std::async(std::launch::async, [&] { heartbeat.stop(); });
  ASSERT_EQ(stopped.wait_for(test::kDeadline), std::future_status::ready);
  EXPECT_TRUE(link.recorded().empty());
}

// A stop that comes at any point of the thread's start-up or wait ends the
// thread, and a stopped thread can be started again. A lost stop would leave
// the thread waiting out its hour, so the test gives up loudly instead.
TEST(HeartbeatThread, EveryStopEndsTheThreadAndStartRunsItAgain) {
  RecordingLink link;
  {
    HeartbeatThread idle(link, std::chrono::hours(1));
    auto cycles = std::async(std::launch::async, [&] {
      for (int i = 0; i < 200; ++i) {
        idle.start();
        idle.stop();
      }
    });
    if (cycles.wait_for(test::kDeadline) != std::future_status::ready) {
      std::fprintf(stderr, "a stop did not end the heartbeat thread\n");
      std::abort();
    }
    EXPECT_TRUE(link.recorded().empty());  // no period ever ended
  }
  HeartbeatThread heartbeat(link, std::chrono::milliseconds(1));
  heartbeat.start();
  heartbeat.stop();
  heartbeat.start();
  ASSERT_TRUE(test::waitUntil([&] { return !link.recorded().empty(); }));
  heartbeat.stop();
}

}  // namespace
}  // namespace tavin
