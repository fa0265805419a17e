#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <algorithm>
#include <utility>
// std::chrono's clocks come from <thread> (<chrono> does not compile under
// -fexec-charset=GBK).
#include <thread>

#include "platform/pending_connects.h"
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
  UniqueSocket(UniqueSocket&& other) noexcept { swap(other); }
  UniqueSocket& operator=(UniqueSocket&& other) noexcept {
    if (this != &other) {
      reset();
      swap(other);
    }
    return *this;
  }

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

// Waits with select until s is readable (forWrite false) or writable or
// failed (forWrite true), or the deadline passes. 1 ready, 0 timeout, -1
// error.
int waitUntil(SOCKET s, bool forWrite, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
    const long long micros = left.count() > 0 ? left.count() : 0;
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

enum class Connect { kDone, kUnderWay, kFailed };

// Starts a non-blocking connect; on kFailed WSAGetLastError says why.
Connect startConnect(SOCKET s, const sockaddr_in& address) {
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return Connect::kDone;
  }
  return ::WSAGetLastError() == WSAEWOULDBLOCK ? Connect::kUnderWay : Connect::kFailed;
}

// The outcome of a connect that select reported as finished.
SysStatus connectResult(SOCKET s) {
  int error = 0;
  int length = sizeof error;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
    return socketError("getsockopt");
  }
  if (error != 0) return SysStatus::error("connect", error);
  return SysStatus::ok();
}

SysStatus connectWithin(SOCKET s, const sockaddr_in& address, int timeoutMs) {
  const Connect started = startConnect(s, address);
  if (started == Connect::kFailed) return socketError("connect");
  if (started == Connect::kDone) return SysStatus::ok();
  int rc = waitUntil(s, true, deadlineIn(timeoutMs));
  if (rc < 0) return socketError("select");
  if (rc == 0) return SysStatus::error("connect", WSAETIMEDOUT);
  return connectResult(s);
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

// select watches at most FD_SETSIZE sockets per set.
static_assert(kProbeMaxInFlight <= FD_SETSIZE);

struct PendingConnects::Impl {
  struct Pending {
    size_t key;
    UniqueSocket s;
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
  // Winsock is started and released with each probe's socket.
  UniqueSocket s;
  if (!s.open()) return Outcome::kFailed;
  if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    return Outcome::kFailed;
  }
  const Connect started = startConnect(s.get(), remote);
  if (started != Connect::kUnderWay) {
    return started == Connect::kDone ? Outcome::kOpened : Outcome::kFailed;
  }
  impl_->pending.push_back({key, std::move(s)});
  return Outcome::kPending;
}

void PendingConnects::wait(int timeoutMs, std::vector<Finished>* finished) {
  if (impl_->pending.empty()) return;
  const int millis = std::max(timeoutMs, 0);
  timeval tv;
  tv.tv_sec = millis / 1000;
  tv.tv_usec = (millis % 1000) * 1000;
  fd_set ready, failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  for (const Impl::Pending& p : impl_->pending) {
    FD_SET(p.s.get(), &ready);
    FD_SET(p.s.get(), &failed);
  }
  // A failed non-blocking connect is reported in the except set.
  if (::select(0, nullptr, &ready, &failed, &tv) <= 0) return;
  std::erase_if(impl_->pending, [&](Impl::Pending& p) {
    if (!FD_ISSET(p.s.get(), &ready) && !FD_ISSET(p.s.get(), &failed)) return false;
    finished->push_back({p.key, connectResult(p.s.get()).isOk()});
    return true;
  });
}

void PendingConnects::abandon(size_t key) {
  std::erase_if(impl_->pending, [key](const Impl::Pending& p) { return p.key == key; });
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
