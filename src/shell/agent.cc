#include "shell/agent.h"

#include <any>
#include <cmath>
#include <vector>

#include "handlers/bodies.h"
#include "handlers/status_messages.h"
#include "handlers/trouble_shooting_messages.h"
#include "platform/cancellation.h"
#include "platform/clock.h"
#include "platform/host_counters.h"
#include "platform/files.h"
#include "platform/host_name.h"
#include "shell/program_log_feed.h"
#include "shell/shell_texts.h"

namespace tavin {

// The counters the metrics expose, read where they live. Any thread.
class ServerCounters : public AgentCounters {
 public:
  ServerCounters(const AgentServer& server, const HistoryLog& history,
                 const MetricsEndpoint& metrics)
      : server_(server), history_(history), metrics_(metrics) {}

  uint64_t messagesReceived() const override { return server_.receivedCount(); }
  uint64_t messagesSent() const override { return server_.sentCount(); }
  bool consoleConnected() const override { return server_.connectionCount() > 0; }
  uint64_t consoleRefused() const override { return server_.refusedCount(); }
  uint64_t metricsRefused() const override { return metrics_.refusedCount(); }
  uint64_t pushedLines(size_t program) const override { return server_.pushedLines(program); }
  uint64_t historyWriteFailures() const override { return history_.writeFailures(); }

 private:
  const AgentServer& server_;
  const HistoryLog& history_;
  const MetricsEndpoint& metrics_;
};

Agent::Agent(platform::EventLoop& loop, HistoryView* historyView, ServerView* serverView)
    : loop_(loop), historyView_(historyView), serverView_(serverView) {}

Agent::~Agent() = default;

void Agent::start() {
  platform::Clock& clock = platform::Clock::system();
  try {
    // The configuration first: its failure is the start-up error the user sees.
    config_ = &AgentConfig::getInstance();
  } catch (const StartupError& e) {
    // A service has nobody to see its error dialog: the history takes the
    // reason too, wherever the load got as far as the log folder.
    if (!e.logFile().empty()) HistoryLog(e.logFile(), clock).LogEvent(e.message());
    throw;
  }
  history_ = std::make_unique<HistoryLog>(config_->getLogFile(), clock, historyView_);
  try {
    startServing(clock);
  } catch (const std::exception& e) {
    history_->LogEvent(e.what());
    throw;
  }
}

void Agent::startServing(platform::Clock& clock) {

  systemStatus_ = std::make_unique<SystemStatus>(platform::HostCounters::system());
  // The pause runs on the processor thread; its stop ends the pause.
  statusContext_.reset(new StatusContext{*config_, *systemStatus_, clock, [](int millis) {
                                           platform::Cancellation::ofThisThread().waitFor(
                                               millis);
                                         }});
  registerWireBodies(factory_);
  factory_.registerBody(2, [context = statusContext_.get()] {
    return std::make_unique<StatusRequestMessageBody>(context);
  });
  troubleShootingContext_.reset(new TroubleShootingContext{*config_, {}, {}});
  factory_.registerBody(19, [context = troubleShootingContext_.get()] {
    return std::make_unique<TroubleShootingRequestMessageBody>(context);
  });

  countAll_ = config_->isDebug();
  AgentConfig* config = config_;
  // The read positions kept from the last run are taken up before the
  // heartbeat thread can read.
  const std::string executable = config_->getExecutablePath();
  const std::string stateFile =
      config_->getWorkDir() +
      platform::withoutExtension(executable).substr(platform::fileNameOffset(executable)) +
      std::string(kReadPositionFileExtension);
  auto feed = std::make_unique<ProgramLogFeed>(*config_, stateFile, clock, *history_);
  const std::vector<std::string> resumeLines = feed->resume();
  logFeed_ = std::move(feed);
  ServerContext context{loop_,
                        factory_,
                        *history_,
                        clock,
                        countAll_,
                        [config](const std::string& address) {
                          return config->isAllowedAddress(address);
                        },
                        logFeed_.get(),
                        serverView_};
  ServerOptions options;
  options.port = static_cast<uint16_t>(config_->getPort());
  auto server = std::make_unique<AgentServer>(context, options);
  server->start();  // "Listening at <port>", both threads, the idle timer
  server_ = std::move(server);
  startMetrics();

  // The view starts empty: the listening lines stay in the log file only.
  history_->clearView();
  history_->LogEvent(std::string(kHostnameLine) + platform::hostName());
  for (const std::string& line : config_->getIgnoredValues()) history_->LogEvent(line);
  for (const std::string& line : resumeLines) history_->LogEvent(line);
}

void Agent::startMetrics() {
  const MetricsSettings& settings = config_->getMetrics();
  if (!settings.enabled) return;
  platform::Clock& clock = platform::Clock::system();
  AgentServer* server = server_.get();
  MetricsEndpointContext context{
      loop_,
      *history_,
      [server](std::function<void()> job) { return server->runOnProcessor(std::move(job)); },
      // On the processor thread; the collector is there before the first
      // scrape can be taken.
      [this] { return collector_->collect(); },
      [server] { return server->isRunning(); }};
  MetricsEndpointOptions options;
  options.port = static_cast<uint16_t>(settings.port);
  options.accessList = settings.accessList;
  auto metrics = std::make_unique<MetricsEndpoint>(context, options);
  counters_ = std::make_unique<ServerCounters>(*server_, *history_, *metrics);
  collector_ = std::make_unique<MetricsCollector>(*statusContext_, platform::HostCounters::system(),
                                                  *counters_, std::floor(clock.nowMillis() / 1000));
  // A port that cannot be had leaves the agent serving its console without
  // metrics; the endpoint wrote why.
  if (!metrics->start().isOk()) {
    collector_.reset();
    counters_.reset();
    return;
  }
  metrics_ = std::move(metrics);
}

void Agent::btnStatusClick() {
  if (server_) server_->btnStatusClick();
}

void Agent::close() {
  if (server_) server_->shutdown();
  if (metrics_) metrics_->shutdown();
  loop_.quit();
}

}  // namespace tavin
