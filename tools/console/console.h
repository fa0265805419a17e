// tavin-console: the client a person (or a script) uses to talk to an agent.
// runConsole does the whole run of one command line and returns the exit
// status; main only supplies the real streams, clock and Ctrl-C flag, so
// tests run it in-process against a fake agent.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace tavin::console {

enum ExitStatus {
  kExitOk = 0,
  kExitInternal = 1,
  kExitUsage = 2,
  kExitCannotConnect = 3,
  kExitRefused = 4,
  kExitTimeout = 5,
  kExitBadAnswer = 6,
  kExitLost = 7,
  kExitInterrupted = 130,
};

struct ConsoleEnvironment {
  std::ostream& out;  // results, UTF-8
  std::ostream& err;  // messages, UTF-8
  const platform::Clock& clock;
  // True once the person has asked to stop (Ctrl-C).
  std::function<bool()> interrupted;
  // How often watch sends the console's heartbeat; the agent drops a
  // console that has been silent for 40 seconds.
  int heartbeatIntervalMs = 10000;
};

int runConsole(const std::vector<std::string>& args, ConsoleEnvironment& environment);

}  // namespace tavin::console
