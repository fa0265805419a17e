#include "shell/run_loop.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include "server/server_test_support.h"

namespace tavin {
namespace {

TEST(RunLoop, AFailureOfAnEventIsLoggedAndTheLoopRunsOn) {
  std::unique_ptr<platform::EventLoop> loop;
  ASSERT_TRUE(platform::EventLoop::create(&loop).isOk());
  test::RecordingHistory history;
  std::vector<int> ran;
  loop->post([] { throw std::runtime_error("event failed"); });
  loop->post([&] { ran.push_back(1); });
  loop->post([] { throw 42; });
  loop->post([&] {
    ran.push_back(2);
    loop->quit();
  });
  runLoop(*loop, history);
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  EXPECT_EQ(history.texts(),
            (std::vector<std::string>{"Exception: event failed", "Exception: unknown"}));
}

}  // namespace
}  // namespace tavin
