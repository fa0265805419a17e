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

using SteadyClock = std::chrono::steady_clock;

// How long a pass may push before its beats go out (a thirtieth of the
// period, at least kMinPassPush); a larger backlog goes on after them.
constexpr int kPassPushShare = 30;
constexpr std::chrono::milliseconds kMinPassPush{50};

}  // namespace

HeartbeatThread::HeartbeatThread(HeartbeatLink& link, std::chrono::milliseconds period)
    : link_(link), period_(period) {}

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
                                  std::optional<std::any> unwritten) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (console_ == console) console_ = 0;
    // Nothing is read between a console's leaving and the rewind, so a
    // rewind still pending is the earlier position: it stays.
    if (unwritten && !rewind_) rewind_ = std::move(unwritten);
  }
  wake_.notify_all();
}

void HeartbeatThread::pushAnswered(bool taken, size_t unsent) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    answer_ = taken;
    if (taken) unsent_ = unsent;
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
  for (;;) {
    // Between passes a waiting backlog goes on as the console takes it.
    if (backlog) {
      try {
        backlog = push(next, true);
      } catch (const std::exception&) {
        backlog = false;  // the next pass tries again
      }
    }
    {
      std::unique_lock<std::mutex> lock(mu_);
      // At start-up no console can be connected yet, so the first pass waits
      // a period too.
      wake_.wait_until(lock, next, [this] { return stopping_; });
      if (stopping_) return;
      const auto now = SteadyClock::now();
      next += period_;
      // A pass that came late does not bring a burst of passes after it.
      if (next <= now) next = now + period_;
      if (paused_) {
        backlog = false;
        continue;
      }
    }
    try {
      backlog = pass();
    } catch (const std::exception&) {
      // A failed pass is dropped without a line; the next pass tries again.
      backlog = false;
    }
    link_.refreshCountersFromHeartbeat();
  }
}

bool HeartbeatThread::pass() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (console_ == 0) return false;
  }
  // New lines first, as many as the console takes at once and the pass's
  // share allows; then the beats, on time.
  const auto share = std::max<std::chrono::milliseconds>(period_ / kPassPushShare, kMinPassPush);
  const bool linesLeft = push(SteadyClock::now() + share, false);
  link_.sendBeats();
  return linesLeft;
}

platform::ConnectionId HeartbeatThread::consoleWithRoom(SteadyClock::time_point deadline,
                                                        bool waitForRoom, bool* roomLeft) {
  std::optional<std::any> rewind;
  platform::ConnectionId console = 0;
  {
    std::unique_lock<std::mutex> lock(mu_);
    *roomLeft = false;
    if (waitForRoom) {
      wake_.wait_until(lock, deadline, [this] {
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
  }
  if (rewind) link_.rewindSysLog(*rewind);
  return console;
}

bool HeartbeatThread::push(SteadyClock::time_point deadline, bool waitForRoom) {
  for (;;) {
    bool linesLeft = false;
    const platform::ConnectionId console = consoleWithRoom(deadline, waitForRoom, &linesLeft);
    if (console == 0) return linesLeft;
    if (!pushOne(console)) return false;
  }
}

bool HeartbeatThread::pushOne(platform::ConnectionId console) {
  std::any before = link_.sysLogPosition();
  LogBatch batch;
  if (!link_.nextSysLog(&batch)) return false;
  Message message(std::string(kProtocolVersion), std::string(kOrientationAgent),
                  std::string(kUnsolicitedSequence), std::make_unique<LogMessageBody>(batch.text));
  LogPush push{message.toString(), batch.program, batch.lines, before};
  {
    std::lock_guard<std::mutex> lock(mu_);
    answer_.reset();
  }
  link_.pushTo(console, std::move(push));
  bool taken = false;
  {
    std::unique_lock<std::mutex> lock(mu_);
    // Only a stop ends this wait: the loop answers every push, and the
    // answer decides whether the batch must be read again.
    wake_.wait(lock, [this] { return stopping_ || answer_.has_value(); });
    if (!answer_) return false;
    taken = *answer_;
  }
  // Not taken (the console has gone): read again for the next console.
  if (!taken) link_.rewindSysLog(before);
  return taken;
}

}  // namespace tavin
