#include <windows.h>

#include "platform/host_name.h"
#include "platform/text.h"

namespace platform {

std::string hostName() {
  wchar_t buffer[256];
  DWORD size = sizeof buffer / sizeof buffer[0];
  if (!::GetComputerNameExW(ComputerNameDnsHostname, buffer, &size)) return std::string();
  return wideToGbk(std::wstring_view(buffer, size));
}

}  // namespace platform
