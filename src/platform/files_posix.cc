#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <vector>

#include "platform/files.h"

namespace platform {

char pathSeparator() { return '/'; }

bool fileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

SysStatus fileSize(const std::string& path, int64_t* size) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return SysStatus::lastError("stat");
  if (!S_ISREG(st.st_mode)) return SysStatus::error("stat", EINVAL);
  *size = static_cast<int64_t>(st.st_size);
  return SysStatus::ok();
}

bool directoryExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

SysStatus createDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0) return SysStatus::ok();
  if (errno == EEXIST && directoryExists(path)) return SysStatus::ok();
  return SysStatus::lastError("mkdir");
}

std::string currentDirectory() {
  std::vector<char> buffer(PATH_MAX);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE || buffer.size() > (1u << 20)) return std::string();
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

std::string executablePath() {
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
    if (buffer.size() > (1u << 20)) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

namespace {

// Opens a regular file for reading. O_NONBLOCK keeps the open of a FIFO that
// has no writer from blocking; anything but a regular file is then refused,
// since reading a FIFO or a device could block or never end.
int openRegular(const std::string& path, SysStatus* status) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *status = SysStatus::lastError("open");
    return -1;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    *status = SysStatus::lastError("fstat");
    ::close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    *status = SysStatus::error("open", EINVAL);
    ::close(fd);
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace

SysStatus readFile(const std::string& path, std::string* out, size_t maxBytes) {
  out->clear();
  SysStatus status = SysStatus::ok();
  int fd = openRegular(path, &status);
  if (fd < 0) return status;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      status = SysStatus::lastError("read");
      break;
    }
    if (static_cast<size_t>(n) > maxBytes - out->size()) {
      status = SysStatus::error("read", EFBIG);
      break;
    }
    out->append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  if (!status) out->clear();
  return status;
}

namespace {

// Writes every byte to fd, then closes it.
SysStatus writeAllTo(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      SysStatus status = SysStatus::lastError("write");
      ::close(fd);
      return status;
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) return SysStatus::lastError("close");
  return SysStatus::ok();
}

SysStatus writeAll(const std::string& path, const std::string& bytes, int flags) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
  if (fd < 0) return SysStatus::lastError("open");
  return writeAllTo(fd, bytes);
}

}  // namespace

SysStatus appendToFile(const std::string& path, const std::string& bytes) {
  return writeAll(path, bytes, O_APPEND);
}

SysStatus writeFile(const std::string& path, const std::string& bytes) {
  return writeAll(path, bytes, O_TRUNC);
}

SysStatus removeFile(const std::string& path) {
  if (::unlink(path.c_str()) == 0) return SysStatus::ok();
  return SysStatus::lastError("unlink");
}

SysStatus replaceFile(const std::string& path, const std::string& bytes) {
  const std::string next = path + ".new";
  // What stands under the new file's name (a leftover of a write that was
  // cut short, or a link someone put there) goes first; the new file is
  // then made by this call alone (O_EXCL does not follow a link either).
  if (::unlink(next.c_str()) != 0 && errno != ENOENT) return SysStatus::lastError("unlink");
  const int fd = ::open(next.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return SysStatus::lastError("open");
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      SysStatus status = SysStatus::lastError("write");
      ::close(fd);
      ::unlink(next.c_str());
      return status;
    }
    done += static_cast<size_t>(n);
  }
  // On the disk before the rename, so that the name never leads to a file
  // whose content a power cut lost.
  if (::fsync(fd) != 0) {
    SysStatus status = SysStatus::lastError("fsync");
    ::close(fd);
    ::unlink(next.c_str());
    return status;
  }
  if (::close(fd) != 0) return SysStatus::lastError("close");
  if (::rename(next.c_str(), path.c_str()) != 0) {
    SysStatus status = SysStatus::lastError("rename");
    ::unlink(next.c_str());
    return status;
  }
  // The rename itself is on the disk once its directory is.
  const size_t slash = path.rfind('/');
  const std::string directory =
      slash == std::string::npos ? std::string(".") : slash == 0 ? "/" : path.substr(0, slash);
  const int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return SysStatus::ok();
}

NotedDirectory NotedDirectory::note(const std::string& path) {
  NotedDirectory dir;
  dir.path_ = directoryPath(path);
  struct stat link, target;
  if (::lstat(dir.path_.c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
      ::stat(dir.path_.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
    dir.wasLink_ = true;
    dir.target_ = FileState{static_cast<uint64_t>(target.st_dev),
                            static_cast<uint64_t>(target.st_ino), 0};
  }
  return dir;
}

SysStatus appendInDirectory(const NotedDirectory& dir, const std::string& name,
                            const std::string& bytes) {
  const SysStatus refused = SysStatus::error(kLinkRefusedCall, ELOOP);
  // The directory is opened as itself first: a link there is taken only
  // when it was one when noted, and only to the same directory. The file is
  // then made relative to the open directory, so nothing can be swapped in
  // between the check and the write.
  int dirFd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dirFd < 0) {
    struct stat st;
    if (::lstat(dir.path().c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      return SysStatus::lastError("open");
    }
    if (!dir.wasLink()) return refused;
    dirFd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return SysStatus::lastError("open");
    if (::fstat(dirFd, &st) != 0 ||
        !FileState{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), 0}
             .sameFile(dir.target_)) {
      ::close(dirFd);
      return refused;
    }
  }
  // O_NONBLOCK: a FIFO put there fails instead of blocking the writer.
  const int fd = ::openat(dirFd, name.c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  const int openError = errno;
  ::close(dirFd);
  if (fd < 0) return openError == ELOOP ? refused : SysStatus::error("openat", openError);
  return writeAllTo(fd, bytes);
}

struct LineReader::Impl {
  int fd = -1;
  ~Impl() { ::close(fd); }
};

// Defined where Impl is complete; the Impl closes the file.
LineReader::LineReader() = default;
LineReader::~LineReader() = default;
LineReader::LineReader(LineReader&&) noexcept = default;
LineReader& LineReader::operator=(LineReader&&) noexcept = default;

SysStatus LineReader::openFile(const std::string& path) {
  SysStatus status = SysStatus::ok();
  const int fd = openRegular(path, &status);
  if (fd < 0) return status;
  impl_ = std::make_unique<Impl>();
  impl_->fd = fd;
  return status;
}

bool LineReader::isOpen() const { return impl_ && impl_->fd >= 0; }

SysStatus LineReader::seekFile(int64_t offset) {
  if (!isOpen()) return SysStatus::error("lseek", EBADF);
  if (::lseek(impl_->fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    return SysStatus::lastError("lseek");
  }
  return SysStatus::ok();
}

size_t LineReader::readSome(char* buffer, size_t size) {
  for (;;) {
    const ssize_t n = ::read(impl_->fd, buffer, size);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return 0;
  }
}

SysStatus LineReader::state(FileState* out) const {
  if (!isOpen()) return SysStatus::error("fstat", EBADF);
  struct stat st;
  if (::fstat(impl_->fd, &st) != 0) return SysStatus::lastError("fstat");
  out->volume = static_cast<uint64_t>(st.st_dev);
  out->index = static_cast<uint64_t>(st.st_ino);
  out->size = static_cast<int64_t>(st.st_size);
  return SysStatus::ok();
}

void LineReader::close() { impl_.reset(); }

}  // namespace platform
