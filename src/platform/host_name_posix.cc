#include <unistd.h>

#include "platform/host_name.h"

namespace platform {

std::string hostName() {
  char buffer[256] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) return std::string();
  return buffer;
}

}  // namespace platform
