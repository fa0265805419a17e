// The agent's entry on Windows. One instance per host: a second start brings
// the running agent to the front and exits. The agent runs on the loop's
// message-only window; closing the session ends it cleanly.
#include <windows.h>

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

void showError(const std::string& gbkMessage) {
  ::MessageBoxW(nullptr, platform::gbkToWide(gbkMessage).c_str(),
                platform::gbkToWide(tavin::kErrorCaption).c_str(), MB_OK | MB_ICONERROR);
}

std::string instanceName() {
  const char* name = std::getenv(tavin::kInstanceNameVariable);
  return name != nullptr && *name != '\0' ? name : std::string(platform::kInstanceLockName);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  platform::InstanceLock instance;
  bool alreadyRunning = false;
  platform::SysStatus locked = instance.acquire(instanceName(), &alreadyRunning);
  if (locked.isOk() && alreadyRunning) {
    platform::activateRunningInstance(std::string(tavin::kApplicationWindowClass),
                                      std::string(tavin::kApplicationTitle));
    return 0;
  }

  std::unique_ptr<platform::EventLoop> loop;
  if (platform::SysStatus status = platform::EventLoop::create(&loop); !status) {
    showError(status.toString());
    return 0;
  }

  // History lines also go to standard output when the agent was started
  // with one (from a console, or under test).
  tavin::HeadlessFrontend frontend;
  tavin::Agent agent(*loop, &frontend, nullptr);
  try {
    agent.start();
  } catch (const tavin::AppError& e) {
    showError(e.message());
    return 0;
  } catch (const std::exception& e) {
    showError(e.what());
    return 0;
  }
  loop->run();
  return 0;
}
