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

constexpr platform::ConnectionId kConsole = 7;

// Plays the server: a feed of numbered batches whose position is the index
// of the next one, and a loop that answers every push at once, as the test
// says. Records the calls in order.
class RecordingLink : public HeartbeatLink {
 public:
  explicit RecordingLink(int batches = 0) : batches_(batches) {}

  void attach(HeartbeatThread* heartbeat) { heartbeat_ = heartbeat; }

  bool nextSysLog(LogBatch* batch) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (failOnLog) throw std::runtime_error("log unreadable");
    ++reads_;
    if (next_ >= batches_) return false;
    batch->text = "A " + std::to_string(next_++) + " line\x02";
    batch->lines = 1;
    return true;
  }
  std::any sysLogPosition() override {
    std::lock_guard<std::mutex> lock(mu_);
    return next_;
  }
  void rewindSysLog(const std::any& position) override {
    std::lock_guard<std::mutex> lock(mu_);
    next_ = std::any_cast<int>(position);
    calls_.push_back("rewind " + std::to_string(next_));
  }
  void pushTo(platform::ConnectionId console, LogPush push) override {
    bool take = false;
    size_t unsent = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      const size_t at = push.text.find("A ");
      calls_.push_back("push " + push.text.substr(at, push.text.find(' ', at + 2) - at) + " to " +
                       std::to_string(console));
      take = take_;
      unsent = unsentAfterPush_;
    }
    heartbeat_->pushAnswered(take, unsent);
  }
  void sendBeats() override { record("beats"); }
  void refreshCountersFromHeartbeat() override { record("counters"); }

  void setAnswer(bool take, size_t unsent) {
    std::lock_guard<std::mutex> lock(mu_);
    take_ = take;
    unsentAfterPush_ = unsent;
  }
  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }
  size_t count(const std::string& prefix) const {
    size_t n = 0;
    for (const std::string& call : calls()) n += call.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
  int reads() const {
    std::lock_guard<std::mutex> lock(mu_);
    return reads_;
  }

  std::atomic<bool> failOnLog{false};

 private:
  void record(const std::string& call) {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back(call);
  }

  mutable std::mutex mu_;
  HeartbeatThread* heartbeat_ = nullptr;
  const int batches_;
  int next_ = 0;
  int reads_ = 0;
  bool take_ = true;
  size_t unsentAfterPush_ = 0;
  std::vector<std::string> calls_;
};

struct Running {
  explicit Running(int batches, std::chrono::milliseconds period = std::chrono::milliseconds(5))
      : link(batches), heartbeat(link, period) {
    link.attach(&heartbeat);
  }
  RecordingLink link;
  HeartbeatThread heartbeat;
};

TEST(HeartbeatThread, APassPushesEveryNewBatchThenBeatsAndOnlyForAConsole) {
  Running r(3);
  r.heartbeat.start();
  ASSERT_TRUE(test::waitUntil([&] { return r.link.count("counters") >= 2; }));
  // No console: nothing is read, only the counters are refreshed.
  EXPECT_EQ(r.link.reads(), 0);
  EXPECT_EQ(r.link.count("beats"), 0u);

  r.heartbeat.consoleAdmitted(kConsole);
  ASSERT_TRUE(test::waitUntil([&] { return r.link.count("beats") >= 1; }));
  r.heartbeat.stop();
  const auto calls = r.link.calls();
  const auto firstPush = std::find(calls.begin(), calls.end(), "push A 0 to 7");
  ASSERT_NE(firstPush, calls.end());
  EXPECT_EQ(std::vector<std::string>(firstPush, firstPush + 4),
            (std::vector<std::string>{"push A 0 to 7", "push A 1 to 7", "push A 2 to 7", "beats"}));
}

TEST(HeartbeatThread, ReadsOnlyWhileTheConsoleHasRoom) {
  Running r(1000);
  r.heartbeat.consoleAdmitted(kConsole);
  // Each push leaves the console at the watermark.
  r.link.setAnswer(true, HeartbeatThread::kLowWatermark);
  r.heartbeat.start();
  ASSERT_TRUE(test::waitUntil([&] { return r.link.count("beats") >= 3; }));
  // Passes went on with their beats; nothing more was read meanwhile.
  EXPECT_EQ(r.link.count("push"), 1u);
  EXPECT_EQ(r.link.reads(), 1);
  // The loop says the console took bytes: the next batch follows at once,
  // between passes.
  r.heartbeat.unsentChanged(kConsole, HeartbeatThread::kLowWatermark - 1);
  ASSERT_TRUE(test::waitUntil([&] { return r.link.count("push") == 2; }));
  r.heartbeat.stop();
  EXPECT_EQ(r.link.reads(), 2);
}

TEST(HeartbeatThread, ABatchTheConsoleDidNotGetIsReadAgain) {
  Running r(6);
  r.heartbeat.consoleAdmitted(kConsole);
  // Taken but never written: the console leaves with batches 0 and 1 unsent.
  r.link.setAnswer(true, HeartbeatThread::kLowWatermark);
  r.heartbeat.start();
  ASSERT_TRUE(test::waitUntil([&] { return r.link.count("push") == 1; }));
  r.heartbeat.consoleGone(kConsole, std::any(0));
  // A push the connection refuses is read again too.
  r.link.setAnswer(false, 0);
  r.heartbeat.consoleAdmitted(kConsole + 1);
  ASSERT_TRUE(test::waitUntil([&] { return r.link.count("rewind") >= 2; }));
  r.heartbeat.pause();
  r.link.setAnswer(true, 0);
  r.heartbeat.resume();
  ASSERT_TRUE(test::waitUntil([&] { return r.link.count("push A 5 to 8") == 1; }));
  r.heartbeat.stop();
  const auto calls = r.link.calls();
  // The rewind to the first unsent batch comes before anything else is read
  // for the next console, and every batch from there reaches it in order.
  const auto rewind = std::find(calls.begin(), calls.end(), "rewind 0");
  ASSERT_NE(rewind, calls.end());
  EXPECT_EQ(*(rewind + 1), "push A 0 to 8");
  std::vector<std::string> taken;
  for (auto it = calls.rbegin(); it != calls.rend() && taken.size() < 6; ++it) {
    if (it->rfind("push", 0) == 0) taken.insert(taken.begin(), *it);
  }
  EXPECT_EQ(taken, (std::vector<std::string>{"push A 0 to 8", "push A 1 to 8", "push A 2 to 8",
                                             "push A 3 to 8", "push A 4 to 8", "push A 5 to 8"}));
}

TEST(HeartbeatThread, PausedPassesDoNothingAndAFailedPassEndsQuietly) {
  Running r(1000, std::chrono::milliseconds(1));
  r.heartbeat.consoleAdmitted(kConsole);
  r.heartbeat.pause();
  r.heartbeat.start();
  // Fifty periods pass while paused: not one of their passes runs.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(r.link.calls().empty());

  r.link.failOnLog = true;
  r.heartbeat.resume();
  ASSERT_TRUE(test::waitUntil([&] { return r.link.count("counters") >= 2; }));
  r.heartbeat.stop();
  EXPECT_EQ(r.link.count("push"), 0u);
  EXPECT_EQ(r.link.count("beats"), 0u);
}

TEST(HeartbeatThread, StopEndsEveryWaitAtOnce) {
  struct Case {
    const char* name;
    bool console;
    bool full;  // the console's unsent bytes at the watermark
  };
  for (const Case& c : {Case{"the period", false, false}, Case{"room at the console", true, true}}) {
    SCOPED_TRACE(c.name);
    Running r(1000, std::chrono::milliseconds(c.full ? 1 : 3600 * 1000));
    if (c.console) r.heartbeat.consoleAdmitted(kConsole);
    if (c.full) r.link.setAnswer(true, HeartbeatThread::kLowWatermark);
    r.heartbeat.start();
    if (c.full) {
      ASSERT_TRUE(test::waitUntil([&] { return r.link.count("push") == 1; }));
    }
    auto stopped = std::async(std::launch::async, [&] { r.heartbeat.stop(); });
    ASSERT_EQ(stopped.wait_for(test::kDeadline), std::future_status::ready);
  }
}

// A stop that comes at any point of the thread's start-up or wait ends the
// thread, and a stopped thread can be started again. A lost stop would leave
// the thread waiting out its hour, so the test gives up loudly instead.
TEST(HeartbeatThread, EveryStopEndsTheThreadAndStartRunsItAgain) {
  {
    Running idle(0, std::chrono::hours(1));
    auto cycles = std::async(std::launch::async, [&] {
      for (int i = 0; i < 200; ++i) {
        idle.heartbeat.start();
        idle.heartbeat.stop();
      }
    });
    if (cycles.wait_for(test::kDeadline) != std::future_status::ready) {
      std::fprintf(stderr, "a stop did not end the heartbeat thread\n");
      std::abort();
    }
    EXPECT_TRUE(idle.link.calls().empty());  // no period ever ended
  }
  Running r(0, std::chrono::milliseconds(1));
  r.heartbeat.start();
  r.heartbeat.stop();
  r.heartbeat.start();
  ASSERT_TRUE(test::waitUntil([&] { return !r.link.calls().empty(); }));
  r.heartbeat.stop();
}

}  // namespace
}  // namespace tavin
