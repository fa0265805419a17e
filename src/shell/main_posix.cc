// The agent's entry on POSIX: a daemon that stays in the foreground under a
// service manager. One instance per host; a second start exits 0 at once.
// SIGTERM or SIGINT is the confirmed exit, SIGUSR1 the start/stop button,
// SIGUSR2 toggles the raw-traffic log. A failed start prints the message to
// standard error and exits with status 1.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "codec/errors.h"
#include "platform/event_loop.h"
#include "platform/instance_lock.h"
#include "platform/text.h"
#include "shell/agent.h"
#include "shell/headless_frontend.h"
#include "shell/shell_texts.h"

namespace {

int fail(const std::string& gbkMessage) {
  std::string text = platform::gbkToUtf8(gbkMessage) + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  return 1;
}

}  // namespace

int main() {
  // Before any thread starts: the loop thread alone takes these signals.
  platform::blockLoopSignals();

  const char* name = std::getenv(tavin::kInstanceNameVariable);
  platform::InstanceLock instance;
  bool alreadyRunning = false;
  platform::SysStatus locked = instance.acquire(
      name != nullptr && *name != '\0' ? name : std::string(platform::kInstanceLockName),
      &alreadyRunning);
  // A lock that cannot be tried at all does not stop the agent.
  if (locked.isOk() && alreadyRunning) return 0;

  std::unique_ptr<platform::EventLoop> loop;
  if (platform::SysStatus status = platform::EventLoop::create(&loop); !status) {
    return fail(status.toString());
  }

  tavin::HeadlessFrontend frontend;
  tavin::Agent agent(*loop, &frontend, nullptr);
  try {
    agent.start();
  } catch (const tavin::AppError& e) {
    return fail(e.message());
  } catch (const std::exception& e) {
    return fail(e.what());
  }

  loop->onSignal(platform::Signal::kTerminate, [&agent] { agent.close(); });
  loop->onSignal(platform::Signal::kInterrupt, [&agent] { agent.close(); });
  loop->onSignal(platform::Signal::kUser1, [&agent] { agent.btnStatusClick(); });
  loop->onSignal(platform::Signal::kUser2, [&agent] { agent.setCountAll(!agent.countAll()); });
  loop->run();
  return 0;
}
