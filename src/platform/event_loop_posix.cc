#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <csignal>
#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "platform/connection_table.h"
#include "platform/event_loop.h"
#include "platform/post_queue.h"

namespace platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kSignalNumbers[] = {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGWINCH};
constexpr size_t kSignalCount = sizeof kSignalNumbers / sizeof kSignalNumbers[0];

// Bounds the connections accepted per event, so one busy listener cannot
// starve the rest of the loop.
constexpr int kAcceptsPerEvent = 64;
// The most addresses a peer filter takes: two instructions each, within the
// system's limit of 4096 for a socket filter.
constexpr size_t kMaxFilteredPeers = 2000;

// How long the listener rests after an accept failure such as EMFILE, which
// would otherwise report the listener readable again at once, forever.
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);

// The signal handler can only touch lock-free atomics and write(): it notes the
// signal and wakes the loop through its pipe.
std::atomic<int> gSignalWakeFd{-1};
std::atomic<int> gSignalPending[kSignalCount];
static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need lock-free atomics");

extern "C" void noteLoopSignal(int number) {
  const int savedErrno = errno;
  for (size_t i = 0; i < kSignalCount; ++i) {
    if (kSignalNumbers[i] == number) gSignalPending[i] = 1;
  }
  const int fd = gSignalWakeFd.load();
  if (fd >= 0) {
    const char byte = 's';
    ssize_t ignored = ::write(fd, &byte, 1);
    (void)ignored;
  }
  errno = savedErrno;
}

sigset_t loopSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int number : kSignalNumbers) sigaddset(&set, number);
  return set;
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// The system calls of a connection: non-blocking descriptors.
class PosixSocketCalls : public SocketCalls {
 public:
  Io send(SocketHandle socket, const char* data, size_t size) override {
    for (;;) {
      const ssize_t n = ::send(static_cast<int>(socket), data, size, MSG_NOSIGNAL);
      if (n > 0) return Io{Io::Outcome::kDone, static_cast<size_t>(n), 0};
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Io{Io::Outcome::kWouldBlock};
      return Io{Io::Outcome::kFailed, 0, n < 0 ? errno : EPIPE};
    }
  }
  Io receive(SocketHandle socket, char* buffer, size_t size) override {
    for (;;) {
      const ssize_t n = ::recv(static_cast<int>(socket), buffer, size, 0);
      if (n > 0) return Io{Io::Outcome::kDone, static_cast<size_t>(n), 0};
      if (n == 0) return Io{Io::Outcome::kEnded};
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return Io{Io::Outcome::kWouldBlock};
      return Io{Io::Outcome::kFailed, 0, errno};
    }
  }
  int pendingError(SocketHandle socket) override {
    int code = 0;
    socklen_t length = sizeof code;
    if (::getsockopt(static_cast<int>(socket), SOL_SOCKET, SO_ERROR, &code, &length) != 0) return 0;
    return code;
  }
  void close(SocketHandle socket) override { ::close(static_cast<int>(socket)); }
  // Linux reports acknowledged bytes for every TCP socket.
  void trackDelivery(SocketHandle) override {}
  uint64_t acknowledged(SocketHandle socket, uint64_t written) override {
    const int fd = static_cast<int>(socket);
    // TCP_INFO's count of acknowledged bytes (Linux 4.2 and later); before
    // that, the send queue's bytes not yet acknowledged (SIOCOUTQ).
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
        length >= offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) {
      return info.tcpi_bytes_acked < written ? info.tcpi_bytes_acked : written;
    }
    int queued = 0;
    if (::ioctl(fd, SIOCOUTQ, &queued) == 0 && queued >= 0) {
      return static_cast<uint64_t>(queued) < written ? written - static_cast<uint64_t>(queued) : 0;
    }
    return 0;
  }
};

class PosixEventLoop : public EventLoop {
 public:
  PosixEventLoop() = default;
  ~PosixEventLoop() override;

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
  bool canFilterPeers() const override { return true; }
  SysStatus filterPeers(ListenerId id, const std::vector<std::string>& addresses) override;
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

  void onSignal(Signal signal, std::function<void()> fn) override;

  SysStatus watchInput(int fd, std::function<void()> fn) override;
  void unwatchInput(int fd) override { inputWatches_.erase(fd); }

 private:
  struct Listener {
    int fd = -1;
    uint16_t port = 0;
    ConnectionHandler* handler = nullptr;
    // After an accept failure such as EMFILE the listener rests; polled, it
    // would be reported readable again at once, forever.
    SteadyClock::time_point restsUntil{};
  };
  struct Timer {
    SteadyClock::time_point due;
    std::chrono::milliseconds period{0};
    bool repeat = false;
    std::function<void()> fn;
  };

  void wake();
  void runEvents();
  int pollTimeout() const;
  void drainWakePipe();
  void dispatchSignals();
  void runDueTimers();
  void acceptConnections(ListenerId id);

  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::atomic<bool> quit_{false};

  PostQueue posted_{[this] {
    wake();
    return true;  // a full pipe already holds a wake-up
  }};

  std::function<void()> signalHandlers_[kSignalCount];
  bool signalInstalled_[kSignalCount] = {};

  std::map<TimerId, Timer> timers_;
  TimerId nextTimerId_ = 1;

  std::map<int, std::function<void()>> inputWatches_;

  std::map<ListenerId, Listener> listeners_;
  ListenerId nextListenerId_ = 1;
  PosixSocketCalls socketCalls_;
  // Declared after what its calls use; its destructor releases the sockets.
  ConnectionTable connections_{socketCalls_, [this](std::function<void()> fn) { post(std::move(fn)); }};
};

PosixEventLoop::~PosixEventLoop() {
  posted_.waitForCallers();
  for (size_t i = 0; i < kSignalCount; ++i) {
    if (signalInstalled_[i]) ::signal(kSignalNumbers[i], SIG_DFL);
  }
  int expected = wakeWrite_;
  gSignalWakeFd.compare_exchange_strong(expected, -1);
  for (auto& [id, listener] : listeners_) closeFd(listener.fd);
  closeFd(wakeRead_);
  closeFd(wakeWrite_);
}

SysStatus PosixEventLoop::init() {
  // A peer that closes while we write must not kill the process; sends also
  // pass MSG_NOSIGNAL.
  ::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return SysStatus::lastError("pipe2");
  wakeRead_ = fds[0];
  wakeWrite_ = fds[1];
  return SysStatus::ok();
}

void PosixEventLoop::wake() {
  const char byte = 'w';
  // A full pipe already holds a wake-up; nothing is lost.
  ssize_t ignored = ::write(wakeWrite_, &byte, 1);
  (void)ignored;
}

void PosixEventLoop::quit() {
  posted_.wakeAfter([this] { quit_ = true; });
}

void PosixEventLoop::post(std::function<void()> fn) { posted_.post(std::move(fn)); }

int PosixEventLoop::pollTimeout() const {
  SteadyClock::time_point next = SteadyClock::time_point::max();
  for (const auto& [id, timer] : timers_) {
    if (timer.due < next) next = timer.due;
  }
  for (const auto& [id, listener] : listeners_) {
    if (listener.restsUntil != SteadyClock::time_point{} && listener.restsUntil < next) {
      next = listener.restsUntil;
    }
  }
  if (next == SteadyClock::time_point::max()) return -1;
  const auto now = SteadyClock::now();
  if (next <= now) return 0;
  // Rounded up, so a timer is never found early and polled again at once.
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
  return wait > 60000 ? 60000 : static_cast<int>(wait);
}

void PosixEventLoop::run() {
  try {
    runEvents();
  } catch (...) {
    quit_ = false;
    throw;
  }
  quit_ = false;
}

void PosixEventLoop::runEvents() {
  // The watched signals are taken on this thread only.
  sigset_t set;
  sigemptyset(&set);
  for (size_t i = 0; i < kSignalCount; ++i) {
    if (signalInstalled_[i]) sigaddset(&set, kSignalNumbers[i]);
  }
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);

  std::vector<pollfd> fds;
  std::vector<ListenerId> listenerIds;  // listenerIds[i] belongs to fds[i + 1]
  std::vector<int> inputs;              // inputs[i] belongs to fds[i + firstInput]
  std::vector<ConnectionId> ids;        // ids[i] belongs to fds[i + first]
  while (!quit_) {
    fds.clear();
    listenerIds.clear();
    inputs.clear();
    ids.clear();
    fds.push_back({wakeRead_, POLLIN, 0});
    const auto now = SteadyClock::now();
    for (auto& [id, listener] : listeners_) {
      if (now < listener.restsUntil) continue;
      listener.restsUntil = {};
      fds.push_back({listener.fd, POLLIN, 0});
      listenerIds.push_back(id);
    }
    const size_t firstInput = fds.size();
    for (const auto& [fd, fn] : inputWatches_) {
      fds.push_back({fd, POLLIN, 0});
      inputs.push_back(fd);
    }
    const size_t first = fds.size();
    connections_.forEach([&](ConnectionId id, const ConnectionTable::Watch& watch) {
      if (watch.failed) return;
      // A peer's end stays readable for good; after it, only an error or a
      // hang-up (reported whatever is asked for) or room to write matter.
      short events = watch.peerEnded ? 0 : POLLIN;
      if (watch.wantWrite) events |= POLLOUT;
      fds.push_back({static_cast<int>(watch.socket), events, 0});
      ids.push_back(id);
    });

    const int n = ::poll(fds.data(), fds.size(), pollTimeout());
    if (n < 0 && errno != EINTR) {
      // poll fails only on resource shortage here; try again after the timers.
      runDueTimers();
      continue;
    }
    if (n > 0) {
      if (fds[0].revents != 0) {
        drainWakePipe();
        dispatchSignals();
        posted_.run();
      }
      for (size_t i = 0; i < inputs.size(); ++i) {
        if (fds[firstInput + i].revents == 0) continue;
        // Looked up again: an earlier callback may have unwatched it.
        auto watch = inputWatches_.find(inputs[i]);
        if (watch == inputWatches_.end()) continue;
        auto fn = watch->second;  // a copy: fn may unwatch its own descriptor
        fn();
      }
      for (size_t i = 0; i < listenerIds.size(); ++i) {
        if (fds[1 + i].revents != 0) acceptConnections(listenerIds[i]);
      }
      for (size_t i = 0; i < ids.size(); ++i) {
        const short revents = fds[first + i].revents;
        if (revents == 0) continue;
        // The table looks the connection up again for each event: an earlier
        // callback may have closed it.
        if ((revents & POLLOUT) != 0) connections_.writable(ids[i]);
        if ((revents & (POLLIN | POLLERR | POLLHUP)) != 0) connections_.readable(ids[i]);
      }
    }
    runDueTimers();
  }
}

void PosixEventLoop::drainWakePipe() {
  char buffer[256];
  while (::read(wakeRead_, buffer, sizeof buffer) > 0) {
  }
}

void PosixEventLoop::dispatchSignals() {
  for (size_t i = 0; i < kSignalCount; ++i) {
    if (gSignalPending[i].exchange(0) == 0) continue;
    if (signalHandlers_[i]) {
      auto fn = signalHandlers_[i];
      fn();
    }
  }
}

TimerId PosixEventLoop::startTimer(int64_t delayMillis, bool repeat, std::function<void()> fn) {
  if (delayMillis < 0) delayMillis = 0;
  const TimerId id = nextTimerId_++;
  Timer timer;
  timer.period = std::chrono::milliseconds(delayMillis);
  timer.due = SteadyClock::now() + timer.period;
  timer.repeat = repeat;
  timer.fn = std::move(fn);
  timers_.emplace(id, std::move(timer));
  return id;
}

void PosixEventLoop::cancelTimer(TimerId id) { timers_.erase(id); }

void PosixEventLoop::runDueTimers() {
  const auto now = SteadyClock::now();
  std::vector<std::pair<SteadyClock::time_point, TimerId>> due;
  for (const auto& [id, timer] : timers_) {
    if (timer.due <= now) due.emplace_back(timer.due, id);
  }
  std::sort(due.begin(), due.end());
  for (const auto& [when, id] : due) {
    auto it = timers_.find(id);
    if (it == timers_.end()) continue;  // cancelled by an earlier callback
    std::function<void()> fn;
    if (it->second.repeat) {
      // A copy: the callback may cancel its own timer.
      fn = it->second.fn;
      it->second.due += it->second.period;
      if (it->second.due <= now) it->second.due = now + it->second.period;
    } else {
      fn = std::move(it->second.fn);
      timers_.erase(it);
    }
    fn();
  }
}

SysStatus PosixEventLoop::listenOn(const std::string& localAddress, uint16_t port,
                                   ConnectionHandler* handler, ListenerId* id) {
  in_addr local{};
  if (::inet_pton(AF_INET, localAddress.c_str(), &local) != 1) {
    return SysStatus::error("inet_pton", EINVAL);
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return SysStatus::lastError("socket");
  // Lets a restart bind the port again while closed connections linger in
  // TIME_WAIT.
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr = local;
  address.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    SysStatus status = SysStatus::lastError("bind");
    ::close(fd);
    return status;
  }
  if (::listen(fd, SOMAXCONN) != 0) {
    SysStatus status = SysStatus::lastError("listen");
    ::close(fd);
    return status;
  }
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    SysStatus status = SysStatus::lastError("getsockname");
    ::close(fd);
    return status;
  }
  const ListenerId listenerId = nextListenerId_++;
  listeners_[listenerId] = Listener{fd, ntohs(address.sin_port), handler, {}};
  *id = listenerId;
  return SysStatus::ok();
}

void PosixEventLoop::pauseListener(ListenerId id, int64_t millis) {
  auto it = listeners_.find(id);
  if (it == listeners_.end() || SteadyClock::now() < it->second.restsUntil) return;
  it->second.restsUntil = SteadyClock::now() + std::chrono::milliseconds(millis);
}

SysStatus PosixEventLoop::filterPeers(ListenerId id, const std::vector<std::string>& addresses) {
  auto it = listeners_.find(id);
  if (it == listeners_.end()) return SysStatus::error("filterPeers", EBADF);
  std::vector<uint32_t> hosts;
  for (const std::string& text : addresses) {
    in_addr address{};
    if (::inet_pton(AF_INET, text.c_str(), &address) == 1) hosts.push_back(ntohl(address.s_addr));
  }
  std::sort(hosts.begin(), hosts.end());
  hosts.erase(std::unique(hosts.begin(), hosts.end()), hosts.end());
  if (hosts.size() > kMaxFilteredPeers) return SysStatus::error("filterPeers", E2BIG);
  // A TCP socket's filter sees its packets from the transport header on: the
  // IPv4 source address is 12 bytes into the network header. Each listed
  // address is a comparison and an accept; whatever matches none is dropped,
  // a SYN before it makes a connection or takes a place in the queue.
  std::vector<sock_filter> code;
  code.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_NET_OFF + 12)));
  for (uint32_t host : hosts) {
    code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, host, 0, 1));
    code.push_back(BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFFu));
  }
  code.push_back(BPF_STMT(BPF_RET | BPF_K, 0));
  sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
  if (::setsockopt(it->second.fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) {
    return SysStatus::lastError("setsockopt(SO_ATTACH_FILTER)");
  }
  return SysStatus::ok();
}

void PosixEventLoop::closeListener(ListenerId id) {
  auto it = listeners_.find(id);
  if (it == listeners_.end()) return;
  closeFd(it->second.fd);
  listeners_.erase(it);
}

uint16_t PosixEventLoop::listeningPort(ListenerId id) const {
  auto it = listeners_.find(id);
  return it == listeners_.end() ? 0 : it->second.port;
}

void PosixEventLoop::acceptConnections(ListenerId id) {
  for (int i = 0; i < kAcceptsPerEvent; ++i) {
    // Looked up each time: a handler may close the listener or pause it.
    auto it = listeners_.find(id);
    if (it == listeners_.end() || SteadyClock::now() < it->second.restsUntil) return;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(it->second.fd, reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        it->second.restsUntil = SteadyClock::now() + kAcceptBackoff;
      }
      return;
    }
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    connections_.connected(
        connections_.add(static_cast<SocketHandle>(fd), text, it->second.handler));
  }
}

void PosixEventLoop::onSignal(Signal signal, std::function<void()> fn) {
  const size_t index = static_cast<size_t>(signal);
  signalHandlers_[index] = std::move(fn);
  gSignalWakeFd = wakeWrite_;
  struct sigaction action{};
  action.sa_handler = noteLoopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(kSignalNumbers[index], &action, nullptr);
  signalInstalled_[index] = true;
  // This is the loop thread: it takes the signal from now on.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, kSignalNumbers[index]);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

SysStatus PosixEventLoop::watchInput(int fd, std::function<void()> fn) {
  if (fd < 0 || !fn) return SysStatus::error("watchInput", EBADF);
  inputWatches_[fd] = std::move(fn);
  return SysStatus::ok();
}

}  // namespace

SysStatus EventLoop::create(std::unique_ptr<EventLoop>* out) {
  auto loop = std::make_unique<PosixEventLoop>();
  SysStatus status = loop->init();
  if (!status) return status;
  *out = std::move(loop);
  return SysStatus::ok();
}

void blockLoopSignals() {
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t set = loopSignalSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace platform
