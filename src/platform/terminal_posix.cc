#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "platform/terminal.h"

namespace platform {
namespace {

// Entering: the alternate screen (the shell's screen comes back at the end),
// the cursor hidden, no automatic wrap (a row that is wider than thought is
// cut rather than pushed into the next row), the screen cleared. Leaving
// undoes it.
constexpr char kEnterSequence[] = "\x1b[?1049h\x1b[?25l\x1b[?7l\x1b[H\x1b[2J";
constexpr char kLeaveSequence[] = "\x1b[0m\x1b[?7h\x1b[?25h\x1b[?1049l";

// Signals that end the process without returning through main: the terminal
// is restored in their handler before they take their usual course.
constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGQUIT, SIGHUP};
constexpr size_t kFatalCount = sizeof kFatalSignals / sizeof kFatalSignals[0];

// How long a write waits for a terminal that takes nothing: a screen update
// is given up soon (the next one draws everything again); the restore at the
// end gets longer.
constexpr int kFrameWaitMs = 50;
constexpr int kRestoreWaitMs = 1000;

// The terminal's settings before it was opened. Written before gActive is
// set and read by the restore after it is cleared, so a signal handler sees
// them whole.
struct termios gSaved;
std::atomic<bool> gActive{false};
// Where the screen is written: the terminal opened again, non-blocking, so
// that a terminal that stops reading (a stalled remote session) cannot stop
// the loop thread. Standard output's own description is shared with the
// shell and stays as it is.
std::atomic<int> gOutputFd{STDOUT_FILENO};
std::atomic<bool> gAtExitRegistered{false};
struct sigaction gPreviousActions[kFatalCount];
static_assert(std::atomic<bool>::is_always_lock_free, "signal handlers need lock-free atomics");

// Writes all of data unless the terminal takes nothing more for waitMs (or
// has gone); true when everything was written. Async-signal-safe.
bool writeAll(const char* data, size_t size, int waitMs) {
  const int fd = gOutputFd.load();
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n > 0) {
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd fds{fd, POLLOUT, 0};
      if (::poll(&fds, 1, waitMs) > 0) continue;
    }
    return false;
  }
  return true;
}

// Async-signal-safe: tcsetattr and write only.
void restoreTerminal() {
  if (!gActive.exchange(false)) return;
  const int savedErrno = errno;
  ::tcsetattr(STDIN_FILENO, TCSANOW, &gSaved);
  writeAll(kLeaveSequence, sizeof kLeaveSequence - 1, kRestoreWaitMs);
  errno = savedErrno;
}

extern "C" void restoreAtExit() { restoreTerminal(); }

extern "C" void restoreOnFatalSignal(int number) {
  restoreTerminal();
  // SA_RESETHAND put the default action back; SA_NODEFER lets this raise
  // deliver it at once.
  ::raise(number);
}

void closeOutput() {
  const int fd = gOutputFd.exchange(STDOUT_FILENO);
  if (fd != STDOUT_FILENO) ::close(fd);
}

void installFatalHandlers() {
  struct sigaction action{};
  action.sa_handler = restoreOnFatalSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND | SA_NODEFER;
  for (size_t i = 0; i < kFatalCount; ++i) {
    ::sigaction(kFatalSignals[i], &action, &gPreviousActions[i]);
  }
}

void removeFatalHandlers() {
  for (size_t i = 0; i < kFatalCount; ++i) {
    ::sigaction(kFatalSignals[i], &gPreviousActions[i], nullptr);
  }
}

}  // namespace

bool isInteractiveTerminal() {
  return ::isatty(STDIN_FILENO) == 1 && ::isatty(STDOUT_FILENO) == 1 &&
         ::tcgetpgrp(STDIN_FILENO) == ::getpgrp();
}

SysStatus Terminal::open(std::unique_ptr<Terminal>* out) {
  if (gActive) return SysStatus::error("Terminal::open", EBUSY);
  struct termios saved;
  if (::tcgetattr(STDIN_FILENO, &saved) != 0) return SysStatus::lastError("tcgetattr");

  struct termios raw = saved;
  // Keys arrive one by one, unechoed and untranslated; Ctrl-S no longer
  // freezes the output (which would block the writer).
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR | BRKINT | ISTRIP | INPCK);
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | IEXTEN);
  raw.c_cflag |= CS8;
  // Ctrl-C keeps raising SIGINT; Ctrl-Z (stop) and Ctrl-\ (core dump) are off.
  raw.c_cc[VSUSP] = _POSIX_VDISABLE;
  raw.c_cc[VQUIT] = _POSIX_VDISABLE;
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;

  gSaved = saved;
  char name[256];
  const int output = ::ttyname_r(STDOUT_FILENO, name, sizeof name) == 0
                         ? ::open(name, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)
                         : -1;
  gOutputFd = output >= 0 ? output : STDOUT_FILENO;
  if (!gAtExitRegistered.exchange(true)) std::atexit(restoreAtExit);
  installFatalHandlers();
  gActive = true;
  if (::tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
    SysStatus status = SysStatus::lastError("tcsetattr");
    gActive = false;
    removeFatalHandlers();
    ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    closeOutput();
    return status;
  }
  writeAll(kEnterSequence, sizeof kEnterSequence - 1, kRestoreWaitMs);
  out->reset(new Terminal());
  return SysStatus::ok();
}

Terminal::~Terminal() {
  restoreTerminal();
  removeFatalHandlers();
  closeOutput();
}

int Terminal::inputFd() const { return STDIN_FILENO; }

void Terminal::readInput(std::string* out, bool* ended) {
  *ended = false;
  char buffer[4096];
  const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
  if (n > 0) {
    out->append(buffer, static_cast<size_t>(n));
  } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
    *ended = true;  // end of input, or EIO after a hang-up
  }
}

bool Terminal::write(std::string_view text) {
  return writeAll(text.data(), text.size(), kFrameWaitMs);
}

TerminalSize Terminal::size() const {
  TerminalSize size;
  struct winsize ws{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
    size.columns = ws.ws_col;
    size.rows = ws.ws_row;
  }
  return size;
}

}  // namespace platform
