// HeartbeatThread: every period (3000 ms in the agent) it pushes the
// monitored programs' new system-log lines to the connected consoles, then
// has heartbeats sent to consoles that have heard nothing for a while, then
// refreshes the counters. The connection work itself runs on the loop thread:
// the thread reaches it only through HeartbeatLink.
//
// Owned by AgentServer. Members are "Any thread." unless noted.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace tavin {

// What one pass needs from the server. Any thread.
class HeartbeatLink {
 public:
  virtual ~HeartbeatLink() = default;
  // The listener is open and at least one console is connected.
  virtual bool hasClients() const = 0;
  // The next batch of system-log lines (program 1's first); false when
  // neither program has anything new.
  virtual bool nextSysLog(std::string& out) = 0;
  // Sends text to every connected console.
  virtual void pushToAll(std::string text) = 0;
  // Sends the heartbeat to each console that is due one.
  virtual void sendBeats() = 0;
  virtual void updateCounters() = 0;
};

class HeartbeatThread {
 public:
  // Batches pushed in one pass at most; a larger backlog continues next pass.
  static constexpr int kMaxBatchesPerPass = 1000;

  HeartbeatThread(HeartbeatLink& link, std::chrono::milliseconds period);
  ~HeartbeatThread();  // stops the thread
  HeartbeatThread(const HeartbeatThread&) = delete;
  HeartbeatThread& operator=(const HeartbeatThread&) = delete;

  void start();
  // Takes effect between passes.
  void pause();
  void resume();
  bool isPaused() const;
  // Ends the thread at once (or after the pass it is in) and waits for it.
  void stop();

  // One pass: the system-log push, then the heartbeats. Errors end the pass
  // silently; the next pass tries again.
  void SendPendingAndBeats();

 private:
  void run();

  HeartbeatLink& link_;
  const std::chrono::milliseconds period_;
  mutable std::mutex mu_;
  // Waited on with mu_ held and stopping_ checked under it, so a stop cannot
  // be missed between the check and the wait (see RequestQueue on why there
  // is no stop_token).
  std::condition_variable wake_;
  // Guarded by mu_.
  bool paused_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace tavin
