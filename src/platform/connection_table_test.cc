#include "platform/connection_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace platform {
namespace {

using Io = SocketCalls::Io;
using Outcome = Io::Outcome;

// Sockets played by the test: what a send may take, what a receive returns.
class ScriptedCalls : public SocketCalls {
 public:
  Io send(SocketHandle socket, const char* data, size_t size) override {
    if (sendError != 0) return Io{Outcome::kFailed, 0, sendError};
    size_t& room = room_[socket];
    if (room == 0) return Io{Outcome::kWouldBlock};
    const size_t n = size < room ? size : room;
    room -= n;
    written[socket].append(data, n);
    return Io{Outcome::kDone, n, 0};
  }
  Io receive(SocketHandle socket, char* buffer, size_t size) override {
    std::deque<Io>& script = reads[socket];
    if (script.empty()) return Io{Outcome::kWouldBlock};
    Io io = script.front();
    script.pop_front();
    if (io.outcome == Outcome::kDone) {
      io.bytes = io.bytes < size ? io.bytes : size;
      std::fill(buffer, buffer + io.bytes, 'x');
    }
    return io;
  }
  int pendingError(SocketHandle) override { return heldError; }
  void close(SocketHandle socket) override { closed.push_back(socket); }
  void trackDelivery(SocketHandle socket) override { tracked.push_back(socket); }
  uint64_t acknowledged(SocketHandle socket, uint64_t) override { return acked[socket]; }

  void giveRoom(SocketHandle socket, size_t bytes) { room_[socket] += bytes; }

  int sendError = 0;
  int heldError = 0;
  std::map<SocketHandle, std::string> written;
  std::map<SocketHandle, std::deque<Io>> reads;
  std::vector<SocketHandle> closed;
  std::vector<SocketHandle> tracked;
  std::map<SocketHandle, uint64_t> acked;  // what the system says was acknowledged

 private:
  std::map<SocketHandle, size_t> room_;
};

class Recorder : public ConnectionHandler {
 public:
  explicit Recorder(ConnectionTable* table = nullptr) : table_(table) {}
  void onConnect(ConnectionId id, const std::string& address) override {
    events.push_back("connect " + std::to_string(id) + " " + address);
  }
  void onRead(ConnectionId id, std::string bytes) override {
    events.push_back("read " + std::to_string(id) + " " + std::to_string(bytes.size()));
    if (closeOnRead && table_ != nullptr) table_->close(id);
  }
  void onDisconnect(ConnectionId id, const std::string&) override {
    events.push_back("disconnect " + std::to_string(id));
  }
  void onError(ConnectionId id, const std::string&, int code) override {
    events.push_back("error " + std::to_string(id) + " " + std::to_string(code));
  }
  void onFlushed(ConnectionId id, size_t unsent) override {
    events.push_back("flushed " + std::to_string(id) + " " + std::to_string(unsent));
  }
  void onAcknowledged(ConnectionId id, uint64_t acknowledged) override {
    events.push_back("acked " + std::to_string(id) + " " + std::to_string(acknowledged));
  }
  bool onPeerEnd(ConnectionId id) override {
    events.push_back("peer end " + std::to_string(id));
    return keepAfterPeerEnd;
  }

  bool closeOnRead = false;
  bool keepAfterPeerEnd = false;
  std::vector<std::string> events;

 private:
  ConnectionTable* table_;
};

struct Fixture {
  ScriptedCalls calls;
  std::vector<std::function<void()>> deferred;
  ConnectionTable table{calls, [this](std::function<void()> fn) { deferred.push_back(std::move(fn)); }};
  Recorder recorder{&table};

  ConnectionId open(SocketHandle socket) {
    const ConnectionId id = table.add(socket, "127.0.0.1", &recorder);
    table.connected(id);
    return id;
  }
  void runDeferred() {
    auto batch = std::move(deferred);
    deferred.clear();
    for (auto& fn : batch) fn();
  }
};

TEST(ConnectionTable, IdsAreNeverReusedEvenForTheSameSocket) {
  Fixture f;
  const ConnectionId first = f.open(5);
  f.table.close(first);
  f.table.close(first);  // a second close is ignored
  const ConnectionId second = f.open(5);
  EXPECT_NE(first, second);
  EXPECT_EQ(f.table.send(first, "late"), SendResult::kNoConnection);
  EXPECT_EQ(f.recorder.events,
            (std::vector<std::string>{"connect 1 127.0.0.1", "disconnect 1", "connect 2 127.0.0.1"}));
  EXPECT_EQ(f.calls.closed, std::vector<SocketHandle>{5});
}

// What the socket cannot take waits in the buffer, whole messages within the
// bound, and goes out as the socket takes it, the handler told each time.
TEST(ConnectionTable, TheOutboundBufferKeepsOrderAndItsBound) {
  Fixture f;
  f.table.setOutboundLimit(10);
  const ConnectionId id = f.open(3);
  f.calls.giveRoom(3, 4);
  EXPECT_EQ(f.table.send(id, "abcdef"), SendResult::kSent);
  EXPECT_EQ(f.table.pendingBytes(id), 2u);
  EXPECT_EQ(f.table.send(id, "ghijklmno"), SendResult::kOverLimit);  // 2 + 9 > 10
  EXPECT_EQ(f.table.send(id, "ghijklmn"), SendResult::kSent);        // 2 + 8 = 10
  f.calls.giveRoom(3, 5);
  f.table.writable(id);
  f.calls.giveRoom(3, 100);
  f.table.writable(id);
  f.table.writable(id);  // nothing left: nothing to tell
  EXPECT_EQ(f.calls.written[3], "abcdefghijklmn");
  EXPECT_EQ(f.recorder.events,
            (std::vector<std::string>{"connect 1 127.0.0.1", "flushed 1 5", "flushed 1 0"}));
  // An empty buffer takes a message of any size.
  EXPECT_EQ(f.table.send(id, std::string(50, 'z')), SendResult::kSent);
}

// A failed send is not a send: it and every later one answer kFailed, and
// the error reaches the handler from the loop, not inside the sender's call.
TEST(ConnectionTable, AFailedSendIsReportedLaterAndNothingMoreGoesOut) {
  Fixture f;
  const ConnectionId id = f.open(4);
  f.calls.sendError = 104;
  EXPECT_EQ(f.table.send(id, "abc"), SendResult::kFailed);
  EXPECT_EQ(f.table.send(id, "def"), SendResult::kFailed);
  EXPECT_EQ(f.recorder.events.size(), 1u);
  f.table.readable(id);  // a failed connection is not read either
  f.runDeferred();
  EXPECT_EQ(f.recorder.events,
            (std::vector<std::string>{"connect 1 127.0.0.1", "error 1 104", "disconnect 1"}));
  f.runDeferred();
  EXPECT_EQ(f.recorder.events.size(), 3u);
}

// A tracked connection's acknowledged count is sampled as writes complete
// (reported, never above what was written, never going down, before the
// flush) and once more as it ends; an untracked one reports none.
TEST(ConnectionTable, AcknowledgementsOfATrackedConnectionAreSampledAsWritesCompleteAndAtItsEnd) {
  Fixture f;
  const ConnectionId plain = f.open(2);
  const ConnectionId id = f.open(3);
  f.table.trackDelivery(id);
  f.table.trackDelivery(id);
  EXPECT_EQ(f.calls.tracked, std::vector<SocketHandle>{3});
  f.calls.giveRoom(3, 4);
  f.calls.acked[3] = 2;
  EXPECT_EQ(f.table.send(id, "abcdef"), SendResult::kSent);
  EXPECT_EQ(f.table.acknowledgedBytes(id), 2u);  // read by the sender, not reported
  f.calls.giveRoom(3, 100);
  f.calls.acked[3] = 99;
  f.table.writable(id);
  EXPECT_EQ(f.table.acknowledgedBytes(id), 6u);
  f.calls.acked[3] = 1;
  f.calls.giveRoom(2, 100);
  f.calls.acked[2] = 5;
  EXPECT_EQ(f.table.send(plain, "xyz"), SendResult::kSent);
  f.table.close(plain);
  f.table.close(id);
  EXPECT_EQ(f.table.acknowledgedBytes(plain), 0u);
  EXPECT_EQ(f.recorder.events,
            (std::vector<std::string>{"connect 1 127.0.0.1", "connect 2 127.0.0.1", "acked 2 6",
                                      "flushed 2 0", "disconnect 1", "acked 2 6",
                                      "disconnect 2"}));
  // The system's 32-bit count of retransmitted bytes (taken off what it
  // says was sent) goes on past its wrap instead of starting again at 0.
  WideCounter retransmitted;
  for (uint32_t reported : {100u, 0xFFFFFF00u, 0x40u, 0x40u}) retransmitted.add(reported);
  EXPECT_EQ(retransmitted.total(), 0x100000040u);
}

TEST(ConnectionTable, ReadsEndInDataThenCloseOrError) {
  struct Case {
    const char* name;
    std::deque<Io> script;
    int heldError;
    bool closeOnRead;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {"data, then the peer's end", {Io{Outcome::kDone, 10}, Io{Outcome::kEnded}}, 0, false,
       {"read 1 10", "peer end 1", "disconnect 1"}},
      {"data, then a reset", {Io{Outcome::kDone, 3}, Io{Outcome::kFailed, 0, 104}}, 0, false,
       {"read 1 3", "error 1 104", "disconnect 1"}},
      {"readable without data: the socket's error", {}, 111, false,
       {"error 1 111", "disconnect 1"}},
      {"the handler closes on the data", {Io{Outcome::kDone, 3}, Io{Outcome::kEnded}}, 0, true,
       {"read 1 3", "disconnect 1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.recorder.closeOnRead = c.closeOnRead;
    f.calls.heldError = c.heldError;
    const ConnectionId id = f.open(9);
    f.recorder.events.clear();
    f.calls.reads[9] = c.script;
    f.table.readable(id);
    EXPECT_EQ(f.recorder.events, c.events);
    EXPECT_FALSE(f.table.contains(id));
  }
  // One event reads at most kReadPerEvent, unless told to drain.
  {
    // A handler that still owes an answer keeps the connection after the
    // peer's end: it is not read again, sends go out, and the next event
    // (an error or the peer's full close) ends it.
    Fixture f;
    f.recorder.keepAfterPeerEnd = true;
    const ConnectionId id = f.open(9);
    f.calls.reads[9] = {Io{Outcome::kDone, 3}, Io{Outcome::kEnded}, Io{Outcome::kDone, 5}};
    f.table.readable(id);
    f.calls.giveRoom(9, 100);
    EXPECT_EQ(f.table.send(id, "answer"), SendResult::kSent);
    EXPECT_EQ(f.calls.written[9], "answer");
    f.calls.heldError = 104;
    f.table.readable(id);
    EXPECT_EQ(f.recorder.events, (std::vector<std::string>{"connect 1 127.0.0.1", "read 1 3",
                                                           "peer end 1", "error 1 104",
                                                           "disconnect 1"}));
  }
  Fixture f;
  const ConnectionId id = f.open(9);
  for (int i = 0; i < 8; ++i) f.calls.reads[9].push_back(Io{Outcome::kDone, 64 * 1024});
  f.table.readable(id);
  EXPECT_EQ(f.recorder.events.back(), "read 1 " + std::to_string(ConnectionTable::kReadPerEvent));
  f.table.readable(id, true);
  EXPECT_EQ(f.recorder.events.back(), "read 1 " + std::to_string(4 * 64 * 1024));
}

}  // namespace
}  // namespace platform
