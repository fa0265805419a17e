#include "platform/post_queue.h"

#include <iterator>
#include <utility>

namespace platform {

void PostQueue::wake() {
  if (!wake_()) wakeLost_ = true;
}

void PostQueue::post(std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(mu_);
  posted_.push_back(std::move(fn));
  if (!wakePending_) wake();
  wakePending_ = true;
}

void PostQueue::wakeAfter(const std::function<void()>& update) {
  std::lock_guard<std::mutex> lock(mu_);
  update();
  wake();
}

void PostQueue::run() {
  std::vector<std::function<void()>> batch;
  {
    std::lock_guard<std::mutex> lock(mu_);
    batch.swap(posted_);
    wakePending_ = false;
  }
  for (size_t i = 0; i < batch.size(); ++i) {
    try {
      batch[i]();
    } catch (...) {
      std::lock_guard<std::mutex> lock(mu_);
      posted_.insert(posted_.begin(), std::make_move_iterator(batch.begin() + i + 1),
                     std::make_move_iterator(batch.end()));
      wakePending_ = true;
      wake();
      throw;
    }
  }
}

}  // namespace platform
