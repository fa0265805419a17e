#include <windows.h>

#include "platform/sys_status.h"

namespace platform {

SysStatus SysStatus::lastError(std::string call) {
  return error(std::move(call), static_cast<int>(::GetLastError()));
}

std::string SysStatus::toString() const {
  if (isOk()) return "OK";
  std::string text = call_ + " failed: " + std::to_string(code_);
  char buffer[256];
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code_), MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT),
                             buffer, sizeof buffer, nullptr);
  while (n > 0 && (buffer[n - 1] == '\r' || buffer[n - 1] == '\n' || buffer[n - 1] == ' ')) --n;
  if (n > 0) text += " (" + std::string(buffer, n) + ")";
  return text;
}

}  // namespace platform
