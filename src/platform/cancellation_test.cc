#include "platform/cancellation.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

namespace platform {
namespace {

TEST(Cancellation, ACancelEndsTheWaitsOfTheThreadItBelongsTo) {
  Cancellation cancellation;
  EXPECT_TRUE(cancellation.waitFor(10));  // not cancelled: the time passes
  // A thread without one of its own is never cancelled.
  EXPECT_TRUE(Cancellation::ofThisThread().waitFor(0));

  auto waiter = std::async(std::launch::async, [&] {
    const Cancellation::Scope scope(cancellation);
    return Cancellation::ofThisThread().waitFor(3600 * 1000);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  cancellation.cancel();
  if (waiter.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    std::fprintf(stderr, "a cancel did not end an hour's wait\n");
    std::abort();
  }
  EXPECT_FALSE(waiter.get());
  EXPECT_FALSE(cancellation.waitFor(3600 * 1000));  // stays cancelled
  EXPECT_FALSE(Cancellation::ofThisThread().isCancelled());

  cancellation.reset();
  EXPECT_TRUE(cancellation.waitFor(10));
}

}  // namespace
}  // namespace platform
