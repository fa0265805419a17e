#include <windows.h>

#include <algorithm>

#include "platform/standard_output.h"

namespace platform {

SysStatus writeStandardOutput(const std::string& bytes) {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) {
    return SysStatus::error("GetStdHandle", ERROR_INVALID_HANDLE);
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
    DWORD written = 0;
    if (!::WriteFile(out, bytes.data() + done, chunk, &written, nullptr)) {
      return SysStatus::lastError("WriteFile");
    }
    // Nothing taken and no error: the output takes no more.
    if (written == 0) return SysStatus::error("WriteFile", ERROR_NO_DATA);
    done += written;
  }
  return SysStatus::ok();
}

}  // namespace platform
