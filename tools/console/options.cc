#include "console/options.h"

namespace tavin::console {
namespace {

const char* const kShootingTypes[] = {"AgentVersion", "CheckCfgFile", "CheckCS"};

bool allDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

bool parseSeconds(const std::string& text, int64_t* millis) {
  const size_t dot = text.find('.');
  const std::string whole = text.substr(0, dot);
  const std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
  if (!allDigits(whole) || whole.size() > 6) return false;
  if (dot != std::string::npos && (!allDigits(fraction) || fraction.size() > 3)) return false;
  int64_t value = std::stoll(whole) * 1000;
  if (!fraction.empty()) value += std::stoll((fraction + "00").substr(0, 3));
  if (value <= 0 || value > 86400 * 1000) return false;
  *millis = value;
  return true;
}

bool parseOptions(const std::vector<std::string>& args, Options* options, std::string* error) {
  *options = Options();
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    std::string value;
    bool hasValue = false;
    if (arg.rfind("--", 0) == 0) {
      const size_t equals = arg.find('=');
      if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
        arg = arg.substr(0, equals);
        hasValue = true;
      }
    }
    // The value of an option that takes one: after "=" or the next argument.
    auto takeValue = [&]() -> bool {
      if (hasValue) return true;
      if (i + 1 >= args.size()) {
        *error = "option " + arg + " needs a value";
        return false;
      }
      value = args[++i];
      return true;
    };
    if (arg == "-h" || arg == "--help") {
      options->help = true;
    } else if (arg == "--json" || arg == "--raw") {
      if (hasValue) {
        *error = "option " + arg + " takes no value";
        return false;
      }
      (arg == "--json" ? options->json : options->raw) = true;
    } else if (arg == "--host") {
      if (!takeValue()) return false;
      if (value.empty()) {
        *error = "--host needs an address";
        return false;
      }
      options->host = value;
    } else if (arg == "--port") {
      if (!takeValue()) return false;
      if (!allDigits(value) || value.size() > 5 || std::stoi(value) < 1 || std::stoi(value) > 65535) {
        *error = "--port needs a number from 1 to 65535, not '" + value + "'";
        return false;
      }
      options->port = static_cast<uint16_t>(std::stoi(value));
    } else if (arg == "--timeout" || arg == "--seconds") {
      if (!takeValue()) return false;
      int64_t millis = 0;
      if (!parseSeconds(value, &millis)) {
        *error = arg + " needs a number of seconds (more than 0, at most 86400), not '" + value + "'";
        return false;
      }
      (arg == "--timeout" ? options->timeoutMs : options->watchMs) = millis;
    } else if (arg.size() > 1 && arg[0] == '-') {
      *error = "unknown option " + arg;
      return false;
    } else {
      positional.push_back(arg);
    }
  }
  if (options->help) return true;
  if (options->json && options->raw) {
    *error = "--json and --raw cannot be used together";
    return false;
  }
  if (positional.empty()) {
    *error = "no command given (status, shoot or watch)";
    return false;
  }
  const std::string& command = positional[0];
  const size_t expectedArguments = command == "shoot" ? 2 : 1;
  if (command == "status") {
    options->command = Command::kStatus;
  } else if (command == "shoot") {
    options->command = Command::kShoot;
    if (positional.size() < 2) {
      *error = "shoot needs a check: AgentVersion, CheckCfgFile or CheckCS";
      return false;
    }
    options->shootingType = positional[1];
    bool known = false;
    for (const char* type : kShootingTypes) known = known || options->shootingType == type;
    if (!known) {
      *error = "unknown check '" + options->shootingType +
               "' (AgentVersion, CheckCfgFile or CheckCS; the agent answers no other)";
      return false;
    }
  } else if (command == "watch") {
    options->command = Command::kWatch;
  } else {
    *error = "unknown command '" + command + "' (status, shoot or watch)";
    return false;
  }
  if (positional.size() > expectedArguments) {
    *error = "unexpected argument '" + positional[expectedArguments] + "'";
    return false;
  }
  if (options->watchMs >= 0 && options->command != Command::kWatch) {
    *error = "--seconds is for watch only";
    return false;
  }
  return true;
}

std::string usageText() {
  return "Usage: tavin-console [options] status\n"
         "       tavin-console [options] shoot AgentVersion|CheckCfgFile|CheckCS\n"
         "       tavin-console [options] watch [--seconds N]\n"
         "\n"
         "Talks to a TavinMonitorAgent over TCP, as the monitoring console does.\n"
         "\n"
         "Commands:\n"
         "  status          ask for the host's figures and the records of the monitored\n"
         "                  programs and their trading units\n"
         "  shoot CHECK     run a diagnostic on the agent's host: AgentVersion (its\n"
         "                  version code), CheckCfgFile (its configuration files) or\n"
         "                  CheckCS (connections to the gateways)\n"
         "  watch           show heartbeats and system-log lines as they arrive, until\n"
         "                  Ctrl-C or for --seconds N; a heartbeat goes to the agent\n"
         "                  at once and every 10 seconds so that it keeps the\n"
         "                  connection\n"
         "\n"
         "Options:\n"
         "  --host ADDRESS  the agent's address or host name (default 127.0.0.1)\n"
         "  --port PORT     the agent's port (default 10012)\n"
         "  --timeout S     seconds to wait for the connection and for each answer\n"
         "                  (default 10; CheckCS may need more when gateways do not\n"
         "                  answer); watch gives up after max(S, 20) silent seconds\n"
         "  --seconds N     watch: stop after N seconds\n"
         "  --json          one JSON object per line for each result or message\n"
         "  --raw           the frames as sent (>) and received (<), control bytes\n"
         "                  shown as <SOH>, <STX>, <CR>, <LF>, <0xNN>\n"
         "  -h, --help      this text\n"
         "\n"
         "Output is UTF-8. Exit status:\n"
         "  0  done\n"
         "  1  internal error\n"
         "  2  bad command line\n"
         "  3  the agent cannot be reached (no connection within the time limit,\n"
         "     connection refused, unknown host)\n"
         "  4  the agent refused the console: it closed the connection before\n"
         "     sending anything (address not allowed, or another console connected)\n"
         "  5  the agent did not answer in time\n"
         "  6  the agent's answer could not be read\n"
         "  7  the agent closed the connection after it had been talking\n"
         "  130 interrupted while waiting for an answer\n";
}

}  // namespace tavin::console
