// Socket behaviour that only the POSIX build can produce on loopback: a
// console's reset reaches the server as a connection error (Wine reports it
// as a plain close).
#include <gtest/gtest.h>

#include <cerrno>

#include "server/socket_test_fixture.h"

namespace tavin {
namespace {

using test::AgentServerSocketTest;
using test::TcpClient;
using test::waitUntil;

TEST_F(AgentServerSocketTest, AConsoleResetRestartsTheListenerOnTheSamePort) {
  startServer();
  TcpClient client;
  connectConsole(client);
  client.abort();
  const std::string listening = "Listening at " + std::to_string(port);
  ASSERT_TRUE(waitUntil([&] { return history.count(listening) == 2; }));
  const auto texts = history.texts();
  const std::vector<std::string> tail(texts.end() - 4, texts.end());
  EXPECT_EQ(tail, (std::vector<std::string>{
                      "Connection to 127.0.0.1 error(socket error):" + std::to_string(ECONNRESET),
                      "Try to restart", "Client 127.0.0.1 lost", listening}));

  TcpClient next;
  connectConsole(next);
  ASSERT_TRUE(next.sendAll(test::statusRequest("1")).isOk());
  const std::string expected = test::statusResponseText("1");
  EXPECT_EQ(test::readBytes(next, expected.size()), expected);
}

}  // namespace
}  // namespace tavin
