#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/tcp_client.h"

namespace platform {

struct TcpClient::Impl {
  int fd = -1;
  int receiveBuffer = 0;

  ~Impl() { closeSocket(); }
  void closeSocket() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  // Waits for events on the socket; 0 on timeout, -1 on failure.
  int wait(short events, int timeoutMillis) {
    pollfd entry{fd, events, 0};
    for (;;) {
      const int n = ::poll(&entry, 1, timeoutMillis);
      if (n < 0 && errno == EINTR) continue;
      return n;
    }
  }
};

TcpClient::TcpClient() : impl_(std::make_unique<Impl>()) {}
TcpClient::~TcpClient() = default;
TcpClient::TcpClient(TcpClient&&) noexcept = default;
TcpClient& TcpClient::operator=(TcpClient&&) noexcept = default;

bool TcpClient::isOpen() const { return impl_ && impl_->fd >= 0; }

void TcpClient::setReceiveBufferSize(int bytes) { impl_->receiveBuffer = bytes; }

SysStatus TcpClient::connect(const std::string& address, uint16_t port, int timeoutMillis) {
  impl_->closeSocket();
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) {
    return SysStatus::error("inet_pton", EINVAL);
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return SysStatus::lastError("socket");
  impl_->fd = fd;
  if (impl_->receiveBuffer > 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &impl_->receiveBuffer, sizeof impl_->receiveBuffer);
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    if (errno != EINPROGRESS) {
      SysStatus status = SysStatus::lastError("connect");
      impl_->closeSocket();
      return status;
    }
    const int n = impl_->wait(POLLOUT, timeoutMillis);
    if (n <= 0) {
      impl_->closeSocket();
      return SysStatus::error("connect", n == 0 ? ETIMEDOUT : errno);
    }
    int code = 0;
    socklen_t length = sizeof code;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &length);
    if (code != 0) {
      impl_->closeSocket();
      return SysStatus::error("connect", code);
    }
  }
  return SysStatus::ok();
}

SysStatus TcpClient::sendAll(const std::string& bytes, int timeoutMillis) {
  if (impl_->fd < 0) return SysStatus::error("send", ENOTCONN);
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(impl_->fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const int ready = impl_->wait(POLLOUT, timeoutMillis);
      if (ready == 0) return SysStatus::error("send", ETIMEDOUT);
      if (ready < 0) return SysStatus::lastError("poll");
      continue;
    }
    return SysStatus::lastError("send");
  }
  return SysStatus::ok();
}

TcpClient::Received TcpClient::receive(std::string* out, int timeoutMillis) {
  if (impl_->fd < 0) return Received::kError;
  const int ready = impl_->wait(POLLIN, timeoutMillis);
  if (ready == 0) return Received::kTimeout;
  if (ready < 0) return Received::kError;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::recv(impl_->fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      out->append(buffer, static_cast<size_t>(n));
      return Received::kData;
    }
    if (n == 0) return Received::kClosed;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Received::kTimeout;
    return Received::kError;
  }
}

void TcpClient::close() { impl_->closeSocket(); }

void TcpClient::abort() {
  if (impl_->fd < 0) return;
  linger option{1, 0};
  ::setsockopt(impl_->fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  impl_->closeSocket();
}

}  // namespace platform
