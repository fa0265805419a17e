#include "config/refusal_log.h"

#include <functional>
#include <utility>

#include "config/config_texts.h"

namespace tavin {

RefusalLog::RefusalLog(platform::EventLoop& loop, History& history, std::string prefix,
                       int64_t periodMillis, size_t addressLimit)
    : loop_(loop),
      history_(history),
      prefix_(std::move(prefix)),
      periodMillis_(periodMillis),
      addressLimit_(addressLimit) {}

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
  ++otherRefusals_;
  if (otherAddresses_.size() < kOtherAddressLimit) {
    otherAddresses_.insert(std::hash<std::string>{}(address));
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
                      std::to_string(otherAddresses_.size()) + std::string(kOthersSuffix));
    otherRefusals_ = 0;
    otherAddresses_.clear();
  }
  if (!counted_.empty()) startPeriod();
}

void RefusalLog::clear() {
  if (timer_ != 0) loop_.cancelTimer(timer_);
  timer_ = 0;
  counted_.clear();
  otherRefusals_ = 0;
  otherAddresses_.clear();
}

}  // namespace tavin
