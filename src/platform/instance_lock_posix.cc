#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/instance_lock.h"

namespace platform {

struct InstanceLock::Impl {
  int fd = -1;
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

SysStatus InstanceLock::acquire(const std::string& name, bool* alreadyRunning) {
  release();
  if (!impl_) impl_ = std::make_unique<Impl>();  // moved from
  *alreadyRunning = false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // The abstract namespace: a leading zero byte, then the name. Nothing
  // appears in the file system and the name goes with the last descriptor.
  if (name.empty()) return SysStatus::error("bind", EINVAL);
  if (name.size() > sizeof address.sun_path - 1) return SysStatus::error("bind", ENAMETOOLONG);
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return SysStatus::lastError("socket");
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EADDRINUSE) {
      *alreadyRunning = true;
      return SysStatus::ok();
    }
    return SysStatus::error("bind", error);
  }
  impl_->fd = fd;
  return SysStatus::ok();
}

bool InstanceLock::isHeld() const { return impl_ && impl_->fd >= 0; }

void InstanceLock::release() {
  if (isHeld()) {
    ::close(impl_->fd);
    impl_->fd = -1;
  }
}

bool activateRunningInstance(const std::string&, const std::string&) { return false; }

}  // namespace platform
