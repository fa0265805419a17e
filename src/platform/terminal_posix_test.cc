#include "platform/terminal.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

namespace platform {
namespace {

constexpr char kEnter[] = "\x1b[?1049h";
constexpr char kLeave[] = "\x1b[?1049l";
constexpr auto kDeadline = std::chrono::seconds(20);

// A child process whose standard input, output and error are a new
// pseudo-terminal, which it controls in the foreground, as a shell's job
// does. The test reads the child's output and types on the master side.
class PtyChild {
 public:
  explicit PtyChild(const std::function<void()>& body, winsize size = {24, 80, 0, 0}) {
    // The settings are read before the child exists: read later, they could
    // already be the ones the child set.
    if (::openpty(&master_, &slave_, nullptr, nullptr, &size) != 0) return;
    if (::tcgetattr(slave_, &initial_) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(master_);
      if (::login_tty(slave_) != 0) std::_Exit(91);
      struct rlimit noCore{0, 0};
      ::setrlimit(RLIMIT_CORE, &noCore);  // abort() leaves no core file behind
      body();
      std::_Exit(0);
    }
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
  }
  ~PtyChild() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
  }

  bool ok() const { return pid_ > 0 && slave_ >= 0; }
  pid_t pid() const { return pid_; }

  // Reads the child's output until it holds text; false at the deadline.
  bool waitForOutput(const std::string& text) {
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    while (output_.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > end) return false;
      readSome(50);
    }
    return true;
  }
  void type(const std::string& keys) {
    ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  // Waits for the child to end, reading its output meanwhile unless told
  // not to; its wait status, or -1 at the deadline.
  int waitForExit(bool readOutput = true) {
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        if (readOutput) readSome(0);
        return status;
      }
      if (readOutput) {
        readSome(20);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    return -1;
  }
  // The terminal's settings before the child started.
  const termios& initialSettings() const { return initial_; }
  // The terminal's settings now, as the child left them.
  termios settings() const {
    termios now{};
    EXPECT_EQ(::tcgetattr(slave_, &now), 0);
    return now;
  }
  const std::string& output() const { return output_; }

 private:
  void readSome(int waitMs) {
    pollfd fds{master_, POLLIN, 0};
    if (::poll(&fds, 1, waitMs) <= 0) return;
    char buffer[4096];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n > 0) output_.append(buffer, static_cast<size_t>(n));
  }

  pid_t pid_ = -1;
  int master_ = -1;
  int slave_ = -1;
  termios initial_{};
  bool reaped_ = false;
  std::string output_;
};

void say(const std::string& text) {
  ssize_t ignored = ::write(STDOUT_FILENO, text.data(), text.size());
  (void)ignored;
}

char waitForKey() {
  char key = 0;
  while (::read(STDIN_FILENO, &key, 1) < 0) {
  }
  return key;
}

// However the process ends after opening the terminal, the terminal gets its
// settings and its screen back.
TEST(TerminalPosix, EveryWayOutRestoresTheTerminal) {
  struct Case {
    const char* name;
    std::function<void()> end;  // in the child, with the terminal open
    int exitCode;               // or -1
    int signal;                 // or 0
  };
  const Case cases[] = {
      {"destructor", [] {}, 0, 0},
      {"exit()", [] { std::exit(3); }, 3, 0},
      {"abort()", [] { std::abort(); }, -1, SIGABRT},
      {"SIGSEGV", [] { ::raise(SIGSEGV); }, -1, SIGSEGV},
      {"SIGQUIT from outside", [] { ::kill(::getpid(), SIGQUIT); ::pause(); }, -1, SIGQUIT},
      {"hang-up", [] { ::kill(::getpid(), SIGHUP); ::pause(); }, -1, SIGHUP},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PtyChild child([&c] {
      std::unique_ptr<Terminal> terminal;
      if (!Terminal::open(&terminal).isOk()) std::_Exit(90);
      waitForKey();
      c.end();
    });
    ASSERT_TRUE(child.ok());
    const termios before = child.initialSettings();
    ASSERT_TRUE(child.waitForOutput(kEnter));

    const termios raw = child.settings();
    EXPECT_EQ(raw.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_NE(raw.c_lflag & ISIG, 0u) << "Ctrl-C still raises SIGINT";
    EXPECT_EQ(raw.c_cc[VSUSP], _POSIX_VDISABLE);
    EXPECT_EQ(raw.c_cc[VQUIT], _POSIX_VDISABLE);
    EXPECT_EQ(raw.c_iflag & IXON, 0u);

    child.type("g");
    const int status = child.waitForExit();
    ASSERT_NE(status, -1) << "the child did not end";
    if (c.signal != 0) {
      ASSERT_TRUE(WIFSIGNALED(status));
      EXPECT_EQ(WTERMSIG(status), c.signal);
    } else {
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), c.exitCode);
    }
    const termios after = child.settings();
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_cc[VSUSP], before.c_cc[VSUSP]);
    const size_t enter = child.output().find(kEnter);
    EXPECT_NE(child.output().find(kLeave, enter), std::string::npos);
  }
}

// Keys arrive one at a time, unechoed and untranslated (Enter stays CR);
// the size is the terminal's.
TEST(TerminalPosix, ReadsSingleKeysAndKnowsItsSize) {
  PtyChild child(
      [] {
        const bool interactive = isInteractiveTerminal();
        std::unique_ptr<Terminal> terminal;
        if (!Terminal::open(&terminal).isOk()) std::_Exit(90);
        const TerminalSize size = terminal->size();
        terminal->write("size=" + std::to_string(size.columns) + "x" + std::to_string(size.rows) +
                        " interactive=" + (interactive ? "1" : "0") + "|");
        std::string keys;
        while (keys.size() < 3) {
          pollfd fds{terminal->inputFd(), POLLIN, 0};
          if (::poll(&fds, 1, -1) <= 0) continue;
          bool ended = false;
          terminal->readInput(&keys, &ended);
          if (ended) std::_Exit(91);
        }
        std::string shown;
        for (char c : keys) shown += std::to_string(static_cast<unsigned char>(c)) + ",";
        terminal->write("keys=" + shown + "|");
      },
      winsize{30, 100, 0, 0});
  ASSERT_TRUE(child.ok());
  ASSERT_TRUE(child.waitForOutput("|"));
  EXPECT_NE(child.output().find("size=100x30 interactive=1|"), std::string::npos)
      << child.output();
  child.type("q\r");
  child.type("\x7f");
  ASSERT_TRUE(child.waitForOutput("|keys=113,13,127,|")) << child.output();
  // Nothing typed was echoed between the two reports.
  EXPECT_EQ(child.output().find("q"), std::string::npos);
  const int status = child.waitForExit();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A terminal that stops reading (a stalled remote session) does not hold the
// writer: the screen is given up and reported as not written.
TEST(TerminalPosix, AStalledTerminalDoesNotBlockTheWriter) {
  PtyChild child([] {
    std::unique_ptr<Terminal> terminal;
    if (!Terminal::open(&terminal).isOk()) std::_Exit(90);
    const std::string screen(64 * 1024, 'x');
    for (int i = 0; i < 64; ++i) {
      if (!terminal->write(screen)) std::_Exit(0);
    }
    std::_Exit(1);  // 4 MB taken by a terminal that nobody reads
  });
  ASSERT_TRUE(child.ok());
  const int status = child.waitForExit(/*readOutput=*/false);
  ASSERT_NE(status, -1) << "the writer was blocked";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(TerminalPosix, OutputThatIsNoTerminalIsNotInteractive) {
  PtyChild child([] {
    const bool asIs = isInteractiveTerminal();
    const int saved = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    const bool redirected = isInteractiveTerminal();
    ::dup2(saved, STDOUT_FILENO);
    say(std::string("as-is=") + (asIs ? "1" : "0") + " redirected=" + (redirected ? "1" : "0") +
        "|");
  });
  ASSERT_TRUE(child.ok());
  ASSERT_TRUE(child.waitForOutput("|"));
  EXPECT_NE(child.output().find("as-is=1 redirected=0|"), std::string::npos) << child.output();
  child.waitForExit();
}

}  // namespace
}  // namespace platform
