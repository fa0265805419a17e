#include "server/request_queue.h"

#include <utility>

namespace tavin {

bool RequestQueue::push(SocketMessage&& item) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (items_.size() >= limit_) return false;
    items_.push_back(std::move(item));
  }
  ready_.notify_one();
  return true;
}

bool RequestQueue::pushJob(std::function<void()>&& job) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (job_) return false;
    job_ = std::move(job);
  }
  ready_.notify_one();
  return true;
}

std::optional<SocketMessage> RequestQueue::pop(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mu_);
  ready_.wait_for(lock, wait,
                  [this] { return stopped_ || (!held_ && (!items_.empty() || job_)); });
  if (stopped_ || held_) return std::nullopt;
  SocketMessage item;
  if (!items_.empty()) {
    item = std::move(items_.front());
    items_.pop_front();
  } else if (job_) {
    item.job = std::exchange(job_, nullptr);
  } else {
    return std::nullopt;
  }
  return item;
}

size_t RequestQueue::clear() {
  std::deque<SocketMessage> dropped;
  std::function<void()> job;
  {
    std::lock_guard<std::mutex> lock(mu_);
    dropped.swap(items_);
    job.swap(job_);
  }
  // The messages and the job are deleted here, outside the lock.
  return dropped.size() + (job ? 1 : 0);
}

void RequestQueue::hold() {
  std::lock_guard<std::mutex> lock(mu_);
  held_ = true;
}

void RequestQueue::release() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    held_ = false;
  }
  ready_.notify_all();
}

bool RequestQueue::isHeld() const {
  std::lock_guard<std::mutex> lock(mu_);
  return held_;
}

size_t RequestQueue::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return items_.size();
}

void RequestQueue::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopped_ = true;
  }
  ready_.notify_all();
}

void RequestQueue::restart() {
  std::lock_guard<std::mutex> lock(mu_);
  stopped_ = false;
}

bool RequestQueue::isStopped() const {
  std::lock_guard<std::mutex> lock(mu_);
  return stopped_;
}

}  // namespace tavin
