#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <vector>

#include "platform/files.h"
#include "platform/instance_lock.h"

namespace platform {

namespace {

// The text of a symbolic link; empty when it cannot be read.
std::string linkText(const std::string& path) {
  std::vector<char> buffer(PATH_MAX);
  const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
  if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) return std::string();
  return std::string(buffer.data(), static_cast<size_t>(n));
}

// What a file that is not a regular one is, in words.
const char* kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return "not a regular file";
}

// "user NAME (uid N)", or "uid N" for a user without a (plain) name.
std::string userText(uid_t uid) {
  std::string text = "uid " + std::to_string(uid);
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return text;
  }
  const std::string name = found->pw_name;
  for (char c : name) {
    if (c <= ' ' || c > '~') return text;  // shown as is only when plain ASCII
  }
  return "user " + name + " (" + text + ")";
}

// What makes an opened lock file unusable, in words; empty when nothing
// does. Only a regular file of the agent's own user that no one else may
// open is a lock no one else can take first or hold.
std::string problemOf(const struct stat& info) {
  if (!S_ISREG(info.st_mode)) return std::string("it is ") + kindOf(info.st_mode);
  if (info.st_uid != ::geteuid()) {
    return "it is owned by " + userText(info.st_uid) + ", not by the agent's " +
           userText(::geteuid());
  }
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return std::string("its group or other users may open it (mode ") + mode + ")";
  }
  return std::string();
}

}  // namespace

std::string instanceLockName() {
  const std::string executable = executablePath();
  if (executable.empty()) return std::string();
  const std::string beside = withoutExtension(executable) + std::string(kInstanceLockFileExtension);
  // A symbolic link there names the lock file elsewhere. It lies in the
  // installation's directory, which only who installed the agent may write,
  // as the agent and its ini do.
  struct stat info {};
  if (::lstat(beside.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return beside;
  const std::string target = linkText(beside);
  if (target.empty()) return beside;  // acquire() says what is wrong with it
  if (target.front() == '/') return target;
  return beside.substr(0, beside.rfind('/') + 1) + target;
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

SysStatus InstanceLock::acquire(const std::string& name, bool* alreadyRunning,
                                std::string* problem) {
  release();
  if (!impl_) impl_ = std::make_unique<Impl>();  // moved from
  *alreadyRunning = false;
  if (problem != nullptr) problem->clear();
  if (name.empty()) return SysStatus::error("open", ENOENT);
  // Read access is all flock needs. Not through a symbolic link, which could
  // point where anyone may create the file; non-blocking, so that a FIFO
  // planted there cannot hang the open. What is checked is the file opened,
  // by its descriptor, so that it cannot be swapped after the check.
  const int fd = ::open(name.c_str(),
                        O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600);
  if (fd < 0) {
    const int code = errno;
    // Why it could not be opened, where the file itself says (a link, a
    // directory, another user's file).
    struct stat info {};
    if (problem != nullptr && ::lstat(name.c_str(), &info) == 0) *problem = problemOf(info);
    return SysStatus::error("open", code);
  }
  struct stat info {};
  SysStatus status = SysStatus::ok();
  if (::fstat(fd, &info) != 0) {
    status = SysStatus::lastError("fstat");
  } else if (const std::string unusable = problemOf(info); !unusable.empty()) {
    status = SysStatus::error("open", EPERM);
    if (problem != nullptr) *problem = unusable;
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
