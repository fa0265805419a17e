// The first-in first-out queue of requests between the loop thread, which
// appends what it receives, and the processor thread, which takes them one at
// a time. The queue owns the items it holds. It is bounded, so a console that
// sends faster than requests are served cannot grow it without end. While
// held (the service is stopped) it hands out nothing. Any thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <stop_token>

#include "server/socket_message.h"

namespace tavin {

class RequestQueue {
 public:
  explicit RequestQueue(size_t limit) : limit_(limit) {}

  // Appends item at the tail and wakes the taker. False when the queue holds
  // `limit` items already; then item is left as it was.
  bool push(SocketMessage&& item);

  // The item at the head, waiting at most `wait` for one; nothing when the
  // wait ends, when stop is requested, or while the queue is held.
  std::optional<SocketMessage> pop(std::stop_token stop, std::chrono::milliseconds wait);

  // Deletes every item with its message; returns how many there were.
  size_t clear();

  void hold();
  void release();
  bool isHeld() const;
  size_t size() const;

 private:
  const size_t limit_;
  mutable std::mutex mu_;
  std::condition_variable_any ready_;
  // Guarded by mu_.
  std::deque<SocketMessage> items_;
  bool held_ = false;
};

}  // namespace tavin
