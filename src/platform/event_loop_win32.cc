#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <exception>
#include <map>
#include <utility>
#include <vector>

#include "platform/event_loop.h"
#include "platform/post_queue.h"

namespace platform {
namespace {

// Socket events arrive as this message: wParam is the socket, lParam the
// event and its error code (WSAAsyncSelect).
constexpr UINT kSocketMessage = WM_APP + 1;
// Posted work and quit requests wake the loop with this message.
constexpr UINT kWakeMessage = WM_APP + 2;

constexpr wchar_t kWindowClass[] = L"TavinEventLoopWindow";

// Bounds the bytes read from one connection per event; Winsock posts FD_READ
// again while data remains.
constexpr size_t kReadPerEvent = 256 * 1024;

class Win32EventLoop : public EventLoop {
 public:
  Win32EventLoop() = default;
  ~Win32EventLoop() override;

  SysStatus init();

  void run() override;
  void quit() override;
  void post(std::function<void()> fn) override;

  TimerId startTimer(int64_t delayMillis, bool repeat, std::function<void()> fn) override;
  void cancelTimer(TimerId id) override;

  SysStatus listen(uint16_t port, ConnectionHandler* handler) override;
  void closeListener() override;
  bool isListening() const override { return listener_ != INVALID_SOCKET; }
  uint16_t listeningPort() const override { return listenPort_; }

  SendResult send(ConnectionId id, const std::string& bytes) override;
  void close(ConnectionId id) override;
  size_t pendingBytes(ConnectionId id) const override;
  void setOutboundLimit(size_t bytes) override { outboundLimit_ = bytes; }

  // Windows has no such signals; the window's own commands do these jobs.
  void onSignal(Signal, std::function<void()>) override {}

 private:
  struct Connection {
    SOCKET socket = INVALID_SOCKET;
    std::string address;
    std::string outbound;  // unsent bytes start at outboundStart
    size_t outboundStart = 0;
    bool failed = false;   // an error is being reported; no more writes
    size_t pending() const { return outbound.size() - outboundStart; }
  };
  struct Timer {
    bool repeat = false;
    std::function<void()> fn;
  };

  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void onSocketEvent(SOCKET socket, int event, int error);
  void onTimer(TimerId id);
  void acceptConnections();
  void readConnection(ConnectionId id, bool closing);
  void flushConnection(ConnectionId id);
  void reportError(ConnectionId id, int code);
  // Writes what the socket takes now; false on a hard error (*code set).
  bool writeOutbound(Connection& connection, int* code);
  ConnectionId idOf(SOCKET socket) const;

  bool winsockStarted_ = false;
  HWND window_ = nullptr;
  // An exception of a callback cannot cross the window procedure: it is kept
  // here, the loop quits, and run() throws it again.
  std::exception_ptr failure_;
  std::atomic<bool> quit_{false};

  PostQueue posted_{[this] { ::PostMessageW(window_, kWakeMessage, 0, 0); }};

  std::map<TimerId, Timer> timers_;
  TimerId nextTimerId_ = 1;

  SOCKET listener_ = INVALID_SOCKET;
  uint16_t listenPort_ = 0;
  ConnectionHandler* handler_ = nullptr;
  std::map<ConnectionId, Connection> connections_;
  std::map<SOCKET, ConnectionId> bySocket_;
  ConnectionId nextConnectionId_ = 1;
  size_t outboundLimit_ = kDefaultOutboundLimit;
};

Win32EventLoop::~Win32EventLoop() {
  posted_.waitForCallers();
  for (auto& [id, connection] : connections_) ::closesocket(connection.socket);
  connections_.clear();
  bySocket_.clear();
  if (listener_ != INVALID_SOCKET) ::closesocket(listener_);
  if (window_ != nullptr) {
    for (const auto& [id, timer] : timers_) ::KillTimer(window_, static_cast<UINT_PTR>(id));
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    ::DestroyWindow(window_);
  }
  if (winsockStarted_) ::WSACleanup();
}

SysStatus Win32EventLoop::init() {
  WSADATA data;
  const int code = ::WSAStartup(MAKEWORD(2, 2), &data);
  if (code != 0) return SysStatus::error("WSAStartup", code);
  winsockStarted_ = true;

  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = windowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kWindowClass;
  if (::RegisterClassExW(&windowClass) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    return SysStatus::lastError("RegisterClassExW");
  }
  // A message-only window: never shown, needs no display.
  window_ = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              instance, nullptr);
  if (window_ == nullptr) return SysStatus::lastError("CreateWindowExW");
  ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  return SysStatus::ok();
}

LRESULT CALLBACK Win32EventLoop::windowProc(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
  auto* loop = reinterpret_cast<Win32EventLoop*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (loop == nullptr || (message != kSocketMessage && message != WM_TIMER &&
                          message != kWakeMessage)) {
    return ::DefWindowProcW(window, message, wParam, lParam);
  }
  try {
    switch (message) {
      case kSocketMessage:
        loop->onSocketEvent(static_cast<SOCKET>(wParam), WSAGETSELECTEVENT(lParam),
                            WSAGETSELECTERROR(lParam));
        break;
      case WM_TIMER:
        loop->onTimer(static_cast<TimerId>(wParam));
        break;
      default:
        loop->posted_.run();
        break;
    }
  } catch (...) {
    if (!loop->failure_) loop->failure_ = std::current_exception();
    loop->quit_ = true;
  }
  return 0;
}

void Win32EventLoop::run() {
  MSG message;
  while (!quit_) {
    const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
    if (got == 0 || got == -1) break;  // WM_QUIT, or a broken queue
    // Windows of this thread that hold controls (WS_EX_CONTROLPARENT) get the
    // keyboard handling of a dialog: Tab, the arrow keys, Space on a button.
    HWND root = message.hwnd != nullptr ? ::GetAncestor(message.hwnd, GA_ROOT) : nullptr;
    if (root != nullptr && (::GetWindowLongPtrW(root, GWL_EXSTYLE) & WS_EX_CONTROLPARENT) != 0 &&
        ::IsDialogMessageW(root, &message)) {
      continue;
    }
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  quit_ = false;
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void Win32EventLoop::quit() {
  posted_.wakeAfter([this] { quit_ = true; });
}

void Win32EventLoop::post(std::function<void()> fn) { posted_.post(std::move(fn)); }

TimerId Win32EventLoop::startTimer(int64_t delayMillis, bool repeat, std::function<void()> fn) {
  if (delayMillis < USER_TIMER_MINIMUM) delayMillis = USER_TIMER_MINIMUM;
  if (delayMillis > USER_TIMER_MAXIMUM) delayMillis = USER_TIMER_MAXIMUM;
  const TimerId id = nextTimerId_++;
  timers_[id] = Timer{repeat, std::move(fn)};
  ::SetTimer(window_, static_cast<UINT_PTR>(id), static_cast<UINT>(delayMillis), nullptr);
  return id;
}

void Win32EventLoop::cancelTimer(TimerId id) {
  if (timers_.erase(id) > 0) ::KillTimer(window_, static_cast<UINT_PTR>(id));
}

void Win32EventLoop::onTimer(TimerId id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;  // a WM_TIMER that was queued before the cancel
  std::function<void()> fn;
  if (it->second.repeat) {
    fn = it->second.fn;  // a copy: the callback may cancel its own timer
  } else {
    fn = std::move(it->second.fn);
    timers_.erase(it);
    ::KillTimer(window_, static_cast<UINT_PTR>(id));
  }
  fn();
}

SysStatus Win32EventLoop::listen(uint16_t port, ConnectionHandler* handler) {
  closeListener();
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return SysStatus::error("socket", ::WSAGetLastError());
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const int code = ::WSAGetLastError();
    ::closesocket(s);
    return SysStatus::error("bind", code);
  }
  if (::listen(s, SOMAXCONN) != 0) {
    const int code = ::WSAGetLastError();
    ::closesocket(s);
    return SysStatus::error("listen", code);
  }
  int length = sizeof address;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const int code = ::WSAGetLastError();
    ::closesocket(s);
    return SysStatus::error("getsockname", code);
  }
  if (::WSAAsyncSelect(s, window_, kSocketMessage, FD_ACCEPT) != 0) {
    const int code = ::WSAGetLastError();
    ::closesocket(s);
    return SysStatus::error("WSAAsyncSelect", code);
  }
  listener_ = s;
  listenPort_ = ntohs(address.sin_port);
  handler_ = handler;
  return SysStatus::ok();
}

void Win32EventLoop::closeListener() {
  if (listener_ != INVALID_SOCKET) ::closesocket(listener_);
  listener_ = INVALID_SOCKET;
  listenPort_ = 0;
}

ConnectionId Win32EventLoop::idOf(SOCKET socket) const {
  auto it = bySocket_.find(socket);
  return it == bySocket_.end() ? 0 : it->second;
}

void Win32EventLoop::onSocketEvent(SOCKET socket, int event, int error) {
  if (socket == listener_ && listener_ != INVALID_SOCKET) {
    if (event == FD_ACCEPT) acceptConnections();
    return;
  }
  // Events of a socket closed meanwhile may still be queued; they find no id.
  const ConnectionId id = idOf(socket);
  if (id == 0) return;
  switch (event) {
    case FD_READ:
      readConnection(id, false);
      break;
    case FD_WRITE:
      flushConnection(id);
      break;
    case FD_CLOSE:
      if (error != 0) {
        reportError(id, error);
      } else {
        readConnection(id, true);
      }
      break;
    default:
      break;
  }
}

void Win32EventLoop::acceptConnections() {
  // Winsock posts FD_ACCEPT again for each connection still waiting.
  sockaddr_in peer{};
  int length = sizeof peer;
  SOCKET s = ::accept(listener_, reinterpret_cast<sockaddr*>(&peer), &length);
  if (s == INVALID_SOCKET) return;
  if (::WSAAsyncSelect(s, window_, kSocketMessage, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
    ::closesocket(s);
    return;
  }
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  const ConnectionId id = nextConnectionId_++;
  Connection connection;
  connection.socket = s;
  connection.address = text;
  connections_.emplace(id, std::move(connection));
  bySocket_[s] = id;
  if (handler_ != nullptr) handler_->onConnect(id, text);
}

void Win32EventLoop::readConnection(ConnectionId id, bool closing) {
  auto it = connections_.find(id);
  if (it == connections_.end() || it->second.failed) return;
  const SOCKET s = it->second.socket;
  std::string data;
  bool ended = false;
  int error = 0;
  char buffer[65536];
  // On FD_CLOSE everything left is read now: no FD_READ follows it.
  while (closing || data.size() < kReadPerEvent) {
    const int n = ::recv(s, buffer, sizeof buffer, 0);
    if (n > 0) {
      data.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n == 0) {
      ended = true;
      break;
    }
    const int code = ::WSAGetLastError();
    if (code != WSAEWOULDBLOCK) error = code;
    break;
  }
  if (!data.empty() && handler_ != nullptr) handler_->onRead(id, std::move(data));
  if (error != 0) {
    reportError(id, error);
  } else if (ended) {
    close(id);
  }
}

bool Win32EventLoop::writeOutbound(Connection& connection, int* code) {
  while (connection.pending() > 0) {
    const size_t chunk = connection.pending() > (1u << 30) ? (1u << 30) : connection.pending();
    const int n = ::send(connection.socket, connection.outbound.data() + connection.outboundStart,
                         static_cast<int>(chunk), 0);
    if (n > 0) {
      connection.outboundStart += static_cast<size_t>(n);
      continue;
    }
    const int error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK) break;  // FD_WRITE follows when there is room
    *code = error;
    return false;
  }
  if (connection.pending() == 0) {
    connection.outbound.clear();
    connection.outboundStart = 0;
  } else if (connection.outboundStart > connection.outbound.size() / 2) {
    connection.outbound.erase(0, connection.outboundStart);
    connection.outboundStart = 0;
  }
  return true;
}

void Win32EventLoop::flushConnection(ConnectionId id) {
  auto it = connections_.find(id);
  if (it == connections_.end() || it->second.failed) return;
  int code = 0;
  if (!writeOutbound(it->second, &code)) reportError(id, code);
}

SendResult Win32EventLoop::send(ConnectionId id, const std::string& bytes) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return SendResult::kNoConnection;
  Connection& connection = it->second;
  if (connection.failed) return SendResult::kSent;  // its error event is on the way
  if (connection.pending() > 0 && connection.pending() + bytes.size() > outboundLimit_) {
    return SendResult::kOverLimit;
  }
  connection.outbound.append(bytes);
  int code = 0;
  if (!writeOutbound(connection, &code)) {
    // Reported from the loop, not from inside the caller's send.
    connection.failed = true;
    post([this, id, code] { reportError(id, code); });
  }
  return SendResult::kSent;
}

void Win32EventLoop::reportError(ConnectionId id, int code) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  it->second.failed = true;
  const std::string address = it->second.address;
  if (handler_ != nullptr) handler_->onError(id, address, code);
  close(id);
}

void Win32EventLoop::close(ConnectionId id) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  bySocket_.erase(it->second.socket);
  ::closesocket(it->second.socket);
  const std::string address = std::move(it->second.address);
  connections_.erase(it);
  if (handler_ != nullptr) handler_->onDisconnect(id, address);
}

size_t Win32EventLoop::pendingBytes(ConnectionId id) const {
  auto it = connections_.find(id);
  return it == connections_.end() ? 0 : it->second.pending();
}

}  // namespace

SysStatus EventLoop::create(std::unique_ptr<EventLoop>* out) {
  auto loop = std::make_unique<Win32EventLoop>();
  SysStatus status = loop->init();
  if (!status) return status;
  *out = std::move(loop);
  return SysStatus::ok();
}

void blockLoopSignals() {}

}  // namespace platform
