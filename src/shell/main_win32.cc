// The agent's entry on Windows. One instance per host: a second start brings
// the running agent's window to the front and exits. Otherwise the main
// window is created minimised to the notification area, the agent starts
// behind it, and the window thread runs the event loop until the operator
// confirms the exit. A failed start shows its message in the error dialog;
// nothing listens then. The program returns 0 in every case.
#include <windows.h>

#include <exception>
#include <memory>
#include <string>

#include "codec/errors.h"
#include "platform/event_loop.h"
#include "platform/instance_lock.h"
#include "platform/text.h"
#include "shell/agent.h"
#include "shell/error_form.h"
#include "shell/headless_frontend.h"
#include "shell/main_window.h"
#include "shell/run_loop.h"
#include "shell/shell_texts.h"

namespace {

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
  platform::InstanceLock instance;
  bool alreadyRunning = false;
  platform::SysStatus locked = instance.acquire(platform::instanceLockName(), &alreadyRunning);
  if (locked.isOk() && alreadyRunning) {
    platform::activateRunningInstance(std::string(tavin::kApplicationWindowClass),
                                      std::string(tavin::kApplicationTitle));
    return 0;
  }

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

  tavin::runLoop(*loop, agent.history());
  form.attach(nullptr);
  return 0;
}
