#include <windows.h>

#include "platform/host_counters.h"
#include "platform/text.h"

namespace platform {
namespace {

using GetSystemTimesFn = BOOL(WINAPI*)(LPFILETIME idle, LPFILETIME kernel, LPFILETIME user);

// GetSystemTimes is looked up once at run time, so the agent still starts on
// a system without it; callers check for null.
GetSystemTimesFn getSystemTimesFn() {
  static const GetSystemTimesFn fn = [] {
    HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr) return GetSystemTimesFn(nullptr);
    // Through void(*)(), which GCC accepts as a cast to any function type.
    return reinterpret_cast<GetSystemTimesFn>(
        reinterpret_cast<void (*)()>(::GetProcAddress(kernel32, "GetSystemTimes")));
  }();
  return fn;
}

uint64_t toUint64(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

class Win32HostCounters : public HostCounters {
 public:
  SysStatus cpuTimes(CpuTimes* out) const override {
    GetSystemTimesFn getSystemTimes = getSystemTimesFn();
    if (getSystemTimes == nullptr) return SysStatus::error("GetSystemTimes", ERROR_PROC_NOT_FOUND);
    FILETIME idle{}, kernel{}, user{};
    if (!getSystemTimes(&idle, &kernel, &user)) return SysStatus::lastError("GetSystemTimes");
    out->idle = toUint64(idle);
    out->kernel = toUint64(kernel);
    out->user = toUint64(user);
    return SysStatus::ok();
  }

  SysStatus commitCharge(CommitCharge* out) const override {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!::GlobalMemoryStatusEx(&status)) return SysStatus::lastError("GlobalMemoryStatusEx");
    out->total = status.ullTotalPageFile;
    out->available = status.ullAvailPageFile;
    return SysStatus::ok();
  }

  SysStatus volumeSpace(const std::string& path, VolumeSpace* out) const override {
    const std::wstring widePath = gbkToWide(path);
    ULARGE_INTEGER available{}, total{}, free{};
    // A null directory is the current directory's volume.
    if (!::GetDiskFreeSpaceExW(path.empty() ? nullptr : widePath.c_str(), &available, &total,
                               &free)) {
      return SysStatus::lastError("GetDiskFreeSpaceExW");
    }
    out->total = total.QuadPart;
    out->free = free.QuadPart;
    return SysStatus::ok();
  }
};

}  // namespace

const HostCounters& HostCounters::system() {
  static const Win32HostCounters counters;
  return counters;
}

}  // namespace platform
