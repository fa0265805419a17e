// A console that measures the agent, for scripts/bench. Loopback only; every
// loop is bounded by a count or a deadline. Prints its figures as key=value
// lines.
//
//   tavin_load roundtrip --port P [--count N]
//       N status requests one after another (default 5000): the time from
//       sending each to receiving its response; p50, p99 and max.
//   tavin_load logpush --port P --file PATH [--lines N]
//       appends a backlog of N lines (default 100000) to a monitored
//       program's system log and waits for the last of them: the time from
//       the start of the writing to that line's arrival.
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
//   tavin_load scrapeflood --port P --metrics-port M [--seconds S] [--threads T]
//       an admitted console's status requests one after another for S
//       seconds (default 20) without scrapes, then S seconds more while T
//       threads (default 3) send "GET /metrics" to port M and close at once,
//       as fast as they can: the requests' p50, p99 and max in both halves,
//       the scrapes sent, and whether the console stayed connected.
//   tavin_load manydenied --port P [--addresses N] [--rounds R]
//       R rounds (default 3) of one connection attempt from each of N
//       addresses (default 5000: 127.1.0.1, 127.1.0.2, ...), none of them on
//       the access list, each waiting for the agent's close: the attempts
//       refused.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "codec/message.h"
#include "handlers/beat_message.h"
#include "handlers/bodies.h"
#include "handlers/status_messages.h"
#include "platform/tcp_client.h"
#include "server/frame_reader.h"

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
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (std::unique_ptr<tavin::Message> message = take()) return message;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return nullptr;
      std::string bytes;
      switch (client_.receive(&bytes, static_cast<int>(left))) {
        case platform::TcpClient::Received::kData:
          buffer_ += bytes;
          break;
        case platform::TcpClient::Received::kTimeout:
          return nullptr;
        default:
          fail("the agent closed the connection");
      }
    }
  }
  // The response of the given type and sequence, skipping pushes.
  std::unique_ptr<tavin::Message> answer(const std::string& type, const std::string& sequence) {
    for (;;) {
      std::unique_ptr<tavin::Message> message = next(10000);
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

int denied(uint16_t port, long seconds, const std::string& from) {
  Console console(port);
  admitted(console);
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  std::atomic<long> attempts{0};
  std::thread flood([&] {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (::inet_pton(AF_INET, from.c_str(), &local.sin_addr) != 1) fail("bad --from " + from);
    sockaddr_in agent{};
    agent.sin_family = AF_INET;
    agent.sin_port = htons(port);
    agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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

int logpush(uint16_t port, const std::string& file, long lines) {
  Console console(port);
  admitted(console);
  const std::string marker = "end of backlog " + std::to_string(::getpid());
  const auto start = Clock::now();
  {
    std::ofstream out(file, std::ios::binary | std::ios::app);
    char line[128];
    for (long i = 1; i < lines; ++i) {
      const int n = std::snprintf(line, sizeof line, "09:30:01 order %08ld confirmed\r\n", i);
      out.write(line, n);
    }
    out << marker << "\r\n";
    if (!out) fail("cannot write " + file);
  }
  long received = 0;
  for (;;) {
    std::unique_ptr<tavin::Message> message = console.next(60000);
    if (!message) fail("the backlog's last line did not arrive");
    if (message->getMessageType() != "13") continue;
    const std::string sysLog = message->body()->getValue("sysLog");
    received += static_cast<long>(std::count(sysLog.begin(), sysLog.end(), '\x02'));
    if (sysLog.find(marker) != std::string::npos) break;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("lines=%ld\nreceived=%ld\nseconds=%.3f\n", lines, received, seconds);
  return received >= lines ? 0 : 1;
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
  auto take = [&](const tavin::Message& message) {
    if (message.getMessageType() != "13") return;
    const std::string sysLog = message.body()->getValue("sysLog");
    const auto now = Clock::now();
    for (size_t at = sysLog.find(tag); at != std::string::npos; at = sysLog.find(tag, at + 1)) {
      const long n = std::strtol(sysLog.c_str() + at + tag.size(), nullptr, 10);
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
  long long ticks = 0;
  long rssKiB = 0;
};

Usage usageOf(long pid) {
  Usage usage;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // The fields after the command name, which is in parentheses and may hold blanks.
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) usage.ticks += std::stoll(field);  // utime, stime
  }
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) usage.rssKiB = std::stol(line.substr(6));
  }
  if (text.empty()) fail("no process " + std::to_string(pid));
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
  const double cpuSeconds =
      static_cast<double>(after.ticks - before.ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
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
    fail("usage: tavin_load roundtrip|logpush|follow|denied|idle|scrape|scrapeflood|manydenied "
         "--port P ...");
  }
  const std::string command = argv[1];
  const auto port = static_cast<uint16_t>(number(argc, argv, "--port", ""));
  if (command == "roundtrip") return roundtrip(port, number(argc, argv, "--count", "5000"));
  if (command == "logpush") {
    return logpush(port, option(argc, argv, "--file", ""), number(argc, argv, "--lines", "100000"));
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
