#include "shell/headless_frontend.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/loop_thread.h"

namespace tavin {
namespace {

// An output that blocks until the test lets it go, like a pipe nobody reads,
// and records what it was given. Shared with the writer thread, which may
// outlive the front-end.
class StalledOutput {
 public:
  static std::shared_ptr<StalledOutput> make() { return std::make_shared<StalledOutput>(); }

  HeadlessFrontend::Output output(const std::shared_ptr<StalledOutput>& self) {
    return [self](const std::string& bytes) {
      std::unique_lock<std::mutex> lock(self->mu_);
      ++self->calls_;
      self->changed_.notify_all();
      self->changed_.wait(lock, [&] { return self->flowing_; });
      self->printed_ += bytes;
      return true;
    };
  }
  void letFlow() {
    std::lock_guard<std::mutex> lock(mu_);
    flowing_ = true;
    changed_.notify_all();
  }
  bool waitForCalls(int calls) {
    std::unique_lock<std::mutex> lock(mu_);
    return changed_.wait_for(lock, test::kDeadline, [&] { return calls_ >= calls; });
  }
  std::string printed() {
    std::lock_guard<std::mutex> lock(mu_);
    return printed_;
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  int calls_ = 0;
  bool flowing_ = false;
  std::string printed_;
};

// Lines of 30 bytes with their timestamp.
std::string line(char c) { return "2026-03-09 07:05:0" + std::string(1, c) + " " + std::string(10, c); }

TEST(HeadlessFrontend, AStalledOutputDropsLinesAndSaysHowManyOnceItCatchesUp) {
  auto stalled = StalledOutput::make();
  {
    HeadlessFrontend frontend(stalled->output(stalled), 100);
    // The writer takes the first line and hangs in the output with it.
    frontend.appendLine("2026-03-09 07:05:00 \x01\x1b[2J\x7f");
    ASSERT_TRUE(stalled->waitForCalls(1));
    // Three lines fill the queue; the fourth and everything after it are
    // dropped until the writer takes the queue, a short line that would fit
    // included, so that nothing is printed out of order.
    for (char c : {'1', '2', '3', '4', '5'}) frontend.appendLine(line(c));
    frontend.appendLine("x");
    stalled->letFlow();
    ASSERT_TRUE(test::waitUntil([&] { return stalled->printed().find("here") != std::string::npos; }));
    frontend.appendLine(line('6'));
  }  // the exit prints what is queued
  EXPECT_EQ(stalled->printed(),
            "2026-03-09 07:05:00 ^A^[[2J^?\n" + line('1') + "\n" + line('2') + "\n" + line('3') +
                "\n"
                "2026-03-09 07:05:04 Standard output not read, 3 lines dropped here (the log file "
                "has them)\n" +
                line('6') + "\n");
}

TEST(HeadlessFrontend, ExitDoesNotWaitForAStalledOutput) {
  auto stalled = StalledOutput::make();
  auto frontend = std::make_unique<HeadlessFrontend>(stalled->output(stalled));
  frontend->appendLine("2026-03-09 07:05:00 Agent Closed");
  ASSERT_TRUE(stalled->waitForCalls(1));
  auto destroyed = std::async(std::launch::async, [&] { frontend.reset(); });
  EXPECT_EQ(destroyed.wait_for(test::kDeadline), std::future_status::ready);
  stalled->letFlow();  // the writer left behind ends too
}

}  // namespace
}  // namespace tavin
