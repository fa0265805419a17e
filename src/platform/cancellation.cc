#include "platform/cancellation.h"

// std::chrono's durations come from <thread> (<chrono> does not compile under
// -fexec-charset=GBK).
#include <thread>

namespace platform {
namespace {

// The cancellation of the threads that have none of their own.
const Cancellation& never() {
  static const Cancellation none;
  return none;
}

thread_local const Cancellation* threadCancellation = nullptr;

}  // namespace

void Cancellation::cancel() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    cancelled_ = true;
  }
  changed_.notify_all();
}

void Cancellation::reset() {
  std::lock_guard<std::mutex> lock(mu_);
  cancelled_ = false;
}

bool Cancellation::waitFor(int64_t millis) const {
  std::unique_lock<std::mutex> lock(mu_);
  return !changed_.wait_for(lock, std::chrono::milliseconds(millis > 0 ? millis : 0),
                            [this] { return cancelled_.load(); });
}

const Cancellation& Cancellation::ofThisThread() {
  return threadCancellation != nullptr ? *threadCancellation : never();
}

Cancellation::Scope::Scope(const Cancellation& cancellation) : previous_(threadCancellation) {
  threadCancellation = &cancellation;
}

Cancellation::Scope::~Scope() { threadCancellation = previous_; }

}  // namespace platform
