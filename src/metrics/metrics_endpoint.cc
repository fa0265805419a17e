#include "metrics/metrics_endpoint.h"

#include <utility>

namespace tavin {

std::optional<std::string> RefusalLog::refused(const std::string& address, double nowMillis) {
  auto it = entries_.find(address);
  if (it != entries_.end() && nowMillis - it->second.lastLine < intervalMillis_ &&
      nowMillis >= it->second.lastLine) {
    ++it->second.unreported;
    return std::nullopt;
  }
  if (it == entries_.end() && entries_.size() >= kMaxAddresses) {
    // Addresses whose interval has passed need no entry any more.
    for (auto old = entries_.begin(); old != entries_.end();) {
      old = nowMillis - old->second.lastLine >= intervalMillis_ ? entries_.erase(old) : ++old;
    }
    // Still full: this address gets its line, but is not remembered.
    if (entries_.size() >= kMaxAddresses) return "Metrics client " + address + " denied";
  }
  Entry& entry = entries_[address];
  std::string line = "Metrics client " + address + " denied";
  if (entry.unreported > 0) {
    line += " (and " + std::to_string(entry.unreported) + " times more since the previous line)";
  }
  entry.lastLine = nowMillis;
  entry.unreported = 0;
  return line;
}

MetricsEndpoint::MetricsEndpoint(const MetricsEndpointContext& context,
                                 const MetricsEndpointOptions& options)
    : loop_(context.loop),
      history_(context.history),
      clock_(context.clock),
      dispatch_(context.dispatch),
      collect_(context.collect),
      serving_(context.serving),
      options_(options),
      refusals_(options.refusalLogIntervalMillis) {}

MetricsEndpoint::~MetricsEndpoint() { shutdown(); }

platform::SysStatus MetricsEndpoint::start() {
  if (!anchor_) return platform::SysStatus::error("metrics endpoint shut down", -1);
  platform::SysStatus status = loop_.listen(options_.port, this, &listener_);
  if (!status) {
    listener_ = 0;
    history_.LogEvent("Metrics cannot listen on port " + std::to_string(options_.port) + ": " +
                      status.toString());
    return status;
  }
  port_ = loop_.listeningPort(listener_);
  history_.LogEvent("Metrics listening at " + std::to_string(port_));
  return status;
}

void MetricsEndpoint::shutdown() {
  anchor_.reset();
  if (listener_ != 0) loop_.closeListener(listener_);
  listener_ = 0;
  port_ = 0;
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
  if (logIt) {
    if (std::optional<std::string> line = refusals_.refused(address, clock_.nowMillis())) {
      history_.LogEvent(*line);
    }
  }
  loop_.close(id);
}

void MetricsEndpoint::onConnect(platform::ConnectionId id, const std::string& address) {
  if (!anchor_) {
    loop_.close(id);
    return;
  }
  if (!isAllowed(address)) {
    refuse(id, address, true);
    return;
  }
  // A full house is a burst of scrapes, not an intruder: no history line.
  if (connections_.size() >= options_.maxConnections) {
    refuse(id, address, false);
    return;
  }
  Connection& connection =
      connections_.emplace(id, Connection{address, HttpRequestReader(options_.headLimit), 0, false,
                                          false})
          .first->second;
  connection.timer = loop_.startTimer(options_.timeLimitMillis, false, [this, id] {
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    it->second.timer = 0;
    loop_.close(id);
  });
}

void MetricsEndpoint::onRead(platform::ConnectionId id, std::string bytes) {
  auto it = connections_.find(id);
  // After the request, whatever else the peer sends is read and dropped.
  if (it == connections_.end() || it->second.answered) return;
  Connection& connection = it->second;
  switch (connection.reader.feed(bytes)) {
    case HttpRequestReader::State::kReading:
      return;
    case HttpRequestReader::State::kFailed:
      connection.answered = true;
      respond(id, httpErrorResponse(connection.reader.failureStatus(), true));
      return;
    case HttpRequestReader::State::kComplete:
      connection.answered = true;
      answer(id, connection.reader.request());
      return;
  }
}

void MetricsEndpoint::answer(platform::ConnectionId id, const HttpRequest& request) {
  const bool withBody = request.method != "HEAD";
  if (int status = checkRequest(request, kPath); status != 0) {
    respond(id, httpErrorResponse(status, withBody));
    return;
  }
  connections_.at(id).headOnly = !withBody;
  if (serving_ && !serving_()) {
    respond(id, httpErrorResponse(503, withBody));
    return;
  }
  scrape(id);
}

void MetricsEndpoint::scrape(platform::ConnectionId id) {
  // The job may outlive the endpoint in the collector's queue; it posts its
  // answer back only while the endpoint is alive (the anchor), and the
  // connection is found by its id, which is never reused.
  std::weak_ptr<char> anchor = anchor_;
  platform::EventLoop* loop = &loop_;
  std::function<std::string()> collect = collect_;
  auto job = [this, anchor, loop, collect, id] {
    if (anchor.expired()) return;
    std::string text;
    bool collected = true;
    try {
      text = collect();
    } catch (const std::exception& e) {
      collected = false;
      text = e.what();
    }
    if (anchor.expired()) return;
    loop->post([this, anchor, id, collected, text = std::move(text)] {
      if (anchor.expired()) return;
      auto it = connections_.find(id);
      if (it == connections_.end()) return;
      if (!collected) {
        history_.WriteHistory("Metrics scrape failed: " + text, false);
        respond(id, httpErrorResponse(503, !it->second.headOnly));
        return;
      }
      respond(id, httpResponse(200, kContentType, text, !it->second.headOnly));
    });
  };
  if (!dispatch_ || !dispatch_(std::move(job))) {
    respond(id, httpErrorResponse(503, !connections_.at(id).headOnly));
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
  if (it != connections_.end() && it->second.answered && unsent == 0) loop_.close(id);
}

void MetricsEndpoint::onDisconnect(platform::ConnectionId id, const std::string&) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  if (it->second.timer != 0) loop_.cancelTimer(it->second.timer);
  connections_.erase(it);
}

void MetricsEndpoint::onError(platform::ConnectionId, const std::string&, int) {
  // The loop closes the connection after this; onDisconnect forgets it.
}

}  // namespace tavin
