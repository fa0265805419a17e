#include "config/metrics_settings.h"

#include <optional>

#include "codec/numbers.h"
#include "config/agent_config.h"
#include "config/config_texts.h"
#include "platform/gbk.h"

namespace tavin {
namespace {

std::string ignored(std::string_view section, const std::string& key, const std::string& value,
                    std::string_view reason) {
  return "[" + std::string(section) + "] " + key + "=" + value + " ignored: " +
         std::string(reason);
}

}  // namespace

MetricsSettings readMetricsSettings(const platform::IniFile& ini, int32_t consolePort,
                                    std::vector<std::string>* notes) {
  MetricsSettings settings;

  if (std::optional<std::string> enabled = ini.find(kSectionMetrics, kKeyMetricsEnabled)) {
    const std::string flag = platform::asciiUpperGbk(*enabled);
    if (flag == kFlagYes || flag == kFlagNo) {
      settings.enabled = flag == kFlagYes;
    } else {
      notes->push_back(ignored(kSectionMetrics, std::string(kKeyMetricsEnabled), *enabled,
                               "not Y or N; the metrics endpoint stays off"));
    }
  }

  if (std::optional<std::string> value = ini.find(kSectionMetrics, kKeyMetricsPort)) {
    const std::optional<int32_t> port = parseInt32(*value);
    const std::string fallback = "; using " + std::to_string(kDefaultMetricsPort);
    if (!port || *port < 0 || *port > 65535) {
      notes->push_back(ignored(kSectionMetrics, std::string(kKeyMetricsPort), *value,
                               "not a port number" + fallback));
    } else if (*port != 0 && *port == consolePort) {
      notes->push_back(ignored(kSectionMetrics, std::string(kKeyMetricsPort), *value,
                               "the console's port" + fallback));
    } else {
      settings.port = *port;
    }
  }

  std::vector<std::string> accessList;
  for (const auto& [key, value] : ini.sectionLines(kSectionMetricsAccess)) {
    std::string address = AgentConfig::normaliseAddress(value);
    if (address == kInvalidAddress) {
      notes->push_back(ignored(kSectionMetricsAccess, key, value, "not an IPv4 address"));
    } else {
      accessList.push_back(std::move(address));
    }
  }
  if (!accessList.empty()) settings.accessList = std::move(accessList);
  return settings;
}

}  // namespace tavin
