#include "server/heartbeat_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <initializer_list>
#include <optional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "server/server_test_support.h"

namespace tavin {
namespace {

constexpr platform::ConnectionId kConsole = 7;

// Plays the server: a feed of numbered batches (of `size` bytes) whose
// position is the index of the next one, and a loop that answers every
// hand-off at once, as the test says. Records the calls in order.
class RecordingLink : public HeartbeatLink {
 public:
  explicit RecordingLink(int batches = 0, size_t size = 10) : batches_(batches), size_(size) {}

  void attach(HeartbeatThread* heartbeat) { heartbeat_ = heartbeat; }

  bool readSysLog(std::vector<LogBatch>* out, size_t budget) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (failOnLog) throw std::runtime_error("log unreadable");
    ++reads_;
    size_t total = 0;
    while (next_ < batches_ && total < budget) {
      std::string text = "A " + std::to_string(next_) + " line";
      text.resize(size_ > text.size() + 1 ? size_ - 1 : text.size(), 'x');
      total += text.size() + 1;
      out->push_back(LogBatch{text + "\x02", 0, 1, std::any(next_), std::any(next_ + 1)});
      ++next_;
    }
    return !out->empty();
  }
  void rewindSysLog(const std::any& position) override {
    std::lock_guard<std::mutex> lock(mu_);
    next_ = std::any_cast<int>(position);
    calls_.push_back("rewind " + std::to_string(next_));
  }
  void pushTo(platform::ConnectionId console, LogHandOff handOff) override {
    size_t take = 0;
    size_t unsent = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      lastHandOff_ = handOff.number;
      std::optional<size_t> scripted = take_;
      if (!script_.empty()) {
        scripted = script_.front();
        script_.pop_front();
      }
      if (!scripted) {
        calls_.push_back("lost");
        lost_.push_back(handOff.number);
        return;
      }
      if (lateAnswer_.count() > 0) {
        // A loop that claims the hand-off at once and answers only later.
        const bool claimed = heartbeat_->claimHandOff(handOff.number);
        calls_.push_back(claimed ? "claimed" : "not claimed");
        late_ = std::thread([this, number = handOff.number, count = handOff.messages.size()] {
          std::this_thread::sleep_for(lateAnswer_);
          {
            std::lock_guard<std::mutex> lock(mu_);
            takenTotal_ += count;
          }
          heartbeat_->pushAnswered(number, count, 0);
        });
        return;
      }
      for (const LogPush& push : handOff.messages) {
        const size_t at = push.text.find("A ");
        calls_.push_back("push " + push.text.substr(at, push.text.find(' ', at + 2) - at) +
                         " to " + std::to_string(console));
      }
      take = std::min(*scripted, handOff.messages.size());
      takenTotal_ += take;
      unsent = unsentAfterPush_;
    }
    heartbeat_->pushAnswered(handOff.number, take, unsent);
  }
  void saveSysLog(const std::any& position) override {
    record(position.has_value() ? "save " + std::to_string(std::any_cast<int>(position))
                                : "save again");
  }
  void sendBeats() override { record("beats"); }
  void refreshCountersFromHeartbeat() override { record("counters"); }

  // How many messages of each hand-off the loop takes, and the console's
  // unsent bytes it reports.
  void setAnswer(size_t take, size_t unsent) {
    std::lock_guard<std::mutex> lock(mu_);
    take_ = take;
    unsentAfterPush_ = unsent;
  }
  // How many messages the next hand-offs are taken, one after another
  // (none: the hand-off is lost on its way and never answered); then
  // setAnswer's.
  void scriptAnswers(std::initializer_list<std::optional<size_t>> takes) {
    std::lock_guard<std::mutex> lock(mu_);
    script_.assign(takes.begin(), takes.end());
  }
  // The loop claims each hand-off at once and answers after this.
  void answerLate(std::chrono::milliseconds after) { lateAnswer_ = after; }
  void joinLateAnswer() {
    if (late_.joinable()) late_.join();
  }
  std::vector<uint64_t> lost() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lost_;
  }
  uint64_t lastHandOff() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lastHandOff_;
  }
  size_t takenTotal() const {
    std::lock_guard<std::mutex> lock(mu_);
    return takenTotal_;
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
  const size_t size_;
  int next_ = 0;
  int reads_ = 0;
  size_t take_ = SIZE_MAX;
  size_t unsentAfterPush_ = 0;
  std::deque<std::optional<size_t>> script_;
  size_t takenTotal_ = 0;
  uint64_t lastHandOff_ = 0;
  std::vector<uint64_t> lost_;
  std::chrono::milliseconds lateAnswer_{0};
  std::thread late_;
  std::vector<std::string> calls_;
};

struct Running {
  explicit Running(int batches, std::chrono::milliseconds period = std::chrono::milliseconds(5),
                   size_t size = 10,
                   std::chrono::milliseconds answerLimit = std::chrono::hours(1))
      : link(batches, size), heartbeat(link, period, answerLimit) {
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
  Running r(1000, std::chrono::milliseconds(5), 20000);
  r.heartbeat.consoleAdmitted(kConsole);
  // Each hand-off leaves the console at the watermark.
  r.link.setAnswer(SIZE_MAX, HeartbeatThread::kLowWatermark);
  r.heartbeat.start();
  ASSERT_TRUE(test::waitUntil([&] { return r.link.count("beats") >= 3; }));
  // One hand-off filled the console's room; passes went on with their
  // beats, and nothing more was read meanwhile.
  EXPECT_EQ(r.link.reads(), 1);
  const size_t first = r.link.count("push");
  EXPECT_GE(first * 20000, HeartbeatThread::kLowWatermark);
  EXPECT_LT((first - 1) * 20000, HeartbeatThread::kLowWatermark);
  // The loop says the console took a byte: a message follows at once,
  // between passes.
  r.heartbeat.unsentChanged(kConsole, HeartbeatThread::kLowWatermark - 1);
  ASSERT_TRUE(test::waitUntil([&] { return r.link.reads() == 2; }));
  r.heartbeat.stop();
  EXPECT_EQ(r.link.count("push"), first + 1);
}

TEST(HeartbeatThread, BetweenPassesAQuietLogIsLookedAtLessAndLessOften) {
  Running r(0, std::chrono::seconds(10));
  r.heartbeat.consoleAdmitted(kConsole);
  r.heartbeat.start();
  // At admission, then after 250, 500 and 1000 ms: four looks in 1.9 s
  // where a fixed quarter of a second would make eight.
  std::this_thread::sleep_for(std::chrono::milliseconds(1900));
  r.heartbeat.stop();
  EXPECT_GE(r.link.reads(), 2);
  EXPECT_LE(r.link.reads(), 5);
}

TEST(HeartbeatThread, ABatchTheConsoleDidNotGetIsReadAgain) {
  Running r(6, std::chrono::milliseconds(5), 10, std::chrono::milliseconds(50));
  r.heartbeat.consoleAdmitted(kConsole);
  // Taken, then the console leaves with its host having acknowledged none.
  r.link.setAnswer(SIZE_MAX, HeartbeatThread::kLowWatermark);
  r.heartbeat.start();
  ASSERT_TRUE(test::waitUntil([&] { return r.link.takenTotal() == 6; }));
  r.heartbeat.consoleGone(kConsole, std::any(0));
  // The next console: a hand-off lost on its way (its answer never comes:
  // after the answer limit the lines go back), one of which the connection
  // takes one message, then all.
  r.link.scriptAnswers({std::nullopt, 1});
  r.link.setAnswer(SIZE_MAX, 0);
  r.heartbeat.consoleAdmitted(kConsole + 1);
  ASSERT_TRUE(test::waitUntil([&] { return r.link.takenTotal() == 12; }));
  r.heartbeat.stop();
  auto calls = r.link.calls();
  // From the rewind to the first unacknowledged batch on, what the next
  // console was handed.
  calls.erase(calls.begin(), std::find(calls.begin(), calls.end(), "rewind 0"));
  calls.erase(std::remove_if(calls.begin(), calls.end(),
                             [](const std::string& call) {
                               return call == "beats" || call == "counters";
                             }),
              calls.end());
  std::vector<std::string> expected{"rewind 0", "lost", "rewind 0"};
  for (int from : {0, 1}) {
    for (int k = from; k < 6; ++k) expected.push_back("push A " + std::to_string(k) + " to 8");
    if (from == 0) expected.push_back("rewind 1");
  }
  EXPECT_EQ(calls, expected);
  // The hand-off given up on cannot be sent any more, however late it
  // reaches the loop.
  ASSERT_EQ(r.link.lost().size(), 1u);
  EXPECT_FALSE(r.heartbeat.claimHandOff(r.link.lost().front()));
}

// A hand-off the loop has claimed is being sent: the thread waits for its
// answer past the answer limit instead of reading its lines again.
TEST(HeartbeatThread, AClaimedHandOffIsWaitedFor) {
  Running r(3, std::chrono::milliseconds(5), 10, std::chrono::milliseconds(20));
  r.link.answerLate(std::chrono::milliseconds(200));
  r.heartbeat.consoleAdmitted(kConsole);
  r.heartbeat.start();
  ASSERT_TRUE(test::waitUntil([&] { return r.link.takenTotal() == 3; }));
  r.heartbeat.stop();
  r.link.joinLateAnswer();
  EXPECT_EQ(r.link.count("claimed"), 1u);
  EXPECT_EQ(r.link.count("rewind"), 0u);
}

// What the console's host acknowledged is written at most once per
// interval while it moves, and its last state once the thread has ended.
TEST(HeartbeatThread, DeliveredPositionsAreKeptAtMostOncePerInterval) {
  Running r(0);
  r.heartbeat.start();
  const auto start = std::chrono::steady_clock::now();
  for (int k = 1; k <= 30; ++k) {
    r.heartbeat.delivered(std::any(k));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::steady_clock::now() - start).count();
  ASSERT_TRUE(test::waitUntil([&] { return r.link.count("save") >= 1; }));
  r.heartbeat.stop();
  EXPECT_LE(r.link.count("save"), static_cast<size_t>(seconds) + 2);
  r.heartbeat.saveDelivered();
  const auto calls = r.link.calls();
  const auto last = std::find_if(calls.rbegin(), calls.rend(), [](const std::string& call) {
    return call.rfind("save ", 0) == 0 && call != "save again";
  });
  ASSERT_NE(last, calls.rend());
  EXPECT_EQ(*last, "save 30");
  EXPECT_EQ(calls.back(), *last == calls.back() ? "save 30" : "save again");
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

// Runs fn; a call that does not end within the deadline fails the run at
// once (a waiting thread could not be joined, so the test cannot go on).
void endsInTime(const char* what, std::function<void()> fn) {
  auto done = std::async(std::launch::async, std::move(fn));
  if (done.wait_for(test::kDeadline) != std::future_status::ready) {
    std::fprintf(stderr, "%s did not end\n", what);
    std::abort();
  }
}

TEST(HeartbeatThread, StopEndsEveryWaitAtOnce) {
  struct Case {
    const char* name;
    bool console;
    bool full;  // the console's unsent bytes at the watermark
    bool lost;  // the hand-off's answer never comes
  };
  for (const Case& c : {Case{"the period", false, false, false},
                        Case{"room at the console", true, true, false},
                        Case{"an answer", true, false, true}}) {
    SCOPED_TRACE(c.name);
    Running r(1000, std::chrono::milliseconds(c.console ? 1 : 3600 * 1000));
    if (c.console) r.heartbeat.consoleAdmitted(kConsole);
    if (c.full) r.link.setAnswer(SIZE_MAX, HeartbeatThread::kLowWatermark);
    if (c.lost) r.link.scriptAnswers({std::nullopt});
    r.heartbeat.start();
    if (c.console) {
      ASSERT_TRUE(test::waitUntil([&] { return r.link.lastHandOff() == 1; }));
    }
    endsInTime(c.name, [&] { r.heartbeat.stop(); });
  }
}

// A stop that comes at any point of the thread's start-up or wait ends the
// thread, and a stopped thread can be started again. A lost stop would leave
// the thread waiting out its hour, so the test gives up loudly instead.
TEST(HeartbeatThread, EveryStopEndsTheThreadAndStartRunsItAgain) {
  {
    Running idle(0, std::chrono::hours(1));
    endsInTime("a stop of the heartbeat thread", [&] {
      for (int i = 0; i < 200; ++i) {
        idle.heartbeat.start();
        idle.heartbeat.stop();
      }
    });
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
