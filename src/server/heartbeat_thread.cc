#include "server/heartbeat_thread.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <utility>

#include "codec/codec_texts.h"
#include "codec/message.h"
#include "handlers/system_log_message.h"

namespace tavin {
namespace {

// How long a pass may push before its beats go out (a thirtieth of the
// period, at least kMinPassPush); a larger backlog goes on after them.
constexpr int kPassPushShare = 30;
constexpr std::chrono::milliseconds kMinPassPush{50};
// How often new lines are looked for between passes while a console is
// connected: a read of each monitored log's end, a few system calls. Every
// look that finds nothing doubles the wait, up to kQuietWatch, so that a
// quiet log costs an idle agent one wake-up a second; lines found bring
// the wait back to kWatch.
constexpr std::chrono::milliseconds kWatch{250};
constexpr std::chrono::milliseconds kQuietWatch{1000};
// How long the thread waits for a hand-off the loop is sending: the loop
// answers before its callback returns, so this is only a bound that a
// broken loop cannot turn into a wait for ever.
constexpr std::chrono::hours kClaimedAnswerLimit{1};

}  // namespace

HeartbeatThread::HeartbeatThread(HeartbeatLink& link, std::chrono::milliseconds period,
                                 std::chrono::milliseconds answerLimit)
    : link_(link), period_(period), answerLimit_(answerLimit) {}

HeartbeatThread::~HeartbeatThread() { stop(); }

void HeartbeatThread::start() {
  if (thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = false;
  }
  thread_ = std::thread([this] { run(); });
}

void HeartbeatThread::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void HeartbeatThread::pause() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    paused_ = true;
  }
  wake_.notify_all();
}

void HeartbeatThread::resume() {
  std::lock_guard<std::mutex> lock(mu_);
  paused_ = false;
}

bool HeartbeatThread::isPaused() const {
  std::lock_guard<std::mutex> lock(mu_);
  return paused_;
}

void HeartbeatThread::consoleAdmitted(platform::ConnectionId console) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    console_ = console;
    unsent_ = 0;
  }
  wake_.notify_all();
}

void HeartbeatThread::consoleGone(platform::ConnectionId console,
                                  std::optional<std::any> unacknowledged) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (console_ == console) console_ = 0;
    // A rewind still pending was set before anything was read for another
    // console, and the feed only reads forward from it meanwhile: it is the
    // earlier position, and it stays.
    if (unacknowledged && !rewind_) rewind_ = std::move(unacknowledged);
  }
  wake_.notify_all();
}

bool HeartbeatThread::claimHandOff(uint64_t handOff) {
  std::lock_guard<std::mutex> lock(mu_);
  if (handOff == 0 || handOff != awaited_) return false;
  claimed_ = true;
  return true;
}

void HeartbeatThread::delivered(std::any position) {
  bool first = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    first = !toSave_;
    toSave_ = std::move(position);
  }
  // One wake-up per write at most: a thread asleep until its next pass
  // learns when the write is due.
  if (first) wake_.notify_all();
}

void HeartbeatThread::saveDelivered() {
  std::optional<std::any> position;
  {
    std::lock_guard<std::mutex> lock(mu_);
    position.swap(toSave_);
    lastSave_ = SteadyClock::now();
  }
  // Written either way: the stop is the last word on when a console was
  // read for.
  save(position ? *position : std::any());
}

void HeartbeatThread::save(const std::any& position) {
  try {
    link_.saveSysLog(position);
  } catch (const std::exception&) {
    // The feed reports what it cannot write; anything else it throws leaves
    // the position to the next write.
  }
}

template <class Ready>
bool HeartbeatThread::waitUntil(std::unique_lock<std::mutex>& lock,
                                SteadyClock::time_point until, Ready ready) {
  for (;;) {
    if (ready()) return true;
    const auto now = SteadyClock::now();
    if (toSave_ && now >= lastSave_ + kSaveInterval) {
      std::any position = std::move(*toSave_);
      toSave_.reset();
      lastSave_ = now;
      lock.unlock();
      save(position);
      lock.lock();
      continue;
    }
    if (now >= until) return false;
    wake_.wait_until(lock, toSave_ ? std::min(until, lastSave_ + kSaveInterval) : until);
  }
}

void HeartbeatThread::pushAnswered(uint64_t handOff, size_t taken, size_t unsent) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    // An answer the thread stopped waiting for changes nothing: its lines
    // have been taken back.
    if (handOff == 0 || handOff != awaited_) return;
    taken_ = taken;
    if (taken > 0) unsent_ = unsent;
  }
  wake_.notify_all();
}

void HeartbeatThread::unsentChanged(platform::ConnectionId console, size_t unsent) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (console != console_) return;
    unsent_ = unsent;
  }
  wake_.notify_all();
}

void HeartbeatThread::run() {
  auto next = SteadyClock::now() + period_;
  bool backlog = false;
  auto watch = kWatch;
  for (;;) {
    bool passDue = false;
    {
      std::unique_lock<std::mutex> lock(mu_);
      // While a console is connected, new lines are looked for between
      // passes too (a backlog goes on at once), so that they reach it soon
      // after they are written, not at the next pass. At start-up no
      // console can be connected yet, so the first pass waits a period.
      const bool watching = console_ != 0 && !paused_;
      const auto until =
          !watching ? next : backlog ? SteadyClock::now() : std::min(next, SteadyClock::now() + watch);
      waitUntil(lock, until, [this, watching] {
        return stopping_ || (!watching && console_ != 0 && !paused_);
      });
      if (stopping_) return;
      const auto now = SteadyClock::now();
      if (now >= next) {
        passDue = true;
        next += period_;
        // A pass that came late does not bring a burst of passes after it.
        if (next <= now) next = now + period_;
      }
      if (paused_) {
        backlog = false;
        continue;
      }
    }
    bool found = false;
    if (!passDue) {
      try {
        backlog = push(next, true, &found);
      } catch (const std::exception&) {
        backlog = false;  // the next pass tries again
      }
      watch = found ? kWatch : std::min(watch * 2, kQuietWatch);
      continue;
    }
    try {
      backlog = pass(&found);
    } catch (const std::exception&) {
      // A failed pass is dropped without a line; the next pass tries again.
      backlog = false;
    }
    if (found) watch = kWatch;
    link_.refreshCountersFromHeartbeat();
  }
}

bool HeartbeatThread::pass(bool* found) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (console_ == 0) return false;
  }
  // New lines first, as many as the console takes at once and the pass's
  // share allows; then the beats, on time.
  const auto share = std::max<std::chrono::milliseconds>(period_ / kPassPushShare, kMinPassPush);
  const bool linesLeft = push(SteadyClock::now() + share, false, found);
  link_.sendBeats();
  return linesLeft;
}

platform::ConnectionId HeartbeatThread::consoleWithRoom(SteadyClock::time_point deadline,
                                                        bool waitForRoom, bool* roomLeft,
                                                        size_t* room) {
  std::optional<std::any> rewind;
  platform::ConnectionId console = 0;
  {
    std::unique_lock<std::mutex> lock(mu_);
    *roomLeft = false;
    if (waitForRoom) {
      waitUntil(lock, deadline, [this] {
        return stopping_ || paused_ || console_ == 0 || unsent_ < kLowWatermark;
      });
    }
    if (stopping_ || paused_ || console_ == 0) return 0;
    if (unsent_ >= kLowWatermark || SteadyClock::now() >= deadline) {
      *roomLeft = true;
      return 0;
    }
    rewind.swap(rewind_);
    console = console_;
    *room = kLowWatermark - unsent_;
  }
  if (rewind) link_.rewindSysLog(*rewind);
  return console;
}

bool HeartbeatThread::push(SteadyClock::time_point deadline, bool waitForRoom, bool* found) {
  for (;;) {
    bool linesLeft = false;
    size_t room = 0;
    const platform::ConnectionId console =
        consoleWithRoom(deadline, waitForRoom, &linesLeft, &room);
    if (console == 0) return linesLeft;
    if (!pushOne(console, room, found)) return false;
  }
}

bool HeartbeatThread::pushOne(platform::ConnectionId console, size_t room, bool* found) {
  std::vector<LogBatch> batches;
  if (!link_.readSysLog(&batches, room) || batches.empty()) return false;
  *found = true;
  LogHandOff handOff;
  handOff.messages.reserve(batches.size());
  for (const LogBatch& batch : batches) {
    Message message(std::string(kProtocolVersion), std::string(kOrientationAgent),
                    std::string(kUnsolicitedSequence), std::make_unique<LogMessageBody>(batch.text));
    handOff.messages.push_back(
        LogPush{message.toString(), batch.program, batch.lines, batch.before, batch.after});
  }
  const size_t count = handOff.messages.size();
  {
    std::lock_guard<std::mutex> lock(mu_);
    handOff.number = ++lastHandOff_;
    awaited_ = handOff.number;
    claimed_ = false;
    taken_.reset();
  }
  link_.pushTo(console, std::move(handOff));
  size_t taken = 0;
  {
    std::unique_lock<std::mutex> lock(mu_);
    auto answered = [this] { return stopping_ || taken_.has_value(); };
    // Bounded: an answer the loop lost (a failure on its side, work dropped)
    // must not end the push for good. The lines go back and the next pass
    // reads them again; if the hand-off reaches the loop later, it is dropped
    // there (claimHandOff), so nothing is sent twice or out of order. A
    // hand-off the loop has claimed is being sent: its answer is on its way.
    if (!waitUntil(lock, SteadyClock::now() + answerLimit_, answered) && claimed_) {
      waitUntil(lock, SteadyClock::now() + kClaimedAnswerLimit, answered);
    }
    taken = taken_.value_or(0);
    awaited_ = 0;
    claimed_ = false;
    taken_.reset();
  }
  // What the connection did not take is read again, for this console or the
  // next.
  if (taken < count) link_.rewindSysLog(batches[taken].before);
  return taken == count;
}

}  // namespace tavin
