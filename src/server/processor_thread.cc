#include "server/processor_thread.h"

#include <stdexcept>

#include "codec/codec_texts.h"
#include "codec/errors.h"
#include "codec/numbers.h"
#include "server/server_texts.h"

namespace tavin {
namespace {

// The request written again for history lines. A request without a body
// cannot be written whole; its header stands for it.
std::string describe(Message& request) {
  try {
    return request.toString();
  } catch (const std::exception&) {
    return request.headerToString() + kSoh;
  }
}

}  // namespace

MsgProcessorThread::MsgProcessorThread(ResponseSink& sink, History& history,
                                       const std::atomic<bool>& countAll,
                                       std::chrono::milliseconds idleWait, size_t queueLimit)
    : sink_(sink), history_(history), countAll_(countAll), idleWait_(idleWait),
      queue_(queueLimit) {}

MsgProcessorThread::~MsgProcessorThread() { stop(); }

void MsgProcessorThread::start() {
  if (thread_.joinable()) return;
  queue_.restart();
  stopping_.reset();
  thread_ = std::thread([this] { run(); });
}

void MsgProcessorThread::stop() {
  if (!thread_.joinable()) return;
  // The queue first: a request cut short is then the last one the thread
  // takes.
  queue_.stop();
  stopping_.cancel();
  thread_.join();
}

bool MsgProcessorThread::enqueue(SocketMessage&& item) { return queue_.push(std::move(item)); }
bool MsgProcessorThread::enqueueJob(std::function<void()> job) {
  return queue_.pushJob(std::move(job));
}
size_t MsgProcessorThread::clearQueue() { return queue_.clear(); }
void MsgProcessorThread::pause() { queue_.hold(); }
void MsgProcessorThread::resume() { queue_.release(); }
bool MsgProcessorThread::isPaused() const { return queue_.isHeld(); }
size_t MsgProcessorThread::queued() const { return queue_.size(); }

void MsgProcessorThread::run() {
  const platform::Cancellation::Scope scope(stopping_);
  while (!queue_.isStopped()) {
    std::optional<SocketMessage> item = queue_.pop(idleWait_);
    if (item) process(*item);
  }
}

void MsgProcessorThread::process(SocketMessage& item) {
  if (item.job) {
    try {
      item.job();
    } catch (const std::exception& e) {
      history_.WriteHistory(std::string(kProcessorStdErrorPrefix) + e.what(), false);
    }
    return;
  }
  Message& request = *item.message;
  try {
    if (countAll_) {
      history_.WriteHistory(std::string(kFromPrefix) + item.address +
                                std::string(kExecutingInfix) + describe(request),
                            false);
    }
    // A type without a body class, or a request that yields nothing (a
    // console's heartbeat or log message), is answered with nothing and
    // reported like any other failed request.
    if (request.body() == nullptr) {
      throw std::logic_error(std::string(kNoBodyClass) + request.getMessageType());
    }
    std::unique_ptr<MessageBody> responseBody = request.execute();
    // A request cut short by a stop may have found too little to report; and
    // nothing may follow the agent's closing line.
    if (stopping_.isCancelled()) return;
    if (!responseBody) throw std::logic_error(std::string(kNoResponse));

    Message response(std::string(kProtocolVersion), std::string(kOrientationAgent),
                     request.getSequence(), std::move(responseBody));
    Response out;
    out.connection = item.connection;
    out.address = item.address;
    out.text = response.toString();
    out.bodyLength = leadingInteger(response.getBodyLength());
    out.requestText = describe(request);
    sink_.deliver(std::move(out));
  } catch (const AppError& e) {
    if (stopping_.isCancelled()) return;
    history_.WriteHistory(std::string(kProcessorAppErrorPrefix) + e.message() + ", <" +
                              item.address + ">" + describe(request),
                          false);
  } catch (const std::exception& e) {
    if (stopping_.isCancelled()) return;
    history_.WriteHistory(std::string(kProcessorStdErrorPrefix) + e.what() + ", <" +
                              item.address + ">" + describe(request),
                          false);
  }
}

}  // namespace tavin
