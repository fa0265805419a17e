#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <exception>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "platform/connection_table.h"
#include "platform/event_loop.h"
#include "platform/post_queue.h"

namespace platform {
namespace {

// Socket events arrive as this message: wParam is the socket, lParam the
// event and its error code (WSAAsyncSelect).
constexpr UINT kSocketMessage = WM_APP + 1;
// Posted work and quit requests wake the loop with this message.
constexpr UINT kWakeMessage = WM_APP + 2;
// Releases a closed socket (wParam) once every event Winsock queued for it
// before the close has been seen.
constexpr UINT kRetireMessage = WM_APP + 3;

constexpr wchar_t kWindowClass[] = L"TavinEventLoopWindow";

// How long a listener rests after an accept failure (WSAEMFILE,
// WSAENOBUFS): Winsock would report the waiting connection again at once.
constexpr int64_t kAcceptBackoffMillis = 100;

// SIO_TCP_INFO and its TCP_INFO_v0, as Windows 10 version 1703 and later
// define them. The build targets earlier systems, whose headers leave them
// out; there the call fails and the send-buffer bound takes over.
constexpr DWORD kSioTcpInfo = _WSAIORW(IOC_VENDOR, 39);
struct TcpInfoV0 {
  int State;
  ULONG Mss;
  ULONG64 ConnectionTimeMs;
  BOOLEAN TimestampsEnabled;
  ULONG RttUs;
  ULONG MinRttUs;
  ULONG BytesInFlight;
  ULONG Cwnd;
  ULONG SndWnd;
  ULONG RcvWnd;
  ULONG RcvBuf;
  ULONG64 BytesOut;
  ULONG64 BytesIn;
  ULONG BytesReordered;
  ULONG BytesRetrans;
  ULONG FastRetrans;
  ULONG DupAcksIn;
  ULONG TimeoutEpisodes;
  UCHAR SynRetrans;
};

class Win32EventLoop;

// The system calls of a connection: non-blocking Winsock sockets. Closing
// goes through the loop, which keeps the handle until its queued events are
// gone (see retire).
class Win32SocketCalls : public SocketCalls {
 public:
  explicit Win32SocketCalls(Win32EventLoop& loop) : loop_(loop) {}
  Io send(SocketHandle socket, const char* data, size_t size) override {
    size_t limit = size_t{1} << 30;
    // A socket whose acknowledgements are not reported counts twice its
    // send buffer as unacknowledged. Winsock takes a whole send while its
    // buffer is not full, so each send is at most the buffer's size: the
    // system then never holds more than the window counted.
    if (auto window = unknownAckWindow_.find(static_cast<SOCKET>(socket));
        window != unknownAckWindow_.end()) {
      limit = static_cast<size_t>(window->second / 2);
    }
    const int chunk = static_cast<int>(size > limit ? limit : size);
    const int n = ::send(static_cast<SOCKET>(socket), data, chunk, 0);
    if (n > 0) return Io{Io::Outcome::kDone, static_cast<size_t>(n), 0};
    const int error = ::WSAGetLastError();
    // FD_WRITE follows when there is room again.
    if (error == WSAEWOULDBLOCK) return Io{Io::Outcome::kWouldBlock};
    return Io{Io::Outcome::kFailed, 0, error};
  }
  Io receive(SocketHandle socket, char* buffer, size_t size) override {
    const int chunk = static_cast<int>(size > (1u << 30) ? (1u << 30) : size);
    const int n = ::recv(static_cast<SOCKET>(socket), buffer, chunk, 0);
    if (n > 0) return Io{Io::Outcome::kDone, static_cast<size_t>(n), 0};
    if (n == 0) return Io{Io::Outcome::kEnded};
    const int error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return Io{Io::Outcome::kWouldBlock};
    return Io{Io::Outcome::kFailed, 0, error};
  }
  int pendingError(SocketHandle socket) override {
    int code = 0;
    int length = sizeof code;
    if (::getsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_ERROR,
                     reinterpret_cast<char*>(&code), &length) != 0) {
      return 0;
    }
    return code;
  }
  void close(SocketHandle socket) override;
  void trackDelivery(SocketHandle socket) override;
  uint64_t acknowledged(SocketHandle socket, uint64_t written) override;

 private:
  // What SIO_TCP_INFO (Windows 10 version 1703 and later) says the peer
  // acknowledged; false where the system cannot tell.
  bool reportedAcknowledged(SOCKET socket, uint64_t written, uint64_t* out);

  Win32EventLoop& loop_;
  // Tracked sockets whose system cannot report acknowledgements, with twice
  // their send buffer's size: all but that many of their last written bytes
  // count as acknowledged.
  std::map<SOCKET, uint64_t> unknownAckWindow_;
  // Tracked sockets' retransmitted bytes, in all.
  std::map<SOCKET, WideCounter> retransmitted_;
};

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

  SysStatus listen(uint16_t port, ConnectionHandler* handler, ListenerId* id) override {
    return listenOn("0.0.0.0", port, handler, id);
  }
  SysStatus listenOn(const std::string& localAddress, uint16_t port, ConnectionHandler* handler,
                     ListenerId* id) override;
  void pauseListener(ListenerId id, int64_t millis) override;
  void closeListener(ListenerId id) override;
  uint16_t listeningPort(ListenerId id) const override;

  SendResult send(ConnectionId id, const std::string& bytes) override {
    return connections_.send(id, bytes);
  }
  void close(ConnectionId id) override { connections_.close(id); }
  size_t pendingBytes(ConnectionId id) const override { return connections_.pendingBytes(id); }
  void setOutboundLimit(size_t bytes) override { connections_.setOutboundLimit(bytes); }
  void trackDelivery(ConnectionId id) override { connections_.trackDelivery(id); }
  uint64_t acknowledgedBytes(ConnectionId id) const override {
    return connections_.acknowledgedBytes(id);
  }

  // Windows has no such signals; the window's own commands do these jobs.
  void onSignal(Signal, std::function<void()>) override {}

  // Stops the socket's events and releases it once the events Winsock queued
  // before now have passed. Until then the handle stays taken, so Winsock
  // cannot give it to a new socket, and those late events find no
  // connection: an event is routed by its socket handle, and a reused handle
  // would carry a closed connection's reset into a new one.
  void retire(SOCKET socket);

 private:
  struct Listener {
    SOCKET socket = INVALID_SOCKET;
    uint16_t port = 0;
    ConnectionHandler* handler = nullptr;
    bool resting = false;  // paused (or after an accept failure), until its timer
  };
  struct Timer {
    bool repeat = false;
    std::function<void()> fn;
  };

  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void onSocketEvent(SOCKET socket, int event, int error);
  void onRetire(SOCKET socket);
  void onTimer(TimerId id);
  void acceptConnection(ListenerId id);
  // Posts to the loop's window; a full message queue makes PostMessage fail,
  // and the message is then posted again after the next message the loop
  // takes (the queue is full of them, so one comes).
  void postFence(SOCKET socket);
  void retryLostPosts();

  bool winsockStarted_ = false;
  HWND window_ = nullptr;
  // An exception of a callback cannot cross the window procedure: it is kept
  // here, the loop quits, and run() throws it again.
  std::exception_ptr failure_;
  std::atomic<bool> quit_{false};
  // A wake-up that cannot be posted (a full message queue) is remembered by
  // the queue; the loop runs the posted work itself after its next message.
  PostQueue posted_{[this] { return ::PostMessageW(window_, kWakeMessage, 0, 0) != 0; }};

  std::map<TimerId, Timer> timers_;
  TimerId nextTimerId_ = 1;

  std::map<ListenerId, Listener> listeners_;
  ListenerId nextListenerId_ = 1;
  // The open sockets: listeners and connections, by handle.
  std::map<SOCKET, ListenerId> listenerBySocket_;
  std::map<SOCKET, ConnectionId> connectionBySocket_;
  // Closed sockets whose handles are kept until their retire message arrives,
  // and those whose retire message could not be posted yet.
  std::set<SOCKET> retiring_;
  std::vector<SOCKET> unfenced_;

  Win32SocketCalls socketCalls_{*this};
  // Declared after what its calls use; its destructor releases the sockets.
  ConnectionTable connections_{socketCalls_, [this](std::function<void()> fn) { post(std::move(fn)); }};
};

void Win32SocketCalls::close(SocketHandle socket) {
  unknownAckWindow_.erase(static_cast<SOCKET>(socket));
  retransmitted_.erase(static_cast<SOCKET>(socket));
  loop_.retire(static_cast<SOCKET>(socket));
}

bool Win32SocketCalls::reportedAcknowledged(SOCKET socket, uint64_t written, uint64_t* out) {
  DWORD version = 0;
  TcpInfoV0 info{};
  DWORD length = 0;
  if (::WSAIoctl(socket, kSioTcpInfo, &version, sizeof version, &info, sizeof info, &length,
                 nullptr, nullptr) != 0 ||
      length < sizeof info) {
    return false;
  }
  // BytesOut counts a retransmitted byte again, so the running total of
  // retransmitted bytes comes off. That total (BytesRetrans) is 32 bits
  // wide: after 4 GiB of retransmissions it wraps, and taken as it is the
  // figure would jump by 4 GiB past what the peer has. It is carried on in
  // 64 bits here; samples follow every write, and a wrap between two would
  // take 4 GiB of retransmissions in between.
  WideCounter& retransmitted = retransmitted_[socket];
  retransmitted.add(info.BytesRetrans);
  uint64_t acknowledged = info.BytesOut;
  const uint64_t notYet = uint64_t{info.BytesInFlight} + retransmitted.total();
  acknowledged = acknowledged > notYet ? acknowledged - notYet : 0;
  *out = acknowledged < written ? acknowledged : written;
  return true;
}

void Win32SocketCalls::trackDelivery(SocketHandle handle) {
  const SOCKET socket = static_cast<SOCKET>(handle);
  uint64_t ignored = 0;
  if (reportedAcknowledged(socket, 0, &ignored)) return;
  // No report: a send buffer of a known, small size bounds what the system
  // can hold unacknowledged. Set explicitly, it also ends Windows' send
  // buffer autotuning. Twice the size counts as not acknowledged: a system
  // may give the socket more than it says (Linux under Wine doubles it).
  int size = static_cast<int>(EventLoop::kUnknownAckWindow);
  ::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof size);
  int actual = 0;
  int length = sizeof actual;
  if (::getsockopt(socket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&actual), &length) != 0 ||
      actual < size) {
    actual = size;
  }
  actual *= 2;
  unknownAckWindow_[socket] = static_cast<uint64_t>(actual);
}

uint64_t Win32SocketCalls::acknowledged(SocketHandle handle, uint64_t written) {
  const SOCKET socket = static_cast<SOCKET>(handle);
  auto window = unknownAckWindow_.find(socket);
  if (window == unknownAckWindow_.end()) {
    uint64_t acknowledged = 0;
    return reportedAcknowledged(socket, written, &acknowledged) ? acknowledged : 0;
  }
  return written > window->second ? written - window->second : 0;
}

Win32EventLoop::~Win32EventLoop() {
  posted_.waitForCallers();
  for (auto& [id, listener] : listeners_) ::closesocket(listener.socket);
  listeners_.clear();
  // The connections' sockets join the retiring ones, and all are closed now.
  connections_.releaseAll();
  for (SOCKET socket : retiring_) ::closesocket(socket);
  retiring_.clear();
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
                          message != kWakeMessage && message != kRetireMessage)) {
    return ::DefWindowProcW(window, message, wParam, lParam);
  }
  try {
    switch (message) {
      case kSocketMessage:
        loop->onSocketEvent(static_cast<SOCKET>(wParam), WSAGETSELECTEVENT(lParam),
                            WSAGETSELECTERROR(lParam));
        break;
      case kRetireMessage:
        loop->onRetire(static_cast<SOCKET>(wParam));
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
    if (root == nullptr || (::GetWindowLongPtrW(root, GWL_EXSTYLE) & WS_EX_CONTROLPARENT) == 0 ||
        !::IsDialogMessageW(root, &message)) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
    try {
      retryLostPosts();
    } catch (...) {
      if (!failure_) failure_ = std::current_exception();
      quit_ = true;
    }
  }
  quit_ = false;
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void Win32EventLoop::retryLostPosts() {
  if (!unfenced_.empty()) {
    std::vector<SOCKET> unfenced;
    unfenced.swap(unfenced_);
    for (SOCKET socket : unfenced) postFence(socket);
  }
  // The queue's own wake-up was lost: the work runs here instead.
  if (posted_.wakeWasLost()) posted_.run();
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

SysStatus Win32EventLoop::listenOn(const std::string& localAddress, uint16_t port,
                                   ConnectionHandler* handler, ListenerId* id) {
  in_addr local{};
  if (::inet_pton(AF_INET, localAddress.c_str(), &local) != 1) {
    return SysStatus::error("inet_pton", WSAEINVAL);
  }
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return SysStatus::error("socket", ::WSAGetLastError());
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr = local;
  address.sin_port = htons(port);
  auto failed = [s](const char* call) {
    const int code = ::WSAGetLastError();
    ::closesocket(s);
    return SysStatus::error(call, code);
  };
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return failed("bind");
  if (::listen(s, SOMAXCONN) != 0) return failed("listen");
  int length = sizeof address;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return failed("getsockname");
  }
  if (::WSAAsyncSelect(s, window_, kSocketMessage, FD_ACCEPT) != 0) return failed("WSAAsyncSelect");
  const ListenerId listenerId = nextListenerId_++;
  listeners_[listenerId] = Listener{s, ntohs(address.sin_port), handler, false};
  listenerBySocket_[s] = listenerId;
  *id = listenerId;
  return SysStatus::ok();
}

void Win32EventLoop::pauseListener(ListenerId id, int64_t millis) {
  auto it = listeners_.find(id);
  if (it == listeners_.end() || it->second.resting) return;
  it->second.resting = true;
  ::WSAAsyncSelect(it->second.socket, window_, 0, 0);
  startTimer(millis, false, [this, id] {
    auto again = listeners_.find(id);
    if (again == listeners_.end()) return;
    again->second.resting = false;
    // Winsock posts FD_ACCEPT at once for connections waiting meanwhile.
    ::WSAAsyncSelect(again->second.socket, window_, kSocketMessage, FD_ACCEPT);
  });
}

void Win32EventLoop::closeListener(ListenerId id) {
  auto it = listeners_.find(id);
  if (it == listeners_.end()) return;
  const SOCKET socket = it->second.socket;
  listeners_.erase(it);
  listenerBySocket_.erase(socket);
  // Closed at once, not retired like a connection: the port must be free for
  // the listener a restart opens right after. A late FD_ACCEPT for the
  // handle can at most make another listener try an accept that finds
  // nothing; a connection ignores it.
  ::WSAAsyncSelect(socket, window_, 0, 0);
  ::closesocket(socket);
}

uint16_t Win32EventLoop::listeningPort(ListenerId id) const {
  auto it = listeners_.find(id);
  return it == listeners_.end() ? 0 : it->second.port;
}

void Win32EventLoop::retire(SOCKET socket) {
  ::WSAAsyncSelect(socket, window_, 0, 0);
  listenerBySocket_.erase(socket);
  connectionBySocket_.erase(socket);
  retiring_.insert(socket);
  postFence(socket);
}

void Win32EventLoop::postFence(SOCKET socket) {
  // Posted after every event Winsock queued for the socket before its
  // notifications were stopped: when it arrives, none of them is left.
  if (::PostMessageW(window_, kRetireMessage, static_cast<WPARAM>(socket), 0) == 0) {
    unfenced_.push_back(socket);
  }
}

void Win32EventLoop::onRetire(SOCKET socket) {
  if (retiring_.erase(socket) > 0) ::closesocket(socket);
}

void Win32EventLoop::onSocketEvent(SOCKET socket, int event, int error) {
  // Events of a socket closed meanwhile are still queued until its retire
  // message; they match no open socket and are dropped.
  if (auto listener = listenerBySocket_.find(socket); listener != listenerBySocket_.end()) {
    if (event == FD_ACCEPT) acceptConnection(listener->second);
    return;
  }
  auto connection = connectionBySocket_.find(socket);
  if (connection == connectionBySocket_.end()) return;
  const ConnectionId id = connection->second;
  switch (event) {
    case FD_READ:
      // A connection kept after the peer's end has nothing more to read,
      // whatever Winsock posts (an FD_READ or FD_CLOSE after the end was
      // read).
      if (!connections_.peerEnded(id)) connections_.readable(id);
      break;
    case FD_WRITE:
      connections_.writable(id);
      break;
    case FD_CLOSE:
      // Everything left is read now: no FD_READ follows an FD_CLOSE.
      if (error != 0) {
        connections_.failed(id, error);
      } else if (!connections_.peerEnded(id)) {
        connections_.readable(id, true);
      }
      break;
    default:
      break;
  }
}

void Win32EventLoop::acceptConnection(ListenerId id) {
  auto it = listeners_.find(id);
  if (it == listeners_.end() || it->second.resting) return;
  // Winsock posts FD_ACCEPT again for each connection still waiting.
  sockaddr_in peer{};
  int length = sizeof peer;
  const SOCKET s = ::accept(it->second.socket, reinterpret_cast<sockaddr*>(&peer), &length);
  if (s == INVALID_SOCKET) {
    const int error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAECONNRESET) return;
    // Out of sockets or buffers: the listener rests, then asks for its
    // waiting connections again.
    pauseListener(id, kAcceptBackoffMillis);
    return;
  }
  if (::WSAAsyncSelect(s, window_, kSocketMessage, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
    ::closesocket(s);
    return;
  }
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  const ConnectionId connection = connections_.add(static_cast<SocketHandle>(s), text,
                                                    it->second.handler);
  // Known by its handle before the handler hears of it: the handler may
  // close it at once.
  connectionBySocket_[s] = connection;
  connections_.connected(connection);
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
