#include <ctime>
// std::chrono's clocks come from <thread>: <chrono> itself holds a "µs"
// literal that has no GBK form and fails under -fexec-charset=GBK.
#include <thread>

#include "platform/clock.h"

namespace platform {

int64_t Clock::steadyMillis() const {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

namespace {

class SystemClock : public Clock {
 public:
  LocalTime localTime() const override {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count();
    std::tm tm{};
    LocalTime out;
    if (!toLocalTm(static_cast<std::time_t>(millis / 1000), &tm)) return out;
    out.year = tm.tm_year + 1900;
    out.month = tm.tm_mon + 1;
    out.day = tm.tm_mday;
    out.hour = tm.tm_hour;
    out.minute = tm.tm_min;
    out.second = tm.tm_sec;
    out.millisecond = static_cast<int>(millis % 1000);
    return out;
  }

  double nowMillis() const override {
    using namespace std::chrono;
    return static_cast<double>(
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
  }

  int64_t localToEpochSeconds(const LocalTime& time) const override {
    std::tm tm{};
    tm.tm_year = time.year - 1900;
    tm.tm_mon = time.month - 1;
    tm.tm_mday = time.day;
    tm.tm_hour = time.hour;
    tm.tm_min = time.minute;
    tm.tm_sec = time.second;
    tm.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&tm));
  }
};

}  // namespace

Clock& Clock::system() {
  static SystemClock clock;
  return clock;
}

}  // namespace platform
