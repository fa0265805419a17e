// The agent's entry on POSIX. Started from a terminal (standard input and
// output both a terminal, in the foreground) it shows its window there and
// takes keys; otherwise it is a daemon that stays in the foreground under a
// service manager and prints the history lines to standard output. One
// instance per installation (its lock file beside the executable, or where
// a link of that name points); a second start exits 0 at once, and a lock
// file that cannot be used is a failed start.
// SIGTERM or SIGINT is the confirmed exit (no question), SIGUSR1 the
// start/stop button, SIGUSR2 toggles the raw-traffic log. A failed start
// prints the message to standard error and exits with status 1.
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "codec/errors.h"
#include "platform/event_loop.h"
#include "platform/instance_lock.h"
#include "platform/terminal.h"
#include "platform/text.h"
#include "shell/agent.h"
#include "shell/headless_frontend.h"
#include "shell/run_loop.h"
#include "shell/shell_texts.h"
#include "shell/terminal_frontend.h"

namespace {

int fail(const std::string& gbkMessage) {
  std::string text = platform::gbkToUtf8(gbkMessage) + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  return 1;
}

// Starts the agent; on failure returns the message for the user.
bool startAgent(tavin::Agent& agent, std::string* message) {
  try {
    agent.start();
    return true;
  } catch (const tavin::AppError& e) {
    *message = e.message();
  } catch (const std::exception& e) {
    *message = e.what();
  }
  return false;
}

// The signals act like the window's controls; changed() follows a change of
// the count-all switch.
void handleSignals(platform::EventLoop& loop, tavin::Agent& agent, std::function<void()> changed) {
  loop.onSignal(platform::Signal::kTerminate, [&agent] { agent.close(); });
  loop.onSignal(platform::Signal::kInterrupt, [&agent] { agent.close(); });
  loop.onSignal(platform::Signal::kUser1, [&agent] { agent.btnStatusClick(); });
  loop.onSignal(platform::Signal::kUser2, [&agent, changed] {
    agent.setCountAll(!agent.countAll());
    changed();
  });
}

int runHeadless(platform::EventLoop& loop) {
  tavin::HeadlessFrontend frontend;
  tavin::Agent agent(loop, &frontend, nullptr);
  std::string message;
  if (!startAgent(agent, &message)) return fail(message);
  handleSignals(loop, agent, [] {});
  tavin::runLoop(loop, agent.history());
  return 0;
}

int runInTerminal(platform::EventLoop& loop) {
  tavin::TerminalFrontend frontend(loop);
  // A terminal that cannot be switched to full-screen use gets the lines.
  if (!frontend.open().isOk()) return runHeadless(loop);
  tavin::Agent agent(loop, &frontend, &frontend);
  std::string message;
  if (!startAgent(agent, &message)) {
    // The terminal is given back first, so the message stays readable.
    frontend.close();
    return fail(message);
  }
  frontend.setPort(agent.server().port());
  frontend.setControls({[&agent] { agent.btnStatusClick(); },
                        [&agent] { return agent.countAll(); },
                        [&agent](bool on) { agent.setCountAll(on); },
                        [&agent] { agent.close(); }});
  handleSignals(loop, agent, [&frontend] { frontend.refresh(); });
  frontend.refresh();
  tavin::runLoop(loop, agent.history());
  return 0;
}

}  // namespace

int main() {
  // Before any thread starts: the loop thread alone takes these signals.
  platform::blockLoopSignals();

  const std::string lockFile = platform::instanceLockName();
  platform::InstanceLock instance;
  bool alreadyRunning = false;
  std::string problem;
  platform::SysStatus locked = instance.acquire(lockFile, &alreadyRunning, &problem);
  if (!locked.isOk()) {
    // Without the lock another start could not tell that this agent runs;
    // a lock file another user could hold is no proof that this one runs.
    return fail(std::string(tavin::kInstanceLockFailure) + lockFile + ": " +
                (problem.empty() ? locked.toString() : problem) +
                std::string(tavin::kInstanceLockHint));
  }
  if (alreadyRunning) return 0;

  std::unique_ptr<platform::EventLoop> loop;
  if (platform::SysStatus status = platform::EventLoop::create(&loop); !status) {
    return fail(status.toString());
  }
  return platform::isInteractiveTerminal() ? runInTerminal(*loop) : runHeadless(*loop);
}
