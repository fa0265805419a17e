#include "config/agent_config.h"

#include <optional>
#include <utility>

#include "codec/codec_texts.h"
#include "codec/numbers.h"
#include "config/config_texts.h"
#include "platform/files.h"
#include "platform/gbk.h"
#include "platform/ini_file.h"

namespace tavin {
namespace {

constexpr int32_t kMaxPort = 65535;

std::string separator() { return std::string(1, platform::pathSeparator()); }

// "Y" exactly (upper case) enables a program; anything else disables it.
std::string normaliseFlag(const std::string& value) {
  return std::string(value == kFlagYes ? kFlagYes : kFlagNo);
}

std::string startFileMessage(const std::string& programName, std::string_view firstPiece,
                             const std::string& startFile, const std::string& executablePath) {
  std::string message(firstPiece);
  message += kStartFileCheck;
  message += programName;
  message += kStartFileOf;
  message += startFile;
  message += kStartFileExists;
  message += kStartFileOr;
  message += platform::withoutExtension(executablePath);
  message += kStartFileIniIn;
  message += '"';
  message += programName;
  message += '"';
  message += kStartFileSetN;
  return message;
}

// The six settings of one program, read from "Program" and joined to their
// bases. Configured paths may use "\" on every platform.
ProgramFiles readProgram(const platform::IniFile& ini, std::string_view name,
                         const ProgramDefaults& defaults, const std::string& flag,
                         const std::string& workDir, const std::string& logDir) {
  auto value = [&](std::string_view suffix, std::string_view fallback) {
    return ini.readString(kSectionProgram, std::string(name) + std::string(suffix), fallback);
  };
  ProgramFiles files;
  files.exist = flag;
  files.name = std::string(name);
  files.workDir = workDir;
  files.configFile = workDir + platform::nativePath(value(kSuffixConfigFile, defaults.configFile));
  files.startFileName = value(kSuffixStartFile, defaults.startFile);
  files.startFile = workDir + platform::nativePath(files.startFileName);
  files.statusFile = workDir + platform::nativePath(value(kSuffixStatus, defaults.status));
  files.cmdFile = workDir + platform::nativePath(value(kSuffixCmd, defaults.cmd));
  files.cmdResFile = workDir + platform::nativePath(value(kSuffixCmdRes, defaults.cmdRes));
  files.sysLogDir =
      logDir + platform::nativePath(value(kSuffixSysLogDir, defaults.sysLogDir)) + separator();
  return files;
}

}  // namespace

AgentConfig::AgentConfig(std::string executablePath, std::string currentDirectory,
                         const platform::Clock& clock, const platform::ProcessSource& processes)
    : executablePath_(std::move(executablePath)),
      currentDirectory_(std::move(currentDirectory)),
      iniFile_(platform::withoutExtension(executablePath_) + std::string(kIniExtension)),
      clock_(clock),
      processes_(processes) {}

AgentConfig& AgentConfig::getInstance() {
  // A load that raises leaves the static uninitialised; the next call retries.
  static std::unique_ptr<AgentConfig> instance = [] {
    auto config = std::make_unique<AgentConfig>(platform::executablePath(),
                                                platform::currentDirectory(),
                                                platform::Clock::system(),
                                                platform::ProcessSource::system());
    config->load();
    return config;
  }();
  return *instance;
}

std::string AgentConfig::normaliseAddress(const std::string& value) {
  std::string rest = value;
  std::string normalised;
  for (int part = 0; part < 4; ++part) {
    std::string text;
    if (part < 3) {
      const size_t dot = rest.find('.');
      if (dot == std::string::npos) return std::string(kInvalidAddress);
      text = rest.substr(0, dot);
      rest = rest.substr(dot + 1);
    } else {
      text = rest;
    }
    std::optional<int32_t> number = parseInt32(text);
    if (!number) return std::string(kInvalidAddress);
    if (part > 0) normalised += '.';
    normalised += std::to_string(*number);
  }
  return normalised;
}

bool AgentConfig::load() {
  accessList_.clear();
  communicators_.clear();

  platform::IniFile ini;
  if (platform::SysStatus status = platform::IniFile::load(iniFile_, &ini); !status.isOk()) {
    throw StartupError("Cannot read " + iniFile_ + ": " + status.toString());
  }

  workDir_ = currentDirectory_ + separator();
  const std::string logDir =
      platform::nativePath(ini.readString(kSectionProgram, kKeyLogsDir, kDefaultLogsDir));
  // A port that is not an integer, or no TCP port at all, falls back to the
  // default rather than listening somewhere unexpected.
  std::optional<int32_t> port = parseInt32(ini.readString(kSectionPort, kKeyPort, ""));
  port_ = (port && *port >= 0 && *port <= kMaxPort) ? *port : kDefaultPort;
  logFile_ = logDir + platform::nativePath(ini.readString(kSectionLog, kKeyLogName, kDefaultLogName));
  monitor1Flag_ = normaliseFlag(ini.readString(kSectionProgram, kProgram1Name, kFlagNo));
  monitor2Flag_ = normaliseFlag(ini.readString(kSectionProgram, kProgram2Name, kFlagNo));
  debug_ = platform::asciiUpperGbk(ini.readString(kSectionLog, kKeyDebug, kDefaultDebug)) ==
           kDebugOn;

  if (!platform::directoryExists(logDir) && !platform::createDirectory(logDir).isOk()) {
    throw StartupError(std::string(kCannotCreateLogDir));
  }

  std::vector<std::string> ignoredValues;
  MetricsSettings metrics = readMetricsSettings(ini, port_, &ignoredValues);

  std::vector<std::string> accessList;
  // Each key name is looked up again, so a key written twice yields its first
  // value twice.
  for (const std::string& key : ini.keyNames(kSectionAccessControl)) {
    std::string address = normaliseAddress(ini.readString(kSectionAccessControl, key, ""));
    if (address != kInvalidAddress) accessList.push_back(std::move(address));
  }

  program1_ = readProgram(ini, kProgram1Name, kProgram1Defaults, monitor1Flag_, workDir_, logDir);
  program2_ = readProgram(ini, kProgram2Name, kProgram2Defaults, monitor2Flag_, workDir_, logDir);
  if (monitor1Flag_ == kFlagYes && !platform::fileExists(program1_.startFile)) {
    throw StartupError(startFileMessage(std::string(kProgram1Name), kStartFileMissing1,
                                        program1_.startFile, executablePath_),
                       logFile_);
  }
  if (monitor2Flag_ == kFlagYes && !platform::fileExists(program2_.startFile)) {
    throw StartupError(startFileMessage(std::string(kProgram2Name), kStartFileMissing2,
                                        program2_.startFile, executablePath_),
                       logFile_);
  }

  std::vector<std::unique_ptr<QexCommunicator>> communicators;
  communicators.push_back(std::make_unique<QexCommunicator>(program1_, clock_, processes_));
  communicators.push_back(std::make_unique<QexCommunicator>(program2_, clock_, processes_));

  const std::string systemFile = workDir_ + platform::nativePath(ini.readString(
                                                kSectionProgram, kKeySystemConfigFile,
                                                kDefaultSystemConfigFile));
  const std::string systemSection =
      ini.readString(kSectionProgram, kKeySystemConfigSection, kDefaultSystemConfigSection);
  const std::string systemKey =
      ini.readString(kSectionProgram, kKeySystemConfigEnvNo, kDefaultSystemConfigEnvNo);
  platform::IniFile system;
  if (platform::SysStatus status = platform::IniFile::load(systemFile, &system); !status.isOk()) {
    throw StartupError("Cannot read " + systemFile + ": " + status.toString(), logFile_);
  }
  envNo_ = system.readString(systemSection, systemKey, kDefaultEnvNo);
  if (envNo_.empty()) envNo_ = std::string(kDefaultEnvNo);

  // Only a load that got this far publishes its lists.
  accessList_ = std::move(accessList);
  metrics_ = std::move(metrics);
  ignoredValues_ = std::move(ignoredValues);
  communicators_ = std::move(communicators);
  return true;
}

bool AgentConfig::isAllowedAddress(const std::string& address) const {
  for (const std::string& allowed : accessList_) {
    if (allowed == address) return true;
  }
  return false;
}

void AgentConfig::refreshStatus() {
  // One look at the process table serves every program's check: walking it
  // is the larger part of a status request's cost.
  std::vector<platform::ProcessInfo> processes;
  const bool listed = processes_.listProcesses(&processes).isOk();
  for (auto& communicator : communicators_) communicator->refresh(listed ? &processes : nullptr);
}

std::string AgentConfig::getQexPackage() const {
  std::string package;
  for (const auto& communicator : communicators_) package += communicator->recordText();
  return package;
}

std::string AgentConfig::getPbuPackage() const {
  std::string package;
  for (const auto& communicator : communicators_) {
    for (const Pbu& pbu : communicator->getPbus()) package += pbu.recordText();
  }
  return package;
}

bool AgentConfig::getNewSysLog(std::string& out) {
  std::vector<SysLogBatch> batches;
  // A budget of one byte: the first batch reaches it.
  out.clear();
  if (!readSysLog(&batches, SIZE_MAX, 1)) return false;
  out = std::move(batches.front().text);
  return true;
}

bool AgentConfig::readSysLog(std::vector<SysLogBatch>* out, size_t maxBytes, size_t budget) {
  const size_t first = out->size();
  size_t total = 0;
  for (size_t i = 0; i < communicators_.size() && total < budget; ++i) {
    if (!communicators_[i]->isEnabled()) continue;
    std::vector<SystemLogReader::Batch> batches;
    if (!communicators_[i]->readSysLogBatches(&batches, maxBytes, budget - total)) continue;
    // While program i was read the other readers stood still: each batch's
    // positions are theirs with program i's before and after the batch.
    const SysLogPosition others = sysLogPosition();
    for (SystemLogReader::Batch& batch : batches) {
      SysLogBatch next;
      next.text = std::move(batch.text);
      next.program = i;
      next.lines = batch.lines;
      next.before = others;
      next.before[i] = std::move(batch.before);
      next.after = others;
      next.after[i] = std::move(batch.after);
      total += next.text.size();
      out->push_back(std::move(next));
    }
  }
  return out->size() > first;
}

AgentConfig::SysLogPosition AgentConfig::sysLogPosition() const {
  SysLogPosition position;
  for (const auto& communicator : communicators_) {
    position.push_back(communicator->getLogReader().position());
  }
  return position;
}

void AgentConfig::rewindSysLog(const SysLogPosition& position) {
  for (size_t i = 0; i < communicators_.size() && i < position.size(); ++i) {
    communicators_[i]->rewindSysLog(position[i]);
  }
}

SystemLogReader::Resumed AgentConfig::resumeSysLog(size_t program,
                                                   const SystemLogReader::Mark& mark,
                                                   const std::string& file, bool keptUp) {
  return communicators_.at(program)->resumeSysLog(mark, file, keptUp);
}

}  // namespace tavin
