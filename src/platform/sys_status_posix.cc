#include <cerrno>
#include <cstring>

#include "platform/sys_status.h"

namespace platform {

SysStatus SysStatus::lastError(std::string call) { return error(std::move(call), errno); }

std::string SysStatus::toString() const {
  if (isOk()) return "OK";
  return call_ + " failed: " + std::to_string(code_) + " (" + std::strerror(code_) + ")";
}

}  // namespace platform
