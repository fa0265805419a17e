#include <windows.h>
#include <tlhelp32.h>

#include "platform/process_list.h"
#include "platform/text.h"

namespace platform {

SysStatus listProcesses(std::vector<ProcessInfo>* out) {
  out->clear();
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return SysStatus::lastError("CreateToolhelp32Snapshot");
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  if (!::Process32FirstW(snapshot, &entry)) {
    SysStatus status = SysStatus::lastError("Process32FirstW");
    ::CloseHandle(snapshot);
    return status;
  }
  do {
    ProcessInfo info;
    // szExeFile is the bare executable name.
    info.exeName = wideToGbk(entry.szExeFile);
    out->push_back(std::move(info));
    entry.dwSize = sizeof entry;
  } while (::Process32NextW(snapshot, &entry));
  ::CloseHandle(snapshot);
  return SysStatus::ok();
}

}  // namespace platform
