#include "server/processor_thread.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "codec/errors.h"
#include "server/server_test_support.h"

namespace tavin {
namespace {

using test::RecordingHistory;
using test::ScriptedRequest;
using test::wire;

class RecordingSink : public ResponseSink {
 public:
  void deliver(Response response) override {
    std::lock_guard<std::mutex> lock(mu_);
    responses_.push_back(std::move(response));
  }
  std::vector<Response> responses() const {
    std::lock_guard<std::mutex> lock(mu_);
    return responses_;
  }

 private:
  mutable std::mutex mu_;
  std::vector<Response> responses_;
};

// A queued request of type "02" with this sequence whose execute runs script.
SocketMessage request(const std::string& sequence, ScriptedRequest::Script script,
                      platform::ConnectionId connection = 7) {
  auto message = std::make_unique<Message>("Tavin1.20", "C", sequence,
                                           std::make_unique<ScriptedRequest>("02", script));
  return SocketMessage{connection, "127.0.0.1", std::move(message)};
}

// The request of type "02" with sequence 9 as the processor writes it again.
const std::string kRequestText = test::consoleMessage("02", "9");

class ProcessorTest : public ::testing::Test {
 protected:
  RecordingSink sink;
  RecordingHistory history;
  std::atomic<bool> countAll{false};
  test::Gate gate;
  MsgProcessorThread processor{sink, history, countAll, std::chrono::milliseconds(20), 100};
};

TEST_F(ProcessorTest, WrapsTheResponseWithTheRequestsSequence) {
  SocketMessage item = request("9", [] { return test::fixedStatusResponse(); });
  processor.process(item);
  const auto responses = sink.responses();
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].connection, 7u);
  EXPECT_EQ(responses[0].address, "127.0.0.1");
  EXPECT_EQ(responses[0].text, test::statusResponseText("9"));
  EXPECT_EQ(responses[0].bodyLength, 74);
  EXPECT_EQ(responses[0].requestText, kRequestText);
  EXPECT_TRUE(history.lines().empty());
}

TEST_F(ProcessorTest, FailedRequestsAreReportedWithTheirFamily) {
  struct Case {
    const char* name;
    ScriptedRequest::Script script;
    std::string line;
  } cases[] = {
      {"standard library error",
       [] () -> std::unique_ptr<MessageBody> { throw std::runtime_error("disk gone"); },
       "Exception: Exception: disk gone, <127.0.0.1>" + kRequestText},
      {"application error",
       [] () -> std::unique_ptr<MessageBody> { throw ConversionError("'x' is bad"); },
       "Exception(BCB): Exception: 'x' is bad, <127.0.0.1>" + kRequestText},
      {"no response body", [] { return std::unique_ptr<MessageBody>(); },
       "Exception: Exception: request yields no response, <127.0.0.1>" + kRequestText},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    history.clear();
    SocketMessage item = request("9", c.script);
    processor.process(item);
    ASSERT_EQ(history.lines().size(), 1u);
    EXPECT_EQ(history.lines()[0].text, c.line);
    EXPECT_FALSE(history.lines()[0].shown);
  }
  EXPECT_TRUE(sink.responses().empty());
}

TEST_F(ProcessorTest, ARequestWithoutBodyIsReportedByItsType) {
  auto message = std::make_unique<Message>();
  const MessageBodyFactory factory = wireBodyFactory();
  const std::string text = test::consoleMessage("77", "3");
  ASSERT_GT(message->parse(text, factory), 0);
  SocketMessage item{1, "127.0.0.1", std::move(message)};
  processor.process(item);
  ASSERT_EQ(history.lines().size(), 1u);
  EXPECT_EQ(history.lines()[0].text,
            "Exception: Exception: no body class for message type 77, <127.0.0.1>" +
                wire({"00=Tavin1.20", "01=C", "04=77", "12=3", "15=0"}));
}

TEST_F(ProcessorTest, CountAllLogsEachRequestBeforeItRuns) {
  countAll = true;
  SocketMessage item = request("9", [] { return test::fixedStatusResponse(); });
  processor.process(item);
  ASSERT_EQ(history.lines().size(), 1u);
  EXPECT_EQ(history.lines()[0].text, "[From: 127.0.0.1]executing:" + kRequestText);
}

TEST_F(ProcessorTest, TheThreadAnswersInQueueOrder) {
  processor.start();
  for (int i = 1; i <= 5; ++i) {
    ASSERT_TRUE(processor.enqueue(request(std::to_string(i), [] {
      return test::fixedStatusResponse();
    })));
  }
  ASSERT_TRUE(test::waitUntil([&] { return sink.responses().size() == 5; }));
  const auto responses = sink.responses();
  for (int i = 1; i <= 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(responses[i - 1].text, test::statusResponseText(std::to_string(i)));
  }
}

// A job runs once no request waits, and one job waits at most.
TEST_F(ProcessorTest, AJobWaitsForTheRequestsAndAFailingJobIsReported) {
  std::mutex mu;
  std::vector<std::string> order;
  processor.pause();
  processor.start();
  ASSERT_TRUE(processor.enqueue(request("1", [&] {
    std::lock_guard<std::mutex> lock(mu);
    order.push_back("request 1");
    return test::fixedStatusResponse();
  })));
  ASSERT_TRUE(processor.enqueueJob([&] {
    std::lock_guard<std::mutex> lock(mu);
    order.push_back("job");
  }));
  EXPECT_FALSE(processor.enqueueJob([] {}));
  ASSERT_TRUE(processor.enqueue(request("2", [&] {
    std::lock_guard<std::mutex> lock(mu);
    order.push_back("request 2");
    return test::fixedStatusResponse();
  })));
  processor.resume();
  ASSERT_TRUE(test::waitUntil([&] {
    std::lock_guard<std::mutex> lock(mu);
    return order.size() == 3;
  }));
  ASSERT_TRUE(processor.enqueueJob([] { throw std::runtime_error("scrape failed"); }));
  ASSERT_TRUE(test::waitUntil([&] { return history.lines().size() == 1; }));
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(order, (std::vector<std::string>{"request 1", "request 2", "job"}));
  EXPECT_EQ(history.lines()[0].text, "Exception: Exception: scrape failed");
}

TEST_F(ProcessorTest, PauseHoldsTheQueueAndClearDropsIt) {
  processor.start();
  processor.pause();
  ASSERT_TRUE(processor.enqueue(request("1", [] { return test::fixedStatusResponse(); })));
  ASSERT_TRUE(processor.enqueue(request("2", [] { return test::fixedStatusResponse(); })));
  // Nothing was taken while paused: both are still there to be dropped.
  EXPECT_EQ(processor.clearQueue(), 2u);
  processor.resume();
  ASSERT_TRUE(processor.enqueue(request("3", [] { return test::fixedStatusResponse(); })));
  ASSERT_TRUE(test::waitUntil([&] { return sink.responses().size() == 1; }));
  EXPECT_EQ(sink.responses()[0].text, test::statusResponseText("3"));
}

TEST_F(ProcessorTest, PauseLetsTheRunningRequestFinishAndHoldsTheNext) {
  processor.start();
  std::atomic<bool> started{false};
  ASSERT_TRUE(processor.enqueue(request("1", [&] {
    started = true;
    gate.wait();
    return test::fixedStatusResponse();
  })));
  ASSERT_TRUE(test::waitUntil([&] { return started.load(); }));
  processor.pause();
  ASSERT_TRUE(processor.enqueue(request("2", [] { return test::fixedStatusResponse(); })));
  gate.open();
  // The running request is finished and answered; the next one waits.
  ASSERT_TRUE(test::waitUntil([&] { return sink.responses().size() == 1; }));
  EXPECT_EQ(processor.clearQueue(), 1u);
}

TEST_F(ProcessorTest, TheQueueIsBounded) {
  MsgProcessorThread small(sink, history, countAll, std::chrono::milliseconds(20), 2);
  EXPECT_TRUE(small.enqueue(request("1", [] { return test::fixedStatusResponse(); })));
  EXPECT_TRUE(small.enqueue(request("2", [] { return test::fixedStatusResponse(); })));
  SocketMessage third = request("3", [] { return test::fixedStatusResponse(); });
  EXPECT_FALSE(small.enqueue(std::move(third)));
  EXPECT_NE(third.message, nullptr);  // a refused item stays with the caller
  EXPECT_EQ(small.queued(), 2u);
  EXPECT_TRUE(small.enqueueJob([] {}));  // beside the requests, not in their place
  EXPECT_EQ(small.clearQueue(), 3u);
}

// A stop ends the waits of the request being executed (here one of an hour)
// at once; the request is neither answered nor reported.
TEST_F(ProcessorTest, StopCutsTheRunningRequestShort) {
  processor.start();
  std::atomic<bool> started{false};
  std::atomic<bool> waitedOut{true};
  ASSERT_TRUE(processor.enqueue(request("1", [&] {
    started = true;
    waitedOut = platform::Cancellation::ofThisThread().waitFor(3600 * 1000);
    return test::fixedStatusResponse();
  })));
  ASSERT_TRUE(test::waitUntil([&] { return started.load(); }));
  auto stopped = std::async(std::launch::async, [&] { processor.stop(); });
  if (stopped.wait_for(test::kDeadline) != std::future_status::ready) {
    std::fprintf(stderr, "a stop did not end the running request's wait\n");
    std::abort();
  }
  EXPECT_FALSE(waitedOut);
  EXPECT_TRUE(sink.responses().empty());
  EXPECT_TRUE(history.lines().empty());
}

// Stopping does not wait out the idle period.
TEST_F(ProcessorTest, StopEndsAnIdleThreadAtOnce) {
  MsgProcessorThread idle(sink, history, countAll, std::chrono::hours(1), 10);
  idle.start();
  auto stopped = std::async(std::launch::async, [&] { idle.stop(); });
  ASSERT_EQ(stopped.wait_for(test::kDeadline), std::future_status::ready);
}

// A stop that comes at any point of the thread's start-up or wait ends the
// thread, and a stopped thread can be started again. A lost stop would leave
// the thread waiting out its hour, so the test gives up loudly instead.
TEST_F(ProcessorTest, EveryStopEndsTheThreadAndStartRunsItAgain) {
  MsgProcessorThread idle(sink, history, countAll, std::chrono::hours(1), 10);
  auto cycles = std::async(std::launch::async, [&] {
    for (int i = 0; i < 200; ++i) {
      idle.start();
      idle.stop();
    }
  });
  if (cycles.wait_for(test::kDeadline) != std::future_status::ready) {
    std::fprintf(stderr, "a stop did not end the processor thread\n");
    std::abort();
  }
  idle.start();
  ASSERT_TRUE(idle.enqueue(request("1", [] { return test::fixedStatusResponse(); })));
  ASSERT_TRUE(test::waitUntil([&] { return sink.responses().size() == 1; }));
  EXPECT_EQ(sink.responses()[0].text, test::statusResponseText("1"));
}

}  // namespace
}  // namespace tavin
