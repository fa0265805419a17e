#include "platform/event_loop.h"

#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/tcp_client.h"
#include "tests/support/loop_thread.h"

namespace platform {
namespace {

using tavin::test::LoopThread;
using tavin::test::waitUntil;

constexpr int kTimeout = 10000;

// Records every event; read from the test thread, written on the loop.
class Recorder : public ConnectionHandler {
 public:
  void onConnect(ConnectionId id, const std::string& address) override {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back("connect " + address);
    lastId_ = id;
  }
  void onRead(ConnectionId, std::string bytes) override {
    std::lock_guard<std::mutex> lock(mu_);
    received_ += bytes;
  }
  void onDisconnect(ConnectionId, const std::string& address) override {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back("disconnect " + address);
  }
  void onError(ConnectionId, const std::string& address, int code) override {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back("error " + address);
    lastError_ = code;
  }
  void onFlushed(ConnectionId, size_t unsent) override {
    std::lock_guard<std::mutex> lock(mu_);
    ++flushes_;
    lastUnsent_ = unsent;
  }

  std::vector<std::string> events() const {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  std::string received() const {
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
  }
  ConnectionId lastId() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lastId_;
  }
  int lastError() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lastError_;
  }
  // The handler heard that a buffer it filled was written out.
  bool toldDrained() const {
    std::lock_guard<std::mutex> lock(mu_);
    return flushes_ > 0 && lastUnsent_ == 0;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> events_;
  std::string received_;
  ConnectionId lastId_ = 0;
  int lastError_ = 0;
  int flushes_ = 0;
  size_t lastUnsent_ = 1;
};

// A listening loop with a recorder and one connected client.
struct Connected {
  LoopThread thread;
  Recorder recorder;
  uint16_t port = 0;
  TcpClient client;
  ConnectionId id = 0;
  ListenerId listener = 0;

  Connected() {
    port = thread.listen(&recorder, &listener);
    SysStatus status = client.connect("127.0.0.1", port, kTimeout);
    EXPECT_TRUE(status.isOk()) << status.toString();
    EXPECT_TRUE(waitUntil([&] { return recorder.lastId() != 0; }));
    id = recorder.lastId();
  }
  ~Connected() {
    // Connections are closed before the recorder goes away.
    thread.stop();
  }
};

std::string receiveUntil(TcpClient& client, size_t size) {
  std::string bytes;
  while (bytes.size() < size) {
    if (client.receive(&bytes, kTimeout) != TcpClient::Received::kData) break;
  }
  return bytes;
}

TEST(EventLoop, PostedWorkRunsOnTheLoopInPostingOrder) {
  LoopThread thread;
  ASSERT_TRUE(thread.ok());
  const std::thread::id loopThread = thread.call([] { return std::this_thread::get_id(); });

  std::mutex mu;
  std::vector<std::vector<int>> seen(4);
  bool allOnLoop = true;
  std::vector<std::thread> posters;
  for (int p = 0; p < 4; ++p) {
    posters.emplace_back([&, p] {
      for (int i = 0; i < 500; ++i) {
        thread.loop().post([&, p, i] {
          std::lock_guard<std::mutex> lock(mu);
          if (std::this_thread::get_id() != loopThread) allOnLoop = false;
          seen[p].push_back(i);
        });
      }
    });
  }
  for (auto& poster : posters) poster.join();
  thread.call([] { return 0; });  // runs after everything posted before it

  std::lock_guard<std::mutex> lock(mu);
  EXPECT_TRUE(allOnLoop);
  for (int p = 0; p < 4; ++p) {
    SCOPED_TRACE(p);
    ASSERT_EQ(seen[p].size(), 500u);
    for (int i = 0; i < 500; ++i) ASSERT_EQ(seen[p][i], i);
  }
}

TEST(EventLoop, QuitFromAnotherThreadEndsRun) {
  std::unique_ptr<EventLoop> loop;
  ASSERT_TRUE(EventLoop::create(&loop).isOk());
  std::thread quitter([&] { loop->quit(); });
  loop->run();  // returns because of the quit, even one that came first
  quitter.join();
}

TEST(EventLoop, AThrowingCallbackEndsRunAndLosesNoOtherWork) {
  std::unique_ptr<EventLoop> loop;
  ASSERT_TRUE(EventLoop::create(&loop).isOk());
  std::vector<int> ran;
  loop->post([&] { ran.push_back(1); });
  loop->post([] { throw std::runtime_error("callback failed"); });
  loop->post([&] { ran.push_back(3); });
  loop->post([&] { loop->quit(); });
  EXPECT_THROW(loop->run(), std::runtime_error);
  EXPECT_EQ(ran, std::vector<int>{1});
  loop->run();  // the rest runs, up to the quit
  EXPECT_EQ(ran, (std::vector<int>{1, 3}));
}

TEST(EventLoop, TimersFireOnceRepeatAndCancel) {
  // Declared before the loop, so the repeating timer can never outlive them.
  std::atomic<int> once{0}, repeated{0}, cancelled{0}, selfCancelling{0};
  std::atomic<bool> later{false};
  LoopThread thread;
  ASSERT_TRUE(thread.ok());
  thread.call([&] {
    EventLoop& loop = thread.loop();
    loop.startTimer(1, false, [&] { ++once; });
    loop.startTimer(1, true, [&] { ++repeated; });
    TimerId doomed = loop.startTimer(1, false, [&] { ++cancelled; });
    loop.cancelTimer(doomed);
    auto self = std::make_shared<TimerId>(0);
    *self = loop.startTimer(1, true, [&, self] {
      ++selfCancelling;
      thread.loop().cancelTimer(*self);
    });
    return 0;
  });
  ASSERT_TRUE(waitUntil([&] { return repeated >= 3; }));
  // A later one-shot timer has fired, so every earlier one had its chance.
  thread.call([&] { return thread.loop().startTimer(50, false, [&] { later = true; }); });
  ASSERT_TRUE(waitUntil([&] { return later.load(); }));
  EXPECT_EQ(once, 1);
  EXPECT_EQ(cancelled, 0);
  EXPECT_EQ(selfCancelling, 1);
}

TEST(EventLoop, AcceptsReadsWritesAndSeesThePeerClose) {
  Connected c;
  ASSERT_NE(c.port, 0);
  EXPECT_EQ(c.recorder.events(), std::vector<std::string>{"connect 127.0.0.1"});

  const std::string request = "hello\x01world\xB0\xA1";
  ASSERT_TRUE(c.client.sendAll(request).isOk());
  ASSERT_TRUE(waitUntil([&] { return c.recorder.received() == request; }));

  EXPECT_EQ(c.thread.call([&] { return c.thread.loop().send(c.id, "answer"); }),
            SendResult::kSent);
  EXPECT_EQ(receiveUntil(c.client, 6), "answer");

  c.client.close();
  ASSERT_TRUE(waitUntil([&] { return c.recorder.events().size() == 2; }));
  EXPECT_EQ(c.recorder.events()[1], "disconnect 127.0.0.1");
  EXPECT_EQ(c.thread.call([&] { return c.thread.loop().send(c.id, "late"); }),
            SendResult::kNoConnection);
}

TEST(EventLoop, CloseTellsTheHandlerAtOnceAndThePeerSeesTheEnd) {
  Connected c;
  const auto events = c.thread.call([&] {
    c.thread.loop().close(c.id);
    return c.recorder.events();  // before close returned
  });
  EXPECT_EQ(events, (std::vector<std::string>{"connect 127.0.0.1", "disconnect 127.0.0.1"}));
  std::string rest;
  EXPECT_EQ(c.client.receive(&rest, kTimeout), TcpClient::Received::kClosed);
  c.thread.call([&] {
    c.thread.loop().close(c.id);  // a second close is ignored
    return 0;
  });
  EXPECT_EQ(c.recorder.events().size(), 2u);
}

// A reset ends the connection with one disconnect. Where the system reports
// the reset as an error (Linux, Windows), the error comes first; Wine reports
// it as a plain close.
TEST(EventLoop, AResetByThePeerEndsTheConnectionOnce) {
  Connected c;
  c.client.abort();
  ASSERT_TRUE(waitUntil([&] {
    const auto events = c.recorder.events();
    return events.size() >= 2 && events.back().rfind("disconnect", 0) == 0;
  })) << ::testing::PrintToString(c.recorder.events());
  const auto events = c.recorder.events();
  ASSERT_LE(events.size(), 3u);
  EXPECT_EQ(events.back(), "disconnect 127.0.0.1");
  if (events.size() == 3) {
    EXPECT_EQ(events[1], "error 127.0.0.1");
    EXPECT_NE(c.recorder.lastError(), 0);
  }
}

// A peer that does not read: sends back up in the outbound buffer, whole,
// until the limit refuses more; then everything accepted arrives intact.
TEST(EventLoop, OutboundBufferKeepsMessagesWholeUpToItsLimit) {
  Recorder recorder;
  LoopThread thread;
  ASSERT_TRUE(thread.ok());
  const uint16_t port = thread.listen(&recorder);
  thread.call([&] {
    thread.loop().setOutboundLimit(64 * 1024);
    return 0;
  });
  TcpClient client;
  client.setReceiveBufferSize(4096);
  ASSERT_TRUE(client.connect("127.0.0.1", port, kTimeout).isOk());
  ASSERT_TRUE(waitUntil([&] { return recorder.lastId() != 0; }));
  const ConnectionId id = recorder.lastId();

  // Numbered 1000-byte messages until one is refused (bounded: 64 MiB).
  struct Outcome {
    int accepted = 0;
    bool refused = false;
    size_t pending = 0;
  };
  const Outcome outcome = thread.call([&] {
    Outcome result;
    for (int i = 0; i < 65536; ++i) {
      std::string message = std::to_string(100000 + i);
      message.resize(1000, static_cast<char>('a' + i % 26));
      const SendResult sent = thread.loop().send(id, message);
      if (sent == SendResult::kOverLimit) {
        result.refused = true;
        break;
      }
      EXPECT_EQ(sent, SendResult::kSent);
      ++result.accepted;
    }
    result.pending = thread.loop().pendingBytes(id);
    return result;
  });
  ASSERT_TRUE(outcome.refused);
  EXPECT_GT(outcome.pending, 0u);
  EXPECT_LE(outcome.pending, 64u * 1024);

  const std::string all = receiveUntil(client, static_cast<size_t>(outcome.accepted) * 1000);
  ASSERT_EQ(all.size(), static_cast<size_t>(outcome.accepted) * 1000);
  for (int i = 0; i < outcome.accepted; ++i) {
    const std::string message = all.substr(static_cast<size_t>(i) * 1000, 1000);
    if (message.substr(0, 6) != std::to_string(100000 + i) ||
        message[999] != static_cast<char>('a' + i % 26)) {
      FAIL() << "message " << i << " arrived damaged";
    }
  }
  EXPECT_TRUE(waitUntil([&] { return thread.call([&] { return thread.loop().pendingBytes(id); }) == 0; }));
  EXPECT_TRUE(recorder.toldDrained());
  thread.stop();
}

// Each listener's connections reach its own handler; closing one listener
// leaves the other and the connections.
TEST(EventLoop, ListenersKeepTheirOwnHandlers) {
  Recorder first, second;
  LoopThread thread;
  ASSERT_TRUE(thread.ok());
  ListenerId firstId = 0;
  const uint16_t firstPort = thread.listen(&first, &firstId);
  const uint16_t secondPort = thread.listen(&second);
  ASSERT_NE(firstPort, secondPort);
  TcpClient a, b;
  ASSERT_TRUE(a.connect("127.0.0.1", firstPort, kTimeout).isOk());
  ASSERT_TRUE(b.connect("127.0.0.1", secondPort, kTimeout).isOk());
  ASSERT_TRUE(waitUntil([&] { return first.lastId() != 0 && second.lastId() != 0; }));
  EXPECT_NE(first.lastId(), second.lastId());
  thread.call([&] {
    thread.loop().closeListener(firstId);
    return 0;
  });
  ASSERT_TRUE(b.sendAll("to second").isOk());
  ASSERT_TRUE(a.sendAll("to first").isOk());
  EXPECT_TRUE(waitUntil([&] { return second.received() == "to second"; }));
  EXPECT_TRUE(waitUntil([&] { return first.received() == "to first"; }));
  TcpClient again;
  EXPECT_TRUE(again.connect("127.0.0.1", secondPort, kTimeout).isOk());
  thread.stop();
}

TEST(EventLoop, ListenerClosesAndReopensOnTheSamePort) {
  Connected c;
  // The loop closes the connection itself, which leaves it in TIME_WAIT.
  c.thread.call([&] {
    c.thread.loop().close(c.id);
    c.thread.loop().closeListener(c.listener);
    return 0;
  });
  EXPECT_FALSE(c.thread.call([&] { return c.thread.loop().isListening(c.listener); }));
  TcpClient refused;
  EXPECT_FALSE(refused.connect("127.0.0.1", c.port, kTimeout).isOk());

  ListenerId reopened = 0;
  const SysStatus again =
      c.thread.call([&] { return c.thread.loop().listen(c.port, &c.recorder, &reopened); });
  ASSERT_TRUE(again.isOk()) << again.toString();
  EXPECT_NE(reopened, c.listener);
  EXPECT_EQ(c.thread.call([&] { return c.thread.loop().listeningPort(reopened); }), c.port);
  TcpClient next;
  ASSERT_TRUE(next.connect("127.0.0.1", c.port, kTimeout).isOk());
  EXPECT_TRUE(waitUntil([&] { return c.recorder.events().size() == 3; }));
}

TEST(EventLoop, ListeningOnAPortInUseFails) {
  Recorder recorder;
  LoopThread thread;
  ASSERT_TRUE(thread.ok());
  const uint16_t port = thread.listen(&recorder);
  LoopThread other;
  ASSERT_TRUE(other.ok());
  ListenerId id = 0;
  const SysStatus status = other.call([&] { return other.loop().listen(port, &recorder, &id); });
  EXPECT_FALSE(status.isOk());
  EXPECT_EQ(status.call(), "bind");
  EXPECT_EQ(id, 0u);
}

// A listener on one address takes no connection to another: bound to
// 127.0.0.1 it cannot be reached at 127.0.0.2, which a listener on every
// address can.
TEST(EventLoop, AListenerOnOneAddressTakesNoOther) {
  Recorder recorder;
  LoopThread thread;
  ASSERT_TRUE(thread.ok());
  ListenerId loopback = 0;
  const SysStatus status = thread.call(
      [&] { return thread.loop().listenOn("127.0.0.1", 0, &recorder, &loopback); });
  ASSERT_TRUE(status.isOk()) << status.toString();
  const uint16_t port = thread.call([&] { return thread.loop().listeningPort(loopback); });
  const uint16_t everyPort = thread.listen(&recorder);
  TcpClient near, far, every;
  EXPECT_TRUE(near.connect("127.0.0.1", port, kTimeout).isOk());
  EXPECT_FALSE(far.connect("127.0.0.2", port, kTimeout).isOk());
  EXPECT_TRUE(every.connect("127.0.0.2", everyPort, kTimeout).isOk());
  ListenerId bad = 0;
  EXPECT_FALSE(
      thread.call([&] { return thread.loop().listenOn("abc", 0, &recorder, &bad); }).isOk());
}

}  // namespace
}  // namespace platform
