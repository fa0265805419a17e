#include "metrics/metrics_endpoint.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "platform/tcp_client.h"
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
          [this](std::function<void()> job) {
            if (!dispatchable_) return false;
            std::lock_guard<std::mutex> lock(jobsMu_);
            ++dispatched_;
            if (holdJobs_) {
              held_.push_back(std::move(job));
            } else {
              // Collected on another thread, as by the processor.
              jobs_.emplace_back(std::move(job));
            }
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
      held_.clear();
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
  size_t waiting() {
    return thread_.call([&] { return endpoint_->waitingScrapes(); });
  }
  int dispatched() {
    std::lock_guard<std::mutex> lock(jobsMu_);
    return dispatched_;
  }
  // Jobs are held from now on, until releaseJobs.
  void holdJobs() {
    std::lock_guard<std::mutex> lock(jobsMu_);
    holdJobs_ = true;
  }
  // The held jobs run (on threads of their own), or are destroyed unrun.
  void releaseJobs(bool run) {
    std::lock_guard<std::mutex> lock(jobsMu_);
    holdJobs_ = false;
    for (auto& job : held_) {
      if (run) jobs_.emplace_back(std::move(job));
    }
    held_.clear();
  }
  // Waits for the jobs that run to end.
  void joinJobs() {
    std::vector<std::thread> running;
    {
      std::lock_guard<std::mutex> lock(jobsMu_);
      running.swap(jobs_);
    }
    for (std::thread& job : running) job.join();
  }

  test::LoopThread thread_;
  LinesHistory history_;
  std::mutex bodyMu_;
  std::string body_ = "tavin_up 1\n";  // guarded by bodyMu_
  std::atomic<int> scrapes_{0};
  std::atomic<bool> serving_{true};
  std::atomic<bool> dispatchable_{true};
  std::mutex jobsMu_;
  // Guarded by jobsMu_.
  std::vector<std::thread> jobs_;
  std::vector<std::function<void()>> held_;
  bool holdJobs_ = false;
  int dispatched_ = 0;
  std::unique_ptr<MetricsEndpoint> endpoint_;
  uint16_t port_ = 0;
};

TEST_F(MetricsEndpointTest, AnswersRequestsAndClosesEachConnection) {
  MetricsEndpointOptions o;
  o.textReuseMillis = 0;
  start(o);
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

// A peer that sends half a request and then nothing is closed at the head's
// time limit, one that asks and never reads a large answer at the whole time
// limit; meanwhile a connection beyond the slots is closed at once (the one
// in its slot is too young to give way), and afterwards scrapes are served
// again.
TEST_F(MetricsEndpointTest, SlowAndStuckClientsEndAtTheirTimeLimits) {
  MetricsEndpointOptions o;
  o.headTimeLimitMillis = 200;
  o.timeLimitMillis = 2500;
  o.maxConnections = 1;
  o.evictAfterMillis = 60000;
  setBody(std::string(8 * 1024 * 1024, 'x'));
  start(o);

  auto stuck = std::make_unique<TcpClient>();
  stuck->setReceiveBufferSize(4096);
  ASSERT_TRUE(stuck->connect("127.0.0.1", port_, kMillis).isOk());
  ASSERT_TRUE(stuck->sendAll("GET /metrics HTTP/1.1\r\n\r\n").isOk());
  ASSERT_TRUE(test::waitUntil([&] { return scrapes_ == 1; }));

  auto slow = connect();
  ASSERT_TRUE(slow->sendAll("GET /metr").isOk());
  auto third = connect();
  EXPECT_EQ(untilClosed(*third), "");  // closed without a byte
  EXPECT_EQ(refused(), 1u);
  // Well before the whole time limit.
  EXPECT_EQ(untilClosed(*slow, 1500), "");

  // The stuck client's connection was reset or closed with most of the
  // answer unsent.
  ASSERT_TRUE(test::waitUntil(
      [&] { return thread_.call([&] { return endpoint_->connectionCount(); }) == 0; }));
  std::string got;
  while (stuck->receive(&got, kMillis) == TcpClient::Received::kData) {
  }
  EXPECT_LT(got.size(), body().size());

  setBody("tavin_up 1\n");
  EXPECT_NE(exchange("GET /metrics HTTP/1.1\r\n\r\n").find("\r\n\r\ntavin_up 1\n"),
            std::string::npos);
}

// Idle connections in every slot give way to a newcomer, the longest
// waiting first, and the period's end sums the evictions up; a scraper that
// half-closes after its request is answered.
TEST_F(MetricsEndpointTest, IdleClientsGiveWayAndAHalfClosingScraperIsAnswered) {
  MetricsEndpointOptions o;
  o.maxConnections = 2;
  o.evictAfterMillis = 0;
  o.headTimeLimitMillis = 60000;
  o.refusalPeriodMillis = 200;
  start(o);
  auto first = connect();
  ASSERT_TRUE(first->sendAll("GET /metr").isOk());
  auto second = connect();
  auto scraper = connect();
  ASSERT_TRUE(scraper->sendAll("GET /metrics HTTP/1.1\r\n\r\n").isOk());
  scraper->shutdownSend();
  EXPECT_NE(untilClosed(*scraper).find("\r\n\r\ntavin_up 1\n"), std::string::npos);
  EXPECT_EQ(untilClosed(*first), "");
  EXPECT_EQ(untilClosed(*second, 300), "<open>");
  EXPECT_EQ(refused(), 0u);
  ASSERT_TRUE(test::waitUntil([&] { return history_.lines().size() == 2; }));
  EXPECT_EQ(history_.lines().back(), "Metrics slots full in the last minute: 1 evicted, 0 refused");
}

// Scrapes that arrive while a collection waits share it; one whose
// connection has closed before its turn (here at the time limit) is not
// collected for; a collection dropped unrun (the service stopped) is
// answered 503.
TEST_F(MetricsEndpointTest, ScrapesShareOneCollectionAndLeaversAreNotCollectedFor) {
  MetricsEndpointOptions o;
  o.timeLimitMillis = 3000;
  o.textReuseMillis = 0;
  start(o);
  holdJobs();
  std::vector<std::unique_ptr<TcpClient>> scrapers;
  for (int i = 0; i < 3; ++i) {
    scrapers.push_back(connect());
    ASSERT_TRUE(scrapers.back()->sendAll("GET /metrics HTTP/1.1\r\n\r\n").isOk());
    ASSERT_TRUE(test::waitUntil([&] { return waiting() == scrapers.size(); }));
  }
  EXPECT_EQ(dispatched(), 1);
  releaseJobs(true);
  for (auto& scraper : scrapers) {
    EXPECT_NE(untilClosed(*scraper).find("\r\n\r\ntavin_up 1\n"), std::string::npos);
  }
  EXPECT_EQ(scrapes_, 1);

  holdJobs();
  auto leaver = connect();
  ASSERT_TRUE(leaver->sendAll("GET /metrics HTTP/1.1\r\n\r\n").isOk());
  ASSERT_TRUE(test::waitUntil([&] { return waiting() == 1; }));
  EXPECT_EQ(untilClosed(*leaver), "");
  ASSERT_TRUE(test::waitUntil([&] { return waiting() == 0; }));
  releaseJobs(true);
  joinJobs();
  EXPECT_EQ(exchange("HEAD /metrics HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_EQ(scrapes_, 2);  // the leaver's collection was skipped
  EXPECT_EQ(dispatched(), 3);

  holdJobs();
  auto dropped = connect();
  ASSERT_TRUE(dropped->sendAll("GET /metrics HTTP/1.1\r\n\r\n").isOk());
  ASSERT_TRUE(test::waitUntil([&] { return dispatched() == 4; }));
  releaseJobs(false);
  EXPECT_EQ(untilClosed(*dropped), httpErrorResponse(503, true));
}

// A scrape soon after a collection gets its text without a collection of
// its own.
TEST_F(MetricsEndpointTest, AFreshTextAnswersAtOnce) {
  MetricsEndpointOptions o;
  o.textReuseMillis = 60000;
  start(o);
  EXPECT_EQ(exchange("GET /metrics HTTP/1.1\r\n\r\n"), exchange("GET /metrics HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(scrapes_, 1);
  EXPECT_EQ(dispatched(), 1);
}

// Unlisted connections are closed at once and use none of the window's
// accepts; past the listed ones of a window, the listener rests: a further
// connection waits in the system's queue, unanswered, until the window ends.
TEST_F(MetricsEndpointTest, OnlyListedConnectionsUseTheWindowsAccepts) {
  MetricsEndpointOptions o;
  o.acceptsPerWindow = 2;
  o.acceptWindowMillis = 60000;
  o.filterBeforeAccept = false;
  start(o);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(platform::probeTcp("127.0.0.1", "127.0.0.2", port_));
  ASSERT_TRUE(test::waitUntil([&] { return refused() == 5; }));
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(exchange("GET /metrics HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  }
  auto queued = connect();
  ASSERT_TRUE(queued->sendAll("GET /metrics HTTP/1.1\r\n\r\n").isOk());
  EXPECT_EQ(untilClosed(*queued, 300), "<open>");
}

// Only loopback scrapers allowed: the port is bound to 127.0.0.1 alone.
TEST_F(MetricsEndpointTest, UnlistedAddressesAreClosedWithoutAByteAndLoggedOnce) {
  MetricsEndpointOptions o;
  o.accessList = {"127.0.0.2"};
  o.filterBeforeAccept = false;  // the endpoint's own check
  start(o);
  TcpClient elsewhere;
  EXPECT_FALSE(elsewhere.connect("127.0.0.2", port_, kMillis).isOk());
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

}  // namespace
}  // namespace tavin
