#include <windows.h>

#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/event_loop.h"
#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/text.h"
#include "shell/agent.h"
#include "shell/run_loop.h"
#include "shell/service.h"
#include "shell/shell_texts.h"

namespace tavin {
namespace {

// The event source, and the ids of its entries in the message table the
// executable carries (agent_messages.mc; each message is the entry's text),
// which the installer names as the source's message file. An unregistered
// source still logs, and the event viewer shows the text beside a note that
// the message file is missing.
constexpr wchar_t kEventSource[] = L"TavinMonitorAgent";
constexpr DWORD kStartedEvent = 1;
constexpr DWORD kStoppedEvent = 2;
constexpr DWORD kFailedStartEvent = 3;
constexpr DWORD kAlreadyRunningEvent = 4;

constexpr wchar_t kSettingsKey[] = L"Software\\TavinMonitorAgent";
constexpr wchar_t kWorkingFolderValue[] = L"WorkingFolder";
constexpr char kWorkingFolderSource[] =
    " (HKEY_LOCAL_MACHINE\\Software\\TavinMonitorAgent\\WorkingFolder)";

// The service-specific exit code of a failed start, the Linux build's exit
// status.
constexpr DWORD kFailedStartCode = 1;
// What the manager is told a step of a start or a stop may take; the agent
// takes a fraction of a second.
constexpr DWORD kWaitHintMs = 10000;
constexpr DWORD kServingControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN |
                                   SERVICE_ACCEPT_PRESHUTDOWN | SERVICE_ACCEPT_PAUSE_CONTINUE;

// Makes the installation's working folder the current directory: the
// installer's registry value, or the executable's folder where there is
// none. *folder names it for a message.
platform::SysStatus enterWorkingFolder(std::string* folder) {
  // REG_SZ, or REG_EXPAND_SZ expanded.
  constexpr DWORD kTypes = RRF_RT_REG_SZ;
  DWORD bytes = 0;
  LSTATUS found = ::RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsKey, kWorkingFolderValue, kTypes,
                                 nullptr, nullptr, &bytes);
  std::wstring wide;
  if (found == ERROR_SUCCESS) {
    wide.resize(bytes / sizeof(wchar_t) + 1);
    bytes = static_cast<DWORD>(wide.size() * sizeof(wchar_t));
    found = ::RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsKey, kWorkingFolderValue, kTypes, nullptr,
                           wide.data(), &bytes);
    wide.resize(wcsnlen(wide.c_str(), wide.size()));
    *folder = platform::wideToGbk(wide) + kWorkingFolderSource;
  }
  if (found == ERROR_FILE_NOT_FOUND) {
    const std::string exe = platform::executablePath();
    const std::string own = exe.substr(0, platform::fileNameOffset(exe));
    wide = platform::gbkToWide(own);
    *folder = own;
  } else if (found != ERROR_SUCCESS) {
    *folder = kWorkingFolderSource + 1;
    return platform::SysStatus::error("RegGetValueW", static_cast<int>(found));
  }
  if (!::SetCurrentDirectoryW(wide.c_str())) {
    return platform::SysStatus::lastError("SetCurrentDirectoryW");
  }
  return platform::SysStatus::ok();
}

// How the service ended: what the manager is told with SERVICE_STOPPED.
struct Outcome {
  DWORD exitCode = NO_ERROR;
  DWORD specificCode = 0;
};

// One per process; the manager's threads call it: ServiceMain runs the
// agent on a thread of its own, which becomes the loop thread; the control
// handler runs on the program's main thread and posts to the loop.
class Service {
 public:
  static Service& instance() {
    static Service service;
    return service;
  }

  static void WINAPI main(DWORD argc, LPWSTR* argv) {
    Service& self = instance();
    self.handle_ = ::RegisterServiceCtrlHandlerExW(argc > 0 ? argv[0] : kEventSource, onControl,
                                                   &self);
    if (self.handle_ == nullptr) return;
    self.eventSource_ = ::RegisterEventSourceW(nullptr, kEventSource);
    // The lock is given up when run returns, so that the next start may take
    // it as soon as the manager hears of the stop.
    const Outcome outcome = self.run();
    if (self.eventSource_ != nullptr) ::DeregisterEventSource(self.eventSource_);
    // Last: the process may end at once.
    std::lock_guard<std::mutex> lock(self.mu_);
    self.setStatus(SERVICE_STOPPED, outcome);
  }

 private:
  static DWORD WINAPI onControl(DWORD code, DWORD, LPVOID, LPVOID context) {
    return static_cast<Service*>(context)->control(code);
  }

  Outcome run();
  Outcome failed(const std::string& message) {
    event(EVENTLOG_ERROR_TYPE, kFailedStartEvent, message);
    return Outcome{ERROR_SERVICE_SPECIFIC_ERROR, kFailedStartCode};
  }
  DWORD control(DWORD code);
  // Loop thread: running or paused, as the server is after the button.
  void reportServing(bool running) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!stopping_) setStatus(running ? SERVICE_RUNNING : SERVICE_PAUSED);
  }
  // Under mu_.
  void setStatus(DWORD state, Outcome outcome = {});
  void event(WORD type, DWORD id, std::string_view gbkText);

  SERVICE_STATUS_HANDLE handle_ = nullptr;
  HANDLE eventSource_ = nullptr;

  std::mutex mu_;
  // Guarded by mu_.
  SERVICE_STATUS status_{};
  platform::EventLoop* loop_ = nullptr;  // while the agent serves
  Agent* agent_ = nullptr;
  bool stopping_ = false;
};

Outcome Service::run() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    setStatus(SERVICE_START_PENDING);
  }
  const std::string lockName = platform::instanceLockName();
  platform::InstanceLock instance;
  bool alreadyRunning = false;
  std::string problem;
  if (platform::SysStatus locked = instance.acquire(lockName, &alreadyRunning, &problem);
      !locked) {
    return failed(std::string(kInstanceMutexFailure) + lockName + ": " +
                  (problem.empty() ? locked.toString() : problem));
  }
  if (alreadyRunning) {
    event(EVENTLOG_WARNING_TYPE, kAlreadyRunningEvent, kAlreadyRunningElsewhere);
    return Outcome{};
  }
  std::string folder;
  if (platform::SysStatus entered = enterWorkingFolder(&folder); !entered) {
    return failed(std::string(kWorkingFolderFailure) + folder + ": " + entered.toString());
  }
  std::unique_ptr<platform::EventLoop> loop;
  if (platform::SysStatus created = platform::EventLoop::create(&loop); !created) {
    return failed(created.toString());
  }
  {
    // Headless: the history goes to the day's log file only.
    Agent agent(*loop, nullptr, nullptr);
    try {
      agent.start();
    } catch (const std::exception& e) {
      return failed(e.what());
    }
    event(EVENTLOG_INFORMATION_TYPE, kStartedEvent,
          std::string(kServiceStarted) + platform::currentDirectory() +
              std::string(kServiceListening) + std::to_string(agent.server().port()));
    {
      std::lock_guard<std::mutex> lock(mu_);
      loop_ = loop.get();
      agent_ = &agent;
      setStatus(SERVICE_RUNNING);
    }
    runLoop(*loop, agent.history());
    {
      std::lock_guard<std::mutex> lock(mu_);
      loop_ = nullptr;
      agent_ = nullptr;
      stopping_ = true;
      setStatus(SERVICE_STOP_PENDING);
    }
    // A loop that ended otherwise than by a stop ends the agent as a stop
    // would; after a stop this does nothing.
    agent.close();
  }  // the agent's threads have ended here
  event(EVENTLOG_INFORMATION_TYPE, kStoppedEvent, kServiceStopped);
  return Outcome{};
}

DWORD Service::control(DWORD code) {
  std::lock_guard<std::mutex> lock(mu_);
  switch (code) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
      if (stopping_) return NO_ERROR;
      if (loop_ == nullptr) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
      stopping_ = true;
      setStatus(SERVICE_STOP_PENDING);
      loop_->post([agent = agent_] { agent->close(); });  // "Agent Closed"; the loop ends
      return NO_ERROR;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE: {
      if (loop_ == nullptr || stopping_) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
      const bool pause = code == SERVICE_CONTROL_PAUSE;
      setStatus(pause ? SERVICE_PAUSE_PENDING : SERVICE_CONTINUE_PENDING);
      loop_->post([this, agent = agent_, pause] {
        if (agent->server().isRunning() == pause) agent->btnStatusClick();
        // A continue whose port is taken meanwhile stays paused (history line).
        reportServing(agent->server().isRunning());
      });
      return NO_ERROR;
    }
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void Service::setStatus(DWORD state, Outcome outcome) {
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
                       state == SERVICE_PAUSE_PENDING || state == SERVICE_CONTINUE_PENDING;
  status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status_.dwCurrentState = state;
  status_.dwControlsAccepted =
      state == SERVICE_RUNNING || state == SERVICE_PAUSED ? kServingControls : 0;
  status_.dwWin32ExitCode = outcome.exitCode;
  status_.dwServiceSpecificExitCode = outcome.specificCode;
  status_.dwCheckPoint = pending ? status_.dwCheckPoint + 1 : 0;
  status_.dwWaitHint = pending ? kWaitHintMs : 0;
  ::SetServiceStatus(handle_, &status_);
}

void Service::event(WORD type, DWORD id, std::string_view gbkText) {
  if (eventSource_ == nullptr) return;
  const std::wstring text = platform::gbkToWide(gbkText);
  LPCWSTR strings[] = {text.c_str()};
  ::ReportEventW(eventSource_, type, 0, id, nullptr, 1, 0, strings, nullptr);
}

}  // namespace

bool runService() {
  wchar_t name[] = L"TavinMonitorAgent";  // a service of its own process: any name
  SERVICE_TABLE_ENTRYW table[] = {{name, Service::main}, {nullptr, nullptr}};
  return ::StartServiceCtrlDispatcherW(table) != FALSE;
}

}  // namespace tavin
