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

#include "platform/pending_connects.h"
#include "platform/tcp_client.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// A file descriptor and its owner.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
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

// Waits until fd reports one of events or the deadline passes. 1 when
// ready, 0 at the deadline, -1 on error (errno set). Signals do not cut the
// wait.
int waitUntil(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int rc = ::poll(&p, 1, millisLeft(deadline));
    if (rc > 0) return rc;
    if (rc == 0 && millisLeft(deadline) == 0) return 0;
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

enum class Connect { kDone, kUnderWay, kFailed };

// Starts a non-blocking connect; on kFailed errno says why.
Connect startConnect(int fd, const sockaddr_in& address) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return Connect::kDone;
  }
  return errno == EINPROGRESS || errno == EINTR ? Connect::kUnderWay : Connect::kFailed;
}

// The outcome of a connect that the system reported as finished.
SysStatus connectResult(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    return SysStatus::lastError("getsockopt");
  }
  if (error != 0) return SysStatus::error("connect", error);
  return SysStatus::ok();
}

// A non-blocking connect that gives up at the deadline.
SysStatus connectWithin(int fd, const sockaddr_in& address, int timeoutMs) {
  const Connect started = startConnect(fd, address);
  if (started == Connect::kFailed) return SysStatus::lastError("connect");
  if (started == Connect::kDone) return SysStatus::ok();
  int rc = waitUntil(fd, POLLOUT, deadlineIn(timeoutMs));
  if (rc < 0) return SysStatus::lastError("poll");
  if (rc == 0) return SysStatus::error("connect", ETIMEDOUT);
  return connectResult(fd);
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

struct PendingConnects::Impl {
  struct Pending {
    size_t key;
    UniqueFd fd;
  };
  std::vector<Pending> pending;
};

PendingConnects::PendingConnects() : impl_(std::make_unique<Impl>()) {}
PendingConnects::~PendingConnects() = default;

PendingConnects::Outcome PendingConnects::start(size_t key, const ProbeLink& link,
                                                uint16_t port) {
  sockaddr_in local, remote;
  if (!parseIpv4(link.localDottedIp, 0, &local) || !parseIpv4(link.remoteDottedIp, port, &remote)) {
    return Outcome::kFailed;
  }
  UniqueFd fd;
  if (!newSocket(&fd)) return Outcome::kFailed;
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    return Outcome::kFailed;
  }
  const Connect started = startConnect(fd.get(), remote);
  if (started != Connect::kUnderWay) {
    return started == Connect::kDone ? Outcome::kOpened : Outcome::kFailed;
  }
  impl_->pending.push_back({key, std::move(fd)});
  return Outcome::kPending;
}

void PendingConnects::wait(int timeoutMs, std::vector<Finished>* finished) {
  std::vector<pollfd> polled;
  polled.reserve(impl_->pending.size());
  for (const Impl::Pending& p : impl_->pending) polled.push_back({p.fd.get(), POLLOUT, 0});
  // An interrupted poll reports nothing; the caller waits again.
  if (::poll(polled.data(), polled.size(), std::max(timeoutMs, 0)) <= 0) return;
  size_t kept = 0;
  for (size_t i = 0; i < polled.size(); ++i) {
    Impl::Pending& p = impl_->pending[i];
    if (polled[i].revents == 0) {
      if (kept != i) impl_->pending[kept] = std::move(p);
      ++kept;
      continue;
    }
    finished->push_back({p.key, connectResult(p.fd.get()).isOk()});
    p.fd.reset();
  }
  impl_->pending.resize(kept);
}

void PendingConnects::abandon(size_t key) {
  std::erase_if(impl_->pending, [key](const Impl::Pending& p) { return p.key == key; });
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
