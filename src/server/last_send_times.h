// Per console address, the time (milliseconds since the epoch, as the clock's
// nowMillis gives it) of the last heartbeat or response the agent sent there.
// A response postpones the next heartbeat. Entries are never removed: a
// console that reconnects from the same address keeps its entry. Any thread.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace tavin {

class LastSendTimes {
 public:
  // The entry of address; an address seen for the first time is added with 0.
  double lookupOrAdd(const std::string& address);
  void set(const std::string& address, double millis);
  std::optional<double> find(const std::string& address) const;

 private:
  mutable std::mutex mu_;
  // Guarded by mu_.
  std::map<std::string, double> times_;
};

}  // namespace tavin
