// HeartbeatThread: every period (3000 ms in the agent) it pushes the
// monitored programs' new system-log lines to the admitted console, then has
// heartbeats sent to consoles that have heard nothing for a while, then
// refreshes the counters. The connection work runs on the loop thread: the
// thread reaches it only through HeartbeatLink, and the loop tells it about
// the console through the members marked "Loop thread".
//
// The log push is paced by the console. A batch is read only while the
// console's unsent bytes are under kLowWatermark, and it is handed to the
// console's connection before the next is read; a batch the connection does
// not take, or one still unwritten when the console leaves, is read again
// later (the feed goes back). What is not read stays in the files. While a
// backlog waits the thread goes on pushing between passes, as fast as the
// console takes the bytes, so a backlog flows at the link's rate; the passes
// themselves keep their schedule, and a stop or a pause ends every wait.
//
// Owned by AgentServer. Members are "Any thread." unless noted.
#pragma once

#include <any>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/event_loop.h"
#include "server/log_feed.h"

namespace tavin {

// A log message on its way to the console.
struct LogPush {
  std::string text;  // the whole message as sent
  size_t program = 0;
  int lines = 0;
  std::any before;  // the feed's position before the batch was read
};

// What the thread needs from the server.
class HeartbeatLink {
 public:
  virtual ~HeartbeatLink() = default;
  // Heartbeat thread: the next batch of system-log lines that fits one log
  // message; false when there is none.
  virtual bool nextSysLog(LogBatch* batch) = 0;
  // Heartbeat thread: where the feed stands, and going back there.
  virtual std::any sysLogPosition() = 0;
  virtual void rewindSysLog(const std::any& position) = 0;
  // Hands a log message to the console's connection, on the loop. The loop
  // answers with HeartbeatThread::pushAnswered, once, whatever becomes of it.
  virtual void pushTo(platform::ConnectionId console, LogPush push) = 0;
  // Sends the heartbeat to each console that is due one.
  virtual void sendBeats() = 0;
  // Has the counters shown again, on the loop.
  virtual void refreshCountersFromHeartbeat() = 0;
};

class HeartbeatThread {
 public:
  // The log push reads on while the console has fewer unsent bytes than
  // this: far below the outbound bound, which is for a console that does not
  // read at all, and enough to keep a fast link busy between reports.
  static constexpr size_t kLowWatermark = 256 * 1024;

  HeartbeatThread(HeartbeatLink& link, std::chrono::milliseconds period);
  ~HeartbeatThread();  // stops the thread
  HeartbeatThread(const HeartbeatThread&) = delete;
  HeartbeatThread& operator=(const HeartbeatThread&) = delete;

  void start();
  // Takes effect at once: a push waiting for the console stops waiting.
  void pause();
  void resume();
  bool isPaused() const;
  // Ends the thread at once (a batch being read is finished) and waits for it.
  void stop();

  // Loop thread: the console the log push serves was admitted.
  void consoleAdmitted(platform::ConnectionId console);
  // Loop thread: the console left. unwritten is the feed's position before
  // the first batch it never got whole, when there is one: the feed goes
  // back there before it is read again.
  void consoleGone(platform::ConnectionId console, std::optional<std::any> unwritten);
  // Loop thread: what became of a pushTo; unsent is the console's unsent
  // bytes after it.
  void pushAnswered(bool taken, size_t unsent);
  // Loop thread: the console's connection wrote some of its unsent bytes.
  void unsentChanged(platform::ConnectionId console, size_t unsent);

 private:
  void run();
  // One pass's work: the log push (bounded by the pass's share of the
  // period), then the beats. True when lines may be left.
  bool pass();
  // Pushes batches until deadline, the end of the new lines, or the
  // console's leaving; with waitForRoom, waits for the console to take
  // bytes when its unsent bytes reach the watermark, else stops there.
  // True when lines may be left (the push stopped for time or room).
  bool push(std::chrono::steady_clock::time_point deadline, bool waitForRoom);
  // Reads one batch and hands it to the console; false when there was none
  // or the console did not take it.
  bool pushOne(platform::ConnectionId console);
  // The console to push to now (0: none, or the thread must stop pushing);
  // applies a pending rewind first.
  platform::ConnectionId consoleWithRoom(std::chrono::steady_clock::time_point deadline,
                                         bool waitForRoom, bool* roomLeft);

  HeartbeatLink& link_;
  const std::chrono::milliseconds period_;
  mutable std::mutex mu_;
  // Every wait of the thread is on this, with mu_ held and its flags checked
  // under it, so a stop or a pause cannot be missed (see RequestQueue on why
  // there is no stop_token).
  std::condition_variable wake_;
  // Guarded by mu_.
  bool paused_ = false;
  bool stopping_ = false;
  platform::ConnectionId console_ = 0;
  size_t unsent_ = 0;
  std::optional<bool> answer_;  // the last pushTo's outcome, once known
  std::optional<std::any> rewind_;
  std::thread thread_;
};

}  // namespace tavin
