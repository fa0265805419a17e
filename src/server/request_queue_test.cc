#include "server/request_queue.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace tavin {
namespace {

SocketMessage item(platform::ConnectionId id) {
  return SocketMessage{id, "127.0.0.1", std::make_unique<Message>()};
}

TEST(RequestQueue, FirstInFirstOutUpToItsLimit) {
  RequestQueue queue(3);
  for (platform::ConnectionId id = 1; id <= 3; ++id) EXPECT_TRUE(queue.push(item(id)));
  EXPECT_FALSE(queue.push(item(4)));
  std::stop_source stop;
  for (platform::ConnectionId id = 1; id <= 3; ++id) {
    SCOPED_TRACE(id);
    auto taken = queue.pop(stop.get_token(), std::chrono::milliseconds(0));
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->connection, id);
  }
  EXPECT_FALSE(queue.pop(stop.get_token(), std::chrono::milliseconds(0)).has_value());
  EXPECT_TRUE(queue.push(item(5)));  // room again
}

TEST(RequestQueue, AHeldQueueHandsOutNothing) {
  RequestQueue queue(10);
  std::stop_source stop;
  queue.push(item(1));
  queue.hold();
  EXPECT_FALSE(queue.pop(stop.get_token(), std::chrono::milliseconds(1)).has_value());
  EXPECT_EQ(queue.size(), 1u);
  queue.release();
  EXPECT_TRUE(queue.pop(stop.get_token(), std::chrono::milliseconds(0)).has_value());
}

TEST(RequestQueue, ClearDropsEverything) {
  RequestQueue queue(10);
  queue.push(item(1));
  queue.push(item(2));
  EXPECT_EQ(queue.clear(), 2u);
  EXPECT_EQ(queue.size(), 0u);
}

TEST(RequestQueue, AWaitingTakerWakesForAPushAndForStop) {
  RequestQueue queue(10);
  std::stop_source stop;
  auto taken = std::async(std::launch::async, [&] {
    return queue.pop(stop.get_token(), std::chrono::hours(1));
  });
  queue.push(item(9));
  ASSERT_EQ(taken.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  auto result = taken.get();
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->connection, 9u);

  auto stopped = std::async(std::launch::async, [&] {
    return queue.pop(stop.get_token(), std::chrono::hours(1));
  });
  stop.request_stop();
  ASSERT_EQ(stopped.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_FALSE(stopped.get().has_value());
}

}  // namespace
}  // namespace tavin
