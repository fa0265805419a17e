// The metrics endpoint: an HTTP listener of its own on the agent's event
// loop that answers "GET /metrics" (and HEAD) with the Prometheus text the
// collector writes, beside the console's listener and without touching it.
// Nothing a scraper does can take the console's place or keep Prometheus
// out:
//
// - Admission first: by the endpoint's own access list, before anything
//   else. An address not on it is closed without a byte and counted
//   (RefusalLog keeps the history lines bounded); it uses neither the accept
//   budget nor a slot, so an unlisted host's flood cannot keep listed
//   scrapers waiting. Where the system can (Linux), it drops unlisted
//   addresses itself, before they take a place in the accept queue. When the
//   list holds only loopback addresses, the listener binds 127.0.0.1, out of
//   reach of every other host.
// - Accepts: at most acceptsPerWindow listed connections are accepted per
//   acceptWindow; past them the listener rests until the window ends, so a
//   flood of connections costs the loop a bounded number of accepts.
// - Slots: at most maxConnections connections are reading their request
//   head at once, and each only until its head is complete or
//   headTimeLimit passes. When all are taken, a newcomer takes the place of
//   the one that has waited longest for its head, once that one has waited
//   evictAfter; otherwise it is closed at once. Filling every slot therefore
//   takes more than maxConnections / evictAfter connections a second (256
//   with the defaults), more than the accept budget lets in (200), so idle
//   connections cannot hold the endpoint. Evictions and refusals for want
//   of a slot are summed up in one history line per period.
// - One collection: at most one collection is queued or running at a time,
//   on the collecting thread (the processor, where it waits until no console
//   request does); every scrape that arrives meanwhile waits for it and gets
//   its text, and so does every scrape within textReuse after it. A
//   collection whose scrapers have all gone before its turn is not made. At
//   most kMaxWaiting scrapes wait; more are answered 503. No more than
//   maxConnections + kMaxWaiting connections are open at once.
// - Each connection carries one request, with a head of at most headLimit
//   bytes, and lives at most timeLimit from its accept, whatever the peer
//   does. A peer that half-closes after its request still gets the answer.
//   The answer says "Connection: close", and the connection is closed once
//   the socket has taken it.
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
#include <string>
#include <vector>

#include "config/history.h"
#include "config/refusal_log.h"
#include "metrics/http.h"
#include "platform/event_loop.h"

namespace tavin {

struct MetricsEndpointOptions {
  uint16_t port = 10013;  // 0: the system picks one
  std::vector<std::string> accessList{"127.0.0.1"};
  size_t maxConnections = 64;  // reading their request head at once
  size_t headLimit = HttpRequestReader::kDefaultHeadLimit;
  int64_t headTimeLimitMillis = 2000;
  int64_t evictAfterMillis = 250;
  int64_t timeLimitMillis = 5000;
  int64_t textReuseMillis = 250;
  size_t acceptsPerWindow = 20;
  int64_t acceptWindowMillis = 100;
  int64_t refusalPeriodMillis = RefusalLog::kDefaultPeriodMillis;
  size_t refusalAddressLimit = RefusalLog::kDefaultAddressLimit;
  // Has the system drop unlisted addresses before accept, where it can.
  bool filterBeforeAccept = true;
};

struct MetricsEndpointContext {
  platform::EventLoop& loop;
  History& history;
  // Runs a job on the collecting thread; false when it cannot take one now.
  // Any thread may be the collecting thread. A job destroyed unrun (a queue
  // cleared) answers its scrapers 503.
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
  static constexpr size_t kMaxWaiting = 64;

  // Everything in context must outlive the endpoint.
  MetricsEndpoint(const MetricsEndpointContext& context, const MetricsEndpointOptions& options);
  // Closes the listener and every connection.
  ~MetricsEndpoint() override;
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  // Opens the listener (on 127.0.0.1 alone when the access list holds only
  // loopback addresses) and writes "Metrics listening at <port>"; on failure
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
  // Open connections, and of those the scrapes waiting for the collection.
  size_t connectionCount() const { return connections_.size(); }
  size_t waitingScrapes() const { return waiting_.size(); }

 private:
  enum class Stage {
    kReading,   // its head: holds a slot
    kWaiting,   // for the collection
    kAnswered,  // a response is on its way or sent: no more reading
  };
  struct Connection {
    std::string address;
    HttpRequestReader reader;
    int64_t acceptedMillis = 0;  // on a steady clock
    platform::TimerId timer = 0;
    Stage stage = Stage::kReading;
    bool headOnly = false;
  };
  // What became of a collection job.
  struct Collected {
    enum class Outcome { kText, kFailed, kSkipped, kDropped } outcome;
    std::string text;  // the exposition, or the failure's description
  };

  void onConnect(platform::ConnectionId id, const std::string& address) override;
  void onRead(platform::ConnectionId id, std::string bytes) override;
  void onDisconnect(platform::ConnectionId id, const std::string& address) override;
  void onError(platform::ConnectionId id, const std::string& address, int code) override;
  void onFlushed(platform::ConnectionId id, size_t unsent) override;
  bool onPeerEnd(platform::ConnectionId id) override;

  void refuse(platform::ConnectionId id, const std::string& address, bool logIt);
  // Counts an eviction or a refusal for want of a slot; the period's end
  // writes them up in one line.
  void noteCrowded(bool evicted);
  // Closes the reading connection that has waited longest for its head, if
  // it has waited evictAfter; true when a slot was freed.
  bool evictOldestReader();
  void headTimeUp(platform::ConnectionId id);
  // The connection's head is complete or has failed: it leaves its slot.
  void headDone(Connection& connection, Stage next);
  void answer(platform::ConnectionId id, const HttpRequest& request);
  void startCollection();
  void collectionEnded(const Collected& collected);
  // Sends the response and closes the connection once it is written.
  void respond(platform::ConnectionId id, const std::string& response);
  bool isAllowed(const std::string& address) const;
  bool onlyLoopback() const;
  void closeAll();

  platform::EventLoop& loop_;
  History& history_;
  const std::function<bool(std::function<void()>)> dispatch_;
  const std::function<std::string()> collect_;
  const std::function<bool()> serving_;
  const MetricsEndpointOptions options_;

  std::map<platform::ConnectionId, Connection> connections_;
  size_t reading_ = 0;  // connections in Stage::kReading
  std::vector<platform::ConnectionId> waiting_;
  bool collecting_ = false;  // a collection is queued or running
  // The last text collected, and when (on a steady clock; 0: none yet).
  std::string lastText_;
  int64_t lastTextMillis_ = 0;
  // The number of waiting scrapes, read by the collecting thread. Any thread.
  std::shared_ptr<std::atomic<size_t>> waitingCount_ = std::make_shared<std::atomic<size_t>>(0);
  platform::ListenerId listener_ = 0;
  uint16_t port_ = 0;
  int64_t windowStartMillis_ = 0;  // on a steady clock
  size_t acceptedInWindow_ = 0;
  RefusalLog refusals_;
  std::atomic<uint64_t> refusedCount_{0};
  // Connections evicted and refused for want of a slot this period; the
  // period's timer (0: none running).
  uint64_t evicted_ = 0;
  uint64_t crowdedOut_ = 0;
  platform::TimerId crowdedTimer_ = 0;

  // Work posted back to the loop checks this first: after shutdown (or
  // destruction) it has expired and the work is dropped.
  std::shared_ptr<char> anchor_ = std::make_shared<char>();
};

}  // namespace tavin
