#include "metrics/metrics_endpoint.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "platform/tcp_client.h"
#include "tests/support/fake_clock.h"
#include "tests/support/loop_thread.h"

namespace tavin {
namespace {

using platform::TcpClient;

constexpr int kMillis = 10000;

class LinesHistory : public History {
 public:
  void WriteHistory(const std::string& text, bool) override {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.push_back(text);
  }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

class MetricsEndpointTest : public ::testing::Test {
 protected:
  void start(MetricsEndpointOptions o = {}) {
    o.port = 0;
    port_ = thread_.call([&] {
      MetricsEndpointContext context{
          thread_.loop(),
          history_,
          platform::Clock::system(),
          [this](std::function<void()> job) {
            if (!dispatchable_) return false;
            // Collected on another thread, as by the processor.
            std::lock_guard<std::mutex> lock(jobsMu_);
            jobs_.emplace_back(std::move(job));
            return true;
          },
          [this] {
            std::string text = body();
            ++scrapes_;
            return text;
          },
          [this] { return serving_.load(); }};
      endpoint_ = std::make_unique<MetricsEndpoint>(context, o);
      EXPECT_TRUE(endpoint_->start().isOk());
      return endpoint_->port();
    });
    ASSERT_NE(port_, 0);
  }
  void TearDown() override {
    {
      std::lock_guard<std::mutex> lock(jobsMu_);
      for (std::thread& job : jobs_) job.join();
    }
    thread_.call([&] {
      endpoint_.reset();
      return 0;
    });
  }

  std::unique_ptr<TcpClient> connect() {
    auto client = std::make_unique<TcpClient>();
    EXPECT_TRUE(client->connect("127.0.0.1", port_, kMillis).isOk());
    return client;
  }
  // Everything the endpoint sends until it closes the connection; "<open>"
  // appended when it does not close within the deadline.
  static std::string untilClosed(TcpClient& client, int timeoutMs = kMillis) {
    std::string bytes;
    for (;;) {
      const TcpClient::Received got = client.receive(&bytes, timeoutMs);
      if (got == TcpClient::Received::kData) continue;
      if (got == TcpClient::Received::kTimeout) bytes += "<open>";
      return bytes;
    }
  }
  std::string exchange(const std::string& request) {
    auto client = connect();
    EXPECT_TRUE(client->sendAll(request).isOk());
    return untilClosed(*client);
  }
  std::string body() {
    std::lock_guard<std::mutex> lock(bodyMu_);
    return body_;
  }
  void setBody(std::string text) {
    std::lock_guard<std::mutex> lock(bodyMu_);
    body_ = std::move(text);
  }
  uint64_t refused() {
    return thread_.call([&] { return endpoint_->refusedCount(); });
  }

  test::LoopThread thread_;
  LinesHistory history_;
  std::mutex bodyMu_;
  std::string body_ = "tavin_up 1\n";  // guarded by bodyMu_
  std::atomic<int> scrapes_{0};
  std::atomic<bool> serving_{true};
  std::atomic<bool> dispatchable_{true};
  std::mutex jobsMu_;
  std::vector<std::thread> jobs_;  // guarded by jobsMu_
  std::unique_ptr<MetricsEndpoint> endpoint_;
  uint16_t port_ = 0;
};

TEST_F(MetricsEndpointTest, AnswersRequestsAndClosesEachConnection) {
  start();
  const std::string head200 =
      "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
      "Content-Length: 11\r\nConnection: close\r\n\r\n";
  struct Case {
    const char* name;
    std::string request;
    std::string response;
  };
  const Case cases[] = {
      {"GET", "GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n", head200 + "tavin_up 1\n"},
      {"HEAD", "HEAD /metrics HTTP/1.1\r\n\r\n", head200},
      {"other path", "GET / HTTP/1.1\r\n\r\n", httpErrorResponse(404, true)},
      {"other method", "PUT /metrics HTTP/1.1\r\n\r\n", httpErrorResponse(405, true)},
      {"malformed", "GET /metrics\r\n\r\n", httpErrorResponse(400, true)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(exchange(c.request), c.response);
  }
  EXPECT_EQ(scrapes_, 2);

  serving_ = false;
  EXPECT_EQ(exchange("GET /metrics HTTP/1.1\r\n\r\n"), httpErrorResponse(503, true));
  serving_ = true;
  dispatchable_ = false;
  EXPECT_EQ(exchange("GET /metrics HTTP/1.1\r\n\r\n"), httpErrorResponse(503, true));
  EXPECT_EQ(scrapes_, 2);
}

TEST_F(MetricsEndpointTest, AHeadOverTheLimitIsAnswered431) {
  MetricsEndpointOptions o;
  o.headLimit = 512;
  start(o);
  auto client = connect();
  // The peer goes on sending; the endpoint answers once the limit is passed.
  EXPECT_TRUE(client->sendAll("GET /metrics HTTP/1.1\r\nX: " + std::string(600, 'a')).isOk());
  EXPECT_EQ(untilClosed(*client), httpErrorResponse(431, true));
}

// A peer that sends half a request and then nothing, and one that asks and
// never reads a large answer, are both closed at the time limit; meanwhile a
// connection beyond the limit of concurrent ones is closed at once, and
// afterwards scrapes are served again.
TEST_F(MetricsEndpointTest, SlowAndStuckClientsEndAtTheTimeLimit) {
  MetricsEndpointOptions o;
  o.timeLimitMillis = 1500;
  o.maxConnections = 2;
  setBody(std::string(8 * 1024 * 1024, 'x'));
  start(o);

  auto slow = connect();
  ASSERT_TRUE(slow->sendAll("GET /metr").isOk());
  auto stuck = std::make_unique<TcpClient>();
  stuck->setReceiveBufferSize(4096);
  ASSERT_TRUE(stuck->connect("127.0.0.1", port_, kMillis).isOk());
  ASSERT_TRUE(stuck->sendAll("GET /metrics HTTP/1.1\r\n\r\n").isOk());
  ASSERT_TRUE(test::waitUntil([&] { return scrapes_ == 1; }));

  auto third = connect();
  EXPECT_EQ(untilClosed(*third), "");  // closed without a byte
  EXPECT_EQ(refused(), 1u);

  EXPECT_EQ(untilClosed(*slow), "");
  // The stuck client's connection was reset or closed with most of the
  // answer unsent.
  std::string got;
  while (stuck->receive(&got, kMillis) == TcpClient::Received::kData) {
  }
  EXPECT_LT(got.size(), body().size());

  setBody("tavin_up 1\n");
  EXPECT_NE(exchange("GET /metrics HTTP/1.1\r\n\r\n").find("\r\n\r\ntavin_up 1\n"),
            std::string::npos);
}

TEST_F(MetricsEndpointTest, UnlistedAddressesAreClosedWithoutAByteAndLoggedOnce) {
  MetricsEndpointOptions o;
  o.accessList = {"127.0.0.2"};
  start(o);
  for (int i = 0; i < 3; ++i) {
    auto client = connect();
    ASSERT_TRUE(client->sendAll("GET /metrics HTTP/1.1\r\n\r\n").isOk());
    EXPECT_EQ(untilClosed(*client), "");
  }
  EXPECT_EQ(refused(), 3u);
  EXPECT_EQ(scrapes_, 0);
  EXPECT_EQ(history_.lines(), (std::vector<std::string>{"Metrics listening at " +
                                                        std::to_string(port_),
                                                        "Metrics client 127.0.0.1 denied"}));
}

TEST(RefusalLog, OneLinePerAddressAndInterval) {
  RefusalLog log(60000);
  struct Step {
    const char* address;
    double at;
    std::optional<std::string> line;
  };
  const Step steps[] = {
      {"127.0.0.5", 1000, "Metrics client 127.0.0.5 denied"},
      {"127.0.0.5", 2000, std::nullopt},
      {"127.0.0.6", 3000, "Metrics client 127.0.0.6 denied"},
      {"127.0.0.5", 60999, std::nullopt},
      {"127.0.0.5", 61000,
       "Metrics client 127.0.0.5 denied (and 2 times more since the previous line)"},
      {"127.0.0.5", 200000, "Metrics client 127.0.0.5 denied"},
      {"127.0.0.5", 100000, "Metrics client 127.0.0.5 denied"},  // the clock went back
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.at);
    EXPECT_EQ(log.refused(step.address, step.at), step.line);
  }
}

}  // namespace
}  // namespace tavin
