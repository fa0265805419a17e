#include "handlers/trouble_shooting_messages.h"

#include "handlers/trouble_shooting_context.h"
#include "platform/cancellation.h"
#include "platform/files.h"
#include "probes/trouble_shooting.h"

namespace tavin {
namespace {

TroubleShootingSettings settingsOf(const TroubleShootingContext& context) {
  const AgentConfig& config = context.config;
  TroubleShootingSettings settings;
  settings.currentDirectory =
      context.currentDirectory ? context.currentDirectory() : platform::currentDirectory();
  settings.workDir = config.getWorkDir();
  settings.iniFile = config.getIniFile();
  settings.monitor1Flag = config.getMonitor1Flag();
  settings.monitor2Flag = config.getMonitor2Flag();
  settings.monitor1ConfigFile = config.getMonitor1ConfigFile();
  settings.monitor2ConfigFile = config.getMonitor2ConfigFile();
  return settings;
}

}  // namespace

std::unique_ptr<MessageBody> TroubleShootingRequestMessageBody::execute() {
  if (context_ == nullptr) return MessageBody::execute();
  const std::string serviceType = getServiceType();
  const std::string shootingType = getShootingType();
  // Run on the processor thread: a stop of that thread ends the connection
  // tests at once.
  const TroubleShooting shooting(settingsOf(*context_), context_->probe,
                                 platform::Cancellation::ofThisThread());

  std::string result;
  if (shootingType == kShootAgentVersion) {
    result = shooting.getAgentVersion();
  } else if (shootingType == kShootCheckCfgFile) {
    // The ini file's sections are examined only when every file is there.
    const std::string missing = shooting.checkFiles();
    if (missing.empty()) {
      const std::string fields = shooting.checkIniFields();
      result = fields.empty() ? std::string(kShootResultOk) : fields;
    } else {
      result = std::string(kShootFilesMissing) + missing;
    }
  } else if (shootingType == kShootCheckCs) {
    const std::string report = shooting.checkCS();
    result = report.empty() ? std::string(kShootResultNoConnection) : report;
  } else {
    return std::make_unique<MessageBody>();
  }
  return std::make_unique<TroubleShootingResponseMessageBody>(serviceType, shootingType, result);
}

}  // namespace tavin
