// The first-in first-out queue of requests between the loop thread, which
// appends what it receives, and the processor thread, which takes them one at
// a time. The queue owns the items it holds. It is bounded, so a console that
// sends faster than requests are served cannot grow it without end. Beside
// the requests it has room for one job (other work for the processor thread,
// such as a metrics collection): the job is handed out only when no request
// waits and never counts against the bound, so it cannot take a request's
// place. While held (the service is stopped) it hands out nothing. Once
// stopped (the processor thread is ending) a waiting taker returns at once.
// Any thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

#include "server/socket_message.h"

namespace tavin {

class RequestQueue {
 public:
  explicit RequestQueue(size_t limit) : limit_(limit) {}

  // Appends item at the tail and wakes the taker. False when the queue holds
  // `limit` items already; then item is left as it was.
  bool push(SocketMessage&& item);
  // Sets the waiting job. False when one waits already; then job is left as
  // it was.
  bool pushJob(std::function<void()>&& job);

  // The item at the head, or else the job (as an item that carries it),
  // waiting at most `wait` for one; nothing when the wait ends, when the
  // queue is stopped, or while it is held.
  std::optional<SocketMessage> pop(std::chrono::milliseconds wait);

  // Deletes every item with its message, and the job; returns how many
  // there were.
  size_t clear();

  void hold();
  void release();
  bool isHeld() const;
  size_t size() const;  // the requests

  // Ends a wait in pop at once, and makes every later pop return nothing
  // without waiting, until restart(). The items stay queued.
  void stop();
  void restart();
  bool isStopped() const;

 private:
  const size_t limit_;
  mutable std::mutex mu_;
  // A plain condition variable with every condition it waits for guarded by
  // mu_: a stop set under mu_ cannot slip in between the taker's check and
  // its wait, so it always ends the wait. (Not condition_variable_any with a
  // stop_token: in the MinGW build's libstdc++, the stop_callback it installs
  // can miss the wake-up at its removal and block the taker for good.)
  std::condition_variable ready_;
  // Guarded by mu_.
  std::deque<SocketMessage> items_;
  std::function<void()> job_;
  bool held_ = false;
  bool stopped_ = false;
};

}  // namespace tavin
