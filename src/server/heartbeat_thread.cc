#include "server/heartbeat_thread.h"

#include <exception>
#include <memory>

#include "codec/codec_texts.h"
#include "codec/message.h"
#include "handlers/system_log_message.h"

namespace tavin {

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
  std::lock_guard<std::mutex> lock(mu_);
  paused_ = true;
}

void HeartbeatThread::resume() {
  std::lock_guard<std::mutex> lock(mu_);
  paused_ = false;
}

bool HeartbeatThread::isPaused() const {
  std::lock_guard<std::mutex> lock(mu_);
  return paused_;
}

void HeartbeatThread::run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    // Sleeps one period; a stop ends the wait at once. At start-up no console
    // can be connected yet, so the first pass waits a period too.
    wake_.wait_for(lock, period_, [this] { return stopping_; });
    if (stopping_) return;
    if (paused_) continue;
    lock.unlock();
    if (link_.hasClients()) SendPendingAndBeats();
    link_.updateCounters();
    lock.lock();
  }
}

void HeartbeatThread::SendPendingAndBeats() {
  try {
    std::string record;
    for (int batch = 0; batch < kMaxBatchesPerPass && link_.nextSysLog(record); ++batch) {
      Message message(std::string(kProtocolVersion), std::string(kOrientationAgent),
                      std::string(kUnsolicitedSequence), std::make_unique<LogMessageBody>(record));
      link_.pushToAll(message.toString());
      record.clear();
    }
    link_.sendBeats();
  } catch (const std::exception&) {
    // A failed pass is dropped without a line; the next pass tries again.
  }
}

}  // namespace tavin
