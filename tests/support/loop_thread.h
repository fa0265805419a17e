// An event loop running on a thread of its own, for tests that play the peer
// on the test thread. The loop is created, run and destroyed on its thread;
// call() runs a function there and waits for its result.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/event_loop.h"

namespace tavin::test {

// How long a test waits for anything before it gives up.
inline constexpr auto kDeadline = std::chrono::seconds(20);

// Waits until pred() holds, checking every few milliseconds; false when the
// deadline passes first.
template <typename Pred>
bool waitUntil(Pred pred, std::chrono::milliseconds deadline = kDeadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class LoopThread {
 public:
  LoopThread() {
    std::promise<platform::SysStatus> created;
    auto future = created.get_future();
    thread_ = std::thread([this, &created] {
      std::unique_ptr<platform::EventLoop> loop;
      platform::SysStatus status = platform::EventLoop::create(&loop);
      loop_ = loop.get();
      created.set_value(status);
      if (!loop) return;
      loop->run();
      loop_ = nullptr;
    });
    const platform::SysStatus status = future.get();
    EXPECT_TRUE(status.isOk()) << status.toString();
  }
  ~LoopThread() { stop(); }
  LoopThread(const LoopThread&) = delete;
  LoopThread& operator=(const LoopThread&) = delete;

  bool ok() const { return loop_ != nullptr; }
  platform::EventLoop& loop() { return *loop_.load(); }

  // Runs fn on the loop thread and returns its result. A loop that does not
  // answer within the deadline ends the test program: nothing else is safe
  // while it may still run fn.
  template <typename Fn>
  auto call(Fn fn) -> decltype(fn()) {
    using Result = decltype(fn());
    auto task = std::make_shared<std::packaged_task<Result()>>(std::move(fn));
    auto future = task->get_future();
    loop_.load()->post([task] { (*task)(); });
    if (future.wait_for(kDeadline) != std::future_status::ready) {
      std::fprintf(stderr, "the event loop did not answer within the deadline\n");
      std::abort();
    }
    return future.get();
  }

  // Opens a listener on a port the system picks, for handler; its port, or 0
  // when listening failed. *id (when given) receives the listener's id.
  uint16_t listen(platform::ConnectionHandler* handler, platform::ListenerId* id = nullptr) {
    return call([&] {
      platform::ListenerId listener = 0;
      const platform::SysStatus status = loop().listen(0, handler, &listener);
      EXPECT_TRUE(status.isOk()) << status.toString();
      if (id != nullptr) *id = listener;
      return loop().listeningPort(listener);
    });
  }

  // Ends run() and joins the thread; the loop is destroyed on its thread.
  void stop() {
    if (!thread_.joinable()) return;
    if (platform::EventLoop* loop = loop_.load()) loop->quit();
    thread_.join();
  }

 private:
  std::atomic<platform::EventLoop*> loop_{nullptr};
  std::thread thread_;
};

}  // namespace tavin::test
