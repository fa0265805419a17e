/* A stand-in for icacls.exe in the MSI tests under Wine, whose own icacls
   does nothing (and for find.exe, to make the link check fail): it appends
   its command line to C:\icacls.log and exits 0, or 5 ("access denied")
   while C:\icacls-fails exists. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR line, int show) {
  (void)instance;
  (void)previous;
  (void)show;
  HANDLE log = CreateFileA("C:\\icacls.log", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (log != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(log, line, lstrlenA(line), &written, NULL);
    WriteFile(log, "\n", 1, &written, NULL);
    CloseHandle(log);
  }
  return GetFileAttributesA("C:\\icacls-fails") == INVALID_FILE_ATTRIBUTES ? 0 : 5;
}
