// The process's terminal used as a full-screen display with single key
// presses: standard input in raw mode (no echo, no line editing), the
// terminal's alternate screen and a hidden cursor. Text written is UTF-8.
//
// Whatever way the process ends, the terminal is left as it was found: the
// destructor restores it, and so do exit() and the fatal signals (crash,
// abort, SIGQUIT, SIGHUP) before they take their usual course. Ctrl-C still
// raises SIGINT; Ctrl-Z and Ctrl-\ are switched off, since a stopped or
// core-dumping full-screen program would leave the terminal unusable.
//
// POSIX only (the Windows build has its window). One Terminal at a time;
// create, use and destroy it on one thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/sys_status.h"

namespace platform {

struct TerminalSize {
  int columns = 80;
  int rows = 24;
};

// True when standard input and standard output are both a terminal and this
// process is in the terminal's foreground, so that it may read keys from it.
bool isInteractiveTerminal();

class Terminal {
 public:
  // Switches the terminal of standard input and output to full-screen use.
  static SysStatus open(std::unique_ptr<Terminal>* out);

  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // The descriptor to watch for key presses (EventLoop::watchInput).
  int inputFd() const;
  // Reads the bytes waiting on standard input, at least one; call only when
  // input is waiting. *ended is set when the terminal has gone away (end of
  // input or a hang-up): nothing more will come.
  void readInput(std::string* out, bool* ended);
  // Writes UTF-8 text (with escape sequences). A terminal that takes nothing
  // for a moment is not waited for: the rest is dropped and false returned,
  // so the caller draws everything again next time.
  bool write(std::string_view text);
  // The current size; 80 x 24 when the terminal does not say.
  TerminalSize size() const;

 private:
  Terminal() = default;
};

}  // namespace platform
