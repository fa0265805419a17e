// The diagnostics a console can ask for: the agent's version code, a check of
// the agent's configuration files, and TCP connection tests from this host's
// local addresses to the gateways ("CS") of the monitored programs.
//
// One object serves one request and is then dropped; every check reads its
// files afresh. Each check returns a report text, GBK, meant for a person;
// lines end in CR LF. Missing files are named in the report; other files
// that cannot be read count as empty, except where a check says otherwise.
// Used on the processor thread. The connection tests of one check run side
// by side; a cancel of the cancellation it is given ends them at once (the
// report then ends before its first link).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/cancellation.h"
#include "platform/tcp_client.h"

namespace tavin {

// What the checks need from the agent's configuration. Paths are full and
// native.
struct TroubleShootingSettings {
  // Base of the file check, without a trailing separator.
  std::string currentDirectory;
  // Base of the connection check (the host's system configuration file),
  // ending in a separator.
  std::string workDir;
  // The agent's own ini file.
  std::string iniFile;
  std::string monitor1Flag;  // "Y" or "N"
  std::string monitor2Flag;
  std::string monitor1ConfigFile;  // the programs' SystemConfiguration.ini
  std::string monitor2ConfigFile;
};

// Opens a TCP connection from the local address to the remote address and
// port and closes it at once; true when it opened. An injected probe is
// called for one link after another.
using LinkProbe =
    std::function<bool(const std::string& remote, const std::string& local, uint16_t port)>;

// Operator sections and gateway entries visited per configuration file are
// bounded, so an absurd count cannot stall the request queue.
inline constexpr int32_t kMaxGatewayEntries = 999;

class LinkReport;

class TroubleShooting {
 public:
  // An empty probe means the platform's time-limited connection tests, up to
  // platform::kProbeMaxInFlight at once, which the cancellation (by default
  // the calling thread's) ends; it must outlive the object.
  explicit TroubleShooting(TroubleShootingSettings settings, LinkProbe probe = LinkProbe(),
                           const platform::Cancellation& cancellation =
                               platform::Cancellation::ofThisThread());

  // "1010300".
  std::string getAgentVersion() const;

  // The files missing from a complete installation: the agent's ini file
  // (its path and a visible "\r\n"), then each program's configuration file
  // and executable under their default names in the current directory (path
  // and CR LF each). Empty when nothing is missing; "Exception" when the
  // check fails (an ini file that exists but cannot be read).
  std::string checkFiles() const;

  // The sections "PORT", "ACCESS_CONTROL" and "Tavin" of the agent's ini
  // file: one item per missing section and per key whose value is empty,
  // each ending in ";", no line breaks. Empty when all is well. Raises
  // AppError when the file exists but cannot be read.
  std::string checkIniFields() const;

  // The connection report: the gateways' port, then per program a heading
  // and either a line saying it is not present or one line per gateway
  // tested. Never empty. The gateways of both programs are tested together:
  // the check takes about one time limit (platform::kProbeTimeoutMs) for
  // every platform::kProbeMaxInFlight gateways that do not answer.
  std::string checkCS() const;

  // The gateway lines of one program's configuration file, tested on the
  // port given as text, tested together. "没有配置交易员" when it lists no
  // operator; empty when operators list no gateway.
  std::string checkProgramLinks(const std::string& configFile, const std::string& portText) const;

  // Tests one link; the port text is a decimal number of which the low 16
  // bits are the port. False when the text is not a number, an address is
  // not a dotted IPv4 address, the local address cannot be bound, or the
  // connection does not open in time.
  bool probeTcp(const std::string& remote, const std::string& local,
                const std::string& portText) const;

  // The low 16 bits of a decimal number of any length; empty when text is
  // not all ASCII digits (or is empty).
  static std::optional<uint16_t> portFromText(const std::string& text);

 private:
  // The program's lines, its links still to be tested.
  static void addProgramLinks(const std::string& configFile, LinkReport* report);
  // Tests the report's links and writes it.
  std::string finish(const LinkReport& report, const std::string& portText) const;
  // One result per link, in order.
  std::vector<bool> testLinks(const std::vector<platform::ProbeLink>& links,
                              const std::string& portText) const;

  const TroubleShootingSettings settings_;
  const LinkProbe probe_;
  const platform::Cancellation& cancellation_;
};

}  // namespace tavin
