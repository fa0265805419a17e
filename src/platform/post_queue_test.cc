#include "platform/post_queue.h"

#include <gtest/gtest.h>

#include <vector>

namespace platform {
namespace {

// A wake-up that could not be delivered is remembered, once, so the loop
// runs the work itself; what is posted meanwhile waits for that run.
TEST(PostQueue, ALostWakeUpIsRememberedUntilTheLoopRunsTheWork) {
  int wakes = 0;
  bool deliver = false;
  PostQueue queue([&] {
    ++wakes;
    return deliver;
  });
  std::vector<int> ran;
  queue.post([&] { ran.push_back(1); });
  queue.post([&] { ran.push_back(2); });
  EXPECT_EQ(wakes, 1);
  ASSERT_TRUE(queue.wakeWasLost());
  EXPECT_FALSE(queue.wakeWasLost());
  queue.run();
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));

  deliver = true;
  queue.post([&] { ran.push_back(3); });
  EXPECT_EQ(wakes, 2);
  EXPECT_FALSE(queue.wakeWasLost());
}

}  // namespace
}  // namespace platform
