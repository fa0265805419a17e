// The running agent: builds everything in start-up order on the loop thread
// and offers the operator's actions (start/stop, raw-traffic logging, exit)
// to whichever front-end shows it (window, terminal or headless output).
//
// Owned by the program's entry; created, used and destroyed on the loop
// thread. The front-end's views must outlive it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "codec/message_body_factory.h"
#include "config/agent_config.h"
#include "config/history_log.h"
#include "handlers/status_context.h"
#include "handlers/trouble_shooting_context.h"
#include "metrics/metrics_collector.h"
#include "metrics/metrics_endpoint.h"
#include "platform/event_loop.h"
#include "probes/system_status.h"
#include "server/agent_server.h"
#include "server/log_feed.h"
#include "server/server_view.h"

namespace tavin {

class Agent {
 public:
  // historyView and serverView may be null.
  Agent(platform::EventLoop& loop, HistoryView* historyView, ServerView* serverView);
  ~Agent();
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  // Loads the configuration, opens the listener, starts both worker threads
  // and writes the "Hostname: " line. Raises AppError carrying the whole
  // message for the user when start-up fails; nothing listens then, and the
  // message is a history line too once the log folder is known.
  void start();

  // The start/stop button.
  void btnStatusClick();
  // The "记录所有消息" check box. Any thread.
  void setCountAll(bool on) { countAll_ = on; }
  bool countAll() const { return countAll_; }
  // The confirmed exit: "Agent Closed", both threads ended, the listener
  // closed, and the loop asked to quit.
  void close();

  // After start: the configuration, the server and the history.
  const AgentConfig& config() const { return *config_; }
  const AgentServer& server() const { return *server_; }
  HistoryLog& history() { return *history_; }
  bool started() const { return server_ != nullptr; }

 private:
  // Everything of start after the configuration and the history.
  void startServing(platform::Clock& clock);
  // Opens the metrics endpoint when the configuration enables it; a port
  // that cannot be had leaves the agent without metrics (history line).
  void startMetrics();

  platform::EventLoop& loop_;
  HistoryView* historyView_;
  ServerView* serverView_;
  std::atomic<bool> countAll_{false};

  AgentConfig* config_ = nullptr;
  std::unique_ptr<HistoryLog> history_;
  std::unique_ptr<SystemStatus> systemStatus_;
  std::unique_ptr<StatusContext> statusContext_;
  std::unique_ptr<TroubleShootingContext> troubleShootingContext_;
  MessageBodyFactory factory_;
  std::unique_ptr<LogFeed> logFeed_;
  // Before the server: its processor thread, which runs the scrapes, ends
  // before the endpoint, the counters and the collector go (in that order).
  std::unique_ptr<MetricsCollector> collector_;
  std::unique_ptr<AgentCounters> counters_;
  std::unique_ptr<MetricsEndpoint> metrics_;
  // Last: destroyed first, so its threads end before what they use.
  std::unique_ptr<AgentServer> server_;
};

}  // namespace tavin
