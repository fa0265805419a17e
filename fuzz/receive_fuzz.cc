// The receive path of the agent's server: the bytes of one console
// connection, cut into reads at fuzzer-chosen points, framed with the
// connection's inbound buffer and queued for the processor thread.
//
// Half the inputs are arbitrary bytes: whatever arrives, the server must
// neither crash nor keep more than its bound. The other half are valid
// requests (with console heartbeats among them), cut anywhere: every request
// must reach the processor, once and in order, and the connection must stay
// open.
#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "codec/message.h"
#include "codec/message_body.h"
#include "config/history.h"
#include "handlers/beat_message.h"
#include "handlers/bodies.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "server/agent_server.h"

namespace {

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz_receive: %s\n", what);
  std::abort();
}

// The loop side, played by the fuzzing thread: connections are opened, fed
// and closed by hand; timers never fire.
class FuzzLoop : public platform::EventLoop {
 public:
  void run() override {}
  void quit() override {}
  void post(std::function<void()> fn) override {
    std::lock_guard<std::mutex> lock(mu_);
    posted_.push_back(std::move(fn));
  }
  platform::TimerId startTimer(int64_t, bool, std::function<void()>) override {
    return nextTimer_++;
  }
  void cancelTimer(platform::TimerId) override {}
  platform::SysStatus listen(uint16_t, platform::ConnectionHandler* handler,
                             platform::ListenerId* id) override {
    handler_ = handler;
    *id = 1;
    return platform::SysStatus::ok();
  }
  void closeListener(platform::ListenerId) override {}
  uint16_t listeningPort(platform::ListenerId id) const override {
    return id == 1 && handler_ != nullptr ? 10012 : 0;
  }
  platform::SendResult send(platform::ConnectionId id, const std::string&) override {
    return open_.count(id) != 0 ? platform::SendResult::kSent
                                : platform::SendResult::kNoConnection;
  }
  void close(platform::ConnectionId id) override {
    auto it = open_.find(id);
    if (it == open_.end()) return;
    const std::string address = it->second;
    open_.erase(it);
    handler_->onDisconnect(id, address);
  }
  size_t pendingBytes(platform::ConnectionId) const override { return 0; }
  void setOutboundLimit(size_t) override {}
  void trackDelivery(platform::ConnectionId) override {}
  uint64_t acknowledgedBytes(platform::ConnectionId) const override { return 0; }
  void onSignal(platform::Signal, std::function<void()>) override {}

  platform::ConnectionId connect() {
    const platform::ConnectionId id = nextConnection_++;
    open_[id] = "127.0.0.1";
    handler_->onConnect(id, "127.0.0.1");
    return id;
  }
  void receive(platform::ConnectionId id, std::string bytes) {
    if (open_.count(id) != 0) handler_->onRead(id, std::move(bytes));
  }
  bool isOpen(platform::ConnectionId id) const { return open_.count(id) != 0; }
  void runPosted() {
    std::vector<std::function<void()>> batch;
    {
      std::lock_guard<std::mutex> lock(mu_);
      batch.swap(posted_);
    }
    for (auto& fn : batch) fn();
  }

 private:
  platform::ConnectionHandler* handler_ = nullptr;
  std::map<platform::ConnectionId, std::string> open_;
  platform::ConnectionId nextConnection_ = 1;
  platform::TimerId nextTimer_ = 1;
  std::mutex mu_;
  std::vector<std::function<void()>> posted_;
};

class QuietHistory : public tavin::History {
 public:
  void WriteHistory(const std::string&, bool) override {}
};

// What the processor executed, in order.
class Executed {
 public:
  void add(const std::string& value) {
    std::lock_guard<std::mutex> lock(mu_);
    values_.push_back(value);
    changed_.notify_all();
  }
  // Waits until count values starting with marker have arrived (or a
  // generous deadline has passed) and returns those values.
  std::vector<std::string> waitFor(const std::string& marker, size_t count) {
    std::unique_lock<std::mutex> lock(mu_);
    std::vector<std::string> matching;
    changed_.wait_for(lock, std::chrono::seconds(30), [&] {
      matching.clear();
      for (const std::string& v : values_) {
        if (v.compare(0, marker.size(), marker) == 0) matching.push_back(v);
      }
      return matching.size() >= count;
    });
    values_.clear();
    return matching;
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  std::vector<std::string> values_;
};

Executed& executed() {
  static Executed instance;
  return instance;
}

// A status request that notes its "serviceType" value when executed and
// answers nothing.
class NotingRequest : public tavin::MessageBody {
 public:
  std::string getMessageType() const override { return "02"; }
  std::string getPattern() const override { return "<!serviceType>"; }
  std::unique_ptr<tavin::MessageBody> execute() override {
    executed().add(getValue("serviceType"));
    return nullptr;
  }
};

struct Harness {
  static tavin::ServerOptions options() {
    tavin::ServerOptions o;
    o.port = 0;
    o.heartbeatPeriodMillis = 3600 * 1000;  // no heartbeat pass while fuzzing
    o.maxBodyLength = 200;                  // small bounds, so inputs reach them
    o.inboundLimit = 400;
    o.queueLimit = 1000000;  // never full: whether it is would depend on timing
    return o;
  }
  static tavin::MessageBodyFactory makeFactory() {
    tavin::MessageBodyFactory f = tavin::wireBodyFactory();
    f.registerBody(2, [] { return std::make_unique<NotingRequest>(); });
    return f;
  }

  FuzzLoop loop;
  tavin::MessageBodyFactory factory = makeFactory();
  QuietHistory history;
  std::atomic<bool> countAll{false};
  tavin::AgentServer server{
      tavin::ServerContext{loop, factory, history, platform::Clock::system(), countAll,
                           [](const std::string&) { return true; }, nullptr, nullptr},
      options()};

  Harness() { server.start(); }
};

Harness& harness() {
  static Harness* instance = new Harness();  // lives until the process ends
  return *instance;
}

std::string frame(const std::string& sequence, std::unique_ptr<tavin::MessageBody> body) {
  tavin::Message message("Tavin1.20", "C", sequence, std::move(body));
  return message.toString();
}

// Cuts text into reads of fuzzer-chosen sizes.
std::vector<std::string> reads(FuzzedDataProvider& in, const std::string& text) {
  std::vector<std::string> pieces;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t n = in.remaining_bytes() > 0 ? in.ConsumeIntegralInRange<size_t>(1, 96)
                                              : text.size() - pos;
    pieces.push_back(text.substr(pos, n));
    pos += n;
  }
  return pieces;
}

void arbitraryBytes(FuzzedDataProvider& in) {
  Harness& h = harness();
  const std::string text = in.ConsumeRandomLengthString(8192);
  const platform::ConnectionId id = h.loop.connect();
  for (std::string& piece : reads(in, text)) h.loop.receive(id, std::move(piece));
  h.loop.close(id);
  h.loop.runPosted();
}

void validRequests(FuzzedDataProvider& in) {
  // The marker tells this round's requests from any a raw input may hold.
  static const std::string nonce = std::to_string(std::random_device()());
  static uint64_t round = 0;
  Harness& h = harness();
  const std::string marker = "#" + nonce + "." + std::to_string(++round) + ":";
  const size_t count = in.ConsumeIntegralInRange<size_t>(1, 40);
  std::vector<std::string> values;
  std::string stream;
  for (size_t i = 0; i < count; ++i) {
    if (in.ConsumeBool()) {
      stream += frame("-1", std::make_unique<tavin::BeatMessageBody>());
    }
    std::string value = marker + in.ConsumeRandomLengthString(48);
    for (char& c : value) {
      if (c == '\x01') c = ' ';
    }
    auto body = std::make_unique<NotingRequest>();
    body->addField("serviceType", value);
    stream += frame(std::to_string(i), std::move(body));
    values.push_back(value);
  }
  const platform::ConnectionId id = h.loop.connect();
  for (std::string& piece : reads(in, stream)) {
    h.loop.receive(id, std::move(piece));
    check(h.loop.isOpen(id), "a valid request stream was disconnected");
  }
  check(executed().waitFor(marker, count) == values,
        "requests were lost, repeated or reordered");
  h.loop.close(id);
  h.loop.runPosted();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) {
    validRequests(in);
  } else {
    arbitraryBytes(in);
  }
  return 0;
}
