#include <windows.h>

#include "platform/instance_lock.h"
#include "platform/text.h"

namespace platform {

std::string instanceLockName() { return std::string(kInstanceLockName); }

struct InstanceLock::Impl {
  HANDLE mutex = nullptr;
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

SysStatus InstanceLock::acquire(const std::string& name, bool* alreadyRunning, std::string*) {
  release();
  if (!impl_) impl_ = std::make_unique<Impl>();  // moved from
  *alreadyRunning = false;
  // An empty name would make an unnamed mutex, which every process gets anew.
  if (name.empty()) return SysStatus::error("CreateMutexW", ERROR_INVALID_NAME);
  // Not initially owned: the mutex is only a marker that the name exists.
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, gbkToWide(name).c_str());
  if (mutex == nullptr) return SysStatus::lastError("CreateMutexW");
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(mutex);
    *alreadyRunning = true;
    return SysStatus::ok();
  }
  impl_->mutex = mutex;
  return SysStatus::ok();
}

bool InstanceLock::isHeld() const { return impl_ && impl_->mutex != nullptr; }

void InstanceLock::release() {
  if (isHeld()) {
    ::CloseHandle(impl_->mutex);
    impl_->mutex = nullptr;
  }
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
