// A clock that tells the time a test sets. localToEpochSeconds is a simple
// count of seconds that grows with the calendar time and is 0 only at its
// origin; it does not depend on the machine's time zone; nowMillis is that
// count in milliseconds. Its steady clock
// goes forward with every set() that moves the time forward, as real time
// passing would; jump() moves the wall clock alone, as setting the host's
// clock does.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/clock.h"

namespace tavin::test {

class FakeClock : public platform::Clock {
 public:
  FakeClock() = default;
  explicit FakeClock(const platform::LocalTime& time) : time_(time) {}

  void set(const platform::LocalTime& time) {
    std::lock_guard<std::mutex> lock(mu_);
    const int64_t passed = localToEpochSeconds(time) - localToEpochSeconds(time_);
    if (passed > 0) steadyMillis_ += passed * 1000;
    time_ = time;
  }
  void jump(const platform::LocalTime& time) {
    std::lock_guard<std::mutex> lock(mu_);
    time_ = time;
  }

  platform::LocalTime localTime() const override {
    std::lock_guard<std::mutex> lock(mu_);
    return time_;
  }
  double nowMillis() const override {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<double>(localToEpochSeconds(time_)) * 1000.0;
  }
  int64_t steadyMillis() const override {
    std::lock_guard<std::mutex> lock(mu_);
    return steadyMillis_;
  }
  int64_t localToEpochSeconds(const platform::LocalTime& t) const override {
    const int64_t days = (int64_t{t.year} - 1970) * 372 + (t.month - 1) * 31 + (t.day - 1);
    return ((days * 24 + t.hour) * 60 + t.minute) * 60 + t.second;
  }

  static platform::LocalTime at(int year, int month, int day, int hour = 12, int minute = 0,
                                int second = 0) {
    platform::LocalTime t;
    t.year = year;
    t.month = month;
    t.day = day;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    return t;
  }

 private:
  mutable std::mutex mu_;
  platform::LocalTime time_ = at(2026, 3, 9, 7, 5, 2);
  int64_t steadyMillis_ = 0;
};

}  // namespace tavin::test
