#include <windows.h>

#include <atomic>
#include <cstdlib>

#include "console/terminal.h"

namespace tavin::console {
namespace {

std::atomic<bool> interrupted{false};
UINT originalOutputCodePage = 0;

void restoreOutputCodePage() { ::SetConsoleOutputCP(originalOutputCodePage); }

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    interrupted.store(true);
    return TRUE;
  }
  return FALSE;
}

}  // namespace

void setUpTerminal() {
  // The output is UTF-8; a console window shows it as such only with this.
  // The window outlives the process, so its code page is put back at exit.
  originalOutputCodePage = ::GetConsoleOutputCP();
  if (originalOutputCodePage != 0 && ::SetConsoleOutputCP(CP_UTF8)) {
    std::atexit(restoreOutputCodePage);
  }
  ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool interruptRequested() { return interrupted.load(); }

}  // namespace tavin::console
