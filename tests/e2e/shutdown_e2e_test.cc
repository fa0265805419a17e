// A stop of the agent while a diagnostic tests gateways that never answer
// (3 seconds each, 64 at a time): the agent ends at once, and "Agent Closed"
// stays the last line of its log. (The window build's exit button and
// end of session: window_e2e_test.cc.)
#include <signal.h>

#include <thread>

#include "tests/e2e/agent_fixture.h"
#include "tests/e2e/gateway.h"

namespace tavin::e2e {
namespace {

using AgentShutdown = AgentFixture;

TEST_F(AgentShutdown, SigtermDuringConnectionChecksEndsTheAgentAtOnce) {
  Gateway gateway;
  ASSERT_TRUE(openSilentGateway(&gateway));
  // 480 operators of two links each, 64 links at a time: 45 seconds of tests.
  const CheckCsInstallation installation = checkCsInstallation(gateway, 480);
  for (const auto& [file, bytes] : installation.files) writeFile(file, bytes);
  writeIni(installation.iniLines);
  startAgent();
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  ASSERT_TRUE(console->send(checkCsRequest("1")));
  ASSERT_TRUE(waitForHistory("]executing:", 5000)) << historyLog();

  const auto stoppedAt = std::chrono::steady_clock::now();
  agent().sendSignal(SIGTERM);
  // Half of what the tests in flight would take.
  const auto status = agent().waitForExit(60000);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - stoppedAt).count();
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0);
  EXPECT_LT(seconds, 10.0);
  const std::string log = historyLog();
  ASSERT_GE(log.size(), 14u);
  EXPECT_EQ(log.substr(log.size() - 14), "Agent Closed\r\n") << log;
  EXPECT_FALSE(console->receiveType("20", 0).has_value());  // the cut-short check is not answered
}

}  // namespace
}  // namespace tavin::e2e
