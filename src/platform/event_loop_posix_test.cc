#include "platform/event_loop.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/tcp_client.h"
#include "tests/support/loop_thread.h"

namespace platform {
namespace {

using tavin::test::LoopThread;
using tavin::test::waitUntil;

// A signal sent to the process, whichever thread the kernel picks, ends up
// as a call on the loop thread; each signal reaches its own function.
TEST(EventLoopPosix, SignalsAreHandledOnTheLoopThread) {
  LoopThread thread;
  ASSERT_TRUE(thread.ok());
  const std::thread::id loopThread = thread.call([] { return std::this_thread::get_id(); });
  std::atomic<int> user1{0}, user2{0};
  std::atomic<bool> onLoop{true};
  thread.call([&] {
    thread.loop().onSignal(Signal::kUser1, [&] {
      if (std::this_thread::get_id() != loopThread) onLoop = false;
      ++user1;
    });
    thread.loop().onSignal(Signal::kUser2, [&] { ++user2; });
    return 0;
  });

  ASSERT_EQ(::kill(::getpid(), SIGUSR1), 0);
  ASSERT_TRUE(waitUntil([&] { return user1 == 1; }));
  ASSERT_EQ(::kill(::getpid(), SIGUSR2), 0);
  ASSERT_TRUE(waitUntil([&] { return user2 == 1; }));
  EXPECT_EQ(user1, 1);
  EXPECT_TRUE(onLoop);
  thread.stop();
}

// A terminal's new size reaches its function like the other signals.
TEST(EventLoopPosix, WindowChangeIsASignalOfItsOwn) {
  LoopThread thread;
  ASSERT_TRUE(thread.ok());
  std::atomic<int> changes{0}, user1{0};
  thread.call([&] {
    thread.loop().onSignal(Signal::kWindowChange, [&] { ++changes; });
    thread.loop().onSignal(Signal::kUser1, [&] { ++user1; });
    return 0;
  });
  ASSERT_EQ(::kill(::getpid(), SIGWINCH), 0);
  ASSERT_TRUE(waitUntil([&] { return changes == 1; }));
  EXPECT_EQ(user1, 0);
  thread.stop();
}

// A watched pipe: every write reaches the function on the loop thread, the
// writer's end is reported too, and an unwatched descriptor is left alone.
TEST(EventLoopPosix, WatchedInputIsReadOnTheLoopThread) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  LoopThread thread;
  ASSERT_TRUE(thread.ok());
  const std::thread::id loopThread = thread.call([] { return std::this_thread::get_id(); });
  std::mutex mu;
  std::string received;
  std::atomic<bool> ended{false}, onLoop{true};
  std::atomic<int> calls{0};
  const int readFd = fds[0];
  EXPECT_FALSE(thread.call([&] { return thread.loop().watchInput(-1, [] {}).isOk(); }));
  ASSERT_TRUE(thread.call([&] {
    return thread.loop()
        .watchInput(readFd,
                    [&] {
                      ++calls;
                      if (std::this_thread::get_id() != loopThread) onLoop = false;
                      char buffer[64];
                      const ssize_t n = ::read(readFd, buffer, sizeof buffer);
                      if (n <= 0) {
                        ended = true;
                        thread.loop().unwatchInput(readFd);
                        return;
                      }
                      std::lock_guard<std::mutex> lock(mu);
                      received.append(buffer, static_cast<size_t>(n));
                    })
        .isOk();
  }));
  auto receivedText = [&] {
    std::lock_guard<std::mutex> lock(mu);
    return received;
  };

  ASSERT_EQ(::write(fds[1], "ab", 2), 2);
  ASSERT_TRUE(waitUntil([&] { return receivedText() == "ab"; }));
  ASSERT_EQ(::write(fds[1], "c", 1), 1);
  ASSERT_TRUE(waitUntil([&] { return receivedText() == "abc"; }));
  ::close(fds[1]);
  ASSERT_TRUE(waitUntil([&] { return ended.load(); }));
  // Unwatched on its end: the closed pipe, readable forever, is not polled
  // again (a posted call runs only after the events before it).
  const int callsAtEnd = calls;
  thread.call([] { return 0; });
  thread.call([] { return 0; });
  EXPECT_EQ(calls, callsAtEnd);
  EXPECT_TRUE(onLoop);
  thread.stop();
  ::close(fds[0]);
}

// Linux reports a peer's reset as ECONNRESET: the handler hears the error
// with its code, then the disconnect.
TEST(EventLoopPosix, AResetIsReportedAsAnErrorWithItsCode) {
  struct Handler : ConnectionHandler {
    std::atomic<ConnectionId> id{0};
    std::atomic<int> code{0};
    std::atomic<int> disconnects{0};
    void onConnect(ConnectionId connection, const std::string&) override { id = connection; }
    void onRead(ConnectionId, std::string) override {}
    void onDisconnect(ConnectionId, const std::string&) override { ++disconnects; }
    void onError(ConnectionId, const std::string&, int error) override {
      if (disconnects == 0) code = error;
    }
  } handler;
  LoopThread thread;
  ASSERT_TRUE(thread.ok());
  const uint16_t port = thread.listen(&handler);
  TcpClient client;
  ASSERT_TRUE(client.connect("127.0.0.1", port, 10000).isOk());
  ASSERT_TRUE(waitUntil([&] { return handler.id != 0; }));
  client.abort();
  ASSERT_TRUE(waitUntil([&] { return handler.disconnects == 1; }));
  EXPECT_EQ(handler.code, ECONNRESET);
  thread.stop();
}

// A listener filtered to its peers: an unlisted address never completes its
// handshake (the system drops it before the queue, the handler hears
// nothing), a listed one connects as usual, and a text that is not an
// address matches nothing.
TEST(EventLoopPosix, AFilteredListenerNeverSeesUnlistedPeers) {
  struct Handler : ConnectionHandler {
    std::atomic<int> connects{0};
    void onConnect(ConnectionId, const std::string&) override { ++connects; }
    void onRead(ConnectionId, std::string) override {}
    void onDisconnect(ConnectionId, const std::string&) override {}
    void onError(ConnectionId, const std::string&, int) override {}
  } handler;
  LoopThread thread;
  ASSERT_TRUE(thread.ok());
  const uint16_t port = thread.call([&] {
    ListenerId id = 0;
    EXPECT_TRUE(thread.loop().listen(0, &handler, &id).isOk());
    EXPECT_TRUE(thread.loop().canFilterPeers());
    EXPECT_TRUE(thread.loop().filterPeers(id, {"127.0.0.3", "abc", "127.0.0.1"}).isOk());
    return thread.loop().listeningPort(id);
  });
  EXPECT_FALSE(probeTcp("127.0.0.1", "127.0.0.2", port, 300));
  EXPECT_EQ(handler.connects, 0);
  EXPECT_TRUE(probeTcp("127.0.0.1", "127.0.0.1", port, 3000));
  EXPECT_TRUE(probeTcp("127.0.0.1", "127.0.0.3", port, 3000));
  EXPECT_TRUE(waitUntil([&] { return handler.connects == 2; }));
  thread.stop();
}

}  // namespace
}  // namespace platform
