#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "platform/event_loop.h"
#include "platform/post_queue.h"

namespace platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kSignalNumbers[] = {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGWINCH};
constexpr size_t kSignalCount = sizeof kSignalNumbers / sizeof kSignalNumbers[0];

// Bounds the bytes read from one connection per event, so one busy peer
// cannot starve the others; poll reports the rest at once.
constexpr size_t kReadPerEvent = 256 * 1024;
// Bounds the connections accepted per event, for the same reason.
constexpr int kAcceptsPerEvent = 64;
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

  SysStatus listen(uint16_t port, ConnectionHandler* handler) override;
  void closeListener() override;
  bool isListening() const override { return listenFd_ >= 0; }
  uint16_t listeningPort() const override { return listenPort_; }

  SendResult send(ConnectionId id, const std::string& bytes) override;
  void close(ConnectionId id) override;
  size_t pendingBytes(ConnectionId id) const override;
  void setOutboundLimit(size_t bytes) override { outboundLimit_ = bytes; }

  void onSignal(Signal signal, std::function<void()> fn) override;

  SysStatus watchInput(int fd, std::function<void()> fn) override;
  void unwatchInput(int fd) override { inputWatches_.erase(fd); }

 private:
  struct Connection {
    int fd = -1;
    std::string address;
    std::string outbound;    // unsent bytes start at outboundStart
    size_t outboundStart = 0;
    bool failed = false;     // an error is being reported; no more writes
    size_t pending() const { return outbound.size() - outboundStart; }
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
  void acceptConnections();
  void readConnection(ConnectionId id);
  void flushConnection(ConnectionId id);
  void reportError(ConnectionId id, int code);
  // Writes what the socket takes now; false on a hard error (errno set).
  bool writeOutbound(Connection& connection);

  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::atomic<bool> quit_{false};

  PostQueue posted_{[this] { wake(); }};

  std::function<void()> signalHandlers_[kSignalCount];
  bool signalInstalled_[kSignalCount] = {};

  std::map<TimerId, Timer> timers_;
  TimerId nextTimerId_ = 1;

  std::map<int, std::function<void()>> inputWatches_;

  int listenFd_ = -1;
  uint16_t listenPort_ = 0;
  SteadyClock::time_point listenerRestsUntil_{};
  ConnectionHandler* handler_ = nullptr;
  std::map<ConnectionId, Connection> connections_;
  ConnectionId nextConnectionId_ = 1;
  size_t outboundLimit_ = kDefaultOutboundLimit;
};

PosixEventLoop::~PosixEventLoop() {
  posted_.waitForCallers();
  for (size_t i = 0; i < kSignalCount; ++i) {
    if (signalInstalled_[i]) ::signal(kSignalNumbers[i], SIG_DFL);
  }
  int expected = wakeWrite_;
  gSignalWakeFd.compare_exchange_strong(expected, -1);
  for (auto& [id, connection] : connections_) closeFd(connection.fd);
  closeFd(listenFd_);
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
  if (listenFd_ >= 0 && listenerRestsUntil_ != SteadyClock::time_point{} &&
      listenerRestsUntil_ < next) {
    next = listenerRestsUntil_;
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
  std::vector<ConnectionId> ids;  // ids[i] belongs to fds[i + first]
  while (!quit_) {
    fds.clear();
    ids.clear();
    fds.push_back({wakeRead_, POLLIN, 0});
    int listenerIndex = -1;
    if (listenFd_ >= 0 && SteadyClock::now() >= listenerRestsUntil_) {
      listenerRestsUntil_ = {};
      listenerIndex = static_cast<int>(fds.size());
      fds.push_back({listenFd_, POLLIN, 0});
    }
    const size_t firstInput = fds.size();
    std::vector<int> inputs;  // inputs[i] belongs to fds[i + firstInput]
    for (const auto& [fd, fn] : inputWatches_) {
      fds.push_back({fd, POLLIN, 0});
      inputs.push_back(fd);
    }
    const size_t first = fds.size();
    for (const auto& [id, connection] : connections_) {
      if (connection.failed) continue;
      short events = POLLIN;
      if (connection.pending() > 0) events |= POLLOUT;
      fds.push_back({connection.fd, events, 0});
      ids.push_back(id);
    }

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
      if (listenerIndex >= 0 && fds[listenerIndex].revents != 0 && listenFd_ >= 0) {
        acceptConnections();
      }
      for (size_t i = 0; i < ids.size(); ++i) {
        const short revents = fds[first + i].revents;
        if (revents == 0) continue;
        // Each event looks the connection up again: an earlier callback may
        // have closed it.
        if ((revents & POLLOUT) != 0) flushConnection(ids[i]);
        if ((revents & (POLLIN | POLLERR | POLLHUP)) != 0) readConnection(ids[i]);
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

SysStatus PosixEventLoop::listen(uint16_t port, ConnectionHandler* handler) {
  closeListener();
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return SysStatus::lastError("socket");
  // Lets a restart bind the port again while closed connections linger in
  // TIME_WAIT.
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
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
  listenFd_ = fd;
  listenPort_ = ntohs(address.sin_port);
  listenerRestsUntil_ = {};
  handler_ = handler;
  return SysStatus::ok();
}

void PosixEventLoop::closeListener() {
  closeFd(listenFd_);
  listenPort_ = 0;
}

void PosixEventLoop::acceptConnections() {
  for (int i = 0; i < kAcceptsPerEvent && listenFd_ >= 0; ++i) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length,
                       SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        listenerRestsUntil_ = SteadyClock::now() + kAcceptBackoff;
      }
      return;
    }
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    const ConnectionId id = nextConnectionId_++;
    Connection connection;
    connection.fd = fd;
    connection.address = text;
    connections_.emplace(id, std::move(connection));
    if (handler_ != nullptr) handler_->onConnect(id, text);
  }
}

void PosixEventLoop::readConnection(ConnectionId id) {
  auto it = connections_.find(id);
  if (it == connections_.end() || it->second.failed) return;
  const int fd = it->second.fd;
  std::string data;
  bool ended = false;
  int error = 0;
  char buffer[65536];
  while (data.size() < kReadPerEvent) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      data.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n == 0) {
      ended = true;
      break;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) error = errno;
    break;
  }
  if (data.empty() && !ended && error == 0) {
    // Readable without data: a pending socket error, or nothing at all.
    int code = 0;
    socklen_t length = sizeof code;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &length) == 0) error = code;
  }
  if (!data.empty() && handler_ != nullptr) handler_->onRead(id, std::move(data));
  if (error != 0) {
    reportError(id, error);
  } else if (ended) {
    close(id);
  }
}

bool PosixEventLoop::writeOutbound(Connection& connection) {
  while (connection.pending() > 0) {
    const ssize_t n = ::send(connection.fd, connection.outbound.data() + connection.outboundStart,
                             connection.pending(), MSG_NOSIGNAL);
    if (n > 0) {
      connection.outboundStart += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
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

void PosixEventLoop::flushConnection(ConnectionId id) {
  auto it = connections_.find(id);
  if (it == connections_.end() || it->second.failed) return;
  if (!writeOutbound(it->second)) reportError(id, errno);
}

SendResult PosixEventLoop::send(ConnectionId id, const std::string& bytes) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return SendResult::kNoConnection;
  Connection& connection = it->second;
  if (connection.failed) return SendResult::kSent;  // its error event is on the way
  if (connection.pending() > 0 && connection.pending() + bytes.size() > outboundLimit_) {
    return SendResult::kOverLimit;
  }
  connection.outbound.append(bytes);
  if (!writeOutbound(connection)) {
    // Reported from the loop, not from inside the caller's send.
    const int code = errno;
    connection.failed = true;
    post([this, id, code] { reportError(id, code); });
  }
  return SendResult::kSent;
}

void PosixEventLoop::reportError(ConnectionId id, int code) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  it->second.failed = true;
  const std::string address = it->second.address;
  if (handler_ != nullptr) handler_->onError(id, address, code);
  close(id);
}

void PosixEventLoop::close(ConnectionId id) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  closeFd(it->second.fd);
  const std::string address = std::move(it->second.address);
  connections_.erase(it);
  if (handler_ != nullptr) handler_->onDisconnect(id, address);
}

size_t PosixEventLoop::pendingBytes(ConnectionId id) const {
  auto it = connections_.find(id);
  return it == connections_.end() ? 0 : it->second.pending();
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
