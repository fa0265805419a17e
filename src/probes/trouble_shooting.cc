#include "probes/trouble_shooting.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "codec/codec_texts.h"
#include "codec/errors.h"
#include "codec/numbers.h"
#include "platform/files.h"
#include "platform/ini_file.h"
#include "platform/tcp_client.h"
#include "probes/probe_texts.h"

namespace tavin {
namespace {

// A file that cannot be read counts as an empty one: every key takes its
// default.
platform::IniFile readOrEmpty(const std::string& path) {
  platform::IniFile ini;
  if (!platform::IniFile::load(path, &ini).isOk()) return platform::IniFile();
  return ini;
}

// A count as the monitored program's configuration is read elsewhere: a
// whole-text integer, 0 when absent or not a number.
int32_t readCount(const platform::IniFile& ini, std::string_view section, std::string_view key) {
  return parseInt32(ini.readString(section, key, "0")).value_or(0);
}

std::string missingConfigLine(const std::string& path) {
  return std::string(kConfigFileLine) + path + std::string(kConfigFileMissingEnd) +
         std::string(kCrLf);
}

}  // namespace

TroubleShooting::TroubleShooting(TroubleShootingSettings settings, LinkProbe probe,
                                 const platform::Cancellation& cancellation)
    : settings_(std::move(settings)), probe_(std::move(probe)), cancellation_(cancellation) {}

std::string TroubleShooting::getAgentVersion() const { return std::string(kAgentVersionCode); }

std::string TroubleShooting::checkFiles() const {
  try {
    std::string result;
    std::string base = settings_.currentDirectory;
    if (base.empty()) base = platform::currentDirectory();
    if (!platform::fileExists(settings_.iniFile)) {
      result += settings_.iniFile;
      result += kVisibleCrLf;
    }
    // The ini file's content plays no part here, but one that exists and
    // cannot be read fails the whole check.
    platform::IniFile ini;
    if (platform::SysStatus status = platform::IniFile::load(settings_.iniFile, &ini);
        !status.isOk()) {
      throw AppError("Cannot read " + settings_.iniFile + ": " + status.toString());
    }
    for (std::string_view name : kExpectedFiles) {
      const std::string path =
          base + platform::pathSeparator() + platform::nativePath(std::string(name));
      if (!platform::fileExists(path)) result += path + std::string(kCrLf);
    }
    return result;
  } catch (const std::exception&) {
    return std::string(kCheckFailed);
  }
}

std::string TroubleShooting::checkIniFields() const {
  platform::IniFile ini;
  if (platform::SysStatus status = platform::IniFile::load(settings_.iniFile, &ini);
      !status.isOk()) {
    throw AppError("Cannot read " + settings_.iniFile + ": " + status.toString());
  }
  std::string result;
  for (std::string_view section : kExpectedSections) {
    if (!ini.hasSection(section)) {
      result += kSectionMissing;
      result += section;
      result += kSectionMissingEnd;
      continue;
    }
    // Each key is looked up by name, so the value judged is the one the
    // agent reads (the first of a key written twice).
    for (const std::string& key : ini.keyNames(section)) {
      if (key.empty() || !ini.readString(section, key, "").empty()) continue;
      result += kValueEmpty;
      result += section;
      result += kValueEmptyKey;
      result += key;
      result += kValueEmptyEnd;
    }
  }
  return result;
}

std::string TroubleShooting::checkCS() const {
  const platform::IniFile system =
      readOrEmpty(settings_.workDir + std::string(kCheckSystemFile));
  const std::string envNo =
      system.readString(kCheckSystemSection, kCheckEnvNoKey, kCheckDefaultEnvNo);
  const std::string portText = std::string(kPortTextHead) + envNo + std::string(kPortTextTail);

  if (!platform::fileExists(settings_.iniFile)) return missingConfigLine(settings_.iniFile);
  std::string result = std::string(kPortLine) + portText + std::string(kCrLf);

  struct Program {
    const std::string& flag;
    const std::string& configFile;
    std::string_view heading;
    std::string_view absent;
  };
  const Program programs[] = {
      {settings_.monitor1Flag, settings_.monitor1ConfigFile, kProgram1Heading, kProgram1Absent},
      {settings_.monitor2Flag, settings_.monitor2ConfigFile, kProgram2Heading, kProgram2Absent},
  };
  for (const Program& program : programs) {
    result += program.heading;
    result += kCrLf;
    const bool enabled = program.flag == kFlagYes;
    if (enabled && !platform::fileExists(program.configFile)) {
      // An enabled program without its configuration ends the report.
      result += missingConfigLine(program.configFile);
      break;
    }
    if (!enabled) {
      result += program.absent;
      result += kCrLf;
    } else {
      result += checkProgramLinks(program.configFile, portText);
    }
  }
  return result;
}

std::string TroubleShooting::checkProgramLinks(const std::string& configFile,
                                               const std::string& portText) const {
  const platform::IniFile ini = readOrEmpty(configFile);
  const int32_t operators = readCount(ini, kSectionSystem, kKeyOperatorCounts);
  if (operators == 0) return std::string(kNoOperators) + std::string(kCrLf);

  std::string text;
  const int32_t lastOperator = std::min(operators, kMaxGatewayEntries);
  for (int32_t n = 1; n <= lastOperator; ++n) {
    const std::string section = std::string(kOperatorSectionPrefix) + std::to_string(n);
    const int32_t gateways = std::min(readCount(ini, section, kKeyGwipCounts), kMaxGatewayEntries);
    for (int32_t m = 1; m <= gateways; ++m) {
      const std::string gateway =
          ini.readString(section, std::string(kKeyGwipPrefix) + std::to_string(m), "");
      const std::string local =
          ini.readString(section, std::string(kKeyLocalIpPrefix) + std::to_string(m), "");
      // The first incomplete entry ends this operator's list.
      if (gateway.empty() || local.empty()) break;
      if (cancellation_.isCancelled()) return text;
      const bool ok = probeTcp(gateway, local, portText);
      text += kLinkHost;
      text += local;
      text += kLinkToCs;
      text += gateway;
      text += ok ? kLinkOk : kLinkFailed;
      text += kCrLf;
    }
  }
  return text;
}

bool TroubleShooting::probeTcp(const std::string& remote, const std::string& local,
                               const std::string& portText) const {
  // A port text that is no number cannot name a port: the link fails.
  const std::optional<uint16_t> port = portFromText(portText);
  if (!port) return false;
  if (probe_) return probe_(remote, local, *port);
  // Bounded by the platform's probe time limit, so an unreachable gateway
  // holds the request queue for seconds, not for the system's long default;
  // and by the cancellation, so it never holds the agent's exit.
  return platform::probeTcp(remote, local, *port, platform::kProbeTimeoutMs, &cancellation_);
}

std::optional<uint16_t> TroubleShooting::portFromText(const std::string& text) {
  if (text.empty()) return std::nullopt;
  uint32_t low = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    // Only the low 16 bits of the value matter, so they are carried digit by
    // digit and any length fits.
    low = (low * 10 + static_cast<uint32_t>(c - '0')) & 0xFFFFu;
  }
  return static_cast<uint16_t>(low);
}

}  // namespace tavin
