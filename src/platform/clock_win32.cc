#include <time.h>

#include "platform/clock.h"

namespace platform {

bool toLocalTm(std::time_t seconds, std::tm* out) { return localtime_s(out, &seconds) == 0; }

}  // namespace platform
