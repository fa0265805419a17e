// A stop request that the waits of a worker thread observe. The thread's
// owner cancels it when it stops the thread; a wait that observes it (a pause
// before a retry, a diagnostic connection test) then ends at once instead of
// running out its time. Once cancelled it stays so until reset.
//
// The owner makes its Cancellation the worker thread's with a Scope, and code
// running on that thread reaches it through ofThisThread() without being
// handed it, the way an interruptible sleep reaches its thread's interrupt:
// the request handlers need not know which thread runs them.
//
// Owned by the thread's owner. Any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

// How often a wait that cannot be woken (the poll of a connection test)
// looks at its cancellation, in milliseconds.
inline constexpr int kCancellationCheckMs = 50;

class Cancellation {
 public:
  Cancellation() = default;
  Cancellation(const Cancellation&) = delete;
  Cancellation& operator=(const Cancellation&) = delete;

  // Ends every wait on it, the current ones and the later ones, until reset.
  void cancel();
  void reset();
  bool isCancelled() const { return cancelled_.load(); }

  // Waits millis milliseconds: true when the whole time passed, false when it
  // is (or was already) cancelled.
  bool waitFor(int64_t millis) const;

  // The calling thread's cancellation: the one a Scope made the thread's,
  // else one that is never cancelled.
  static const Cancellation& ofThisThread();

  // Makes a cancellation the calling thread's for the scope's life.
  class Scope {
   public:
    explicit Scope(const Cancellation& cancellation);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    const Cancellation* previous_;
  };

 private:
  std::atomic<bool> cancelled_{false};
  // A cancel takes mu_ to set the flag, so a waiter between its check and
  // its wait cannot miss the wake-up.
  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
};

}  // namespace platform
