#include "shell/posted_history_view.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace tavin {
namespace {

// Collects posted work; the test runs it as the window's thread would.
class FakeWindowThread {
 public:
  PostedHistoryView::Post poster() {
    return [this](std::function<void()> fn) {
      std::lock_guard<std::mutex> lock(mu_);
      posted_.push_back(std::move(fn));
    };
  }
  size_t pending() {
    std::lock_guard<std::mutex> lock(mu_);
    return posted_.size();
  }
  void runPosted() {
    std::vector<std::function<void()>> batch;
    {
      std::lock_guard<std::mutex> lock(mu_);
      batch.swap(posted_);
    }
    for (auto& fn : batch) fn();
  }

 private:
  std::mutex mu_;
  std::vector<std::function<void()>> posted_;
};

// The window's lines, as its memo would hold them.
class RecordingSink : public PostedHistoryView::Sink {
 public:
  void clearView() override {
    shown.clear();
    ++clears;
  }
  void appendLines(const std::vector<std::string>& lines) override {
    shown.insert(shown.end(), lines.begin(), lines.end());
    ++appendCalls;
  }
  std::vector<std::string> shown;
  int clears = 0;
  int appendCalls = 0;
};

TEST(PostedHistoryViewTest, ChangesReachTheWindowInOrderAndOnlyOnItsThread) {
  struct Step {
    char op;  // 'a': append the text, 'c': clear, 'r': run the posted work
    const char* text;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> shown;
    int clears;
  };
  const Case cases[] = {
      {"appends wait for the window's thread", {{'a', "one"}, {'a', "two"}}, {}, 0},
      {"appends in order", {{'a', "one"}, {'a', "two"}, {'r', ""}}, {"one", "two"}, 0},
      // The start-up case: the listening line is written, the view is
      // cleared, then the host name line comes first.
      {"a clear drops what was queued before it",
       {{'a', "Listening at 10012"}, {'c', ""}, {'a', "Hostname: h"}, {'r', ""}},
       {"Hostname: h"},
       1},
      {"a clear after shown lines empties the window",
       {{'a', "one"}, {'r', ""}, {'c', ""}, {'a', "two"}, {'r', ""}},
       {"two"},
       1},
      {"a clear with nothing after it", {{'a', "one"}, {'r', ""}, {'c', ""}, {'r', ""}}, {}, 1},
      {"runs without changes do nothing", {{'r', ""}, {'a', "one"}, {'r', ""}, {'r', ""}},
       {"one"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeWindowThread thread;
    RecordingSink sink;
    PostedHistoryView view(thread.poster(), sink);
    for (const Step& step : c.steps) {
      if (step.op == 'a') view.appendLine(step.text);
      if (step.op == 'c') view.clearLines();
      if (step.op == 'r') thread.runPosted();
    }
    EXPECT_EQ(sink.shown, c.shown);
    EXPECT_EQ(sink.clears, c.clears);
  }
}

TEST(PostedHistoryViewTest, OnePostCarriesEveryChangeQueuedBeforeItRuns) {
  FakeWindowThread thread;
  RecordingSink sink;
  PostedHistoryView view(thread.poster(), sink);
  for (int i = 0; i < 100; ++i) view.appendLine(std::to_string(i));
  EXPECT_EQ(thread.pending(), 1u);
  thread.runPosted();
  EXPECT_EQ(sink.appendCalls, 1);
  ASSERT_EQ(sink.shown.size(), 100u);
  EXPECT_EQ(sink.shown.back(), "99");

  view.appendLine("after");  // the next change needs a new post
  EXPECT_EQ(thread.pending(), 1u);
  thread.runPosted();
  EXPECT_EQ(sink.shown.back(), "after");
}

TEST(PostedHistoryViewTest, WorkPostedBeforeTheViewWentAwayDoesNothing) {
  FakeWindowThread thread;
  RecordingSink sink;
  {
    PostedHistoryView view(thread.poster(), sink);
    view.appendLine("late");
  }
  thread.runPosted();
  EXPECT_TRUE(sink.shown.empty());
  EXPECT_EQ(sink.appendCalls, 0);
}

TEST(PostedHistoryViewTest, LinesFromSeveralThreadsArriveWholeAndInEachThreadsOrder) {
  FakeWindowThread thread;
  RecordingSink sink;
  PostedHistoryView view(thread.poster(), sink);
  constexpr int kWriters = 4;
  constexpr int kLines = 500;
  std::atomic<int> done{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&view, &done, w] {
      for (int i = 0; i < kLines; ++i) view.appendLine(std::to_string(w) + ":" + std::to_string(i));
      ++done;
    });
  }
  // The window's thread drains while the writers write.
  while (done < kWriters) thread.runPosted();
  for (auto& writer : writers) writer.join();
  thread.runPosted();

  ASSERT_EQ(sink.shown.size(), static_cast<size_t>(kWriters * kLines));
  std::vector<int> next(kWriters, 0);
  for (const std::string& line : sink.shown) {
    const int w = std::stoi(line.substr(0, line.find(':')));
    const int i = std::stoi(line.substr(line.find(':') + 1));
    ASSERT_EQ(i, next[w]) << line;
    ++next[w];
  }
}

}  // namespace
}  // namespace tavin
