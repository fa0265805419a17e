#include <signal.h>

#include <atomic>

#include "console/terminal.h"

namespace tavin::console {
namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void onInterrupt(int) { interrupted.store(true); }

}  // namespace

void setUpTerminal() {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

bool interruptRequested() { return interrupted.load(); }

}  // namespace tavin::console
