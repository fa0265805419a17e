#include "probes/trouble_shooting.h"

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

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

// A connection report before its links are tested: its texts and links in
// report order. The links are tested together, and each link's line then
// takes its place.
class LinkReport {
 public:
  void addText(const std::string& text);
  void addLink(const std::string& gateway, const std::string& local);
  const std::vector<platform::ProbeLink>& links() const { return links_; }
  // The report with each link's line, opened[i] being links()[i]'s result.
  std::string text(const std::vector<bool>& opened) const;
  // The report up to its first link.
  std::string textBeforeLinks() const;

 private:
  struct Piece {
    std::string text;
    bool isLink;  // a link's line, of the next link in order
  };
  std::vector<Piece> pieces_;
  std::vector<platform::ProbeLink> links_;
};

void LinkReport::addText(const std::string& text) { pieces_.push_back({text, false}); }

void LinkReport::addLink(const std::string& gateway, const std::string& local) {
  pieces_.push_back({std::string(), true});
  links_.push_back({gateway, local});
}

std::string LinkReport::text(const std::vector<bool>& opened) const {
  std::string result;
  size_t link = 0;
  for (const Piece& piece : pieces_) {
    if (!piece.isLink) {
      result += piece.text;
      continue;
    }
    const platform::ProbeLink& tested = links_[link];
    result += kLinkHost;
    result += tested.localDottedIp;
    result += kLinkToCs;
    result += tested.remoteDottedIp;
    result += opened[link] ? kLinkOk : kLinkFailed;
    result += kCrLf;
    ++link;
  }
  return result;
}

std::string LinkReport::textBeforeLinks() const {
  std::string result;
  for (const Piece& piece : pieces_) {
    if (piece.isLink) break;
    result += piece.text;
  }
  return result;
}

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
  LinkReport report;
  report.addText(std::string(kPortLine) + portText + std::string(kCrLf));

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
    report.addText(std::string(program.heading) + std::string(kCrLf));
    const bool enabled = program.flag == kFlagYes;
    if (enabled && !platform::fileExists(program.configFile)) {
      // An enabled program without its configuration ends the report.
      report.addText(missingConfigLine(program.configFile));
      break;
    }
    if (!enabled) {
      report.addText(std::string(program.absent) + std::string(kCrLf));
    } else {
      addProgramLinks(program.configFile, &report);
    }
  }
  // The links of both programs are tested together.
  return finish(report, portText);
}

std::string TroubleShooting::checkProgramLinks(const std::string& configFile,
                                               const std::string& portText) const {
  LinkReport report;
  addProgramLinks(configFile, &report);
  return finish(report, portText);
}

bool TroubleShooting::probeTcp(const std::string& remote, const std::string& local,
                               const std::string& portText) const {
  return testLinks({{remote, local}}, portText)[0];
}

void TroubleShooting::addProgramLinks(const std::string& configFile, LinkReport* report) {
  const platform::IniFile ini = readOrEmpty(configFile);
  const int32_t operators = readCount(ini, kSectionSystem, kKeyOperatorCounts);
  if (operators == 0) {
    report->addText(std::string(kNoOperators) + std::string(kCrLf));
    return;
  }
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
      report->addLink(gateway, local);
    }
  }
}

std::string TroubleShooting::finish(const LinkReport& report, const std::string& portText) const {
  const std::vector<bool> opened = testLinks(report.links(), portText);
  // Tests cut short say nothing about their links.
  if (cancellation_.isCancelled()) return report.textBeforeLinks();
  return report.text(opened);
}

std::vector<bool> TroubleShooting::testLinks(const std::vector<platform::ProbeLink>& links,
                                             const std::string& portText) const {
  std::vector<bool> opened(links.size(), false);
  // A port text that is no number cannot name a port: every link fails.
  const std::optional<uint16_t> port = portFromText(portText);
  if (!port || links.empty()) return opened;
  if (!probe_) {
    // All at once (up to the platform's bound), each bounded by the probe
    // time limit, so silent gateways hold the request queue for about one
    // limit in all; and by the cancellation, so they never hold the
    // agent's exit.
    return platform::probeTcpAll(links, *port, platform::kProbeTimeoutMs, &cancellation_);
  }
  for (size_t i = 0; i < links.size() && !cancellation_.isCancelled(); ++i) {
    opened[i] = probe_(links[i].remoteDottedIp, links[i].localDottedIp, *port);
  }
  return opened;
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
