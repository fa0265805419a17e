// The metrics endpoint of the real agent, scraped over loopback beside a
// console: what it exposes, that a flood of scrapes never takes the
// console's place, and that it is off unless enabled.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/tcp_client.h"
#include "platform/text.h"
#include "tests/e2e/agent_fixture.h"

namespace tavin::e2e {
namespace {

std::string utf8(const std::string& gbk) { return platform::gbkToUtf8(gbk); }

class MetricsFixture : public AgentFixture {
 protected:
  // Both programs monitored, two trading units of program 1 (the status file
  // reports the first one), none of program 2; the metrics endpoint on its
  // own free port. Neither program's process runs.
  void install(const std::string& metricsLines) {
    writeFile("Tavin_ASHR.exe", "");
    writeFile("Tavin_BSHR.exe", "");
    writeFile("cfgA/SystemConfiguration.ini",
              "[System]\r\nOperatorCounts=2\r\n[oper1]\r\nOperCode=OP000000001\r\n"
              "[oper2]\r\nOperCode=OP000000002\r\n");
    writeFile("monitor/ASHR_status.txt",
              "[TIME]\r\nTime=20261208 09:30:01\r\n"
              "[QEXStatus]\r\nQEXVersion=3.2.0\r\nQEXType=A\r\nOperatorTotal=1\r\nWarningLevel=2\r\n"
              "[OperatorStatus.1]\r\nOperator=OP000000001\r\nStatus=3\r\nOrdNumSubmitted=14\r\n");
    writeIni("[Program]\r\n监控程序1=Y\r\n监控程序2=Y\r\n" + metricsLines);
  }

  // One HTTP exchange with the endpoint: everything it sent until it closed.
  std::string scrape(int port, const std::string& request) {
    platform::TcpClient client;
    if (!client.connect("127.0.0.1", static_cast<uint16_t>(port), 5000).isOk()) return "<refused>";
    if (!client.sendAll(request).isOk()) return "<send failed>";
    std::string bytes;
    while (client.receive(&bytes, underWine() ? 20000 : 5000) ==
           platform::TcpClient::Received::kData) {
    }
    return bytes;
  }
};

using MetricsSmoke = MetricsFixture;
using MetricsEndToEnd = MetricsFixture;

TEST_F(MetricsSmoke, ScrapeShowsHostProgramsTradingUnitsAndCounters) {
  const int metricsPort = freePort();
  install("[METRICS]\r\nenabled=Y\r\nport=" + std::to_string(metricsPort) +
          "\r\n[METRICS_ACCESS]\r\nbad=127.0.0\r\nlocal=127.0.0.1\r\n");
  startAgent();
  EXPECT_TRUE(waitForHistory("[METRICS_ACCESS] bad=127.0.0 ignored: not an IPv4 address", 5000));
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  ASSERT_TRUE(console->send(consoleFrame("02", "1")));
  ASSERT_TRUE(console->receiveType("03", underWine() ? 20000 : 5000).has_value());

  const std::string response = scrape(metricsPort, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
  ASSERT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << response;
  EXPECT_NE(response.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"),
            std::string::npos);
  const std::string p1 = "program=\"" + utf8("监控程序1") + "\"";
  const std::string p2 = "program=\"" + utf8("监控程序2") + "\"";
  const std::string unit1 = "{" + p1 + ",operator=\"OP000000001\"}";
  for (const std::string& line : {
           "tavin_program_exists{" + p1 + "} 1",
           "tavin_program_exists{" + p2 + "} 1",
           "tavin_program_running{" + p1 + "} 0",
           "tavin_program_status{" + p1 + ",status=\"" + utf8("停止") + "\"} 1",
           // Not running: the warning level is 0, the unit's counters empty.
           "tavin_program_warning_level{" + p1 + "} 0",
           "tavin_program_info{" + p1 + ",version=\"3.2.0\",type=\"A\"} 1",
           "tavin_trading_unit_status" + unit1 + " 3",
           "tavin_trading_unit_status{" + p1 + ",operator=\"OP000000002\"} 0",
           "tavin_trading_unit_info" + unit1.substr(0, unit1.size() - 1) +
               ",cs_ip=\"\",host_ext_ip=\"\"} 1",
           std::string("tavin_console_connected 1"),
           std::string("tavin_messages_received_total 1"),
           std::string("tavin_messages_sent_total 1"),
           std::string("tavin_build_info{version=\"1010300\"} 1"),
           "tavin_system_log_unread_bytes{" + p2 + "} 0",
       }) {
    EXPECT_NE(response.find("\n" + line + "\n"), std::string::npos) << line;
  }
  EXPECT_EQ(response.find("tavin_trading_unit_bid_number" + unit1), std::string::npos);
  EXPECT_NE(response.find("\ntavin_host_cpu_usage_percent "), std::string::npos);
  // The push has looked for the programs' system logs, which do not exist.
  const std::string missing = "\ntavin_system_log_file_missing{" + p1 + "} 1\n";
  for (int tries = 0; tries < 50; ++tries) {
    if (scrape(metricsPort, "GET /metrics HTTP/1.1\r\n\r\n").find(missing) != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_NE(scrape(metricsPort, "GET /metrics HTTP/1.1\r\n\r\n").find(missing), std::string::npos);

  const std::string head = scrape(metricsPort, "HEAD /metrics HTTP/1.1\r\n\r\n");
  EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n");
  EXPECT_EQ(scrape(metricsPort, "GET /other HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 404", 0), 0u);
}

// Local threads sending "GET /metrics" and closing at once, as fast as they
// can for a few seconds: the console stays connected and its status
// requests are answered throughout, each well within a bound that a queue
// of piled-up collections would pass.
TEST_F(MetricsEndToEnd, AScrapeFloodNeverTakesTheConsolesPlace) {
  const int metricsPort = freePort();
  install("[METRICS]\r\nenabled=Y\r\nport=" + std::to_string(metricsPort) + "\r\n");
  startAgent();
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);

  constexpr int kThreads = 3;
  constexpr int kScrapesEach = 20000;
  std::atomic<bool> stop{false};
  std::atomic<int> scrapes{0};
  std::vector<std::thread> flood;
  for (int t = 0; t < kThreads; ++t) {
    flood.emplace_back([&] {
      for (int i = 0; i < kScrapesEach && !stop; ++i) {
        platform::TcpClient client;
        const auto port = static_cast<uint16_t>(metricsPort);
        if (client.connect("127.0.0.1", port, 5000).isOk() &&
            client.sendAll("GET /metrics HTTP/1.1\r\n\r\n").isOk()) {
          ++scrapes;
        }
      }
    });
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(6);
  const int64_t boundMs = underWine() ? 2000 : 500;
  auto slowest = std::chrono::steady_clock::duration::zero();
  int answered = 0;
  for (int sequence = 1; std::chrono::steady_clock::now() < end; ++sequence) {
    const auto start = std::chrono::steady_clock::now();
    if (!console->send(consoleFrame("02", std::to_string(sequence)))) break;
    auto response = console->receiveType("03", 10000);
    if (!response) break;
    slowest = std::max(slowest, std::chrono::steady_clock::now() - start);
    ++answered;
  }
  stop = true;
  for (std::thread& thread : flood) thread.join();
  EXPECT_GT(scrapes, 1000);
  EXPECT_GT(answered, 10);
  EXPECT_FALSE(console->closed());
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count(), boundMs);
  ASSERT_TRUE(console->send(consoleFrame("02", "0")));
  EXPECT_TRUE(console->receiveType("03", 10000).has_value());
  EXPECT_EQ(historyLog().find("Request queue full"), std::string::npos);
}

// A listed scraper scrapes five times a second for a few seconds while an
// unlisted address (127.0.0.2) connects and closes as fast as one thread
// can, and a listed local client opens idle connections 100 times a second
// (under the accept budget): every scrape is answered, each within
// Prometheus's 5-second timeout.
TEST_F(MetricsSmoke, ListedScrapesAreAnsweredThroughUnlistedAndIdleFloods) {
  const int metricsPort = freePort();
  install("[METRICS]\r\nenabled=Y\r\nport=" + std::to_string(metricsPort) + "\r\n");
  startAgent();
  ASSERT_EQ(scrape(metricsPort, "GET /metrics HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200 OK", 0), 0u);
  const auto port = static_cast<uint16_t>(metricsPort);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::atomic<int> unlisted{0};
  std::thread flood([&] {
    while (std::chrono::steady_clock::now() < end) {
      platform::probeTcp("127.0.0.1", "127.0.0.2", port, 100);
      ++unlisted;
    }
  });
  std::thread idle([&] {
    std::vector<platform::TcpClient> open;
    for (auto next = std::chrono::steady_clock::now(); next < end;
         next += std::chrono::milliseconds(10)) {
      std::this_thread::sleep_until(next);
      platform::TcpClient client;
      if (client.connect("127.0.0.1", port, 1000).isOk()) open.push_back(std::move(client));
      if (open.size() > 300) open.erase(open.begin(), open.begin() + 100);
    }
  });
  int scrapes = 0;
  int answered = 0;
  while (std::chrono::steady_clock::now() < end) {
    const auto start = std::chrono::steady_clock::now();
    ++scrapes;
    if (scrape(metricsPort, "GET /metrics HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200 OK", 0) == 0 &&
        std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
      ++answered;
    }
    std::this_thread::sleep_until(start + std::chrono::milliseconds(200));
  }
  flood.join();
  idle.join();
  EXPECT_GT(unlisted, 10);
  EXPECT_EQ(answered, scrapes);
}

TEST_F(MetricsEndToEnd, NothingListensUnlessEnabled) {
  const int metricsPort = freePort();
  install("[METRICS]\r\nport=" + std::to_string(metricsPort) + "\r\n");
  startAgent();
  EXPECT_EQ(scrape(metricsPort, "GET /metrics HTTP/1.1\r\n\r\n"), "<refused>");
  EXPECT_EQ(historyLog().find("Metrics"), std::string::npos);
}

}  // namespace
}  // namespace tavin::e2e
