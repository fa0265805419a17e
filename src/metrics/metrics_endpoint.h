// The metrics endpoint: an HTTP listener of its own on the agent's event
// loop that answers "GET /metrics" (and HEAD) with the Prometheus text the
// collector writes, beside the console's listener and without touching it.
//
// Each connection carries one request. It is admitted by the endpoint's own
// access list (an address not on it is closed without a byte, with at most one
// history line per address and minute) and only while fewer than
// maxConnections are open (beyond that it is closed at once). Its request
// head may be at most headLimit bytes, and the connection lives at most
// timeLimit from its accept, whatever the peer does: a client that sends
// slowly, never finishes or never reads cannot hold the agent. A complete
// request for /metrics is handed to the collecting thread (the processor, in
// turn with the console's requests); the text comes back to the loop, is
// sent with "Connection: close", and the connection is closed once the
// socket has taken it.
//
// Lives on the loop thread: created, used and destroyed there. Work posted
// back by the collecting thread after shutdown or destruction is dropped.
// Members are "Loop thread only." unless they say otherwise.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/history.h"
#include "metrics/http.h"
#include "platform/clock.h"
#include "platform/event_loop.h"

namespace tavin {

// At most one history line per refused address and interval: the first
// refusal is written at once, later ones within the interval are counted and
// reported with the next line after it. Loop thread only.
class RefusalLog {
 public:
  // Addresses remembered at once at most; older entries are forgotten first.
  static constexpr size_t kMaxAddresses = 1024;

  explicit RefusalLog(double intervalMillis) : intervalMillis_(intervalMillis) {}

  // The history line for a refusal of address at nowMillis, or nothing when
  // one was written for it within the interval.
  std::optional<std::string> refused(const std::string& address, double nowMillis);

 private:
  struct Entry {
    double lastLine = 0;
    uint64_t unreported = 0;
  };

  const double intervalMillis_;
  std::map<std::string, Entry> entries_;
};

struct MetricsEndpointOptions {
  uint16_t port = 10013;  // 0: the system picks one
  std::vector<std::string> accessList{"127.0.0.1"};
  size_t maxConnections = 4;
  size_t headLimit = HttpRequestReader::kDefaultHeadLimit;
  int64_t timeLimitMillis = 5000;
  double refusalLogIntervalMillis = 60000;
};

struct MetricsEndpointContext {
  platform::EventLoop& loop;
  History& history;
  const platform::Clock& clock;
  // Runs a job on the collecting thread; false when it cannot take one now.
  // Any thread may be the collecting thread.
  std::function<bool(std::function<void()>)> dispatch;
  // Writes the exposition text; called on the collecting thread.
  std::function<std::string()> collect;
  // False while the agent's service is stopped: scrapes are answered 503.
  // Loop thread; null: always serving.
  std::function<bool()> serving;
};

class MetricsEndpoint : private platform::ConnectionHandler {
 public:
  static constexpr std::string_view kPath = "/metrics";
  static constexpr std::string_view kContentType = "text/plain; version=0.0.4; charset=utf-8";

  // Everything in context must outlive the endpoint.
  MetricsEndpoint(const MetricsEndpointContext& context, const MetricsEndpointOptions& options);
  // Closes the listener and every connection.
  ~MetricsEndpoint() override;
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  // Opens the listener and writes "Metrics listening at <port>"; on failure
  // writes "Metrics cannot listen on port <n>: <reason>" and returns the
  // error (the agent goes on without metrics).
  platform::SysStatus start();
  // Closes the listener and every connection; nothing of the endpoint runs
  // afterwards.
  void shutdown();

  // The port listened on; 0 when not listening.
  uint16_t port() const { return port_; }
  // Connections refused since start. Any thread.
  uint64_t refusedCount() const { return refusedCount_; }

 private:
  struct Connection {
    std::string address;
    HttpRequestReader reader;
    platform::TimerId timer = 0;
    bool answered = false;  // a response is on its way or sent: no more reading
    bool headOnly = false;
  };

  void onConnect(platform::ConnectionId id, const std::string& address) override;
  void onRead(platform::ConnectionId id, std::string bytes) override;
  void onDisconnect(platform::ConnectionId id, const std::string& address) override;
  void onError(platform::ConnectionId id, const std::string& address, int code) override;
  void onFlushed(platform::ConnectionId id, size_t unsent) override;

  void refuse(platform::ConnectionId id, const std::string& address, bool logIt);
  void answer(platform::ConnectionId id, const HttpRequest& request);
  void scrape(platform::ConnectionId id);
  // Sends the response and closes the connection once it is written.
  void respond(platform::ConnectionId id, const std::string& response);
  bool isAllowed(const std::string& address) const;
  void closeAll();

  platform::EventLoop& loop_;
  History& history_;
  const platform::Clock& clock_;
  const std::function<bool(std::function<void()>)> dispatch_;
  const std::function<std::string()> collect_;
  const std::function<bool()> serving_;
  const MetricsEndpointOptions options_;

  std::map<platform::ConnectionId, Connection> connections_;
  platform::ListenerId listener_ = 0;
  uint16_t port_ = 0;
  RefusalLog refusals_;
  std::atomic<uint64_t> refusedCount_{0};

  // Work posted back to the loop checks this first: after shutdown (or
  // destruction) it has expired and the work is dropped.
  std::shared_ptr<char> anchor_ = std::make_shared<char>();
};

}  // namespace tavin
