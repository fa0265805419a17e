#include "shell/agent.h"

#include <any>
#include <vector>

#include "handlers/bodies.h"
#include "handlers/status_messages.h"
#include "handlers/trouble_shooting_messages.h"
#include "platform/cancellation.h"
#include "platform/clock.h"
#include "platform/host_counters.h"
#include "platform/host_name.h"
#include "shell/shell_texts.h"

namespace tavin {

// The heartbeat's log push reads the monitored programs' system logs through
// the configuration's program list; a position is every program reader's
// state.
class ProgramLogFeed : public LogFeed {
 public:
  explicit ProgramLogFeed(AgentConfig& config) : config_(config) {}

  bool next(LogBatch* batch, size_t maxTextBytes) override {
    return config_.nextSysLogBatch(batch->text, maxTextBytes, &batch->program, &batch->lines);
  }
  std::any position() const override { return config_.sysLogPosition(); }
  void rewind(const std::any& position) override {
    if (const auto* states = std::any_cast<std::vector<SystemLogReader::State>>(&position)) {
      config_.rewindSysLog(*states);
    }
  }

 private:
  AgentConfig& config_;
};

Agent::Agent(platform::EventLoop& loop, HistoryView* historyView, ServerView* serverView)
    : loop_(loop), historyView_(historyView), serverView_(serverView) {}

Agent::~Agent() = default;

void Agent::start() {
  // The configuration first: its failure is the start-up error the user sees.
  config_ = &AgentConfig::getInstance();
  platform::Clock& clock = platform::Clock::system();
  history_ = std::make_unique<HistoryLog>(config_->getLogFile(), clock, historyView_);

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
  logFeed_ = std::make_unique<ProgramLogFeed>(*config_);
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

  // The view starts empty: the listening line stays in the log file only.
  history_->clearView();
  history_->LogEvent(std::string(kHostnameLine) + platform::hostName());
}

void Agent::btnStatusClick() {
  if (server_) server_->btnStatusClick();
}

void Agent::close() {
  if (server_) server_->shutdown();
  loop_.quit();
}

}  // namespace tavin
