// The console client's terminal: UTF-8 output and Ctrl-C as a request to
// stop (which the waits notice within a fraction of a second) rather than
// an abrupt end.
#pragma once

namespace tavin::console {

// Call once at start, before any output.
void setUpTerminal();

// True once Ctrl-C (or Ctrl-Break) has been pressed. Any thread.
bool interruptRequested();

}  // namespace tavin::console
