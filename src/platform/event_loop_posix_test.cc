#include "platform/event_loop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>

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
  const uint16_t port = thread.call([&] {
    EXPECT_TRUE(thread.loop().listen(0, &handler).isOk());
    return thread.loop().listeningPort();
  });
  TcpClient client;
  ASSERT_TRUE(client.connect("127.0.0.1", port, 10000).isOk());
  ASSERT_TRUE(waitUntil([&] { return handler.id != 0; }));
  client.abort();
  ASSERT_TRUE(waitUntil([&] { return handler.disconnects == 1; }));
  EXPECT_EQ(handler.code, ECONNRESET);
  thread.stop();
}

}  // namespace
}  // namespace platform
