#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <algorithm>
#include <utility>
// std::chrono's clocks come from <thread> (<chrono> does not compile under
// -fexec-charset=GBK).
#include <thread>

#include "platform/cancellation.h"
#include "platform/tcp_client.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

SysStatus socketError(const char* call) { return SysStatus::error(call, ::WSAGetLastError()); }

// A socket and its owner, holding Winsock while the socket is open.
class UniqueSocket {
 public:
  UniqueSocket() = default;
  ~UniqueSocket() { reset(); }
  UniqueSocket(const UniqueSocket&) = delete;
  UniqueSocket& operator=(const UniqueSocket&) = delete;

  SOCKET get() const { return socket_; }
  bool isOpen() const { return socket_ != INVALID_SOCKET; }
  // Takes over s; the caller has started Winsock for it (or s is invalid).
  void reset(SOCKET s = INVALID_SOCKET) {
    if (socket_ != INVALID_SOCKET) {
      ::closesocket(socket_);
      ::WSACleanup();
    }
    socket_ = s;
  }
  void swap(UniqueSocket& other) { std::swap(socket_, other.socket_); }

  // A new non-blocking IPv4 stream socket, with its own Winsock reference.
  SysStatus open() {
    reset();
    WSADATA data;
    if (int rc = ::WSAStartup(MAKEWORD(2, 2), &data); rc != 0) {
      return SysStatus::error("WSAStartup", rc);
    }
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
      SysStatus status = socketError("socket");
      ::WSACleanup();
      return status;
    }
    socket_ = s;
    u_long nonBlocking = 1;
    if (::ioctlsocket(socket_, FIONBIO, &nonBlocking) != 0) {
      SysStatus status = socketError("ioctlsocket");
      reset();
      return status;
    }
    return SysStatus::ok();
  }

 private:
  SOCKET socket_ = INVALID_SOCKET;
};

Clock::time_point deadlineIn(int timeoutMs) {
  return Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
}

constexpr int kCancelled = -2;

// Waits with select until s is readable (forWrite false) or writable or
// failed (forWrite true), the deadline passes or the cancellation (when
// given) is cancelled. 1 ready, 0 timeout, -1 error, kCancelled. A
// cancellable wait selects in short slices: nothing wakes a select on a
// cancel.
int waitUntil(SOCKET s, bool forWrite, Clock::time_point deadline,
              const Cancellation* cancellation = nullptr) {
  for (;;) {
    if (cancellation != nullptr && cancellation->isCancelled()) return kCancelled;
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
    long long micros = left.count() > 0 ? left.count() : 0;
    if (cancellation != nullptr) micros = std::min(micros, kCancellationCheckMs * 1000LL);
    timeval tv;
    tv.tv_sec = static_cast<long>(micros / 1000000);
    tv.tv_usec = static_cast<long>(micros % 1000000);
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    // A failed non-blocking connect is reported in the except set.
    int rc = forWrite ? ::select(0, nullptr, &ready, &failed, &tv)
                      : ::select(0, &ready, nullptr, nullptr, &tv);
    if (rc == SOCKET_ERROR) return -1;
    if (rc > 0) return 1;
    if (micros == 0) return 0;
    if (Clock::now() >= deadline) return 0;
  }
}

bool parseIpv4(const std::string& text, uint16_t port, sockaddr_in* out) {
  *out = sockaddr_in{};
  out->sin_family = AF_INET;
  out->sin_port = ::htons(port);
  return ::inet_pton(AF_INET, text.c_str(), &out->sin_addr) == 1;
}

SysStatus connectWithin(SOCKET s, const sockaddr_in& address, int timeoutMs,
                        const Cancellation* cancellation = nullptr) {
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return SysStatus::ok();
  }
  if (::WSAGetLastError() != WSAEWOULDBLOCK) return socketError("connect");
  int rc = waitUntil(s, true, deadlineIn(timeoutMs), cancellation);
  if (rc == kCancelled) return SysStatus::error("connect", WSAECANCELLED);
  if (rc < 0) return socketError("select");
  if (rc == 0) return SysStatus::error("connect", WSAETIMEDOUT);
  int error = 0;
  int length = sizeof error;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
    return socketError("getsockopt");
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
  if (rc != 0 || found == nullptr) {
    return SysStatus::error("getaddrinfo", rc != 0 ? rc : WSAHOST_NOT_FOUND);
  }
  *out = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  out->sin_port = ::htons(port);
  ::freeaddrinfo(found);
  return SysStatus::ok();
}

}  // namespace

bool probeTcp(const std::string& remoteDottedIp, const std::string& localDottedIp, uint16_t port,
              int timeoutMs, const Cancellation* cancellation) {
  // Winsock is started and released around the probe (by the socket's owner).
  UniqueSocket s;
  if (!s.open()) return false;
  sockaddr_in local, remote;
  if (!parseIpv4(localDottedIp, 0, &local) || !parseIpv4(remoteDottedIp, port, &remote)) {
    return false;
  }
  if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return false;
  return connectWithin(s.get(), remote, timeoutMs, cancellation).isOk();
}

struct TcpClient::Impl {
  UniqueSocket s;
  int receiveBuffer = 0;  // 0: the system's default
};

TcpClient::TcpClient() : impl_(std::make_unique<Impl>()) {}
TcpClient::~TcpClient() = default;
TcpClient::TcpClient(TcpClient&&) noexcept = default;
TcpClient& TcpClient::operator=(TcpClient&&) noexcept = default;

SysStatus TcpClient::connect(const std::string& host, uint16_t port, int timeoutMs) {
  close();
  if (!impl_) impl_ = std::make_unique<Impl>();  // moved from
  UniqueSocket s;
  if (SysStatus status = s.open(); !status) return status;
  if (impl_->receiveBuffer > 0) {
    ::setsockopt(s.get(), SOL_SOCKET, SO_RCVBUF,
                 reinterpret_cast<const char*>(&impl_->receiveBuffer), sizeof impl_->receiveBuffer);
  }
  sockaddr_in address;
  if (SysStatus status = resolveIpv4(host, port, &address); !status) return status;
  if (SysStatus status = connectWithin(s.get(), address, timeoutMs); !status) return status;
  impl_->s.swap(s);
  return SysStatus::ok();
}

bool TcpClient::isOpen() const { return impl_ && impl_->s.isOpen(); }

SysStatus TcpClient::sendAll(const std::string& bytes, int timeoutMs) {
  if (!isOpen()) return SysStatus::error("send", WSAENOTSOCK);
  const Clock::time_point deadline = deadlineIn(timeoutMs);
  size_t done = 0;
  while (done < bytes.size()) {
    const int chunk = static_cast<int>(std::min<size_t>(bytes.size() - done, 1 << 20));
    int n = ::send(impl_->s.get(), bytes.data() + done, chunk, 0);
    if (n != SOCKET_ERROR) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (::WSAGetLastError() != WSAEWOULDBLOCK) return socketError("send");
    int rc = waitUntil(impl_->s.get(), true, deadline);
    if (rc < 0) return socketError("select");
    if (rc == 0) return SysStatus::error("send", WSAETIMEDOUT);
  }
  return SysStatus::ok();
}

TcpClient::Received TcpClient::receive(std::string* out, int timeoutMs, SysStatus* failure) {
  if (!isOpen()) {
    if (failure) *failure = SysStatus::error("recv", WSAENOTSOCK);
    return Received::kFailed;
  }
  int rc = waitUntil(impl_->s.get(), false, deadlineIn(timeoutMs));
  if (rc < 0) {
    if (failure) *failure = socketError("select");
    return Received::kFailed;
  }
  if (rc == 0) return Received::kTimeout;
  char buffer[65536];
  int n = ::recv(impl_->s.get(), buffer, sizeof buffer, 0);
  if (n > 0) {
    out->append(buffer, static_cast<size_t>(n));
    return Received::kData;
  }
  if (n == 0) return Received::kClosed;
  const int error = ::WSAGetLastError();
  if (error == WSAEWOULDBLOCK) return Received::kTimeout;
  if (failure) *failure = SysStatus::error("recv", error);
  return error == WSAECONNRESET || error == WSAECONNABORTED ? Received::kClosed
                                                              : Received::kFailed;
}

void TcpClient::setReceiveBufferSize(int bytes) {
  if (!impl_) impl_ = std::make_unique<Impl>();
  impl_->receiveBuffer = bytes;
}

void TcpClient::close() {
  if (impl_) impl_->s.reset();
}

void TcpClient::abort() {
  if (!isOpen()) return;
  linger option{1, 0};
  ::setsockopt(impl_->s.get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
               sizeof option);
  impl_->s.reset();
}

void TcpClient::shutdownSend() {
  if (isOpen()) ::shutdown(impl_->s.get(), SD_SEND);
}

struct TcpListener::Impl {
  UniqueSocket s;
};

TcpListener::TcpListener() : impl_(std::make_unique<Impl>()) {}
TcpListener::~TcpListener() = default;
TcpListener::TcpListener(TcpListener&&) noexcept = default;
TcpListener& TcpListener::operator=(TcpListener&&) noexcept = default;

SysStatus TcpListener::listen(const std::string& localDottedIp, uint16_t port, int backlog) {
  close();
  if (!impl_) impl_ = std::make_unique<Impl>();  // moved from
  UniqueSocket s;
  if (SysStatus status = s.open(); !status) return status;
  sockaddr_in address;
  if (!parseIpv4(localDottedIp, port, &address)) return SysStatus::error("inet_pton", WSAEINVAL);
  // Without this another socket could take over the port (Windows' rule for
  // SO_REUSEADDR); with it the port is ours alone.
  BOOL exclusive = TRUE;
  ::setsockopt(s.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
  if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return socketError("bind");
  }
  if (::listen(s.get(), backlog) != 0) return socketError("listen");
  impl_->s.swap(s);
  return SysStatus::ok();
}

uint16_t TcpListener::port() const {
  if (!impl_ || !impl_->s.isOpen()) return 0;
  sockaddr_in address{};
  int length = sizeof address;
  if (::getsockname(impl_->s.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ::ntohs(address.sin_port);
}

SysStatus TcpListener::accept(TcpClient* client, int timeoutMs) {
  if (!impl_ || !impl_->s.isOpen()) return SysStatus::error("accept", WSAENOTSOCK);
  const Clock::time_point deadline = deadlineIn(timeoutMs);
  for (;;) {
    int rc = waitUntil(impl_->s.get(), false, deadline);
    if (rc < 0) return socketError("select");
    if (rc == 0) return SysStatus::error("accept", WSAETIMEDOUT);
    // The accepted socket gets a Winsock reference of its own, released
    // when it closes.
    WSADATA data;
    if (int started = ::WSAStartup(MAKEWORD(2, 2), &data); started != 0) {
      return SysStatus::error("WSAStartup", started);
    }
    SOCKET s = ::accept(impl_->s.get(), nullptr, nullptr);
    if (s != INVALID_SOCKET) {
      // Sockets accepted from a non-blocking listener are non-blocking too.
      client->close();
      if (!client->impl_) client->impl_ = std::make_unique<TcpClient::Impl>();
      client->impl_->s.reset(s);
      return SysStatus::ok();
    }
    const int error = ::WSAGetLastError();
    ::WSACleanup();
    if (error != WSAEWOULDBLOCK && error != WSAECONNRESET) return SysStatus::error("accept", error);
  }
}

void TcpListener::close() {
  if (impl_) impl_->s.reset();
}

}  // namespace platform
