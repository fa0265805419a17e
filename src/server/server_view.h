// What the front-end shows of the server: the three counters and the
// listener's state. The window, a terminal or nothing (headless) implements
// it; the server calls it on the loop thread only.
#pragma once

#include <cstdint>

namespace tavin {

class ServerView {
 public:
  virtual ~ServerView() = default;

  // The connection count (0 while the listener is closed) and the received and
  // sent message counters.
  virtual void showCounters(int64_t connections, uint64_t received, uint64_t sent) = 0;

  // listening: the listener is open (status "正在运行") or closed ("已停止").
  // running: the service is started (the button offers "停止") or stopped by
  // the operator (it offers "启动"). A restart after a client error passes
  // (false, true) and then (true, true).
  virtual void showState(bool listening, bool running) = 0;
};

}  // namespace tavin
