#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
// std::chrono's clocks come from <thread> (<chrono> does not compile under
// -fexec-charset=GBK).
#include <thread>

#include "platform/cancellation.h"
#include "platform/tcp_client.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// A file descriptor and its owner.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

int millisLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

constexpr int kCancelled = -2;

// Waits until fd reports one of events, the deadline passes or the
// cancellation (when given) is cancelled. 1 when ready, 0 at the deadline,
// -1 on error (errno set), kCancelled. Signals do not cut the wait. A
// cancellable wait polls in short slices: nothing wakes a poll on a cancel.
int waitUntil(int fd, short events, Clock::time_point deadline,
              const Cancellation* cancellation = nullptr) {
  for (;;) {
    if (cancellation != nullptr && cancellation->isCancelled()) return kCancelled;
    const int left = millisLeft(deadline);
    pollfd p{fd, events, 0};
    int rc = ::poll(&p, 1, cancellation != nullptr ? std::min(left, kCancellationCheckMs) : left);
    if (rc > 0) return rc;
    if (rc == 0 && (left == 0 || millisLeft(deadline) == 0)) return 0;
    if (rc < 0 && errno != EINTR) return -1;
  }
}

Clock::time_point deadlineIn(int timeoutMs) {
  return Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
}

bool parseIpv4(const std::string& text, uint16_t port, sockaddr_in* out) {
  *out = sockaddr_in{};
  out->sin_family = AF_INET;
  out->sin_port = htons(port);
  return ::inet_pton(AF_INET, text.c_str(), &out->sin_addr) == 1;
}

SysStatus newSocket(UniqueFd* fd) {
  fd->reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (fd->get() < 0) return SysStatus::lastError("socket");
  return SysStatus::ok();
}

// A non-blocking connect that gives up at the deadline or on a cancel.
SysStatus connectWithin(int fd, const sockaddr_in& address, int timeoutMs,
                        const Cancellation* cancellation = nullptr) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return SysStatus::ok();
  }
  if (errno != EINPROGRESS && errno != EINTR) return SysStatus::lastError("connect");
  int rc = waitUntil(fd, POLLOUT, deadlineIn(timeoutMs), cancellation);
  if (rc == kCancelled) return SysStatus::error("connect", ECANCELED);
  if (rc < 0) return SysStatus::lastError("poll");
  if (rc == 0) return SysStatus::error("connect", ETIMEDOUT);
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    return SysStatus::lastError("getsockopt");
  }
  if (error != 0) return SysStatus::error("connect", error);
  return SysStatus::ok();
}

SysStatus resolveIpv4(const std::string& host, uint16_t port, sockaddr_in* out) {
  if (parseIpv4(host, port, out)) return SysStatus::ok();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  // The resolver's own codes are not errno values; "no such address" is
  // what they all mean to a caller.
  if (rc != 0 || found == nullptr) return SysStatus::error("getaddrinfo", ENXIO);
  *out = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  out->sin_port = htons(port);
  ::freeaddrinfo(found);
  return SysStatus::ok();
}

}  // namespace

bool probeTcp(const std::string& remoteDottedIp, const std::string& localDottedIp, uint16_t port,
              int timeoutMs, const Cancellation* cancellation) {
  sockaddr_in local, remote;
  if (!parseIpv4(localDottedIp, 0, &local) || !parseIpv4(remoteDottedIp, port, &remote)) {
    return false;
  }
  UniqueFd fd;
  if (!newSocket(&fd)) return false;
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return false;
  return connectWithin(fd.get(), remote, timeoutMs, cancellation).isOk();
}

struct TcpClient::Impl {
  UniqueFd fd;
  int receiveBuffer = 0;  // 0: the system's default
};

TcpClient::TcpClient() : impl_(std::make_unique<Impl>()) {}
TcpClient::~TcpClient() = default;
TcpClient::TcpClient(TcpClient&&) noexcept = default;
TcpClient& TcpClient::operator=(TcpClient&&) noexcept = default;

SysStatus TcpClient::connect(const std::string& host, uint16_t port, int timeoutMs) {
  close();
  if (!impl_) impl_ = std::make_unique<Impl>();  // moved from
  sockaddr_in address;
  if (SysStatus status = resolveIpv4(host, port, &address); !status) return status;
  UniqueFd fd;
  if (SysStatus status = newSocket(&fd); !status) return status;
  if (impl_->receiveBuffer > 0) {
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &impl_->receiveBuffer,
                 sizeof impl_->receiveBuffer);
  }
  if (SysStatus status = connectWithin(fd.get(), address, timeoutMs); !status) return status;
  impl_->fd.reset(fd.release());
  return SysStatus::ok();
}

bool TcpClient::isOpen() const { return impl_ && impl_->fd.get() >= 0; }

SysStatus TcpClient::sendAll(const std::string& bytes, int timeoutMs) {
  if (!isOpen()) return SysStatus::error("send", EBADF);
  const Clock::time_point deadline = deadlineIn(timeoutMs);
  size_t done = 0;
  while (done < bytes.size()) {
    // MSG_NOSIGNAL: a peer that has gone is an error here, not a SIGPIPE.
    ssize_t n = ::send(impl_->fd.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n >= 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return SysStatus::lastError("send");
    int rc = waitUntil(impl_->fd.get(), POLLOUT, deadline);
    if (rc < 0) return SysStatus::lastError("poll");
    if (rc == 0) return SysStatus::error("send", ETIMEDOUT);
  }
  return SysStatus::ok();
}

TcpClient::Received TcpClient::receive(std::string* out, int timeoutMs, SysStatus* failure) {
  if (!isOpen()) {
    if (failure) *failure = SysStatus::error("recv", EBADF);
    return Received::kFailed;
  }
  int rc = waitUntil(impl_->fd.get(), POLLIN, deadlineIn(timeoutMs));
  if (rc < 0) {
    if (failure) *failure = SysStatus::lastError("poll");
    return Received::kFailed;
  }
  if (rc == 0) return Received::kTimeout;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::recv(impl_->fd.get(), buffer, sizeof buffer, 0);
    if (n > 0) {
      out->append(buffer, static_cast<size_t>(n));
      return Received::kData;
    }
    if (n == 0) return Received::kClosed;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Received::kTimeout;
    if (failure) *failure = SysStatus::lastError("recv");
    return errno == ECONNRESET ? Received::kClosed : Received::kFailed;
  }
}

void TcpClient::setReceiveBufferSize(int bytes) {
  if (!impl_) impl_ = std::make_unique<Impl>();
  impl_->receiveBuffer = bytes;
}

void TcpClient::close() {
  if (impl_) impl_->fd.reset();
}

void TcpClient::abort() {
  if (!isOpen()) return;
  linger option{1, 0};
  ::setsockopt(impl_->fd.get(), SOL_SOCKET, SO_LINGER, &option, sizeof option);
  impl_->fd.reset();
}

void TcpClient::shutdownSend() {
  if (isOpen()) ::shutdown(impl_->fd.get(), SHUT_WR);
}

struct TcpListener::Impl {
  UniqueFd fd;
};

TcpListener::TcpListener() : impl_(std::make_unique<Impl>()) {}
TcpListener::~TcpListener() = default;
TcpListener::TcpListener(TcpListener&&) noexcept = default;
TcpListener& TcpListener::operator=(TcpListener&&) noexcept = default;

SysStatus TcpListener::listen(const std::string& localDottedIp, uint16_t port, int backlog) {
  close();
  if (!impl_) impl_ = std::make_unique<Impl>();  // moved from
  sockaddr_in address;
  if (!parseIpv4(localDottedIp, port, &address)) return SysStatus::error("inet_pton", EINVAL);
  UniqueFd fd;
  if (SysStatus status = newSocket(&fd); !status) return status;
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return SysStatus::lastError("bind");
  }
  if (::listen(fd.get(), backlog) != 0) return SysStatus::lastError("listen");
  impl_->fd.reset(fd.release());
  return SysStatus::ok();
}

uint16_t TcpListener::port() const {
  if (!impl_ || impl_->fd.get() < 0) return 0;
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(impl_->fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  return ntohs(address.sin_port);
}

SysStatus TcpListener::accept(TcpClient* client, int timeoutMs) {
  if (!impl_ || impl_->fd.get() < 0) return SysStatus::error("accept", EBADF);
  const Clock::time_point deadline = deadlineIn(timeoutMs);
  for (;;) {
    int rc = waitUntil(impl_->fd.get(), POLLIN, deadline);
    if (rc < 0) return SysStatus::lastError("poll");
    if (rc == 0) return SysStatus::error("accept", ETIMEDOUT);
    int fd = ::accept4(impl_->fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      client->close();
      if (!client->impl_) client->impl_ = std::make_unique<TcpClient::Impl>();
      client->impl_->fd.reset(fd);
      return SysStatus::ok();
    }
    // The connection may have gone again before it was taken; wait on.
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
      return SysStatus::lastError("accept");
    }
  }
}

void TcpListener::close() {
  if (impl_) impl_->fd.reset();
}

}  // namespace platform
