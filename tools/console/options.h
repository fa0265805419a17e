// The command line of tavin-console: the command, its argument and the
// options, read into Options; and the help text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavin::console {

enum class Command { kNone, kStatus, kShoot, kWatch };

struct Options {
  Command command = Command::kNone;
  std::string shootingType;  // shoot: AgentVersion, CheckCfgFile or CheckCS
  std::string host = "127.0.0.1";
  uint16_t port = 10012;
  int64_t timeoutMs = 10000;  // connecting, and waiting for each answer
  int64_t watchMs = -1;       // watch: how long; -1 until interrupted
  bool json = false;
  bool raw = false;
  bool help = false;
};

// Reads the arguments (without the program name). On a mistake returns
// false with *error saying what is wrong.
bool parseOptions(const std::vector<std::string>& args, Options* options, std::string* error);

// A positive number of seconds with at most three decimals ("10", "0.5"),
// at most a day, in milliseconds.
bool parseSeconds(const std::string& text, int64_t* millis);

std::string usageText();

}  // namespace tavin::console
