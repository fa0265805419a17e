// A console that measures the agent, for scripts/bench. Loopback only; every
// loop is bounded by a count or a deadline. Prints its figures as key=value
// lines.
//
//   tavin_load roundtrip --port P [--count N]
//       N status requests one after another (default 5000): the time from
//       sending each to receiving its response; p50, p99 and max.
//   tavin_load logpush --port P --file PATH [--lines N] [--backlog]
//       N lines of 100 bytes (default 100000) in a monitored program's
//       system log, and a console that waits for the last of them. Live (the
//       default): the console is connected and has received a first line
//       when the lines are appended; the time from the start of the writing
//       and from its end to the last line's arrival. --backlog: the lines
//       are in the file before the console connects; the time from the
//       connect. Both: the time from the first line's arrival to the last's.
//   tavin_load sink --listen P --file PATH [--lines N] [--backlog]
//       the same for a log shipper (rsyslogd's omfwd) that connects to
//       127.0.0.1:P and sends each line as a text ending in a line feed;
//       prints "ready" once it listens (with --backlog: once the lines are
//       written), for the shipper to be started; times are taken from the
//       shipper's connect instead of the console's.
//   tavin_load reset --port P --file PATH [--lines N] [--resets R]
//       a backlog of N lines (default 100000) and R consoles (default 5)
//       one after another, each of which reads 2000 lines, stops reading
//       until the agent has filled its window, and is reset: how many lines
//       each next console got again that its predecessor's host had
//       received, and how many it never got, per reset.
//   tavin_load restart --port P --file PATH --pid PID --signal term|kill
//       a backlog of 2000 lines and a console that reads it, then 1000 lines
//       a second for 3 to 4 s while it reads, and the agent PID ends by SIGTERM
//       (its confirmed exit) or SIGKILL while they come: the last line the
//       console got (last=) and the lines written (written=).
//   tavin_load restart --port P --file PATH --after LAST --written W
//       for the agent started again: 200 lines more, as if written while it
//       was down, and a console that reads until the last of them: the
//       lines it got that the first console had got too (again=), and those
//       neither got (lost=).
//   tavin_load follow --port P --file PATH --rate R [--seconds S]
//       appends R lines a second (default for 60 s) to a monitored program's
//       system log, as a busy program writes, while reading the pushed
//       lines: how long after its writing each line arrived (p99 and max),
//       and whether every line arrived once the writing stopped.
//   tavin_load denied --port P [--seconds S] [--from ADDRESS]
//       refused connection attempts from ADDRESS (default 127.0.0.2, an
//       address not on the access list) as fast as one thread makes them,
//       for S seconds (default 60), while an admitted console sends status
//       requests one after another: the attempts made, and the requests'
//       p50, p99 and max.
//   tavin_load idle --port P --pid PID [--seconds S]
//       stays connected S seconds (default 60) without requests, answering
//       nothing but keeping the connection with a heartbeat every 10 s: the
//       agent's resident memory at the end and its CPU use over the period.
//   tavin_load scrape --port P [--count N]
//       N scrapes of the metrics endpoint at port P one after another
//       (default 1000), each on a connection of its own: the time from the
//       connect to the end of the answer; p50, p99 and max.
//   tavin_load checkcs --port P --dir WORKSPACE [--gateways N]
//       N gateways (a multiple of 3, default 30) for the connection check, all on one port as
//       the check wants, in turn one that accepts (127.0.0.1), one where
//       nothing listens (127.0.0.2) and one that never answers (127.0.0.3),
//       so that a third are silent; writes the workspace's tavin.ini and
//       program 1's configuration file with 3 gateways per operator and asks
//       for CheckCS: the time from the request to the answer, and how many
//       links the answer reports open.
//   tavin_load scrapeflood --port P --metrics-port M [--seconds S] [--threads T]
//       an admitted console's status requests one after another for S
//       seconds (default 20) without scrapes, then S seconds more while T
//       threads (default 3) send "GET /metrics" to port M and close at once,
//       as fast as they can: the requests' p50, p99 and max in both halves,
//       the scrapes sent, and whether the console stayed connected.
//   tavin_load unlistedflood --metrics-port M [--seconds S] [--from ADDRESS]
//       a listed scraper (127.0.0.1) scraping port M once a second for S
//       seconds (default 30), each scrape within Prometheus's 5-s timeout,
//       while one thread connects from ADDRESS (default 127.0.0.2, not on
//       the endpoint's access list) and closes at once, as fast as it can,
//       without waiting for the connect: the scrapes answered in time, their
//       p50 and max, and the attempts made and those the agent's side took.
//   tavin_load idleflood --metrics-port M --rate R [--seconds S]
//       a listed local client (127.0.0.1) opening R idle connections a
//       second to port M (each closed after 3 s unless the agent closed it)
//       for S seconds (default 20), while a scraper scrapes twice a second,
//       each within 5 s: the scrapes answered in time.
//   tavin_load manydenied --port P [--addresses N] [--rounds R]
//       R rounds (default 3) of one connection attempt from each of N
//       addresses (default 5000: 127.1.0.1, 127.1.0.2, ...), none of them on
//       the access list, each waiting for the agent's close: the attempts
//       refused.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "codec/message.h"
#include "handlers/beat_message.h"
#include "handlers/bodies.h"
#include "handlers/status_messages.h"
#include "handlers/trouble_shooting_messages.h"
#include "platform/tcp_client.h"
#include "server/frame_reader.h"
#include "tests/support/silent_listener.h"

namespace {

using Clock = std::chrono::steady_clock;

const tavin::MessageBodyFactory& factory() {
  static const tavin::MessageBodyFactory instance = tavin::wireBodyFactory();
  return instance;
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "tavin_load: %s\n", what.c_str());
  std::exit(1);
}

std::string option(int argc, char** argv, const std::string& name, const std::string& fallback) {
  for (int i = 2; i + 1 < argc; ++i) {
    if (argv[i] == name) return argv[i + 1];
  }
  if (fallback.empty()) fail("missing " + name);
  return fallback;
}

long number(int argc, char** argv, const std::string& name, const std::string& fallback) {
  const std::string text = option(argc, argv, name, fallback);
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || value <= 0) fail("bad " + name + ": " + text);
  return value;
}

std::string request(const std::string& sequence, std::unique_ptr<tavin::MessageBody> body) {
  return tavin::Message("Tavin1.20", "C", sequence, std::move(body)).toString();
}

// A console connection that hands out whole messages. Received bytes are
// framed from an offset with the agent's own windowed reader, so that a
// backlog of many messages costs what its bytes cost.
class Console {
 public:
  explicit Console(uint16_t port) {
    if (!client_.connect("127.0.0.1", port, 5000).isOk()) fail("cannot connect");
  }
  void send(const std::string& bytes) {
    if (!client_.sendAll(bytes, 10000).isOk()) fail("send failed");
  }
  // The next message, waiting at most timeoutMs; null on timeout.
  std::unique_ptr<tavin::Message> next(int timeoutMs) {
    bool ended = false;
    std::unique_ptr<tavin::Message> message = nextOrEnd(timeoutMs, &ended);
    if (ended) fail("the agent closed the connection");
    return message;
  }
  // As next, but a connection the agent ends is no failure: null, with
  // *ended set.
  std::unique_ptr<tavin::Message> nextOrEnd(int timeoutMs, bool* ended) {
    *ended = false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (std::unique_ptr<tavin::Message> message = take()) return message;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return nullptr;
      std::string bytes;
      const auto received = client_.receive(&bytes, static_cast<int>(left));
      if (received == platform::TcpClient::Received::kTimeout) return nullptr;
      if (received != platform::TcpClient::Received::kData) {
        *ended = true;
        return nullptr;
      }
      buffer_ += bytes;
    }
  }
  // The response of the given type and sequence, skipping pushes.
  std::unique_ptr<tavin::Message> answer(const std::string& type, const std::string& sequence,
                                         int timeoutMs = 10000) {
    for (;;) {
      std::unique_ptr<tavin::Message> message = next(timeoutMs);
      if (!message) fail("no answer to request " + sequence);
      if (message->getMessageType() == type) {
        if (message->getSequence() != sequence) fail("answer out of order");
        return message;
      }
    }
  }

 private:
  std::unique_ptr<tavin::Message> take() {
    auto message = std::make_unique<tavin::Message>();
    const int64_t result = tavin::parseAt(buffer_, consumed_, factory(), message.get());
    if (result == tavin::Message::kIncomplete) {
      buffer_.erase(0, consumed_);
      consumed_ = 0;
      return nullptr;
    }
    if (result < 0) fail("unreadable message from the agent");
    consumed_ += static_cast<size_t>(result - 1) + message->getCheckSumLength();
    return message;
  }

  platform::TcpClient client_;
  std::string buffer_;
  size_t consumed_ = 0;  // bytes of buffer_ already handed out
};

// p50, p99 and max of a set of durations, as key=value lines, each key
// after prefix.
void printLatencies(const char* countKey, long count, std::vector<int64_t>& micros,
                    const char* prefix = "") {
  std::sort(micros.begin(), micros.end());
  auto at = [&](double q) {
    return micros.empty() ? 0 : micros[static_cast<size_t>(q * (micros.size() - 1))];
  };
  std::printf("%s%s=%ld\n%sp50_us=%lld\n%sp99_us=%lld\n%smax_us=%lld\n", prefix, countKey, count,
              prefix, static_cast<long long>(at(0.50)), prefix, static_cast<long long>(at(0.99)),
              prefix, static_cast<long long>(at(1.0)));
}

// Sends one status request and waits for its answer: the agent has admitted
// this console.
void admitted(Console& console) {
  console.send(request("0", std::make_unique<tavin::StatusRequestMessageBody>()));
  console.answer("03", "0");
}

int roundtrip(uint16_t port, long count) {
  Console console(port);
  admitted(console);
  std::vector<int64_t> micros;
  micros.reserve(static_cast<size_t>(count));
  for (long i = 1; i <= count; ++i) {
    const std::string sequence = std::to_string(i);
    const std::string text = request(sequence, std::make_unique<tavin::StatusRequestMessageBody>());
    const auto start = Clock::now();
    console.send(text);
    console.answer("03", sequence);
    micros.push_back(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
  }
  printLatencies("requests", count, micros);
  return 0;
}

// A flood's own address (from) and the agent's port on 127.0.0.1.
std::pair<sockaddr_in, sockaddr_in> floodAddresses(uint16_t port, const std::string& from) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (::inet_pton(AF_INET, from.c_str(), &local.sin_addr) != 1) fail("bad --from " + from);
  sockaddr_in agent{};
  agent.sin_family = AF_INET;
  agent.sin_port = htons(port);
  agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return {local, agent};
}

int denied(uint16_t port, long seconds, const std::string& from) {
  Console console(port);
  admitted(console);
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  std::atomic<long> attempts{0};
  std::thread flood([&] {
    auto [local, agent] = floodAddresses(port, from);
    while (Clock::now() < end) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0) fail("socket");
      if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
          ::connect(fd, reinterpret_cast<sockaddr*>(&agent), sizeof agent) == 0) {
        ++attempts;
      }
      ::close(fd);
    }
  });
  std::vector<int64_t> micros;
  for (long i = 1; Clock::now() < end; ++i) {
    const std::string sequence = std::to_string(i);
    const auto start = Clock::now();
    console.send(request(sequence, std::make_unique<tavin::StatusRequestMessageBody>()));
    console.answer("03", sequence);
    micros.push_back(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
  }
  flood.join();
  std::printf("attempts=%ld\n", attempts.load());
  printLatencies("requests", static_cast<long>(micros.size()), micros);
  return 0;
}

// lines lines of 100 bytes (CR LF included), numbered; the last holds marker.
std::string backlogLines(long lines, const std::string& marker) {
  std::string text;
  text.reserve(static_cast<size_t>(lines) * 100);
  char line[128];
  for (long i = 1; i < lines; ++i) {
    const int n = std::snprintf(line, sizeof line, "09:30:01 order %08ld confirmed %064d\r\n", i, 0);
    text.append(line, static_cast<size_t>(n));
  }
  std::snprintf(line, sizeof line, "%-98s\r\n", marker.c_str());
  return text + line;
}

void appendTo(const std::string& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::app);
  out << text << std::flush;
  if (!out) fail("cannot write " + file);
}

// When the lines of a backlog came.
struct Arrival {
  Clock::time_point started;  // the writing's start, or the connect
  Clock::time_point written;  // the writing's end (live only)
  Clock::time_point first;
  Clock::time_point last;
  long received = 0;
};

void printArrival(long lines, const Arrival& a, bool live) {
  using Seconds = std::chrono::duration<double>;
  std::printf("lines=%ld\nreceived=%ld\nseconds=%.3f\nfirst_to_last_seconds=%.3f\n", lines,
              a.received, Seconds(a.last - a.started).count(), Seconds(a.last - a.first).count());
  if (live) std::printf("after_write_seconds=%.3f\n", Seconds(a.last - a.written).count());
}

int logpush(uint16_t port, const std::string& file, long lines, bool backlog) {
  const std::string marker = "end of backlog " + std::to_string(::getpid());
  const std::string text = backlogLines(lines, marker);
  Arrival a;
  if (backlog) appendTo(file, text);
  Console console(port);
  a.started = Clock::now();
  // A heartbeat now and every 5 s, as a console sends them: the agent's
  // idle timer may be running down from the console before this one.
  auto lastBeat = Clock::now() - std::chrono::seconds(5);
  auto beat = [&] {
    if (Clock::now() - lastBeat < std::chrono::seconds(5)) return;
    console.send(request("-1", std::make_unique<tavin::BeatMessageBody>()));
    lastBeat = Clock::now();
  };
  beat();
  if (!backlog) {
    // Connected and caught up: a first line has come through.
    const std::string warm = "warm up " + std::to_string(::getpid());
    appendTo(file, warm + "\r\n");
    const auto giveUp = Clock::now() + std::chrono::seconds(60);
    for (bool seen = false; !seen;) {
      if (Clock::now() > giveUp) fail("the first line did not arrive");
      beat();
      std::unique_ptr<tavin::Message> message = console.next(5000);
      if (!message) continue;
      seen = message->getMessageType() == "13" &&
             message->body()->getValue("sysLog").find(warm) != std::string::npos;
    }
    a.started = Clock::now();
    appendTo(file, text);
    a.written = Clock::now();
  }
  for (auto lastLine = Clock::now();;) {
    beat();
    std::unique_ptr<tavin::Message> message = console.next(5000);
    if (!message) {
      if (Clock::now() - lastLine > std::chrono::seconds(60)) {
        fail("the backlog's last line did not arrive");
      }
      continue;
    }
    lastLine = Clock::now();
    if (message->getMessageType() != "13") continue;
    const std::string sysLog = message->body()->getValue("sysLog");
    if (a.received == 0) a.first = Clock::now();
    a.received += static_cast<long>(std::count(sysLog.begin(), sysLog.end(), '\x02'));
    if (sysLog.find(marker) != std::string::npos) break;
  }
  a.last = Clock::now();
  printArrival(lines, a, !backlog);
  return a.received >= lines ? 0 : 1;
}

int sink(uint16_t port, const std::string& file, long lines, bool backlog) {
  const std::string marker = "end of backlog " + std::to_string(::getpid());
  const std::string warm = "warm up " + std::to_string(::getpid());
  const std::string text = backlogLines(lines, marker);
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 16) != 0) {
    fail("cannot listen on " + std::to_string(port));
  }
  if (backlog) appendTo(file, text);
  std::printf("ready\n");
  std::fflush(stdout);
  // A shipper may open a connection per worker of its own and spread the
  // lines over them: every connection is read, and the backlog is done when
  // every one of its lines has come, in whatever order. Live, a first line
  // is written (again every 200 ms) until it has come through.
  struct Connection {
    int fd;
    std::string pending;  // the start of a line still arriving
  };
  std::vector<Connection> connections;
  Arrival a;
  bool warmedUp = backlog;
  bool connected = false;
  long orders = 0;
  bool markerSeen = false;
  std::vector<char> buffer(1 << 20);
  auto lastArrival = Clock::now();
  while (!(markerSeen && orders >= lines - 1)) {
    if (Clock::now() - lastArrival > std::chrono::seconds(60)) {
      fail("the backlog's lines did not all arrive (" + std::to_string(orders) + ")");
    }
    if (!warmedUp) appendTo(file, warm + "\n");
    std::vector<pollfd> polled{{listener, POLLIN, 0}};
    for (const Connection& c : connections) polled.push_back({c.fd, static_cast<short>(c.fd >= 0 ? POLLIN : 0), 0});
    if (::poll(polled.data(), polled.size(), warmedUp ? 1000 : 200) <= 0) continue;
    if (polled[0].revents != 0) {
      const int fd = ::accept(listener, nullptr, nullptr);
      if (fd >= 0) connections.push_back({fd, std::string()});
      if (!connected) a.started = Clock::now();
      connected = true;
    }
    for (size_t i = 1; i < polled.size(); ++i) {
      if (polled[i].revents == 0) continue;
      Connection& c = connections[i - 1];
      const ssize_t n = ::recv(c.fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) {
        ::close(c.fd);
        c.fd = -1;  // polled no more
        continue;
      }
      lastArrival = Clock::now();
      c.pending.append(buffer.data(), static_cast<size_t>(n));
      size_t start = 0;
      for (size_t end; (end = c.pending.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string_view line(c.pending.data() + start, end - start);
        if (line.find(warm) != std::string_view::npos) {
          if (warmedUp) continue;
          warmedUp = true;
          a.started = Clock::now();
          appendTo(file, text);
          a.written = Clock::now();
          continue;
        }
        if (a.received == 0) a.first = Clock::now();
        ++a.received;
        if (line.find(" order ") != std::string_view::npos) ++orders;
        if (line.find(marker) != std::string_view::npos) markerSeen = true;
      }
      c.pending.erase(0, start);
    }
  }
  a.last = Clock::now();
  ::close(listener);
  for (const Connection& c : connections) {
    if (c.fd >= 0) ::close(c.fd);
  }
  std::printf("connections=%zu\n", connections.size());
  printArrival(lines, a, !backlog);
  return 0;
}

// The number of the last backlog line whose entry lies whole in bytes (an
// entry ends with 0x02); 0 for none.
long lastWholeLine(const std::string& bytes) {
  long last = 0;
  for (size_t end = bytes.find('\x02'); end != std::string::npos; end = bytes.find('\x02', end + 1)) {
    const size_t at = bytes.rfind(" order ", end);
    if (at != std::string::npos && end - at > 15) last = std::strtol(bytes.c_str() + at + 7, nullptr, 10);
  }
  return last;
}

int reset(uint16_t port, const std::string& file, long lines, long resets) {
  appendTo(file, backlogLines(lines, "end of backlog " + std::to_string(::getpid())));
  long hostLast = 0;
  long resent = 0;
  long lost = 0;
  std::vector<char> buffer(1 << 16);
  for (long r = 0; r < resets; ++r) {
    // Connected and admitted: the agent refuses a console while it has not
    // yet seen its predecessor's reset, and its port is closed while its
    // listener restarts after that reset.
    int fd = -1;
    std::string got;
    const auto giveUp = Clock::now() + std::chrono::seconds(30);
    while (got.empty()) {
      if (Clock::now() > giveUp) fail("no console was admitted");
      if (fd >= 0) ::close(fd);
      fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      int small = 16384;
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
      sockaddr_in agent{};
      agent.sin_family = AF_INET;
      agent.sin_port = htons(port);
      agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      // A refused connect is the listener restarting after the reset.
      const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&agent), sizeof agent) == 0;
      pollfd p{fd, POLLIN, 0};
      while (connected && ::poll(&p, 1, 5000) == 1) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;  // refused: try again
        got.append(buffer.data(), static_cast<size_t>(n));
        if (lastWholeLine(got) > 0) break;
      }
      if (got.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // The first line this console got, against the last its predecessor's
    // host had.
    const size_t firstEnd = got.find('\x02');
    const long first = lastWholeLine(got.substr(0, firstEnd + 1));
    if (r > 0) {
      resent += std::max(0L, hostLast + 1 - first);
      lost += std::max(0L, first - hostLast - 1);
    }
    // 2000 lines (some 230 KB), then nothing read until the window is full.
    while (lastWholeLine(got) < first + 2000) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 10000) != 1) fail("the push stopped");
      const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) fail("the agent closed the connection");
      got.append(buffer.data(), static_cast<size_t>(n));
      got.erase(0, got.size() > 4096 ? got.size() - 4096 : 0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    int queued = 0;
    ::ioctl(fd, FIONREAD, &queued);
    std::string held(static_cast<size_t>(std::max(queued, 0)), '\0');
    const ssize_t n = ::recv(fd, held.data(), held.size(), MSG_PEEK | MSG_DONTWAIT);
    held.resize(n > 0 ? static_cast<size_t>(n) : 0);
    hostLast = std::max(lastWholeLine(got), lastWholeLine(got + held));
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
  }
  std::printf("resets=%ld\nresent_per_reset=%.1f\nlost_per_reset=%.1f\n", resets - 1,
              static_cast<double>(resent) / static_cast<double>(resets - 1),
              static_cast<double>(lost) / static_cast<double>(resets - 1));
  return 0;
}

// count numbered lines of 100 bytes (CR LF included), from first on.
std::string numberedLines(long first, long count) {
  std::string text;
  text.reserve(static_cast<size_t>(count) * 100);
  char line[128];
  for (long i = first; i < first + count; ++i) {
    const int n = std::snprintf(line, sizeof line, "09:30:01 order %08ld confirmed %064d\r\n", i, 0);
    text.append(line, static_cast<size_t>(n));
  }
  return text;
}

// The numbers of the lines a log message carries, in order.
void lineNumbers(const tavin::Message& message, std::vector<long>* out) {
  const std::string sysLog = message.body()->getValue("sysLog");
  for (size_t start = 0, end; (end = sysLog.find('\x02', start)) != std::string::npos;
       start = end + 1) {
    const size_t at = sysLog.find(" order ", start);
    if (at != std::string::npos && at < end) out->push_back(std::strtol(sysLog.c_str() + at + 7, nullptr, 10));
  }
}

int restartBefore(uint16_t port, const std::string& file, long pid, const std::string& signal) {
  constexpr long kBacklog = 2000;
  constexpr long kPerTick = 10;  // every 10 ms: 1000 lines a second
  // 3 s and up to one more: the end falls anywhere between two of the
  // agent's writes of its position, which come once a second.
  std::random_device random;
  const int kTicks = 300 + static_cast<int>(random() % 100);
  appendTo(file, numberedLines(1, kBacklog));
  Console console(port);
  std::vector<long> got;
  bool ended = false;
  while (got.size() < static_cast<size_t>(kBacklog)) {
    std::unique_ptr<tavin::Message> message = console.nextOrEnd(10000, &ended);
    if (!message) fail("the backlog stopped");
    if (message->getMessageType() == "13") lineNumbers(*message, &got);
  }
  std::atomic<long> written{kBacklog};
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (int tick = 0; tick < kTicks && writing; ++tick) {
      appendTo(file, numberedLines(written + 1, kPerTick));
      written += kPerTick;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  const auto end = Clock::now() + std::chrono::milliseconds(10 * kTicks);
  while (Clock::now() < end) {
    std::unique_ptr<tavin::Message> message = console.nextOrEnd(100, &ended);
    if (ended) fail("the agent closed the connection");
    if (message && message->getMessageType() == "13") lineNumbers(*message, &got);
  }
  // While lines are coming.
  if (::kill(static_cast<pid_t>(pid), signal == "kill" ? SIGKILL : SIGTERM) != 0) fail("kill");
  writing = false;
  writer.join();
  // What the console's host had when the agent ended.
  for (int i = 0; i < 100 && !ended; ++i) {
    std::unique_ptr<tavin::Message> message = console.nextOrEnd(100, &ended);
    if (message && message->getMessageType() == "13") lineNumbers(*message, &got);
  }
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i] != static_cast<long>(i) + 1) fail("the first console's lines are not in order");
  }
  std::printf("last=%ld\nwritten=%ld\n", got.empty() ? 0L : got.back(), written.load());
  return 0;
}

int restartAfter(uint16_t port, const std::string& file, long last, long written) {
  const long total = written + 200;
  appendTo(file, numberedLines(written + 1, 200));
  Console console(port);
  std::vector<long> got;
  const auto giveUp = Clock::now() + std::chrono::seconds(30);
  while (got.empty() || got.back() < total) {
    if (Clock::now() > giveUp) fail("the lines stopped");
    bool ended = false;
    std::unique_ptr<tavin::Message> message = console.nextOrEnd(10000, &ended);
    if (ended) fail("the agent closed the connection");
    if (message && message->getMessageType() == "13") lineNumbers(*message, &got);
  }
  std::vector<bool> seen(static_cast<size_t>(total) + 1, false);
  long again = 0;
  for (long n : got) {
    if (n >= 1 && n <= total) seen[static_cast<size_t>(n)] = true;
    if (n <= last) ++again;
  }
  long lost = 0;
  for (long n = last + 1; n <= total; ++n) lost += seen[static_cast<size_t>(n)] ? 0 : 1;
  std::printf("again=%ld\nlost=%ld\n", again, lost);
  return 0;
}

int follow(uint16_t port, const std::string& file, long rate, long seconds) {
  Console console(port);
  admitted(console);
  const std::string tag = "follow " + std::to_string(::getpid()) + " ";
  const long total = rate * seconds;
  std::vector<Clock::time_point> written(static_cast<size_t>(total));
  std::vector<int64_t> lagMicros;
  lagMicros.reserve(written.size());
  std::ofstream out(file, std::ios::binary | std::ios::app);
  if (!out) fail("cannot write " + file);
  // Lines go out every 10 ms, as many as the rate asks for by then.
  const auto start = Clock::now();
  constexpr auto kTick = std::chrono::milliseconds(10);
  auto nextTick = start;
  long next = 0;
  long received = 0;
  // A line the agent read while it was being written comes in two entries
  // (the second with the next line number): they are joined again, so a
  // line whose number was cut in two still counts.
  std::string partial;
  auto take = [&](const tavin::Message& message) {
    if (message.getMessageType() != "13") return;
    const std::string sysLog = message.body()->getValue("sysLog");
    const auto now = Clock::now();
    size_t start = 0;
    for (size_t end; (end = sysLog.find('\x02', start)) != std::string::npos; start = end + 1) {
      // "<program> <number> <text>"
      const size_t text = sysLog.find(' ', sysLog.find(' ', start) + 1) + 1;
      partial.append(sysLog, text, end - text);
      if (partial.empty() || partial.back() != '\n') continue;
      const size_t at = partial.find(tag);
      const long n =
          at == std::string::npos ? -1 : std::strtol(partial.c_str() + at + tag.size(), nullptr, 10);
      partial.clear();
      if (n < 0 || n >= total) continue;
      lagMicros.push_back(std::chrono::duration_cast<std::chrono::microseconds>(
                              now - written[static_cast<size_t>(n)])
                              .count());
      ++received;
    }
  };
  // A heartbeat every 5 s, as a console sends them: a console silent for
  // 40 s is dropped.
  auto lastBeat = start;
  auto beat = [&] {
    if (Clock::now() - lastBeat < std::chrono::seconds(5)) return;
    console.send(request("-1", std::make_unique<tavin::BeatMessageBody>()));
    lastBeat = Clock::now();
  };
  while (next < total) {
    beat();
    if (Clock::now() >= nextTick) {
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      const long due = std::min(total, static_cast<long>(elapsed * static_cast<double>(rate)) + 1);
      std::string chunk;
      char line[160];
      for (; next < due; ++next) {
        const int n = std::snprintf(line, sizeof line, "09:30:01 %s%08ld order confirmed %060d\r\n",
                                    tag.c_str(), next, 0);
        chunk.append(line, static_cast<size_t>(n));
        written[static_cast<size_t>(next)] = Clock::now();
      }
      out << chunk << std::flush;
      nextTick += kTick;
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - Clock::now());
    if (std::unique_ptr<tavin::Message> message =
            console.next(static_cast<int>(std::max<int64_t>(1, wait.count())))) {
      take(*message);
    }
  }
  // The writing is over: whatever is still on its way has 30 s to arrive.
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (received < total && Clock::now() < deadline) {
    beat();
    if (std::unique_ptr<tavin::Message> message = console.next(1000)) take(*message);
  }
  std::sort(lagMicros.begin(), lagMicros.end());
  auto at = [&](double q) {
    return lagMicros.empty() ? 0 : lagMicros[static_cast<size_t>(q * (lagMicros.size() - 1))];
  };
  std::printf("rate=%ld\nseconds=%ld\nlines=%ld\nreceived=%ld\np99_lag_ms=%lld\nmax_lag_ms=%lld\n",
              rate, seconds, total, received, static_cast<long long>(at(0.99) / 1000),
              static_cast<long long>(lagMicros.empty() ? 0 : lagMicros.back() / 1000));
  return 0;
}

// utime + stime of a process, in clock ticks, and its resident size in KiB.
struct Usage {
  double cpuSeconds = 0;
  long rssKiB = 0;
};

// The CPU time of every thread of a process so far, in seconds: from the
// scheduler's nanosecond counts where the system keeps them, else from
// utime + stime, whose clock ticks (10 ms) are too coarse for an idle agent.
double cpuSecondsOf(long pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  std::ifstream tasks(base + "/task/" + std::to_string(pid) + "/schedstat");
  if (tasks) {
    double seconds = 0;
    for (const auto& task : std::filesystem::directory_iterator(base + "/task")) {
      std::ifstream schedstat(task.path() / "schedstat");
      long long nanos = 0;
      if (schedstat >> nanos) seconds += static_cast<double>(nanos) / 1e9;
    }
    return seconds;
  }
  std::ifstream stat(base + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  if (text.empty()) fail("no process " + std::to_string(pid));
  // The fields after the command name, which is in parentheses and may hold blanks.
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  long long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stoll(field);  // utime, stime
  }
  return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

Usage usageOf(long pid) {
  Usage usage;
  usage.cpuSeconds = cpuSecondsOf(pid);
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) usage.rssKiB = std::stol(line.substr(6));
  }
  return usage;
}

int idle(uint16_t port, long pid, long seconds) {
  Console console(port);
  admitted(console);
  const Usage before = usageOf(pid);
  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  auto nextBeat = start + std::chrono::seconds(10);
  long beats = 0;
  while (Clock::now() < end) {
    const auto wait = std::min(end, nextBeat) - Clock::now();
    if (console.next(static_cast<int>(
            std::max<int64_t>(1, std::chrono::duration_cast<std::chrono::milliseconds>(wait).count())))) {
      ++beats;
    }
    if (Clock::now() >= nextBeat) {
      console.send(request("-1", std::make_unique<tavin::BeatMessageBody>()));
      nextBeat += std::chrono::seconds(10);
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const Usage after = usageOf(pid);
  const double cpuSeconds = after.cpuSeconds - before.cpuSeconds;
  std::printf("seconds=%.1f\nmessages=%ld\ncpu_percent=%.4f\nrss_kib=%ld\n", elapsed, beats,
              100.0 * cpuSeconds / elapsed, after.rssKiB);
  return 0;
}

int scrape(uint16_t port, long count) {
  const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  std::vector<int64_t> micros;
  micros.reserve(static_cast<size_t>(count));
  size_t bytes = 0;
  for (long i = 1; i <= count; ++i) {
    const auto start = Clock::now();
    platform::TcpClient client;
    if (!client.connect("127.0.0.1", port, 5000).isOk()) fail("cannot connect to the endpoint");
    if (!client.sendAll(request, 5000).isOk()) fail("send failed");
    std::string answer;
    while (client.receive(&answer, 10000) == platform::TcpClient::Received::kData) {
    }
    micros.push_back(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
    if (answer.rfind("HTTP/1.1 200 ", 0) != 0) fail("scrape " + std::to_string(i) + " failed");
    bytes = answer.size();
  }
  printLatencies("scrapes", count, micros);
  std::printf("bytes=%zu\n", bytes);
  return 0;
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) fail("cannot write " + path);
}

int checkcs(uint16_t port, const std::string& dir, long gateways) {
  // The check connects to the port "1" + envNo + "05" (its low 16 bits),
  // kept below the ephemeral range.
  platform::TcpListener open, silent;
  std::string envNo;
  std::random_device random;
  for (int attempt = 0; attempt < 200 && envNo.empty(); ++attempt) {
    char text[16];
    std::snprintf(text, sizeof text, "%05u", static_cast<unsigned>(random() % 100000));
    const auto gatewayPort =
        static_cast<uint16_t>(std::stoull(std::string("1") + text + "05") % 65536);
    if (gatewayPort < 20000 || gatewayPort >= 32768) continue;
    if (open.listen("127.0.0.1", gatewayPort, 128).isOk() &&
        tavin::test::listenSilently(&silent, "127.0.0.3", gatewayPort)) {
      envNo = text;
    }
  }
  if (envNo.empty()) fail("no port for the gateways");
  const char* const addresses[] = {"127.0.0.1", "127.0.0.2", "127.0.0.3"};
  std::string config = "[System]\r\nOperatorCounts=" + std::to_string(gateways / 3) + "\r\n";
  for (long i = 0; i < gateways; ++i) {
    if (i % 3 == 0) config += "[oper" + std::to_string(i / 3 + 1) + "]\r\nGwipCounts=3\r\n";
    // Each operator's three in another order.
    const std::string m = std::to_string(i % 3 + 1);
    config += "Gwip" + m + "=" + addresses[(i + i / 3) % 3] + "\r\nLocalIP" + m + "=127.0.0.1\r\n";
  }
  writeFile(dir + "/tavin.ini", "[TAVIN]\r\nenvNo=" + envNo + "\r\n");
  writeFile(dir + "/cfgA/SystemConfiguration.ini", config);

  Console console(port);
  admitted(console);
  auto body = std::make_unique<tavin::TroubleShootingRequestMessageBody>();
  body->addField("serviceType", "");
  body->addField("ShootingType", std::string(tavin::kShootCheckCs));
  const auto start = Clock::now();
  console.send(request("1", std::move(body)));
  // One after another, each silent gateway takes 3 seconds.
  const std::string report =
      console.answer("20", "1", static_cast<int>(gateways) * 3000 + 10000)->body()->getResult();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  long opened = 0;
  for (size_t at = report.find("连接正常"); at != std::string::npos;
       at = report.find("连接正常", at + 1)) {
    ++opened;
  }
  std::printf("gateways=%ld\nopened=%ld\nseconds=%.3f\n", gateways, opened, seconds);
  return opened == gateways / 3 ? 0 : 1;
}

// The latencies of status requests sent one after another until `end`.
std::vector<int64_t> statusUntil(Console& console, Clock::time_point end, long* sequence) {
  std::vector<int64_t> micros;
  while (Clock::now() < end) {
    const std::string text = std::to_string(++*sequence);
    const auto start = Clock::now();
    console.send(request(text, std::make_unique<tavin::StatusRequestMessageBody>()));
    console.answer("03", text);
    micros.push_back(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
  }
  return micros;
}

int scrapeflood(uint16_t port, uint16_t metricsPort, long seconds, long threads) {
  Console console(port);
  admitted(console);
  long sequence = 0;
  std::vector<int64_t> quiet =
      statusUntil(console, Clock::now() + std::chrono::seconds(seconds), &sequence);
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  std::atomic<long> scrapes{0};
  std::vector<std::thread> flood;
  for (long t = 0; t < threads; ++t) {
    flood.emplace_back([&] {
      const std::string get = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
      while (Clock::now() < end) {
        platform::TcpClient client;
        if (client.connect("127.0.0.1", metricsPort, 5000).isOk() && client.sendAll(get).isOk()) {
          ++scrapes;
        }
      }
    });
  }
  // Console fails the run if the agent disconnects it.
  std::vector<int64_t> flooded = statusUntil(console, end, &sequence);
  for (std::thread& thread : flood) thread.join();
  printLatencies("requests", static_cast<long>(quiet.size()), quiet, "quiet_");
  printLatencies("requests", static_cast<long>(flooded.size()), flooded, "flood_");
  std::printf("scrapes=%ld\nconnected=1\n", scrapes.load());
  return 0;
}

// One scrape from 127.0.0.1 within limitMs in all: true when answered 200.
bool scrapeWithin(uint16_t port, int limitMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  auto left = [&] {
    return static_cast<int>(std::max<int64_t>(
        1, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
  };
  platform::TcpClient client;
  if (!client.connect("127.0.0.1", port, left()).isOk()) return false;
  if (!client.sendAll("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", left()).isOk()) {
    return false;
  }
  std::string answer;
  while (Clock::now() < deadline &&
         client.receive(&answer, left()) == platform::TcpClient::Received::kData) {
  }
  return Clock::now() < deadline && answer.rfind("HTTP/1.1 200 ", 0) == 0;
}

// Scrapes every periodMs until end, each within 5 s: how many, how many were
// answered, and their durations.
struct Scrapes {
  long made = 0;
  long answered = 0;
  std::vector<int64_t> micros;
};
Scrapes scrapeUntil(uint16_t port, Clock::time_point end, int periodMs) {
  Scrapes out;
  for (auto next = Clock::now(); next < end; next += std::chrono::milliseconds(periodMs)) {
    std::this_thread::sleep_until(next);
    const auto start = Clock::now();
    ++out.made;
    if (scrapeWithin(port, 5000)) ++out.answered;
    out.micros.push_back(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
  }
  return out;
}

void printScrapes(Scrapes& scrapes) {
  std::printf("answered=%ld\nanswered_percent=%.1f\n", scrapes.answered,
              scrapes.made == 0 ? 0.0 : 100.0 * scrapes.answered / scrapes.made);
  printLatencies("scrapes", scrapes.made, scrapes.micros);
}

int unlistedflood(uint16_t port, long seconds, const std::string& from) {
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  std::atomic<long> attempts{0}, connected{0};
  std::thread flood([&] {
    auto [local, agent] = floodAddresses(port, from);
    const linger reset{1, 0};  // closed with a reset: no TIME_WAIT to run out of ports
    while (Clock::now() < end) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd < 0) fail("socket");
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      ++attempts;
      // On loopback the handshake, when the agent's side takes it, is done
      // by the time connect returns.
      if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
          ::connect(fd, reinterpret_cast<sockaddr*>(&agent), sizeof agent) == 0) {
        ++connected;
      }
      ::close(fd);
    }
  });
  Scrapes scrapes = scrapeUntil(port, end, 1000);
  flood.join();
  std::printf("attempts=%ld\nconnected=%ld\n", attempts.load(), connected.load());
  printScrapes(scrapes);
  return 0;
}

int idleflood(uint16_t port, long rate, long seconds) {
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  std::atomic<long> opened{0};
  std::thread flood([&] {
    std::vector<std::pair<Clock::time_point, platform::TcpClient>> open;
    const auto period = std::chrono::nanoseconds(1000000000L / rate);
    for (auto next = Clock::now(); next < end; next += period) {
      std::this_thread::sleep_until(next);
      platform::TcpClient client;
      if (client.connect("127.0.0.1", port, 1000).isOk()) {
        ++opened;
        open.emplace_back(Clock::now(), std::move(client));
      }
      // Idle, until the agent closes them or 3 s pass.
      const auto old = Clock::now() - std::chrono::seconds(3);
      size_t gone = 0;
      while (gone < open.size() && open[gone].first < old) ++gone;
      open.erase(open.begin(), open.begin() + static_cast<std::ptrdiff_t>(gone));
    }
  });
  Scrapes scrapes = scrapeUntil(port, end, 500);
  flood.join();
  std::printf("rate=%ld\nopened=%ld\n", rate, opened.load());
  printScrapes(scrapes);
  return 0;
}

int manydenied(uint16_t port, long addresses, long rounds) {
  sockaddr_in agent{};
  agent.sin_family = AF_INET;
  agent.sin_port = htons(port);
  agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  long refused = 0;
  for (long round = 0; round < rounds; ++round) {
    for (long i = 0; i < addresses; ++i) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      const auto host = static_cast<uint32_t>(i / 250) << 8 | static_cast<uint32_t>(1 + i % 250);
      local.sin_addr.s_addr = htonl((127u << 24) | (1u << 16) | host);
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0) fail("socket");
      timeval wait{5, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
      char byte;
      if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
          ::connect(fd, reinterpret_cast<sockaddr*>(&agent), sizeof agent) == 0 &&
          ::recv(fd, &byte, 1, 0) <= 0) {
        ++refused;  // closed without a byte
      }
      ::close(fd);
    }
  }
  std::printf("addresses=%ld\nrounds=%ld\nrefused=%ld\n", addresses, rounds, refused);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fail("usage: tavin_load roundtrip|logpush|sink|reset|restart|follow|denied|idle|scrape|checkcs|"
         "scrapeflood|manydenied|unlistedflood|idleflood ...");
  }
  const std::string command = argv[1];
  const bool backlog = std::find(argv + 2, argv + argc, std::string("--backlog")) != argv + argc;
  if (command == "sink") {
    return sink(static_cast<uint16_t>(number(argc, argv, "--listen", "")),
                option(argc, argv, "--file", ""), number(argc, argv, "--lines", "100000"), backlog);
  }
  if (command == "unlistedflood") {
    return unlistedflood(static_cast<uint16_t>(number(argc, argv, "--metrics-port", "")),
                         number(argc, argv, "--seconds", "30"),
                         option(argc, argv, "--from", "127.0.0.2"));
  }
  if (command == "idleflood") {
    return idleflood(static_cast<uint16_t>(number(argc, argv, "--metrics-port", "")),
                     number(argc, argv, "--rate", ""), number(argc, argv, "--seconds", "20"));
  }
  const auto port = static_cast<uint16_t>(number(argc, argv, "--port", ""));
  if (command == "roundtrip") return roundtrip(port, number(argc, argv, "--count", "5000"));
  if (command == "logpush") {
    return logpush(port, option(argc, argv, "--file", ""), number(argc, argv, "--lines", "100000"),
                   backlog);
  }
  if (command == "reset") {
    return reset(port, option(argc, argv, "--file", ""), number(argc, argv, "--lines", "100000"),
                 std::max(2L, number(argc, argv, "--resets", "5")));
  }
  if (command == "restart") {
    const std::string file = option(argc, argv, "--file", "");
    if (std::find(argv + 2, argv + argc, std::string("--after")) != argv + argc) {
      return restartAfter(port, file, number(argc, argv, "--after", ""),
                          number(argc, argv, "--written", ""));
    }
    return restartBefore(port, file, number(argc, argv, "--pid", ""),
                         option(argc, argv, "--signal", "term"));
  }
  if (command == "follow") {
    return follow(port, option(argc, argv, "--file", ""), number(argc, argv, "--rate", ""),
                  number(argc, argv, "--seconds", "60"));
  }
  if (command == "denied") {
    return denied(port, number(argc, argv, "--seconds", "60"),
                  option(argc, argv, "--from", "127.0.0.2"));
  }
  if (command == "scrape") return scrape(port, number(argc, argv, "--count", "1000"));
  if (command == "checkcs") {
    const long gateways = number(argc, argv, "--gateways", "30");
    if (gateways % 3 != 0) fail("--gateways must be a multiple of 3");
    return checkcs(port, option(argc, argv, "--dir", ""), gateways);
  }
  if (command == "scrapeflood") {
    return scrapeflood(port, static_cast<uint16_t>(number(argc, argv, "--metrics-port", "")),
                       number(argc, argv, "--seconds", "20"), number(argc, argv, "--threads", "3"));
  }
  if (command == "manydenied") {
    return manydenied(port, number(argc, argv, "--addresses", "5000"),
                      number(argc, argv, "--rounds", "3"));
  }
  if (command == "idle") {
    return idle(port, number(argc, argv, "--pid", ""), number(argc, argv, "--seconds", "60"));
  }
  fail("unknown command " + command);
}
