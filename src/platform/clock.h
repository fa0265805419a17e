// Wall-clock time: the local calendar time and milliseconds since the epoch;
// and a steady clock beside it, which setting the wall clock does not move.
//
// Portable code takes a Clock& so tests can pass a fake one; the system clock
// is Clock::system(). Any thread.
#pragma once

#include <cstdint>
#include <ctime>

namespace platform {

struct LocalTime {
  int year = 1970;   // four digits
  int month = 1;     // 1..12
  int day = 1;       // 1..31
  int hour = 0;      // 0..23
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalTime localTime() const = 0;
  // Milliseconds since 1970-01-01 00:00:00 UTC: whole seconds times 1000
  // plus the millisecond part.
  virtual double nowMillis() const = 0;
  // Seconds since the epoch of a local calendar time, with daylight saving
  // left to the platform to determine (mktime with tm_isdst = -1); -1 when
  // the time cannot be represented.
  virtual int64_t localToEpochSeconds(const LocalTime& time) const = 0;
  // Milliseconds of a clock that moves only forward, at the pace of real
  // time, whatever is done to the wall clock (its origin is arbitrary).
  virtual int64_t steadyMillis() const;

  static Clock& system();
};

// The broken-down local time of seconds, as localtime gives it but safe on
// any thread; false when the platform cannot convert it. Per platform
// (clock_posix.cc, clock_win32.cc).
bool toLocalTm(std::time_t seconds, std::tm* out);

}  // namespace platform
