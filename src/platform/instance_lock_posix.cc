#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files.h"
#include "platform/instance_lock.h"

namespace platform {

std::string instanceLockName() {
  const std::string executable = executablePath();
  if (executable.empty()) return std::string();
  return withoutExtension(executable) + std::string(kInstanceLockFileExtension);
}

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
  if (name.empty()) return SysStatus::error("open", ENOENT);
  // Read access is all flock needs. Not through a symbolic link, which could
  // point where anyone may create the file; non-blocking, so that a FIFO
  // planted there cannot hang the open.
  const int fd =
      ::open(name.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0) return SysStatus::lastError("open");
  struct stat info {};
  SysStatus status = SysStatus::ok();
  if (::fstat(fd, &info) != 0) {
    status = SysStatus::lastError("fstat");
  } else if (!S_ISREG(info.st_mode)) {
    status = SysStatus::error("open", S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
  } else if ((info.st_mode & S_IRWXO) != 0 &&
             ::fchmod(fd, info.st_mode & (S_IRWXU | S_IRWXG)) != 0) {
    // A file every user may open is a lock every user may take; only its
    // owner can restrict it.
    status = SysStatus::lastError("fchmod");
  } else {
    int rc;
    while ((rc = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc != 0 && errno == EWOULDBLOCK) {
      *alreadyRunning = true;
    } else if (rc != 0) {
      status = SysStatus::lastError("flock");
    } else {
      impl_->fd = fd;
      return SysStatus::ok();
    }
  }
  ::close(fd);
  return status;
}

bool InstanceLock::isHeld() const { return impl_ && impl_->fd >= 0; }

void InstanceLock::release() {
  // Closing the descriptor releases the lock. The file stays: removing it
  // would race with another process that has just opened it.
  if (isHeld()) {
    ::close(impl_->fd);
    impl_->fd = -1;
  }
}

bool activateRunningInstance(const std::string&, const std::string&) { return false; }

}  // namespace platform
