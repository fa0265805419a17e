#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/tcp_client.h"

namespace platform {

struct TcpClient::Impl {
  SOCKET socket = INVALID_SOCKET;
  int receiveBuffer = 0;
  bool started = false;

  // Winsock counts its users; each client holds one reference.
  Impl() {
    WSADATA data;
    started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~Impl() {
    closeSocket();
    if (started) ::WSACleanup();
  }
  void closeSocket() {
    if (socket != INVALID_SOCKET) ::closesocket(socket);
    socket = INVALID_SOCKET;
  }
  // Waits until the socket is readable (or writable); 0 on timeout, -1 on
  // failure. select() rather than WSAPoll, which misses failed connects on
  // some Windows versions.
  int wait(bool forWrite, int timeoutMillis) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(socket, &failed);
    timeval limit;
    limit.tv_sec = timeoutMillis / 1000;
    limit.tv_usec = (timeoutMillis % 1000) * 1000;
    const int n = ::select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, &failed,
                           timeoutMillis < 0 ? nullptr : &limit);
    if (n == SOCKET_ERROR) return -1;
    if (n > 0 && FD_ISSET(socket, &failed)) return -1;
    return n;
  }
};

TcpClient::TcpClient() : impl_(std::make_unique<Impl>()) {}
TcpClient::~TcpClient() = default;
TcpClient::TcpClient(TcpClient&&) noexcept = default;
TcpClient& TcpClient::operator=(TcpClient&&) noexcept = default;

bool TcpClient::isOpen() const { return impl_ && impl_->socket != INVALID_SOCKET; }

void TcpClient::setReceiveBufferSize(int bytes) { impl_->receiveBuffer = bytes; }

SysStatus TcpClient::connect(const std::string& address, uint16_t port, int timeoutMillis) {
  impl_->closeSocket();
  if (!impl_->started) return SysStatus::error("WSAStartup", WSANOTINITIALISED);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) {
    return SysStatus::error("inet_pton", WSAEINVAL);
  }
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return SysStatus::error("socket", ::WSAGetLastError());
  impl_->socket = s;
  if (impl_->receiveBuffer > 0) {
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&impl_->receiveBuffer),
                 sizeof impl_->receiveBuffer);
  }
  u_long nonBlocking = 1;
  ::ioctlsocket(s, FIONBIO, &nonBlocking);
  if (::connect(s, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    const int code = ::WSAGetLastError();
    if (code != WSAEWOULDBLOCK) {
      impl_->closeSocket();
      return SysStatus::error("connect", code);
    }
    const int n = impl_->wait(true, timeoutMillis);
    if (n <= 0) {
      int error = 0;
      int length = sizeof error;
      ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
      impl_->closeSocket();
      return SysStatus::error("connect", n == 0 ? WSAETIMEDOUT : error);
    }
  }
  return SysStatus::ok();
}

SysStatus TcpClient::sendAll(const std::string& bytes, int timeoutMillis) {
  if (impl_->socket == INVALID_SOCKET) return SysStatus::error("send", WSAENOTCONN);
  size_t sent = 0;
  while (sent < bytes.size()) {
    const size_t chunk = bytes.size() - sent > 65536 ? 65536 : bytes.size() - sent;
    const int n = ::send(impl_->socket, bytes.data() + sent, static_cast<int>(chunk), 0);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    const int code = ::WSAGetLastError();
    if (n == SOCKET_ERROR && code == WSAEWOULDBLOCK) {
      const int ready = impl_->wait(true, timeoutMillis);
      if (ready == 0) return SysStatus::error("send", WSAETIMEDOUT);
      if (ready < 0) return SysStatus::error("select", ::WSAGetLastError());
      continue;
    }
    return SysStatus::error("send", code);
  }
  return SysStatus::ok();
}

TcpClient::Received TcpClient::receive(std::string* out, int timeoutMillis) {
  if (impl_->socket == INVALID_SOCKET) return Received::kError;
  const int ready = impl_->wait(false, timeoutMillis);
  if (ready == 0) return Received::kTimeout;
  if (ready < 0) return Received::kError;
  char buffer[65536];
  const int n = ::recv(impl_->socket, buffer, sizeof buffer, 0);
  if (n > 0) {
    out->append(buffer, static_cast<size_t>(n));
    return Received::kData;
  }
  if (n == 0) return Received::kClosed;
  return ::WSAGetLastError() == WSAEWOULDBLOCK ? Received::kTimeout : Received::kError;
}

void TcpClient::close() { impl_->closeSocket(); }

void TcpClient::abort() {
  if (impl_->socket == INVALID_SOCKET) return;
  linger option{1, 0};
  ::setsockopt(impl_->socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
               sizeof option);
  impl_->closeSocket();
}

}  // namespace platform
