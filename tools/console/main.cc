// tavin-console: see console.h and the --help text.
#include <iostream>
#include <string>
#include <vector>

#include "console/console.h"
#include "console/terminal.h"
#include "platform/clock.h"

int main(int argc, char** argv) {
  tavin::console::setUpTerminal();
  std::vector<std::string> args(argv + 1, argv + argc);
  tavin::console::ConsoleEnvironment environment{std::cout, std::cerr, platform::Clock::system(),
                                                 tavin::console::interruptRequested};
  return tavin::console::runConsole(args, environment);
}
