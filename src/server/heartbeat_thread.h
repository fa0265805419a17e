// HeartbeatThread: every period (3000 ms in the agent) it pushes the
// monitored programs' new system-log lines to the admitted console, then has
// heartbeats sent to consoles that have heard nothing for a while, then
// refreshes the counters. The connection work runs on the loop thread: the
// thread reaches it only through HeartbeatLink, and the loop tells it about
// the console through the members marked "Loop thread".
//
// The log push is paced by the console. Lines are read only while the
// console's unsent bytes are under kLowWatermark, as many log messages at a
// time as fit under it, and they are handed to the console's connection in
// one go (a hand-off) before more are read. The loop answers each hand-off
// with how many of its messages the connection took; what it did not take is
// read again, and so is a hand-off whose answer does not come within the
// answer limit (the thread stops waiting for it, and the loop drops it if it
// comes later). What the console never acknowledged is read again for the
// next console (consoleGone). What is not read stays in the files.
//
// What the console's host has acknowledged is kept for the next start of
// the agent: the loop reports the feed's position behind the last
// acknowledged message (delivered), and the thread has it written at most
// once per kSaveInterval while acknowledgements move, and once more when
// the server stops (saveDelivered).
//
// Between passes, while a console is connected, the thread looks for new
// lines every quarter of a second (up to a second while the logs stay
// quiet) and pushes them at once (a console just
// admitted gets the waiting lines at once too), and a backlog goes on as
// fast as the console takes the bytes. The passes keep their schedule for
// the beats, and a stop or a pause ends every wait.
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
#include <vector>

#include "platform/event_loop.h"
#include "server/log_feed.h"

namespace tavin {

// A log message on its way to the console.
struct LogPush {
  std::string text;  // the whole message as sent
  size_t program = 0;
  int lines = 0;
  std::any before;  // the feed's position before its lines were read
  std::any after;   // and after
};

// Log messages handed to the loop in one go, in order.
struct LogHandOff {
  uint64_t number = 0;  // names it in the loop's answer
  std::vector<LogPush> messages;
};

// What the thread needs from the server.
class HeartbeatLink {
 public:
  virtual ~HeartbeatLink() = default;
  // Heartbeat thread: appends batches of new system-log lines, each fitting
  // one log message, until their texts reach budget bytes; false when there
  // is none.
  virtual bool readSysLog(std::vector<LogBatch>* out, size_t budget) = 0;
  // Heartbeat thread: goes back to a batch's position.
  virtual void rewindSysLog(const std::any& position) = 0;
  // Heartbeat thread (or the loop, once the thread has ended): keeps a
  // position for the next start of the agent (LogFeed::save).
  virtual void saveSysLog(const std::any& position) = 0;
  // Hands log messages to the console's connection, on the loop. The loop
  // answers with HeartbeatThread::pushAnswered, unless the hand-off is no
  // longer wanted when it gets there.
  virtual void pushTo(platform::ConnectionId console, LogHandOff handOff) = 0;
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
  // The delivered position is written at most this often.
  static constexpr std::chrono::milliseconds kSaveInterval{1000};

  // answerLimit: how long the thread waits for the loop's answer to a
  // hand-off before it takes the lines back.
  HeartbeatThread(HeartbeatLink& link, std::chrono::milliseconds period,
                  std::chrono::milliseconds answerLimit);
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
  // Loop thread: the console left. unacknowledged is the feed's position
  // before the first message its host did not acknowledge, when there is
  // one: the feed goes back there before it is read again.
  void consoleGone(platform::ConnectionId console, std::optional<std::any> unacknowledged);
  // Loop thread, just before it sends a hand-off: true when the thread
  // still waits for it, and from then on the thread waits for its answer
  // (which the loop gives before it returns). False for a hand-off the
  // thread has given up on: its lines are being read again, and it must not
  // be sent.
  bool claimHandOff(uint64_t handOff);
  // Loop thread: the connection took the first `taken` messages of the
  // hand-off; unsent is the console's unsent bytes after them.
  void pushAnswered(uint64_t handOff, size_t taken, size_t unsent);
  // Loop thread: the console's connection wrote some of its unsent bytes.
  void unsentChanged(platform::ConnectionId console, size_t unsent);
  // Loop thread: the console's host has acknowledged every message pushed
  // before position, a position of the feed.
  void delivered(std::any position);
  // After stop(): writes the delivered position the thread has not written
  // yet, or the last one again, on the calling thread.
  void saveDelivered();

 private:
  using SteadyClock = std::chrono::steady_clock;

  void run();
  // One pass's work: the log push (bounded by the pass's share of the
  // period), then the beats. True when lines may be left; *found is set
  // when lines were read.
  bool pass(bool* found);
  // Pushes until deadline, the end of the new lines, or the console's
  // leaving; with waitForRoom, waits for the console to take bytes when its
  // unsent bytes reach the watermark, else stops there. True when lines may
  // be left (the push stopped for time or room). *found is set when lines
  // were read.
  bool push(SteadyClock::time_point deadline, bool waitForRoom, bool* found);
  // Reads up to `room` bytes of messages and hands them to the console;
  // false when there was nothing to read or not all of it was taken.
  bool pushOne(platform::ConnectionId console, size_t room, bool* found);
  // The console to push to now and its room (0: none, or the thread must
  // stop pushing); applies a pending rewind first.
  platform::ConnectionId consoleWithRoom(SteadyClock::time_point deadline, bool waitForRoom,
                                         bool* roomLeft, size_t* room);
  // Every wait of the thread: until ready() holds or until passes, with mu_
  // held (lock). Meanwhile a delivered position is written when its time
  // comes, without the lock. True when ready() holds.
  template <class Ready>
  bool waitUntil(std::unique_lock<std::mutex>& lock, SteadyClock::time_point until, Ready ready);
  void save(const std::any& position);

  HeartbeatLink& link_;
  const std::chrono::milliseconds period_;
  const std::chrono::milliseconds answerLimit_;
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
  uint64_t lastHandOff_ = 0;
  uint64_t awaited_ = 0;          // the hand-off waited for; 0: none
  bool claimed_ = false;          // the loop is sending it
  std::optional<size_t> taken_;   // its answer, once known
  std::optional<std::any> rewind_;
  std::optional<std::any> toSave_;  // a delivered position not written yet
  SteadyClock::time_point lastSave_{};
  std::thread thread_;
};

}  // namespace tavin
