// Test doubles for the server's tests: an event loop driven by the test, a
// clock set by hand, a history and a view that record, request bodies whose
// execute the test scripts, and console-side message builders.
#pragma once

#include <gtest/gtest.h>

#include <any>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "codec/message.h"
#include "codec/message_body_factory.h"
#include "config/history.h"
#include "handlers/bodies.h"
#include "handlers/status_messages.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "server/log_feed.h"
#include "server/server_view.h"
#include "tests/support/loop_thread.h"
#include "tests/support/wire.h"

namespace tavin::test {

// An event loop that the test drives: the test thread plays the loop thread.
// The test connects consoles, delivers their bytes, fires timers and runs
// the work that other threads posted.
class FakeEventLoop : public platform::EventLoop {
 public:
  struct Timer {
    int64_t delayMillis = 0;
    bool repeat = false;
    std::function<void()> fn;
  };

  void run() override {}
  void quit() override {}
  void post(std::function<void()> fn) override {
    std::lock_guard<std::mutex> lock(postMu_);
    posted_.push_back(std::move(fn));
    ++postCount_;
  }
  // How many functions were posted so far. Any thread.
  size_t postCount() const {
    std::lock_guard<std::mutex> lock(postMu_);
    return postCount_;
  }

  platform::TimerId startTimer(int64_t delayMillis, bool repeat,
                               std::function<void()> fn) override {
    const platform::TimerId id = nextTimer_++;
    timers_[id] = Timer{delayMillis, repeat, std::move(fn)};
    return id;
  }
  void cancelTimer(platform::TimerId id) override { timers_.erase(id); }

  platform::SysStatus listen(uint16_t port, platform::ConnectionHandler* handler,
                             platform::ListenerId* id) override {
    ++listenCalls;
    if (failListen) return platform::SysStatus::error("bind", 98);
    listener_ = nextListener_++;
    port_ = port != 0 ? port : 4321;
    handler_ = handler;
    *id = listener_;
    return platform::SysStatus::ok();
  }
  void closeListener(platform::ListenerId id) override {
    if (id != listener_) return;
    listener_ = 0;
    port_ = 0;
  }
  uint16_t listeningPort(platform::ListenerId id) const override {
    return id == listener_ ? port_ : 0;
  }

  platform::SendResult send(platform::ConnectionId id, const std::string& bytes) override {
    if (connections_.count(id) == 0) return platform::SendResult::kNoConnection;
    if (failed.count(id) != 0) return platform::SendResult::kFailed;
    if (overLimit.count(id) != 0) return platform::SendResult::kOverLimit;
    sent_[id] += bytes;
    if (holdBytes.count(id) != 0) unsent_[id] += bytes.size();
    return platform::SendResult::kSent;
  }
  void close(platform::ConnectionId id) override {
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    // The last count of what the console's host acknowledged, as the real
    // loop reports it.
    if (tracked_.count(id) != 0) handler_->onAcknowledged(id, acknowledgedBytes(id));
    if (beforeDisconnect) beforeDisconnect();
    const std::string address = it->second;
    connections_.erase(it);
    handler_->onDisconnect(id, address);
  }
  size_t pendingBytes(platform::ConnectionId id) const override {
    auto it = unsent_.find(id);
    return it == unsent_.end() ? 0 : it->second;
  }
  void trackDelivery(platform::ConnectionId id) override { tracked_.insert(id); }
  // Everything written is acknowledged at once, unless the test holds the
  // acknowledgements of the connection back (holdAcks; then acknowledge).
  uint64_t acknowledgedBytes(platform::ConnectionId id) const override {
    if (tracked_.count(id) == 0) return 0;
    if (holdAcks.count(id) != 0) {
      auto it = acked_.find(id);
      return it == acked_.end() ? 0 : it->second;
    }
    return sentTo(id).size() - pendingBytes(id);
  }
  void setOutboundLimit(size_t bytes) override { outboundLimit = bytes; }
  void onSignal(platform::Signal, std::function<void()>) override {}

  // The console's side.
  platform::ConnectionId connect(const std::string& address) {
    const platform::ConnectionId id = nextConnection_++;
    connections_[id] = address;
    handler_->onConnect(id, address);
    return id;
  }
  void receive(platform::ConnectionId id, const std::string& bytes) {
    if (connections_.count(id) != 0) handler_->onRead(id, bytes);
  }
  void fail(platform::ConnectionId id, int code) {
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    const std::string address = it->second;
    handler_->onError(id, address, code);
    close(id);
  }

  // The console's socket takes `bytes` of what waits for it (all of it when
  // more), as the real loop reports it; or, unreported, as a send that
  // writes what waited before its own bytes.
  void drain(platform::ConnectionId id, size_t bytes, bool report = true) {
    size_t& unsent = unsent_[id];
    unsent -= bytes < unsent ? bytes : unsent;
    if (report && connections_.count(id) != 0) handler_->onFlushed(id, unsent);
  }

  // The console's host acknowledges the first `bytes` of the connection's
  // stream, as the real loop reports it after a write.
  void acknowledge(platform::ConnectionId id, uint64_t bytes) {
    acked_[id] = bytes;
    if (connections_.count(id) != 0) handler_->onAcknowledged(id, bytes);
  }

  bool isOpen(platform::ConnectionId id) const { return connections_.count(id) != 0; }
  // Everything sent to a connection so far.
  std::string sentTo(platform::ConnectionId id) const {
    auto it = sent_.find(id);
    return it == sent_.end() ? std::string() : it->second;
  }

  // Runs the work posted so far (and what it posts in turn). A failure
  // escaping a function is noted in `escaped` and the rest runs, as the
  // real loop logs it and runs on.
  void runPosted() {
    for (;;) {
      std::vector<std::function<void()>> batch;
      {
        std::lock_guard<std::mutex> lock(postMu_);
        batch.swap(posted_);
      }
      if (batch.empty()) return;
      for (auto& fn : batch) {
        try {
          fn();
        } catch (const std::exception& e) {
          escaped.push_back(e.what());
        }
      }
    }
  }

  // Runs posted work until pred holds; false after the deadline.
  template <typename Pred>
  bool pumpUntil(Pred pred, std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
      runPosted();
      if (pred()) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  // The timers running now.
  const std::map<platform::TimerId, Timer>& timers() const { return timers_; }
  // Expires a timer as the real loop would.
  void fire(platform::TimerId id) {
    auto it = timers_.find(id);
    ASSERT_NE(it, timers_.end());
    std::function<void()> fn = it->second.fn;
    if (!it->second.repeat) timers_.erase(it);
    fn();
  }

  bool failListen = false;
  int listenCalls = 0;
  std::vector<std::string> escaped;
  // Runs in close(), after the connection's last acknowledgement count and
  // before onDisconnect.
  std::function<void()> beforeDisconnect;
  size_t outboundLimit = 0;
  std::map<platform::ConnectionId, bool> overLimit;
  // Connections whose sends fail, and those whose sent bytes stay unsent
  // until drained.
  std::set<platform::ConnectionId> failed;
  std::set<platform::ConnectionId> holdBytes;
  std::set<platform::ConnectionId> holdAcks;

 private:
  mutable std::mutex postMu_;
  std::vector<std::function<void()>> posted_;
  size_t postCount_ = 0;
  std::map<platform::TimerId, Timer> timers_;
  platform::TimerId nextTimer_ = 1;
  std::map<platform::ConnectionId, std::string> connections_;
  std::map<platform::ConnectionId, std::string> sent_;
  platform::ConnectionId nextConnection_ = 1;
  std::map<platform::ConnectionId, size_t> unsent_;
  std::set<platform::ConnectionId> tracked_;
  std::map<platform::ConnectionId, uint64_t> acked_;
  platform::ConnectionHandler* handler_ = nullptr;
  platform::ListenerId listener_ = 0;
  platform::ListenerId nextListener_ = 1;
  uint16_t port_ = 0;
};

// Batches of log lines, one per text added; a position is the index of the
// next one. Any thread.
class ListFeed : public LogFeed {
 public:
  bool read(std::vector<LogBatch>* out, size_t maxTextBytes, size_t budget) override {
    std::lock_guard<std::mutex> lock(mu_);
    maxText_ = maxTextBytes;
    ++reads_;
    size_t total = 0;
    const size_t first = out->size();
    while (next_ < logs_.size() && total < budget) {
      total += logs_[next_].size();
      out->push_back(LogBatch{logs_[next_], 0, 1, std::any(next_), std::any(next_ + 1)});
      ++next_;
    }
    if (out->size() > first) return true;
    ++passEnds_;  // each push ends with this answer
    return false;
  }
  void rewind(const std::any& position) override {
    std::lock_guard<std::mutex> lock(mu_);
    next_ = std::any_cast<size_t>(position);
  }
  // Records the positions kept, in order.
  void save(const std::any& position) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (position.has_value()) saved_.push_back(std::any_cast<size_t>(position));
  }
  void add(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    logs_.push_back(text);
  }
  std::vector<size_t> saved() const {
    std::lock_guard<std::mutex> lock(mu_);
    return saved_;
  }
  int passEnds() const {
    std::lock_guard<std::mutex> lock(mu_);
    return passEnds_;
  }
  size_t maxText() const {
    std::lock_guard<std::mutex> lock(mu_);
    return maxText_;
  }
  int reads() const {
    std::lock_guard<std::mutex> lock(mu_);
    return reads_;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> logs_;
  std::vector<size_t> saved_;
  size_t next_ = 0;
  int passEnds_ = 0;
  int reads_ = 0;
  size_t maxText_ = 0;
};

// A clock that shows what the test sets. Any thread.
class ManualClock : public platform::Clock {
 public:
  explicit ManualClock(double millis = 1.7e12) : millis_(millis) {}
  platform::LocalTime localTime() const override { return platform::LocalTime{}; }
  double nowMillis() const override { return millis_; }
  int64_t localToEpochSeconds(const platform::LocalTime&) const override { return 0; }
  void set(double millis) { millis_ = millis; }

 private:
  std::atomic<double> millis_;
};

// Records history lines; any thread.
class RecordingHistory : public History {
 public:
  struct Line {
    std::string text;
    bool shown;
  };
  void WriteHistory(const std::string& text, bool showInView) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (!failOn.empty() && text.rfind(failOn, 0) == 0) {
      failOn.clear();
      throw std::runtime_error("history unwritable");
    }
    lines_.push_back(Line{text, showInView});
  }
  // The next line that begins with this throws instead of being written.
  std::string failOn;
  std::vector<Line> lines() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }
  std::vector<std::string> texts() const {
    std::vector<std::string> out;
    for (const Line& line : lines()) out.push_back(line.text);
    return out;
  }
  // How many lines begin with prefix.
  int count(const std::string& prefix) const {
    int n = 0;
    for (const Line& line : lines()) n += line.text.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
  bool has(const std::string& text) const {
    for (const Line& line : lines()) {
      if (line.text == text) return true;
    }
    return false;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.clear();
  }

 private:
  mutable std::mutex mu_;
  std::vector<Line> lines_;
};

class RecordingView : public ServerView {
 public:
  struct Counters {
    int64_t connections;
    uint64_t received;
    uint64_t sent;
  };
  void showCounters(int64_t connections, uint64_t received, uint64_t sent) override {
    counters.push_back(Counters{connections, received, sent});
  }
  void showState(bool listening, bool running) override {
    states.push_back(std::string(listening ? "listening" : "closed") + "/" +
                     (running ? "running" : "stopped"));
  }
  std::vector<Counters> counters;
  std::vector<std::string> states;
};

// A request body whose execute runs what the test gives it.
class ScriptedRequest : public MessageBody {
 public:
  using Script = std::function<std::unique_ptr<MessageBody>()>;
  ScriptedRequest(std::string type, Script script)
      : type_(std::move(type)), script_(std::move(script)) {}
  std::string getMessageType() const override { return type_; }
  std::string getPattern() const override { return std::string(); }
  std::unique_ptr<MessageBody> execute() override { return script_(); }

 private:
  std::string type_;
  Script script_;
};

// A gate that request scripts wait at until the test opens it. Opens when
// destroyed, so a failing test cannot leave a worker thread waiting.
class Gate {
 public:
  ~Gate() { open(); }
  void open() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      open_ = true;
    }
    cv_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return open_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

// A status response with fixed values.
inline std::unique_ptr<MessageBody> fixedStatusResponse() {
  return std::make_unique<StatusResponseMessageBody>("正常运行", "20240102 10:11:12", "5", "40",
                                                     "60", "01", "", "");
}

// The wire bodies, with type "02" answered by fixedStatusResponse.
inline MessageBodyFactory statusFactory() {
  MessageBodyFactory factory = wireBodyFactory();
  factory.registerBody(2, [] {
    return std::make_unique<ScriptedRequest>("02", [] { return fixedStatusResponse(); });
  });
  return factory;
}

// A console message with a correct checksum.
inline std::string consoleMessage(const std::string& type, const std::string& sequence,
                                  const std::string& body = std::string(),
                                  const std::string& version = "Tavin1.20",
                                  const std::string& bodyLength = std::string()) {
  std::string text = wire({"00=" + version, "01=C", "04=" + type, "12=" + sequence,
                           "15=" + (bodyLength.empty() ? std::to_string(body.size()) : bodyLength)}) +
                     body;
  return text + "99=" + checkSumOf(text) + '\x01';
}

inline std::string statusRequest(const std::string& sequence) {
  return consoleMessage("02", sequence);
}

// The agent's status response to a request with this sequence, as sent.
inline std::string statusResponseText(const std::string& sequence) {
  Message response("Tavin1.20", "S", sequence, fixedStatusResponse());
  return response.toString();
}

inline std::string beatText() {
  return wire({"00=Tavin1.20", "01=S", "04=12", "12=-1", "15=0", "99= 43"});
}

}  // namespace tavin::test
