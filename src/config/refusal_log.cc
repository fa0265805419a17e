#include "config/refusal_log.h"

#include <functional>
#include <utility>

#include "config/config_texts.h"

namespace tavin {

RefusalLog::RefusalLog(platform::EventLoop& loop, History& history, std::string prefix,
                       int64_t periodMillis, size_t addressLimit, size_t newcomerLimit)
    : loop_(loop),
      history_(history),
      prefix_(std::move(prefix)),
      periodMillis_(periodMillis),
      addressLimit_(addressLimit),
      newcomerLimit_(newcomerLimit) {}

RefusalLog::~RefusalLog() { clear(); }

bool RefusalLog::refused(const std::string& address) {
  auto it = counted_.find(address);
  if (it != counted_.end()) {
    ++it->second;
    return false;
  }
  startPeriod();
  if (counted_.size() < addressLimit_) {
    counted_.emplace(address, 0);
    history_.LogEvent(prefix_ + address + std::string(kDeniedSuffix));
    return true;
  }
  // The table is full. An address not seen yet this period still gets its
  // line, up to newcomerLimit of them: addresses that keep the table busy
  // must not hide an intruder's.
  const size_t key = std::hash<std::string>{}(address);
  auto other = otherAddresses_.find(key);
  if (other == otherAddresses_.end() && otherAddresses_.size() < kOtherAddressLimit) {
    other = otherAddresses_.emplace(key, false).first;
    if (newcomerLines_ < newcomerLimit_) {
      ++newcomerLines_;
      history_.LogEvent(prefix_ + address + std::string(kDeniedSuffix));
      return true;
    }
  }
  ++otherRefusals_;
  if (other != otherAddresses_.end() && !other->second) {
    other->second = true;
    ++otherCounted_;
  }
  return false;
}

void RefusalLog::startPeriod() {
  if (timer_ != 0) return;
  timer_ = loop_.startTimer(periodMillis_, false, [this] {
    timer_ = 0;
    endPeriod();
  });
}

void RefusalLog::endPeriod() {
  if (timer_ != 0) loop_.cancelTimer(timer_);
  timer_ = 0;
  for (auto it = counted_.begin(); it != counted_.end();) {
    if (it->second == 0) {
      it = counted_.erase(it);
      continue;
    }
    history_.LogEvent(prefix_ + it->first + std::string(kDeniedSuffix) + " " +
                      std::to_string(it->second) + std::string(kMoreTimesSuffix));
    it->second = 0;
    ++it;
  }
  if (otherRefusals_ > 0) {
    const bool countedAll = otherAddresses_.size() < kOtherAddressLimit;
    history_.LogEvent(prefix_ + std::string(kOthersDeniedPrefix) +
                      std::to_string(otherRefusals_) + std::string(kOthersTimesInfix) +
                      (countedAll ? "" : std::string(kAtLeast)) +
                      std::to_string(otherCounted_) + std::string(kOthersSuffix));
  }
  otherRefusals_ = 0;
  otherCounted_ = 0;
  otherAddresses_.clear();
  newcomerLines_ = 0;
  if (!counted_.empty()) startPeriod();
}

void RefusalLog::clear() {
  if (timer_ != 0) loop_.cancelTimer(timer_);
  timer_ = 0;
  counted_.clear();
  otherRefusals_ = 0;
  otherCounted_ = 0;
  otherAddresses_.clear();
  newcomerLines_ = 0;
}

}  // namespace tavin
