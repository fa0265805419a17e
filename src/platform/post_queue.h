// The work other threads hand to an event loop's thread, shared by both
// platforms' loops. post() may be called from any thread; run() only on the
// loop thread. Waking the loop is the platform's part: the queue calls the
// wake function at most once until the loop runs the queue again. A wake
// function that fails (a full message queue) returns false; the queue then
// remembers it, and the loop, which takes messages all the while, asks
// wakeWasLost() after each one and runs the queue itself.
//
// wake is called while the queue's mutex is held, and waitForCallers() takes
// that mutex: a loop destroyed right after another thread's quit() or post()
// cannot go away while that call still wakes it.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

namespace platform {

class PostQueue {
 public:
  explicit PostQueue(std::function<bool()> wake) : wake_(std::move(wake)) {}

  void post(std::function<void()> fn);

  // Runs update under the queue's mutex, then wakes the loop (for quit()).
  void wakeAfter(const std::function<void()>& update);

  // Runs what was posted, in order. When a function throws, the ones posted
  // after it run first when the loop runs the queue again, and the exception
  // goes on to the caller.
  void run();

  // Returns once no other thread is inside post() or wakeAfter().
  void waitForCallers() { std::lock_guard<std::mutex> lock(mu_); }

  // True, once, after a wake function failed. Loop thread.
  bool wakeWasLost() { return wakeLost_.exchange(false); }

 private:
  void wake();  // with mu_ held

  const std::function<bool()> wake_;
  std::atomic<bool> wakeLost_{false};
  std::mutex mu_;
  // Guarded by mu_.
  std::vector<std::function<void()>> posted_;
  bool wakePending_ = false;
};

}  // namespace platform
