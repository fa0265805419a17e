#include "server/agent_server.h"

#include <cmath>
#include <exception>
#include <stdexcept>

#include "codec/codec_texts.h"
#include "codec/errors.h"
#include "codec/message.h"
#include "codec/numbers.h"
#include "handlers/beat_message.h"
#include "handlers/system_log_message.h"
#include "server/frame_reader.h"
#include "server/server_texts.h"

namespace tavin {

namespace {

std::string str(std::string_view text) { return std::string(text); }

// The raw-traffic line of a received message shows the unconsumed rest of
// the read, but no more of it than the message and this much of what
// follows: a read of many small messages would otherwise log its rest once
// per message, its size squared.
constexpr size_t kReceivedTextTail = 1024;

// The rest of text from start, cut behind the message (messageLength bytes,
// 0 when it could not be read) and kReceivedTextTail more, with the number of
// bytes left out.
std::string receivedText(const std::string& text, size_t start, size_t messageLength) {
  const size_t rest = text.size() - start;
  const size_t shown = messageLength + kReceivedTextTail;
  if (rest <= shown) return text.substr(start);
  return text.substr(start, shown) + str(kBytesNotLoggedPrefix) + std::to_string(rest - shown) +
         str(kBytesNotLoggedSuffix);
}

// The bytes a log message's body adds to its lines: the field's tag, "=" and
// the closing SOH.
size_t logBodyOverhead() { return LogMessageBody(std::string()).toString().size(); }

}  // namespace

AgentServer::AgentServer(const ServerContext& context, const ServerOptions& options)
    : loop_(context.loop),
      factory_(context.factory),
      history_(context.history),
      clock_(context.clock),
      countAll_(context.countAll),
      isAllowedAddress_(context.isAllowedAddress),
      logFeed_(context.logFeed),
      view_(context.view),
      options_(options),
      refusals_(context.loop, context.history, std::string(kClientPrefix),
                options.refusalSummaryMillis, options.refusalAddressLimit),
      processor_(*this, context.history, context.countAll,
                 std::chrono::milliseconds(options.processorWaitMillis), options.queueLimit),
      heartbeat_(*this, std::chrono::milliseconds(options.heartbeatPeriodMillis),
                 std::chrono::milliseconds(options.pushAnswerMillis)) {
  Message beat(str(kProtocolVersion), str(kOrientationAgent), str(kUnsolicitedSequence),
               std::make_unique<BeatMessageBody>());
  beatText_ = beat.toString();
  loop_.setOutboundLimit(options_.outboundLimit);
}

AgentServer::~AgentServer() {
  heartbeat_.stop();
  processor_.stop();
  anchor_.reset();
  shutDown_ = true;  // no loss lines from here on
  disableIdleTimer();
  refusals_.clear();
  closeAllClients();
  closeListener();
}

void AgentServer::postToLoop(std::function<void()> fn) {
  loop_.post([anchor = weakAnchor_, fn = std::move(fn)] {
    if (!anchor.expired()) fn();
  });
}

// Start, stop and shutdown

platform::SysStatus AgentServer::openListener() {
  platform::SysStatus status = loop_.listen(port_ != 0 ? port_ : options_.port, this, &listener_);
  if (!status) return status;
  // A configured port 0 becomes the port the system chose, so that a restart
  // or Start listens on the same port again.
  port_ = loop_.listeningPort(listener_);
  listening_ = true;
  logEvent(str(kListeningAt) + std::to_string(port_));
  return status;
}

void AgentServer::closeListener() {
  loop_.closeListener(listener_);
  listener_ = 0;
  listening_ = false;
}

void AgentServer::start() {
  if (listening_ || shutDown_) return;
  platform::SysStatus status = openListener();
  if (!status) {
    throw AppError(str(kCannotListenPrefix) + std::to_string(options_.port) + ": " +
                   status.toString());
  }
  running_ = true;
  showState();
  heartbeat_.start();
  processor_.start();
}

void AgentServer::btnStatusClick() {
  if (shutDown_) return;
  if (listening_) {
    enterStopped();
    return;
  }
  platform::SysStatus status = openListener();
  if (!status) {
    logEvent(str(kCannotListenPrefix) + std::to_string(port_) + ": " + status.toString());
    return;
  }
  heartbeat_.resume();
  processor_.resume();
  // Threads that never ran (no start() before) start here.
  heartbeat_.start();
  processor_.start();
  running_ = true;
  showState();
}

void AgentServer::enterStopped() {
  heartbeat_.pause();
  processor_.pause();
  closeAllClients();
  closeListener();
  processor_.clearQueue();
  running_ = false;
  showState();
  refreshCountersOnLoop();
}

void AgentServer::shutdown() {
  if (shutDown_) return;
  heartbeat_.stop();
  processor_.stop();
  // Work the threads posted before they ended is dropped, and the closes
  // below write no loss lines.
  anchor_.reset();
  shutDown_ = true;
  disableIdleTimer();
  refusals_.clear();
  // The console goes first: its host's last acknowledgement decides the
  // position kept for the next start, written now.
  closeAllClients();
  heartbeat_.saveDelivered();
  logEvent(str(kAgentClosed));
  closeListener();
  running_ = false;
}

void AgentServer::showState() {
  if (view_ != nullptr) view_->showState(listening_, running_);
}

void AgentServer::refreshCountersOnLoop() {
  if (view_ == nullptr) return;
  view_->showCounters(listening_ ? static_cast<int64_t>(sessions_.size()) : 0, receivedCount_,
                      sentCount_);
}

// Sessions

AgentServer::Session* AgentServer::findSession(platform::ConnectionId id) {
  for (Session& session : sessions_) {
    if (session.id == id) return &session;
  }
  return nullptr;
}

std::vector<std::pair<platform::ConnectionId, std::string>> AgentServer::sessionList() const {
  std::vector<std::pair<platform::ConnectionId, std::string>> list;
  for (const Session& session : sessions_) list.emplace_back(session.id, session.address);
  return list;
}

void AgentServer::closeAllClients() {
  for (const auto& [id, address] : sessionList()) loop_.close(id);  // each raises onDisconnect
}

bool AgentServer::isAllowed(const std::string& address) const {
  return isAllowedAddress_ && isAllowedAddress_(address);
}

void AgentServer::onConnect(platform::ConnectionId id, const std::string& address) {
  // One console at a time, and only from a listed address. A connection
  // being refused never counts as a console: nothing is read for it.
  if (!isAllowed(address) || !sessions_.empty()) {
    refuse(id, address);
    return;
  }
  Session session;
  session.id = id;
  session.address = address;
  sessions_.push_back(std::move(session));
  connectionCount_ = static_cast<int64_t>(sessions_.size());
  logEvent(str(kClientPrefix) + address + str(kConnectedSuffix));
  enableIdleTimer();  // a running timer keeps its countdown
  // A pushed line counts as delivered once the console's host has
  // acknowledged its bytes, not when the local system took them.
  loop_.trackDelivery(id);
  heartbeat_.consoleAdmitted(id);
  refreshCountersOnLoop();
}

void AgentServer::refuse(platform::ConnectionId id, const std::string& address) {
  ++refusedCount_;
  // A console retrying every 100 ms, or a flood, would write a line (two for
  // a listed address) per attempt: after the first, attempts are counted.
  // Only a refusal with its "denied" line gets the "lost" line too.
  if (!refusals_.refused(address)) quietlyRefused_ = id;
  loop_.close(id);
  quietlyRefused_ = 0;
}

void AgentServer::onDisconnect(platform::ConnectionId id, const std::string& address) {
  if (id == quietlyRefused_) return;  // counted, not logged
  for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
    if (it->id != id) continue;
    // Log lines whose bytes the console's host never acknowledged are read
    // again for the next console (the loop reported the last count just
    // before this).
    std::optional<std::any> unacknowledged;
    if (!it->unacknowledged.empty()) unacknowledged = std::move(it->unacknowledged.front().before);
    heartbeat_.consoleGone(id, std::move(unacknowledged));
    sessions_.erase(it);
    break;
  }
  connectionCount_ = static_cast<int64_t>(sessions_.size());
  if (shutDown_) return;
  // A listed console refused because another was connected is lost too.
  if (isAllowed(address)) logEvent(str(kClientPrefix) + address + str(kLostSuffix));
  refreshCountersOnLoop();
}

void AgentServer::onFlushed(platform::ConnectionId id, size_t unsent) {
  Session* session = findSession(id);
  if (session == nullptr) return;
  session->unsent = unsent;
  heartbeat_.unsentChanged(id, unsent);
}

void AgentServer::onAcknowledged(platform::ConnectionId id, uint64_t acknowledged) {
  if (Session* session = findSession(id)) dropAcknowledgedPushes(*session, acknowledged);
}

void AgentServer::dropAcknowledgedPushes(Session& session, uint64_t acknowledged) {
  std::any delivered;
  while (!session.unacknowledged.empty() && session.unacknowledged.front().end <= acknowledged) {
    delivered = std::move(session.unacknowledged.front().after);
    session.unacknowledged.pop_front();
  }
  if (delivered.has_value()) heartbeat_.delivered(std::move(delivered));
}

void AgentServer::onError(platform::ConnectionId, const std::string& address, int code) {
  if (shutDown_) return;
  logEvent(str(kConnectionToPrefix) + address + str(kSocketErrorInfix) + std::to_string(code));
  logEvent(str(kTryToRestart));
  closeAllClients();
  closeListener();
  showState();
  platform::SysStatus status = openListener();
  if (status) {
    showState();
    return;
  }
  // The port could not be bound again: the service is stopped, as after the
  // Stop button, so that Start tries again and the threads are not left
  // running against a closed listener.
  logEvent(str(kCannotListenPrefix) + std::to_string(port_) + ": " + status.toString());
  enterStopped();
}

// Idle timer

void AgentServer::enableIdleTimer() {
  if (idleTimer_ != 0) return;
  idleTimer_ = loop_.startTimer(options_.idleTimeoutMillis, false, [this] {
    idleTimer_ = 0;
    idleTimerFired();
  });
}

void AgentServer::disableIdleTimer() {
  if (idleTimer_ == 0) return;
  loop_.cancelTimer(idleTimer_);
  idleTimer_ = 0;
}

void AgentServer::idleTimerFired() {
  if (!sessions_.empty()) {
    logEvent(str(kClientTimedOut));
    closeAllClients();
  }
  disableIdleTimer();
}

// Receive path

void AgentServer::onRead(platform::ConnectionId id, std::string bytes) {
  Session* session = findSession(id);
  if (session == nullptr) return;
  const std::string address = session->address;
  // The start of a message kept from earlier reads comes first.
  std::string text = std::move(session->inbound);
  session->inbound.clear();
  text += bytes;

  const size_t total = text.size();
  size_t consumed = 0;
  size_t previous = total + 1;
  while (consumed < total && consumed != previous) {
    previous = consumed;
    ++receivedCount_;
    auto message = std::make_unique<Message>();
    int64_t result = Message::kIncomplete;
    std::exception_ptr parseFailure;
    try {
      result = parseAt(text, consumed, factory_, message.get());
    } catch (...) {
      parseFailure = std::current_exception();
    }
    if (countAll_) {
      const size_t length =
          result > 0 ? static_cast<size_t>(result - 1) + message->getCheckSumLength() : 0;
      logFile(str(kFromPrefix) + address + str(kReceivedInfix) +
              receivedText(text, consumed, length));
    }
    try {
      if (parseFailure) std::rethrow_exception(parseFailure);
      if (result == Message::kIncomplete) {
        // A message still arriving is kept for the next read (and is counted
        // when it is complete); bytes that can never become one are dropped.
        if (mayBeMessageStart(text, consumed)) {
          --receivedCount_;
          if (total - consumed > options_.inboundLimit) {
            logEvent(str(kMessageTooLong));
            loop_.close(id);
            return;
          }
          findSession(id)->inbound = text.substr(consumed);
        }
        return;
      }
      if (result == Message::kAgentOlder) {
        logEvent(str(kAgentVersionOlder));
        loop_.close(id);
        return;
      }
      if (result == Message::kConsoleOlder) {
        logEvent(str(kConsoleVersionOlder));
        loop_.close(id);
        return;
      }
      if (result == Message::kBadCheckSumField) {
        logEvent(str(kMessageParseError) + text.substr(consumed));
        loop_.close(id);
        return;
      }
      // The message is header + body + the checksum field; result is the
      // 1-based position of that field.
      consumed += static_cast<size_t>(result - 1) + message->getCheckSumLength();

      if (leadingInteger(message->getBodyLength()) > options_.maxBodyLength) {
        logEvent(str(kMessageTooLong));
        loop_.close(id);
        return;
      }
      disableIdleTimer();
      if (message->getMessageType() == kTypeHeartbeat) {
        logFile(str(kBeatReceivedFrom) + address);
        --receivedCount_;
      } else {
        SocketMessage item{id, address, std::move(message)};
        if (!processor_.enqueue(std::move(item))) {
          logEvent(str(kQueueFullPrefix) + address + str(kDisconnectedSuffix));
          loop_.close(id);
          return;
        }
      }
      enableIdleTimer();
      refreshCountersOnLoop();
    } catch (const AppError& e) {
      logFile(str(kReceiveAppErrorPrefix) + e.message() + ", <" + address + ">\n" +
              text.substr(consumed));
      refreshCountersOnLoop();
    } catch (const std::exception& e) {
      logFile(str(kReceiveStdErrorPrefix) + e.what() + ", <" + address + ">\n" +
              text.substr(consumed));
      refreshCountersOnLoop();
    }
  }
}

// Sends

bool AgentServer::sendTo(platform::ConnectionId id, const std::string& address,
                         const std::string& text) {
  switch (loop_.send(id, text)) {
    case platform::SendResult::kSent:
      if (Session* session = findSession(id)) {
        session->accepted += text.size();
        session->unsent = loop_.pendingBytes(id);
        dropAcknowledgedPushes(*session, loop_.acknowledgedBytes(id));
        // Any send may write what waited before it (or add to it): the log
        // push's idea of the console's room follows every change.
        heartbeat_.unsentChanged(id, session->unsent);
      }
      return true;
    case platform::SendResult::kNoConnection:
    case platform::SendResult::kFailed:
      // A failed connection's error and close are on their way: nothing went
      // out, so nothing is counted as sent.
      return false;
    case platform::SendResult::kOverLimit:
      logEvent(str(kClientPrefix) + address + str(kSendBufferFullInfix) +
               str(kDisconnectedSuffix));
      loop_.close(id);
      return false;
  }
  return false;
}

void AgentServer::deliver(Response response) {
  postToLoop([this, response = std::move(response)] { deliverResponse(response); });
}

void AgentServer::deliverResponse(const Response& response) {
  try {
    // The connection is known by its id, which is never reused: a console
    // that has left, even one that came back from the same address, is not
    // sent another console's answer.
    bool open = findSession(response.connection) != nullptr;
    if (response.bodyLength > options_.maxBodyLength) {
      logEvent(str(kMessageTooLong));
      if (open) loop_.close(response.connection);
      open = false;
    }
    if (open) {
      if (sendTo(response.connection, response.address, response.text)) {
        lastSendTimes_.set(response.address, clock_.nowMillis());
        ++sentCount_;
        if (countAll_) {
          logFile(str(kToPrefix) + response.address + str(kSendingInfix) + response.text);
        }
      }
    } else {
      logFile(str(kSocketClosedForMessage) + response.address + response.text);
    }
  } catch (const AppError& e) {
    logFile(str(kProcessorAppErrorPrefix) + e.message() + ", <" + response.address + ">" +
            response.requestText);
  } catch (const std::exception& e) {
    logFile(str(kProcessorStdErrorPrefix) + e.what() + ", <" + response.address + ">" +
            response.requestText);
  }
}

// Heartbeat

bool AgentServer::readSysLog(std::vector<LogBatch>* out, size_t budget) {
  if (logFeed_ == nullptr) return false;
  const size_t overhead = logBodyOverhead();
  const size_t maxBody = static_cast<size_t>(options_.maxBodyLength);
  return logFeed_->read(out, maxBody > overhead ? maxBody - overhead : 1, budget);
}

void AgentServer::rewindSysLog(const std::any& position) {
  if (logFeed_ != nullptr) logFeed_->rewind(position);
}

void AgentServer::saveSysLog(const std::any& position) {
  if (logFeed_ != nullptr) logFeed_->save(position);
}

void AgentServer::pushTo(platform::ConnectionId console, LogHandOff handOff) {
  postToLoop([this, console, handOff = std::move(handOff)] {
    // The thread may have given up waiting: then its lines are being read
    // again, and these must not go out. Claimed, it can no longer give up.
    if (!heartbeat_.claimHandOff(handOff.number)) return;
    size_t taken = 0;
    // Answered whatever happens here, a failure included (which goes on to
    // the loop's log): the thread must not wait for an answer that never
    // comes.
    auto answer = [&] {
      const Session* session = findSession(console);
      heartbeat_.pushAnswered(handOff.number, taken, session != nullptr ? session->unsent : 0);
    };
    try {
      pushOnLoop(console, handOff, &taken);
    } catch (...) {
      answer();
      throw;
    }
    answer();
  });
}

void AgentServer::sendBeats() {
  postToLoop([this] { beatsOnLoop(); });
}

void AgentServer::refreshCountersFromHeartbeat() {
  postToLoop([this] { refreshCountersOnLoop(); });
}

void AgentServer::pushOnLoop(platform::ConnectionId console, const LogHandOff& handOff,
                             size_t* taken) {
  for (const LogPush& push : handOff.messages) {
    Session* session = findSession(console);
    if (session == nullptr) break;
    const std::string address = session->address;
    // Pushes count neither as sends nor towards the heartbeat's silence.
    if (!sendTo(console, address, push.text)) break;
    ++*taken;
    // Kept until the console's host has acknowledged its last byte: if the
    // console leaves first, its lines are read again for the next console.
    session = findSession(console);
    if (session != nullptr && session->accepted > loop_.acknowledgedBytes(console)) {
      session->unacknowledged.push_back(
          UnacknowledgedPush{session->accepted, push.before, push.after});
    } else if (session != nullptr) {
      heartbeat_.delivered(push.after);
    }
    if (push.program < pushedLines_.size()) pushedLines_[push.program] += push.lines;
    if (countAll_) logFile(str(kToPrefix) + address + str(kSendingInfix) + push.text);
  }
}

void AgentServer::beatsOnLoop() {
  for (const auto& [id, address] : sessionList()) {
    const double now = clock_.nowMillis();
    const double last = lastSendTimes_.lookupOrAdd(address);
    // Either direction counts: a clock set back by more than the interval
    // makes the difference large and negative, and a heartbeat goes out.
    if (static_cast<int64_t>(std::fabs(now - last)) <= options_.beatIntervalMillis) continue;
    if (sendTo(id, address, beatText_)) {
      lastSendTimes_.set(address, now);
      logFile(str(kBeatSentTo) + address);
    }
  }
}

}  // namespace tavin
