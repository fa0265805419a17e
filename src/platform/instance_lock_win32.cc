#include <windows.h>
#include <sddl.h>

#include <mutex>
#include <set>

#include "platform/instance_lock.h"
#include "platform/text.h"

namespace platform {
namespace {

// Who may take the lock: the system and administrators, interactive users
// (the tray application) and services (whatever account the service runs
// as). OWNER RIGHTS gives its creator no more than that, so that whoever
// makes it first cannot change the list or shut the others out. Nobody else
// (network logons, anonymous) may open it at all.
constexpr wchar_t kLockSecurity[] =
    L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x100001;;;IU)(A;;0x100001;;;SU)(A;;0x100001;;;OW)";
// What taking and giving up the lock needs, and all the list gives users.
constexpr DWORD kLockAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// The names this process holds. Owning a mutex is recursive, so a second
// holder in the same process would get it again: it is told here instead.
std::mutex heldMu;
std::set<std::wstring>& heldNames() {
  static std::set<std::wstring> names;  // guarded by heldMu
  return names;
}

}  // namespace

std::string instanceLockName() { return "Global\\" + std::string(kInstanceLockName); }

struct InstanceLock::Impl {
  HANDLE mutex = nullptr;
  std::wstring name;
};

InstanceLock::InstanceLock() : impl_(std::make_unique<Impl>()) {}
InstanceLock::~InstanceLock() { release(); }
InstanceLock::InstanceLock(InstanceLock&&) noexcept = default;
InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept {
  if (this != &other) {
    release();
    impl_ = std::move(other.impl_);
  }
  return *this;
}

SysStatus InstanceLock::acquire(const std::string& name, bool* alreadyRunning,
                                std::string* problem) {
  release();
  if (!impl_) impl_ = std::make_unique<Impl>();  // moved from
  *alreadyRunning = false;
  if (problem != nullptr) problem->clear();
  // An empty name would make an unnamed mutex, which every process gets anew.
  if (name.empty()) return SysStatus::error("CreateMutexW", ERROR_INVALID_NAME);
  const std::wstring wide = gbkToWide(name);
  {
    std::lock_guard<std::mutex> lock(heldMu);
    if (heldNames().count(wide) > 0) {
      *alreadyRunning = true;
      return SysStatus::ok();
    }
  }

  PSECURITY_DESCRIPTOR security = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockSecurity, SDDL_REVISION_1,
                                                              &security, nullptr)) {
    return SysStatus::lastError("ConvertStringSecurityDescriptorToSecurityDescriptorW");
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, security, FALSE};
  HANDLE mutex = ::CreateMutexW(&attributes, FALSE, wide.c_str());
  DWORD error = ::GetLastError();
  ::LocalFree(security);
  // An existing lock asks for all access, which its list gives an ordinary
  // user not: that user opens it with what taking it needs.
  if (mutex == nullptr && error == ERROR_ACCESS_DENIED) {
    mutex = ::OpenMutexW(kLockAccess, FALSE, wide.c_str());
    error = ::GetLastError();
  }
  if (mutex == nullptr) {
    if (problem != nullptr && error == ERROR_ACCESS_DENIED) {
      *problem =
          "this user may not take it (the agent's own lets only the system, administrators, "
          "interactive users and services take it; another program's may let nobody)";
    }
    return SysStatus::error("CreateMutexW", static_cast<int>(error));
  }
  // Held means owned, not merely existing: a handle another program keeps
  // open does not stop the next start, and the system gives the mutex up
  // when its owner's thread ends, however it ends (WAIT_ABANDONED).
  switch (::WaitForSingleObject(mutex, 0)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED: {
      impl_->mutex = mutex;
      impl_->name = wide;
      std::lock_guard<std::mutex> lock(heldMu);
      heldNames().insert(wide);
      return SysStatus::ok();
    }
    case WAIT_TIMEOUT:
      ::CloseHandle(mutex);
      *alreadyRunning = true;
      return SysStatus::ok();
    default: {
      SysStatus failed = SysStatus::lastError("WaitForSingleObject");
      ::CloseHandle(mutex);
      return failed;
    }
  }
}

bool InstanceLock::isHeld() const { return impl_ && impl_->mutex != nullptr; }

void InstanceLock::release() {
  if (!isHeld()) return;
  ::ReleaseMutex(impl_->mutex);
  ::CloseHandle(impl_->mutex);
  impl_->mutex = nullptr;
  std::lock_guard<std::mutex> lock(heldMu);
  heldNames().erase(impl_->name);
}

bool activateRunningInstance(const std::string& windowClass, const std::string& title) {
  const std::wstring wideClass = gbkToWide(windowClass);
  const std::wstring wideTitle = gbkToWide(title);
  HWND window = ::FindWindowW(windowClass.empty() ? nullptr : wideClass.c_str(),
                              title.empty() ? nullptr : wideTitle.c_str());
  if (window == nullptr) return false;
  if (::IsIconic(window)) ::ShowWindow(window, SW_RESTORE);
  ::SetForegroundWindow(window);
  return true;
}

}  // namespace platform
