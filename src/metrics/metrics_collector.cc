#include "metrics/metrics_collector.h"

#include <optional>

#include "codec/codec_texts.h"
#include "metrics/exposition.h"
#include "platform/files.h"
#include "probes/probe_texts.h"

namespace tavin {
namespace {

constexpr const char* kGauge = "gauge";
constexpr const char* kCounter = "counter";

// The four words a program record's status can hold.
constexpr std::string_view kProgramStatuses[] = {kStatusRunning, kStatusStopped, kStatusAbsent,
                                                 kStatusUnknown};

double flag(bool on) { return on ? 1 : 0; }

// A gauge family whose samples come from texts of the records: a text that is
// not a number has no sample.
void textFigures(ExpositionWriter& out, const char* name, const char* help,
                 const std::vector<std::pair<MetricLabels, std::string>>& values) {
  out.family(name, kGauge, help);
  for (const auto& [labels, text] : values) {
    if (std::optional<double> value = figureOf(text)) out.sample(name, labels, *value);
  }
}

void writeHost(ExpositionWriter& out, const HostFigures& host) {
  out.family("tavin_host_cpu_usage_percent", kGauge,
             "CPU time spent busy since the previous scrape, percent.");
  out.sample("tavin_host_cpu_usage_percent", {}, host.cpuUsage);
  out.family("tavin_host_memory_usage_percent", kGauge,
             "Commit charge in use (memory plus page file or swap), percent.");
  out.sample("tavin_host_memory_usage_percent", {}, host.memoryUsage);
  out.family("tavin_host_disk_usage_percent", kGauge,
             "Used space of the volume holding the agent's working directory, percent.");
  out.sample("tavin_host_disk_usage_percent", {}, host.diskUsage);
}

void writePrograms(ExpositionWriter& out, const AgentConfig& config,
                   const AgentCounters& counters) {
  const size_t count = config.communicatorCount();
  auto program = [&](size_t i) { return config.communicator(i).getName(); };

  out.family("tavin_program_exists", kGauge, "1 when the program is monitored (configured Y).");
  for (size_t i = 0; i < count; ++i) {
    out.sample("tavin_program_exists", {{"program", program(i)}},
               flag(config.communicator(i).getExist() == kFlagYes));
  }
  out.family("tavin_program_running", kGauge, "1 when the program's process is running.");
  for (size_t i = 0; i < count; ++i) {
    out.sample("tavin_program_running", {{"program", program(i)}},
               flag(config.communicator(i).getCurStatus() == kStatusRunning));
  }
  out.family("tavin_program_status", kGauge,
             "The program record's status, as the console sees it: 1 for the current one.");
  for (size_t i = 0; i < count; ++i) {
    for (std::string_view status : kProgramStatuses) {
      out.sample("tavin_program_status",
                 {{"program", program(i)}, {"status", std::string(status)}},
                 flag(config.communicator(i).getStatus() == status));
    }
  }
  std::vector<std::pair<MetricLabels, std::string>> warnings;
  for (size_t i = 0; i < count; ++i) {
    warnings.push_back({{{"program", program(i)}}, config.communicator(i).getWarningLevel()});
  }
  textFigures(out, "tavin_program_warning_level",
              "Warning level from the program's status file (0 while it is not running).",
              warnings);
  out.family("tavin_program_info", kGauge, "Version and type from the program's status file.");
  for (size_t i = 0; i < count; ++i) {
    const QexCommunicator& c = config.communicator(i);
    out.sample("tavin_program_info",
               {{"program", program(i)}, {"version", c.getVersion()}, {"type", c.getType()}}, 1);
  }

  out.family("tavin_system_log_lines_pushed_total", kCounter,
             "System-log lines pushed to a console since the agent started.");
  for (size_t i = 0; i < count; ++i) {
    out.sample("tavin_system_log_lines_pushed_total", {{"program", program(i)}},
               static_cast<double>(counters.pushedLines(i)));
  }
  out.family("tavin_system_log_unread_bytes", kGauge,
             "Bytes of the program's current system-log file not yet read for the push.");
  for (size_t i = 0; i < count; ++i) {
    out.sample("tavin_system_log_unread_bytes", {{"program", program(i)}},
               static_cast<double>(unreadLogBytes(config.communicator(i).getLogReader())));
  }
  out.family("tavin_system_log_file_missing", kGauge,
             "1 while the system-log file the push reads does not exist (the push waits for it).");
  for (size_t i = 0; i < count; ++i) {
    const QexCommunicator& c = config.communicator(i);
    out.sample("tavin_system_log_file_missing", {{"program", program(i)}},
               flag(c.isEnabled() && c.getLogReader().progress().missing));
  }
}

void writeTradingUnits(ExpositionWriter& out, const AgentConfig& config) {
  struct Figure {
    const char* name;
    const char* help;
    const std::string& (Pbu::*value)() const;
  };
  static const Figure kFigures[] = {
      {"tavin_trading_unit_status", "Trading unit status code from the status file (3: normal).",
       &Pbu::getStatus},
      {"tavin_trading_unit_bid_number", "Orders submitted (pbuBidNumber).", &Pbu::getBidNumber},
      {"tavin_trading_unit_response_number", "Orders confirmed (pbuResponseNumber).",
       &Pbu::getResponseNumber},
      {"tavin_trading_unit_trade_number", "Trades (pbuTradeNumber).", &Pbu::getTradeNumber},
      {"tavin_trading_unit_max_order_number", "Maximum order number (MaxOrderNumber).",
       &Pbu::getMaxOrderNumber},
      {"tavin_trading_unit_warning_level", "Trading unit warning level from the status file.",
       &Pbu::getWarningLevel},
  };
  auto labels = [](const Pbu& pbu) {
    return MetricLabels{{"program", pbu.getName()}, {"operator", pbu.getOperatorNumber()}};
  };
  for (const Figure& figure : kFigures) {
    std::vector<std::pair<MetricLabels, std::string>> values;
    for (size_t i = 0; i < config.communicatorCount(); ++i) {
      for (const Pbu& pbu : config.communicator(i).getPbus()) {
        values.push_back({labels(pbu), (pbu.*figure.value)()});
      }
    }
    textFigures(out, figure.name, figure.help, values);
  }
  out.family("tavin_trading_unit_info", kGauge,
             "Exchange-side server address (csIP) and the host's address toward it (hostExtIP).");
  for (size_t i = 0; i < config.communicatorCount(); ++i) {
    for (const Pbu& pbu : config.communicator(i).getPbus()) {
      MetricLabels info = labels(pbu);
      info.push_back({"cs_ip", pbu.getCsIp()});
      info.push_back({"host_ext_ip", pbu.getHostExtIp()});
      out.sample("tavin_trading_unit_info", info, 1);
    }
  }
}

void writeAgent(ExpositionWriter& out, const AgentCounters& counters, double startSeconds) {
  out.family("tavin_build_info", kGauge, "The agent's version code.");
  out.sample("tavin_build_info", {{"version", std::string(kAgentVersionCode)}}, 1);
  out.family("tavin_start_time_seconds", kGauge, "When the agent started, seconds since 1970.");
  out.sample("tavin_start_time_seconds", {}, startSeconds);
  out.family("tavin_console_connected", kGauge, "1 while a console is connected.");
  out.sample("tavin_console_connected", {}, flag(counters.consoleConnected()));
  out.family("tavin_messages_received_total", kCounter,
             "Messages received from consoles (heartbeats not counted).");
  out.sample("tavin_messages_received_total", {},
             static_cast<double>(counters.messagesReceived()));
  out.family("tavin_messages_sent_total", kCounter,
             "Responses sent to consoles (heartbeats and log pushes not counted).");
  out.sample("tavin_messages_sent_total", {}, static_cast<double>(counters.messagesSent()));
  out.family("tavin_connections_refused_total", kCounter,
             "Connections closed at once: address not allowed, or no room for another.");
  out.sample("tavin_connections_refused_total", {{"listener", "console"}},
             static_cast<double>(counters.consoleRefused()));
  out.sample("tavin_connections_refused_total", {{"listener", "metrics"}},
             static_cast<double>(counters.metricsRefused()));
  out.family("tavin_history_log_write_failures_total", kCounter,
             "History lines that could not be written to the day's log file.");
  out.sample("tavin_history_log_write_failures_total", {},
             static_cast<double>(counters.historyWriteFailures()));
}

}  // namespace

int64_t unreadLogBytes(const SystemLogReader& reader) {
  const SystemLogReader::Progress progress = reader.progress();
  if (progress.file.empty()) return 0;
  platform::LineReader file;
  platform::FileState state;
  // A file that is missing or cannot be read has nothing to read.
  if (!file.open(progress.file).isOk() || !file.state(&state).isOk()) return 0;
  return state.size > progress.position ? state.size - progress.position : 0;
}

MetricsCollector::MetricsCollector(StatusContext& status, const platform::HostCounters& host,
                                   const AgentCounters& counters, double startSeconds)
    : status_(status), sampler_(host), counters_(counters), startSeconds_(startSeconds) {}

std::string MetricsCollector::collect() {
  const HostFigures host = refreshStatus(status_, sampler_);
  ExpositionWriter out;
  writeHost(out, host);
  writePrograms(out, status_.config, counters_);
  writeTradingUnits(out, status_.config);
  writeAgent(out, counters_, startSeconds_);
  return out.text();
}

}  // namespace tavin
