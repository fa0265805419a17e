// A clock that tells the time a test sets. localToEpochSeconds treats the
// calendar time as UTC, so results do not depend on the machine's time zone.
#pragma once

#include <atomic>
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
    time_ = time;
  }
  void setMillis(double millis) { millis_ = millis; }

  platform::LocalTime localTime() const override {
    std::lock_guard<std::mutex> lock(mu_);
    return time_;
  }
  double nowMillis() const override { return millis_; }
  int64_t localToEpochSeconds(const platform::LocalTime& t) const override {
    // Days from 1970-01-01 of a proleptic Gregorian date.
    const int64_t y = t.year - (t.month <= 2 ? 1 : 0);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t m = t.month;
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + t.day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = era * 146097 + doe - 719468;
    return days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
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
  std::atomic<double> millis_{0};
};

}  // namespace tavin::test
