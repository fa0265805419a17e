// The result of a platform call: success, or the call's name and the
// operating system's error code. The platform seam never throws; callers
// decide what a failure means (usually an agreed fallback value).
#pragma once

#include <string>
#include <utility>

namespace platform {

class [[nodiscard]] SysStatus {
 public:
  static SysStatus ok() { return SysStatus(); }
  // The failure of call with an explicit code.
  static SysStatus error(std::string call, int code) { return SysStatus(std::move(call), code); }
  // The failure of call with the thread's last error (errno on POSIX,
  // GetLastError on Windows).
  static SysStatus lastError(std::string call);

  bool isOk() const { return call_.empty(); }
  explicit operator bool() const { return isOk(); }
  const std::string& call() const { return call_; }
  int code() const { return code_; }
  // "OK", or "<call> failed: <code> (<description>)".
  std::string toString() const;

 private:
  SysStatus() = default;
  SysStatus(std::string call, int code) : call_(std::move(call)), code_(code) {}

  std::string call_;
  int code_ = 0;
};

}  // namespace platform
