// The agent's server: the listener and its console sessions (admission by the
// access list, one console at a time), the receive path that frames each
// connection's bytes into messages, the idle timer, the stop/start button,
// the restart after a client error, and the two worker threads it owns
// (MsgProcessorThread and HeartbeatThread).
//
// AgentServer lives on the loop thread: it is created, used and destroyed
// there, and it alone touches the connections. The worker threads reach it
// only by posting to the loop, so no thread ever holds a closed connection.
// The counters, the last-send times and the request queue are the state the
// threads share; each is guarded. Members say which thread may call them.
#pragma once

#include <any>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "codec/message_body_factory.h"
#include "config/history.h"
#include "config/refusal_log.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "server/heartbeat_thread.h"
#include "server/last_send_times.h"
#include "server/log_feed.h"
#include "server/processor_thread.h"
#include "server/server_view.h"

namespace tavin {

// What the server is given from outside. Everything referenced must outlive
// the server.
struct ServerContext {
  platform::EventLoop& loop;
  // Builds the bodies of received messages; the bodies carry what their
  // execute needs.
  const MessageBodyFactory& factory;
  History& history;
  platform::Clock& clock;
  // The front-end's "记录所有消息" switch: raw traffic goes to the log file.
  const std::atomic<bool>& countAll;
  // True when a console at this dotted address may connect. Loop thread.
  std::function<bool(const std::string&)> isAllowedAddress;
  // The new system-log lines the heartbeat pushes; null: none.
  LogFeed* logFeed = nullptr;
  // May be null (headless, or in tests).
  ServerView* view = nullptr;
};

// The server's numbers. The defaults are the agent's; tests shorten the
// periods and shrink the bounds.
struct ServerOptions {
  uint16_t port = 10012;                 // 0: the system picks one (tests)
  int64_t idleTimeoutMillis = 40000;     // a console silent this long is dropped
  int64_t heartbeatPeriodMillis = 3000;  // one heartbeat pass per period
  // How long the log push waits for the loop to take a hand-off of lines
  // before it takes them back and tries again later.
  int64_t pushAnswerMillis = 5000;
  int64_t processorWaitMillis = 250;     // longest wait of the processor for work
  int64_t beatIntervalMillis = 5000;     // a console is sent a heartbeat after this much silence
  int64_t maxBodyLength = 20480;         // longer bodies are neither served nor sent
  size_t inboundLimit = 64 * 1024;       // most bytes kept of a message still arriving
  size_t outboundLimit = platform::EventLoop::kDefaultOutboundLimit;
  size_t queueLimit = 1000;              // most requests waiting for the processor
  // A refused address's first refusal is logged; its further ones within
  // this period are counted and logged as one line at its end (RefusalLog).
  int64_t refusalSummaryMillis = RefusalLog::kDefaultPeriodMillis;
  size_t refusalAddressLimit = RefusalLog::kDefaultAddressLimit;  // counted one by one
};

class AgentServer : private platform::ConnectionHandler,
                    private ResponseSink,
                    private HeartbeatLink {
 public:
  // Builds the heartbeat message; opens nothing yet. Loop thread only.
  AgentServer(const ServerContext& context, const ServerOptions& options);
  // Stops the threads and closes every connection and the listener, without
  // the shutdown line. Loop thread only.
  ~AgentServer() override;
  AgentServer(const AgentServer&) = delete;
  AgentServer& operator=(const AgentServer&) = delete;

  // Opens the listener ("Listening at " line) and starts the heartbeat and
  // processor threads. Throws AppError "Cannot listen on port <n>: <reason>"
  // when the port cannot be bound; then nothing runs. Once only: later calls
  // do nothing (btnStatusClick starts a stopped server). Loop thread only.
  void start();

  // The start/stop button. While listening: pause both threads, close every
  // connection and the listener, drop the queued requests, refresh the
  // counters. While stopped: open the listener again and resume the threads.
  // Loop thread only.
  void btnStatusClick();

  // The confirmed exit: writes "Agent Closed", stops the heartbeat thread,
  // then the processor thread, and closes every connection and the listener.
  // Nothing of the server runs afterwards. Loop thread only.
  void shutdown();

  // Shows the connection count and the two counters on the view. Loop thread
  // only.
  void refreshCountersOnLoop();

  // Loop thread only.
  bool isListening() const { return listening_; }
  bool isRunning() const { return running_; }
  // The port the listener is bound to (the chosen one when configured 0);
  // 0 before start.
  uint16_t port() const { return port_; }

  // Any thread.
  uint64_t receivedCount() const { return receivedCount_; }
  uint64_t sentCount() const { return sentCount_; }
  int64_t connectionCount() const { return connectionCount_; }
  // Connections refused since start (unlisted, or a console already there).
  uint64_t refusedCount() const { return refusedCount_; }
  // System-log lines handed to a console, per program (0: program 1).
  uint64_t pushedLines(size_t program) const {
    return program < pushedLines_.size() ? pushedLines_[program].load() : 0;
  }
  std::optional<double> lastSendTime(const std::string& address) const {
    return lastSendTimes_.find(address);
  }
  // The heartbeat message, built once (42 bytes).
  const std::string& beatText() const { return beatText_; }
  // Runs job on the processor thread once no console request waits; one job
  // waits at most (false while another waits), and it never counts against
  // the request queue's bound. Any thread.
  bool runOnProcessor(std::function<void()> job) { return processor_.enqueueJob(std::move(job)); }

 private:
  // A log message the connection took whose bytes the console's host has
  // not acknowledged yet.
  struct UnacknowledgedPush {
    uint64_t end = 0;  // the offset just behind it in the connection's stream
    std::any before;   // the feed's position before its lines were read
    std::any after;    // and after: delivered once it is acknowledged
  };
  struct Session {
    platform::ConnectionId id = 0;
    std::string address;
    std::string inbound;  // the start of a message still arriving
    uint64_t accepted = 0;  // bytes the connection has taken, in all
    size_t unsent = 0;      // of those, bytes not yet written to the socket
    std::deque<UnacknowledgedPush> unacknowledged;
  };

  // platform::ConnectionHandler, on the loop thread.
  void onConnect(platform::ConnectionId id, const std::string& address) override;
  void onRead(platform::ConnectionId id, std::string bytes) override;
  void onDisconnect(platform::ConnectionId id, const std::string& address) override;
  void onError(platform::ConnectionId id, const std::string& address, int code) override;
  void onFlushed(platform::ConnectionId id, size_t unsent) override;
  void onAcknowledged(platform::ConnectionId id, uint64_t acknowledged) override;

  // ResponseSink, from the processor thread.
  void deliver(Response response) override;
  // HeartbeatLink, from the heartbeat thread.
  bool readSysLog(std::vector<LogBatch>* out, size_t budget) override;
  void rewindSysLog(const std::any& position) override;
  void saveSysLog(const std::any& position) override;
  void pushTo(platform::ConnectionId console, LogHandOff handOff) override;
  void sendBeats() override;
  void refreshCountersFromHeartbeat() override;

  // Loop thread.
  void deliverResponse(const Response& response);
  // Sends the hand-off's messages in order until one is not taken; *taken
  // counts those that were, as they go (a failure may end the call).
  void pushOnLoop(platform::ConnectionId console, const LogHandOff& handOff, size_t* taken);
  void beatsOnLoop();
  void idleTimerFired();
  // Refuses a new connection: a "denied" line for an address's first
  // refusal of the period, a count for the others (RefusalLog).
  void refuse(platform::ConnectionId id, const std::string& address);
  void enableIdleTimer();
  void disableIdleTimer();
  platform::SysStatus openListener();
  void closeListener();
  void closeAllClients();
  void enterStopped();
  // Sends on a session's connection; a console whose outbound buffer is full
  // is disconnected with a history line. True when the bytes were taken.
  bool sendTo(platform::ConnectionId id, const std::string& address, const std::string& text);
  // Forgets the pushes whose bytes the console's host has acknowledged; the
  // position behind the last of them is delivered.
  void dropAcknowledgedPushes(Session& session, uint64_t acknowledged);
  Session* findSession(platform::ConnectionId id);
  bool isAllowed(const std::string& address) const;
  // The sessions' ids and addresses, in order: a copy to walk while sends and
  // closes change the list.
  std::vector<std::pair<platform::ConnectionId, std::string>> sessionList() const;
  void showState();
  void logEvent(const std::string& text) { history_.LogEvent(text); }
  void logFile(const std::string& text) { history_.WriteHistory(text, false); }

  // Runs fn on the loop thread unless the server has shut down by then. Any
  // thread.
  void postToLoop(std::function<void()> fn);

  platform::EventLoop& loop_;
  const MessageBodyFactory& factory_;
  History& history_;
  platform::Clock& clock_;
  const std::atomic<bool>& countAll_;
  std::function<bool(const std::string&)> isAllowedAddress_;
  LogFeed* logFeed_;
  ServerView* view_;
  const ServerOptions options_;
  std::string beatText_;

  // Loop thread only.
  std::vector<Session> sessions_;  // the admitted console, when there is one
  platform::ListenerId listener_ = 0;
  uint16_t port_ = 0;
  bool running_ = false;
  bool shutDown_ = false;
  platform::TimerId idleTimer_ = 0;  // 0: disabled
  RefusalLog refusals_;
  platform::ConnectionId quietlyRefused_ = 0;  // being closed without its lines

  // Read by the worker threads.
  std::atomic<bool> listening_{false};
  std::atomic<int64_t> connectionCount_{0};
  std::atomic<uint64_t> receivedCount_{0};
  std::atomic<uint64_t> sentCount_{0};
  std::atomic<uint64_t> refusedCount_{0};
  std::array<std::atomic<uint64_t>, 2> pushedLines_{};
  LastSendTimes lastSendTimes_;

  // Work posted to the loop checks this first: after shutdown (or
  // destruction) it has expired and the work is dropped. The weak copy is
  // made once, so worker threads copy it without racing the reset.
  std::shared_ptr<char> anchor_ = std::make_shared<char>();
  const std::weak_ptr<char> weakAnchor_ = anchor_;

  // Declared last: destroyed (stopped) first, while everything they use lives.
  MsgProcessorThread processor_;
  HeartbeatThread heartbeat_;
};

}  // namespace tavin
