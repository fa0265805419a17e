// MsgProcessorThread: the worker that takes queued requests in order,
// executes each, wraps the response body in a message carrying the request's
// sequence, and hands the finished text to the loop side for sending. It
// never touches a socket.
//
// Its thread's platform::Cancellation (reached by the request handlers
// through Cancellation::ofThisThread) is cancelled by stop, so a diagnostic's
// connection tests or a pause before a retry end at once instead of holding
// the agent's exit.
//
// Owned by AgentServer. Members are "Any thread." unless noted.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "config/history.h"
#include "platform/cancellation.h"
#include "platform/event_loop.h"
#include "server/request_queue.h"

namespace tavin {

// A response ready to go back on the connection its request came on.
struct Response {
  platform::ConnectionId connection = 0;
  std::string address;      // the requester's address at receipt
  std::string text;         // the whole message as sent
  int64_t bodyLength = 0;   // the response's bodyLength value
  std::string requestText;  // the request as written again, for error lines
};

// Takes finished responses from the processor thread. Any thread.
class ResponseSink {
 public:
  virtual ~ResponseSink() = default;
  virtual void deliver(Response response) = 0;
};

class MsgProcessorThread {
 public:
  // countAll is the front-end's "记录所有消息" switch; idleWait bounds each wait
  // for a request (the thread also wakes at once when one is queued).
  MsgProcessorThread(ResponseSink& sink, History& history, const std::atomic<bool>& countAll,
                     std::chrono::milliseconds idleWait, size_t queueLimit);
  // Stops the thread (see stop).
  ~MsgProcessorThread();
  MsgProcessorThread(const MsgProcessorThread&) = delete;
  MsgProcessorThread& operator=(const MsgProcessorThread&) = delete;

  // Starts the thread; a second call does nothing.
  void start();
  // Appends a request; false when the queue is full (item left untouched).
  bool enqueue(SocketMessage&& item);
  // Sets the one job that runs on the processor thread when no request
  // waits (see RequestQueue): it never takes a request's place or counts
  // against the queue's bound. False while a job waits already. A job
  // dropped unrun (stop, clearQueue) is destroyed; one that throws is
  // reported as one history line.
  bool enqueueJob(std::function<void()> job);
  // Deletes every queued request unanswered.
  size_t clearQueue();
  // Pausing takes effect between requests: one being executed is finished.
  void pause();
  void resume();
  bool isPaused() const;
  size_t queued() const;
  // Ends the thread and waits for it. The request it is executing, if any,
  // is cut short (its waits end at once) and neither answered nor reported:
  // what it found may be incomplete. Not from the thread itself.
  void stop();

  // Executes one request and hands its response to the sink, or writes its
  // error line. The thread runs this for each request; tests call it directly.
  void process(SocketMessage& item);

 private:
  void run();

  ResponseSink& sink_;
  History& history_;
  const std::atomic<bool>& countAll_;
  const std::chrono::milliseconds idleWait_;
  RequestQueue queue_;
  // Cancelled by stop; the thread's cancellation while it runs.
  platform::Cancellation stopping_;
  std::thread thread_;
};

}  // namespace tavin
