// The real agent's connections under pressure from misbehaving peers: run
// natively and, as part of the smoke suite, on the Windows build under Wine.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/e2e/agent_fixture.h"

namespace tavin::e2e {
namespace {

constexpr int kAnswerMs = 10000;

// Connects from a local address of the loopback range and resets the
// connection at once (SO_LINGER with no time): the agent accepts a socket
// whose peer is already gone. True when the connection was made.
bool connectAndReset(const char* from, int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, from, &local.sin_addr);
  sockaddr_in agent{};
  agent.sin_family = AF_INET;
  agent.sin_port = htons(static_cast<uint16_t>(port));
  agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool made = ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                    ::connect(fd, reinterpret_cast<sockaddr*>(&agent), sizeof agent) == 0;
  linger reset{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(fd);
  return made;
}

using ConnectionSmoke = AgentFixture;

// Refused peers that reset their connections leave error events behind for
// sockets the agent has closed. A console accepted right after them may get
// the same socket handle from the system: those events must not reach it
// (on Windows they would make the agent drop it and restart its listener).
TEST_F(ConnectionSmoke, ResetsOfRefusedPeersNeverReachTheNextConsole) {
  writeIni("");
  startAgent();
  constexpr int kRounds = 40;
  constexpr int kResetsPerRound = 6;
  std::unique_ptr<ConsoleConnection> console;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    if (console) {
      // The next console is admitted only once the agent has seen this one go.
      console->close();
      ASSERT_TRUE(waitForHistoryCount("Client 127.0.0.1 lost", round, kAnswerMs));
    }
    for (int i = 0; i < kResetsPerRound; ++i) ASSERT_TRUE(connectAndReset("127.0.0.2", port()));
    console = connectConsole();
    ASSERT_TRUE(console->send(consoleFrame("02", std::to_string(round))));
    auto answer = console->receiveType("03", kAnswerMs);
    ASSERT_TRUE(answer) << "the console lost its connection";
    EXPECT_EQ(answer->message->getSequence(), std::to_string(round));
  }
  const std::string log = historyLog();
  EXPECT_EQ(log.find("Try to restart"), std::string::npos);
  EXPECT_EQ(log.find("error(socket error)"), std::string::npos);
}

}  // namespace
}  // namespace tavin::e2e
