#include "server/last_send_times.h"

namespace tavin {

double LastSendTimes::lookupOrAdd(const std::string& address) {
  std::lock_guard<std::mutex> lock(mu_);
  return times_.try_emplace(address, 0.0).first->second;
}

void LastSendTimes::set(const std::string& address, double millis) {
  std::lock_guard<std::mutex> lock(mu_);
  times_[address] = millis;
}

std::optional<double> LastSendTimes::find(const std::string& address) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = times_.find(address);
  if (it == times_.end()) return std::nullopt;
  return it->second;
}

}  // namespace tavin
