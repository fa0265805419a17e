// The agent's entry on Windows. With the argument "--service" (which the
// service's command line carries) it is the Windows service of service.h.
// Otherwise it is the tray application: one instance per host; a second
// start brings the running agent's window to the front and exits, or, where
// the running agent has no window here (the service, another session's tray
// application), says so and exits. Otherwise the main window is created
// minimised to the notification area, the agent starts behind it, and the
// window thread runs the event loop until the operator confirms the exit. A
// failed start shows its message in the error dialog; nothing listens then.
// A tray application that has started asks Windows to start it again should
// it crash or hang ("--restarted" and its working folder). The program
// returns 0 in every case but "--service" outside the service control
// manager.
#include <windows.h>
#include <shellapi.h>

#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "codec/errors.h"
#include "platform/event_loop.h"
#include "platform/instance_lock.h"
#include "platform/standard_output.h"
#include "platform/text.h"
#include "shell/agent.h"
#include "shell/error_form.h"
#include "shell/headless_frontend.h"
#include "shell/main_window.h"
#include "shell/run_loop.h"
#include "shell/service.h"
#include "shell/shell_texts.h"

namespace {

constexpr wchar_t kServiceArgument[] = L"--service";
constexpr wchar_t kRestartedArgument[] = L"--restarted";

// The error dialog, or a plain message box where even that cannot be made.
void showStartupError(const std::string& gbkMessage) {
  if (tavin::TErrForm::showModal(gbkMessage)) return;
  ::MessageBoxW(nullptr, platform::gbkToWide(gbkMessage).c_str(),
                platform::gbkToWide(tavin::kErrorCaption).c_str(), MB_OK | MB_ICONERROR);
}

// A started agent has no console, but one started from a console or under
// test inherits standard output: there the history's shown lines are printed
// too.
bool hasStandardOutput() {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  return out != nullptr && out != INVALID_HANDLE_VALUE;
}

// The program's arguments, without its name.
std::vector<std::wstring> arguments() {
  int count = 0;
  LPWSTR* list = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::wstring> out;
  if (list == nullptr) return out;
  for (int i = 1; i < count; ++i) out.emplace_back(list[i]);
  ::LocalFree(list);
  return out;
}

// A notice that ends the start (GBK). A start with standard output (a
// script) reads it there and is not held up by a box nobody may be there to
// close.
void tell(std::string_view gbkText, UINT icon) {
  if (hasStandardOutput()) {
    (void)platform::writeStandardOutput(platform::gbkToUtf8(gbkText) + "\r\n");
    return;
  }
  ::MessageBoxW(nullptr, platform::gbkToWide(gbkText).c_str(),
                platform::gbkToWide(tavin::kApplicationTitle).c_str(), MB_OK | icon);
}

// Windows starts the agent again after a crash, or a hang it has found, of
// an agent that had run for 60 seconds (so a start that fails at once does
// not loop), in the folder it ran in: the started one may not inherit it.
// Not after a reboot or an update's restart: the logon entry starts it then.
void registerForRestart() {
  DWORD length = ::GetCurrentDirectoryW(0, nullptr);
  std::wstring folder(length, L'\0');
  folder.resize(::GetCurrentDirectoryW(length, folder.data()));
  // Doubled, a trailing backslash (a drive's root) does not escape the quote.
  if (!folder.empty() && folder.back() == L'\\') folder += L'\\';
  const std::wstring commandLine = std::wstring(kRestartedArgument) + L" \"" + folder + L"\"";
  ::RegisterApplicationRestart(commandLine.c_str(), RESTART_NO_PATCH | RESTART_NO_REBOOT);
}

class TeeHistoryView : public tavin::HistoryView {
 public:
  TeeHistoryView(tavin::HistoryView& first, tavin::HistoryView& second)
      : first_(first), second_(second) {}
  void clearLines() override {
    first_.clearLines();
    second_.clearLines();
  }
  void appendLine(const std::string& line) override {
    first_.appendLine(line);
    second_.appendLine(line);
  }

 private:
  tavin::HistoryView& first_;
  tavin::HistoryView& second_;
};

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // Other arguments are ignored, as the program takes none.
  const std::vector<std::wstring> args = arguments();
  if (!args.empty() && args[0] == kServiceArgument) {
    if (tavin::runService()) return 0;
    tell(tavin::kServiceOnly, MB_ICONERROR);
    return 1;
  }
  const bool restarted = args.size() >= 2 && args[0] == kRestartedArgument;
  if (restarted && !::SetCurrentDirectoryW(args[1].c_str())) {
    showStartupError(std::string(tavin::kWorkingFolderFailure) + platform::wideToGbk(args[1]) +
                     ": " + platform::SysStatus::lastError("SetCurrentDirectoryW").toString());
    return 0;
  }

  const std::string lockName = platform::instanceLockName();
  platform::InstanceLock instance;
  bool alreadyRunning = false;
  std::string problem;
  platform::SysStatus locked = instance.acquire(lockName, &alreadyRunning, &problem);
  if (!locked.isOk()) {
    // Without the lock this agent could serve beside another one.
    showStartupError(std::string(tavin::kInstanceMutexFailure) + lockName + ": " +
                     (problem.empty() ? locked.toString() : problem));
    return 0;
  }
  if (alreadyRunning) {
    if (!platform::activateRunningInstance(std::string(tavin::kApplicationWindowClass),
                                           std::string(tavin::kApplicationTitle))) {
      // The service, or the tray application of another session.
      tell(tavin::kAlreadyRunningElsewhere, MB_ICONINFORMATION);
    }
    return 0;
  }
  // The lock lies in the global namespace; a program of this session that
  // looks for the agent's mutex under its plain name still finds one.
  HANDLE sessionMarker = ::CreateMutexW(
      nullptr, FALSE, platform::gbkToWide(platform::kInstanceLockName).c_str());

  std::unique_ptr<platform::EventLoop> loop;
  if (platform::SysStatus status = platform::EventLoop::create(&loop); !status) {
    showStartupError(status.toString());
    return 0;
  }

  tavin::TFormMain form(*loop);
  if (!form.create()) {
    showStartupError(platform::SysStatus::lastError("CreateWindowExW").toString());
    return 0;
  }
  tavin::HeadlessFrontend printer;
  TeeHistoryView tee(form.historyView(), printer);
  tavin::Agent agent(*loop, hasStandardOutput() ? static_cast<tavin::HistoryView*>(&tee)
                                                : &form.historyView(),
                     &form);
  form.attach(&agent);
  try {
    agent.start();
  } catch (const std::exception& e) {
    // The main window goes, with its icon; only the dialog is left.
    form.attach(nullptr);
    form.destroy();
    const auto* appError = dynamic_cast<const tavin::AppError*>(&e);
    showStartupError(appError != nullptr ? appError->message() : std::string(e.what()));
    return 0;
  }
  form.FormCreate();
  if (restarted) agent.history().LogEvent(std::string(tavin::kRestartedLine));
  registerForRestart();

  tavin::runLoop(*loop, agent.history());
  form.attach(nullptr);
  if (sessionMarker != nullptr) ::CloseHandle(sessionMarker);
  return 0;
}
