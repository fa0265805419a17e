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
  // Output that a signal interrupts goes on; the waits poll in short slices
  // and notice the flag.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

bool interruptRequested() { return interrupted.load(); }

}  // namespace tavin::console
