#include "metrics/metrics_endpoint.h"

#include <algorithm>
#include <utility>

#include "platform/clock.h"

namespace tavin {
namespace {

constexpr char kRefusalPrefix[] = "Metrics client ";

int64_t steadyMillis() { return platform::Clock::system().steadyMillis(); }

// Runs onDrop once the last copy of the job that holds it is destroyed
// without having run (a cleared queue, a stopped processor), so the scrapers
// waiting for the collection are answered all the same.
class Ticket {
 public:
  explicit Ticket(std::function<void()> onDrop) : onDrop_(std::move(onDrop)) {}
  ~Ticket() {
    if (!ran_) onDrop_();
  }
  Ticket(const Ticket&) = delete;
  Ticket& operator=(const Ticket&) = delete;
  // The job runs (or its dispatch failed): no drop to report.
  void disarm() { ran_ = true; }

 private:
  std::function<void()> onDrop_;
  bool ran_ = false;
};

}  // namespace

MetricsEndpoint::MetricsEndpoint(const MetricsEndpointContext& context,
                                 const MetricsEndpointOptions& options)
    : loop_(context.loop),
      history_(context.history),
      dispatch_(context.dispatch),
      collect_(context.collect),
      serving_(context.serving),
      options_(options),
      refusals_(context.loop, context.history, kRefusalPrefix, options.refusalPeriodMillis,
                options.refusalAddressLimit) {}

MetricsEndpoint::~MetricsEndpoint() { shutdown(); }

bool MetricsEndpoint::onlyLoopback() const {
  return std::all_of(options_.accessList.begin(), options_.accessList.end(),
                     [](const std::string& address) { return address.rfind("127.", 0) == 0; });
}

platform::SysStatus MetricsEndpoint::start() {
  if (!anchor_) return platform::SysStatus::error("metrics endpoint shut down", -1);
  // Scrapers from this host alone: the port is not even reachable from
  // another one.
  platform::SysStatus status =
      onlyLoopback() ? loop_.listenOn("127.0.0.1", options_.port, this, &listener_)
                     : loop_.listen(options_.port, this, &listener_);
  if (!status) {
    listener_ = 0;
    history_.LogEvent("Metrics cannot listen on port " + std::to_string(options_.port) + ": " +
                      status.toString());
    return status;
  }
  port_ = loop_.listeningPort(listener_);
  history_.LogEvent("Metrics listening at " + std::to_string(port_));
  // Unlisted peers dropped by the system cost no accept and take no place
  // in the queue; without the filter the endpoint's own check still holds.
  if (options_.filterBeforeAccept && loop_.canFilterPeers()) {
    if (platform::SysStatus filtered = loop_.filterPeers(listener_, options_.accessList);
        !filtered) {
      history_.WriteHistory("Metrics cannot have the system drop unlisted addresses: " +
                                filtered.toString(),
                            false);
    }
  }
  return status;
}

void MetricsEndpoint::shutdown() {
  anchor_.reset();
  if (listener_ != 0) loop_.closeListener(listener_);
  listener_ = 0;
  port_ = 0;
  refusals_.clear();
  if (crowdedTimer_ != 0) loop_.cancelTimer(crowdedTimer_);
  crowdedTimer_ = 0;
  closeAll();
}

void MetricsEndpoint::closeAll() {
  std::vector<platform::ConnectionId> ids;
  for (const auto& [id, connection] : connections_) ids.push_back(id);
  for (platform::ConnectionId id : ids) loop_.close(id);  // each raises onDisconnect
}

bool MetricsEndpoint::isAllowed(const std::string& address) const {
  for (const std::string& allowed : options_.accessList) {
    if (allowed == address) return true;
  }
  return false;
}

void MetricsEndpoint::refuse(platform::ConnectionId id, const std::string& address, bool logIt) {
  ++refusedCount_;
  if (logIt) refusals_.refused(address);
  loop_.close(id);
}

void MetricsEndpoint::onConnect(platform::ConnectionId id, const std::string& address) {
  if (!anchor_) {
    loop_.close(id);
    return;
  }
  // Before the budget: an unlisted host's flood must not make the listener
  // rest while listed scrapers wait behind it in the system's queue.
  if (!isAllowed(address)) {
    refuse(id, address, true);
    return;
  }
  // Each connection costs the loop an accept and a close in the system,
  // however little else is done with it: past acceptsPerWindow in one
  // window, the listener rests until the window ends, and a flood of
  // connections waits in the system's queue instead of the console.
  const int64_t now = steadyMillis();
  if (now - windowStartMillis_ >= options_.acceptWindowMillis) {
    windowStartMillis_ = now;
    acceptedInWindow_ = 0;
  }
  if (++acceptedInWindow_ >= options_.acceptsPerWindow) {
    loop_.pauseListener(listener_,
                        std::max<int64_t>(1, windowStartMillis_ + options_.acceptWindowMillis - now));
  }
  // A full house is a burst of scrapes, not an intruder: no history line.
  // Connections past their head (waiting, or being answered) are bounded
  // too.
  if (connections_.size() >= options_.maxConnections + kMaxWaiting ||
      (reading_ >= options_.maxConnections && !evictOldestReader())) {
    noteCrowded(false);
    refuse(id, address, false);
    return;
  }
  Connection& connection =
      connections_.emplace(id, Connection{address, HttpRequestReader(options_.headLimit),
                                          steadyMillis()})
          .first->second;
  ++reading_;
  const int64_t headLimit = std::min(options_.headTimeLimitMillis, options_.timeLimitMillis);
  connection.timer = loop_.startTimer(headLimit, false, [this, id] { headTimeUp(id); });
}

void MetricsEndpoint::noteCrowded(bool evicted) {
  ++(evicted ? evicted_ : crowdedOut_);
  if (crowdedTimer_ != 0) return;
  crowdedTimer_ = loop_.startTimer(options_.refusalPeriodMillis, false, [this] {
    crowdedTimer_ = 0;
    history_.LogEvent("Metrics slots full in the last minute: " + std::to_string(evicted_) +
                      " evicted, " + std::to_string(crowdedOut_) + " refused");
    evicted_ = 0;
    crowdedOut_ = 0;
  });
}

bool MetricsEndpoint::evictOldestReader() {
  // Ids grow with every accept: the first reading connection is the oldest.
  for (auto& [id, connection] : connections_) {
    if (connection.stage != Stage::kReading) continue;
    if (steadyMillis() - connection.acceptedMillis < options_.evictAfterMillis) return false;
    noteCrowded(true);
    loop_.close(id);  // onDisconnect frees its slot
    return true;
  }
  return false;
}

void MetricsEndpoint::headTimeUp(platform::ConnectionId id) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  it->second.timer = 0;
  if (it->second.stage == Stage::kReading) {
    loop_.close(id);
    return;
  }
  // The head came in time; the whole connection has the rest of its limit.
  const int64_t rest = options_.timeLimitMillis - options_.headTimeLimitMillis;
  it->second.timer = loop_.startTimer(rest > 0 ? rest : 0, false, [this, id] {
    auto again = connections_.find(id);
    if (again == connections_.end()) return;
    again->second.timer = 0;
    loop_.close(id);
  });
}

void MetricsEndpoint::headDone(Connection& connection, Stage next) {
  if (connection.stage == Stage::kReading) --reading_;
  connection.stage = next;
}

void MetricsEndpoint::onRead(platform::ConnectionId id, std::string bytes) {
  auto it = connections_.find(id);
  // After the request, whatever else the peer sends is read and dropped.
  if (it == connections_.end() || it->second.stage != Stage::kReading) return;
  Connection& connection = it->second;
  switch (connection.reader.feed(bytes)) {
    case HttpRequestReader::State::kReading:
      return;
    case HttpRequestReader::State::kFailed:
      headDone(connection, Stage::kAnswered);
      respond(id, httpErrorResponse(connection.reader.failureStatus(), true));
      return;
    case HttpRequestReader::State::kComplete:
      headDone(connection, Stage::kAnswered);
      answer(id, connection.reader.request());
      return;
  }
}

bool MetricsEndpoint::onPeerEnd(platform::ConnectionId id) {
  // A half-close after the request: the answer still goes out. Before the
  // request is complete, no request will come.
  auto it = connections_.find(id);
  return it != connections_.end() && it->second.stage != Stage::kReading;
}

void MetricsEndpoint::answer(platform::ConnectionId id, const HttpRequest& request) {
  const bool withBody = request.method != "HEAD";
  if (int status = checkRequest(request, kPath); status != 0) {
    respond(id, httpErrorResponse(status, withBody));
    return;
  }
  if ((serving_ && !serving_()) || waiting_.size() >= kMaxWaiting) {
    respond(id, httpErrorResponse(503, withBody));
    return;
  }
  // A text collected a moment ago answers at once: a flood of scrapes costs
  // a few collections a second, not one after another.
  if (lastTextMillis_ != 0 && steadyMillis() - lastTextMillis_ < options_.textReuseMillis) {
    respond(id, httpResponse(200, kContentType, lastText_, withBody));
    return;
  }
  Connection& connection = connections_.at(id);
  connection.headOnly = !withBody;
  connection.stage = Stage::kWaiting;
  waiting_.push_back(id);
  *waitingCount_ = waiting_.size();
  if (!collecting_) startCollection();
}

void MetricsEndpoint::startCollection() {
  collecting_ = true;
  // The job may outlive the endpoint in the collector's queue; it posts its
  // outcome back only while the endpoint is alive (the anchor).
  std::weak_ptr<char> anchor = anchor_;
  platform::EventLoop* loop = &loop_;
  auto post = [this, anchor, loop](Collected collected) {
    if (anchor.expired()) return;
    loop->post([this, anchor, collected = std::move(collected)] {
      if (!anchor.expired()) collectionEnded(collected);
    });
  };
  auto ticket =
      std::make_shared<Ticket>([post] { post(Collected{Collected::Outcome::kDropped, {}}); });
  auto job = [ticket, post, collect = collect_, waiting = waitingCount_] {
    ticket->disarm();
    // Every scraper has gone: nothing to collect for.
    if (*waiting == 0) {
      post(Collected{Collected::Outcome::kSkipped, {}});
      return;
    }
    try {
      post(Collected{Collected::Outcome::kText, collect()});
    } catch (const std::exception& e) {
      post(Collected{Collected::Outcome::kFailed, e.what()});
    }
  };
  if (!dispatch_ || !dispatch_(std::move(job))) {
    ticket->disarm();
    collectionEnded(Collected{Collected::Outcome::kFailed, {}});
  }
}

void MetricsEndpoint::collectionEnded(const Collected& collected) {
  collecting_ = false;
  if (collected.outcome == Collected::Outcome::kSkipped) {
    // Scrapes that came after the check get a collection of their own.
    if (!waiting_.empty()) startCollection();
    return;
  }
  if (collected.outcome == Collected::Outcome::kFailed && !collected.text.empty()) {
    history_.WriteHistory("Metrics scrape failed: " + collected.text, false);
  }
  if (collected.outcome == Collected::Outcome::kText) {
    lastText_ = collected.text;
    lastTextMillis_ = steadyMillis();
  }
  std::vector<platform::ConnectionId> ids;
  ids.swap(waiting_);
  *waitingCount_ = 0;
  for (platform::ConnectionId id : ids) {
    auto it = connections_.find(id);
    if (it == connections_.end()) continue;
    it->second.stage = Stage::kAnswered;
    const bool withBody = !it->second.headOnly;
    respond(id, collected.outcome == Collected::Outcome::kText
                    ? httpResponse(200, kContentType, collected.text, withBody)
                    : httpErrorResponse(503, withBody));
  }
}

void MetricsEndpoint::respond(platform::ConnectionId id, const std::string& response) {
  // An empty outbound buffer takes any message whole; anything but kSent
  // means the connection is going anyway.
  if (loop_.send(id, response) != platform::SendResult::kSent) {
    loop_.close(id);
    return;
  }
  if (loop_.pendingBytes(id) == 0) loop_.close(id);
  // Otherwise onFlushed closes it once the socket has taken the rest, or the
  // time limit does.
}

void MetricsEndpoint::onFlushed(platform::ConnectionId id, size_t unsent) {
  auto it = connections_.find(id);
  if (it != connections_.end() && it->second.stage == Stage::kAnswered && unsent == 0) {
    loop_.close(id);
  }
}

void MetricsEndpoint::onDisconnect(platform::ConnectionId id, const std::string&) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  if (it->second.timer != 0) loop_.cancelTimer(it->second.timer);
  if (it->second.stage == Stage::kReading) --reading_;
  if (it->second.stage == Stage::kWaiting) {
    waiting_.erase(std::find(waiting_.begin(), waiting_.end(), id));
    *waitingCount_ = waiting_.size();
  }
  connections_.erase(it);
}

void MetricsEndpoint::onError(platform::ConnectionId, const std::string&, int) {
  // The loop closes the connection after this; onDisconnect forgets it.
}

}  // namespace tavin
