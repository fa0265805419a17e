// The diagnostics through the real agent, asked by a console over loopback
// and by the real tavin-console. Gateways are loopback addresses only: a
// listener of the test on 127.0.0.1, 127.0.0.2 where nothing listens, and a
// listener on 127.0.0.3 that never answers.
#include <sstream>
#include <thread>
#include <vector>

#include "platform/tcp_client.h"

#include "platform/text.h"
#include "tests/e2e/agent_fixture.h"
#include "tests/e2e/gateway.h"
#include "tests/support/wire.h"

namespace tavin::e2e {
namespace {

using test::wire;

std::string utf8(const std::string& gbk) { return platform::gbkToUtf8(gbk); }

std::string shootBody(const std::string& serviceType, const std::string& shootingType) {
  return wire({"36=" + serviceType, "91=" + shootingType});
}

class TroubleShootingFixture : public AgentFixture {
 protected:
  // A complete installation: the agent's ini file with its three sections,
  // both programs enabled, their gateways open, refused, silent and
  // malformed in a mixed order.
  void install(const std::string& envNo) {
    writeFile("Tavin_ASHR.exe", "");
    writeFile("Tavin_BSHR.exe", "");
    writeFile("tavin.ini", "[TAVIN]\r\nenvNo=" + envNo + "\r\n");
    writeFile("cfgA/SystemConfiguration.ini",
              "[System]\r\nOperatorCounts=3\r\n[oper1]\r\nGwipCounts=4\r\n"
              "Gwip1=127.0.0.3\r\nLocalIP1=127.0.0.1\r\nGwip2=127.0.0.1\r\nLocalIP2=127.0.0.1\r\n"
              "Gwip3=127.0.0.2\r\nLocalIP3=127.0.0.1\r\nGwip4=127.0.0.3\r\nLocalIP4=127.0.0.1\r\n"
              // An empty local address ends the operator's list.
              "[oper2]\r\nGwipCounts=3\r\nGwip1=127.0.0.1\r\nLocalIP1=abc\r\n"
              "Gwip2=127.0.0.1\r\nLocalIP2=\r\nGwip3=127.0.0.1\r\nLocalIP3=127.0.0.1\r\n"
              "[oper3]\r\nGwipCounts=2\r\nGwip1=127.0.0.2\r\nLocalIP1=127.0.0.1\r\n"
              "Gwip2=127.0.0.1\r\nLocalIP2=127.0.0.1\r\n");
    writeFile("cfgB/SystemConfiguration.ini",
              "[System]\r\nOperatorCounts=1\r\n[oper1]\r\nGwipCounts=2\r\n"
              "Gwip1=127.0.0.3\r\nLocalIP1=127.0.0.1\r\nGwip2=127.0.0.1\r\nLocalIP2=127.0.0.1\r\n");
    writeIni("[Tavin]\r\nname=probe\r\n[Program]\r\n监控程序1=Y\r\n监控程序2=Y\r\n");
  }

  // The connection report of that installation, as a check of one gateway
  // after another writes it.
  static std::string report(const std::string& envNo) {
    auto line = [](const char* local, const char* gateway, bool ok) {
      return std::string("Host:") + local + "与CS" + gateway + (ok ? "连接正常" : "连接不正常") +
             "\r\n";
    };
    return "端口1" + envNo + "05\r\nA股报盘程序状态:\r\n" + line("127.0.0.1", "127.0.0.3", false) +
           line("127.0.0.1", "127.0.0.1", true) + line("127.0.0.1", "127.0.0.2", false) +
           line("127.0.0.1", "127.0.0.3", false) + line("abc", "127.0.0.1", false) +
           line("127.0.0.1", "127.0.0.2", false) + line("127.0.0.1", "127.0.0.1", true) +
           "B股报盘程序状态:\r\n" + line("127.0.0.1", "127.0.0.3", false) +
           line("127.0.0.1", "127.0.0.1", true);
  }

  int answerMs() const { return underWine() ? 20000 : 5000; }
};

using TroubleShootingSmoke = TroubleShootingFixture;
using TroubleShootingEndToEnd = TroubleShootingFixture;

TEST_F(TroubleShootingSmoke, AnswersTheThreeDiagnostics) {
  Gateway gateway;
  ASSERT_TRUE(openGateway(&gateway));
  install(gateway.envNo);
  startAgent();
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);

  struct Case {
    const char* shootingType;
    std::string result;
    int withinMs;  // 0: no bound
  };
  const Case cases[] = {
      {"AgentVersion", "1010300", 0},
      {"CheckCfgFile", "OK", 0},
      // The three silent gateways are tested side by side: about one time
      // limit in all, where one after another took three.
      {"CheckCS", report(gateway.envNo), 3 * platform::kProbeTimeoutMs / 2},
  };
  int sequence = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shootingType);
    const std::string seq = std::to_string(++sequence);
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(console->send(consoleFrame("19", seq, shootBody("", c.shootingType))));
    auto answer = console->receiveType("20", answerMs());
    ASSERT_TRUE(answer.has_value());
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - sent);
    if (c.withinMs > 0) {
      EXPECT_LT(took.count(), c.withinMs);
    }
    EXPECT_EQ(answer->message->getSequence(), seq);
    EXPECT_EQ(answer->message->getOrientation(), "S");
    // The body: the request's two fields (serviceType empty) and the result.
    const std::string body = wire({"36=", std::string("91=") + c.shootingType, "51=" + c.result});
    ASSERT_GE(answer->frame.size(), body.size() + 7);
    EXPECT_EQ(answer->frame.substr(answer->frame.size() - 7 - body.size(), body.size()), body);
  }
}

TEST_F(TroubleShootingEndToEnd, UnknownShootingTypeIsLoggedToTheFileAndUnanswered) {
  install("01");
  startAgent();
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  const std::string request = consoleFrame("19", "1", shootBody("s", "agentversion"));
  ASSERT_TRUE(console->send(request));
  EXPECT_TRUE(waitForHistory("Exception: Exception: this is an abstract class message body, "
                             "<127.0.0.1>" + request + "\r\n",
                             5000))
      << historyLog();
  // The next request is answered, and it is the first answer.
  ASSERT_TRUE(console->send(consoleFrame("19", "2", shootBody("s", "AgentVersion"))));
  auto answer = console->receiveType("20", answerMs());
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->message->getSequence(), "2");
  // The error line goes to the log file only, not to the view.
  for (const std::string& line : agent().outputLines()) {
    EXPECT_EQ(line.find("abstract class"), std::string::npos) << line;
  }
}

TEST_F(TroubleShootingEndToEnd, ConsoleClientPrintsTheConnectionReport) {
  Gateway gateway;
  ASSERT_TRUE(openGateway(&gateway));
  install(gateway.envNo);
  startAgent();
  AgentProcess client({TAVIN_E2E_CONSOLE, "--port", std::to_string(port()), "shoot", "CheckCS"},
                      workDir());
  ASSERT_TRUE(client.started());
  auto status = client.waitForExit(15000);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0) << client.errorOutput();
  // UTF-8, one line per line of the report.
  std::vector<std::string> lines = {"CheckCS:"};
  std::istringstream reportLines(utf8(report(gateway.envNo)));
  for (std::string line; std::getline(reportLines, line);) {
    lines.push_back(line.substr(0, line.size() - 1));  // without its CR
  }
  client.drainOutput();
  EXPECT_EQ(client.outputLines(), lines);
}

}  // namespace
}  // namespace tavin::e2e
