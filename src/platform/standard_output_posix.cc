#include <unistd.h>

#include <cerrno>

#include "platform/standard_output.h"

namespace platform {

SysStatus writeStandardOutput(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    // A reader that has gone is EPIPE here: the agent ignores SIGPIPE.
    ssize_t n = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
    if (n >= 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (errno != EINTR) return SysStatus::lastError("write");
  }
  return SysStatus::ok();
}

}  // namespace platform
