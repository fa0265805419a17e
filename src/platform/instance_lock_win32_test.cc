#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "platform/instance_lock.h"
#include "platform/instance_lock_test_support.h"
#include "platform/text.h"

namespace platform {

std::string test::uniqueLockName(const tavin::test::TempDir&) {
  std::random_device random;
  return "Global\\TavinMonitorAgent-test-" + std::to_string(random()) + "-" +
         std::to_string(random());
}

namespace {

std::wstring widen(const char* ascii) { return std::wstring(ascii, ascii + strlen(ascii)); }

// This test binary, run as the child that holds the lock; its stdout goes
// to a pipe the test reads.
class LockHolder {
 public:
  explicit LockHolder(const std::string& name) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE write = nullptr;
    if (!::CreatePipe(&output_, &write, &inherit, 0)) return;
    ::SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);

    wchar_t self[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self, length) + L"\" " +
                               widen(test::kChildFilter) + L" " + widen(test::kChildAlsoDisabled);
    // The child inherits the variable; it is removed again at once.
    const std::wstring variable = widen(test::kChildLockVariable);
    ::SetEnvironmentVariableW(variable.c_str(), gbkToWide(name).c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write;
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    if (::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                         &startup, &info)) {
      process_ = info.hProcess;
      ::CloseHandle(info.hThread);
    }
    ::SetEnvironmentVariableW(variable.c_str(), nullptr);
    ::CloseHandle(write);
  }

  ~LockHolder() {
    stop();
    if (output_ != nullptr) ::CloseHandle(output_);
  }

  bool started() const { return process_ != nullptr; }

  // Waits until the child says it holds the lock; false when it ends or
  // the deadline passes first.
  bool waitUntilHolding(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string seen;
    while (seen.find(test::kChildHoldsLock) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      DWORD available = 0;
      if (!::PeekNamedPipe(output_, nullptr, 0, nullptr, &available, nullptr)) return false;
      if (available == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      char buffer[256];
      DWORD n = 0;
      if (!::ReadFile(output_, buffer, sizeof buffer, &n, nullptr) || n == 0) return false;
      seen.append(buffer, n);
    }
    return true;
  }

  // Ends the child (the process this object started, by its handle) and
  // waits for it to be gone.
  void stop() {
    if (process_ == nullptr) return;
    ::TerminateProcess(process_, 1);
    ::WaitForSingleObject(process_, 30000);
    ::CloseHandle(process_);
    process_ = nullptr;
  }

 private:
  HANDLE process_ = nullptr;
  HANDLE output_ = nullptr;
};

TEST(InstanceLock, HeldByAnotherProcessUntilItDies) {
  const tavin::test::TempDir dir;
  const std::string name = test::uniqueLockName(dir);
  LockHolder holder(name);
  ASSERT_TRUE(holder.started());
  ASSERT_TRUE(holder.waitUntilHolding(60000));

  InstanceLock lock;
  bool alreadyRunning = false;
  ASSERT_TRUE(lock.acquire(name, &alreadyRunning).isOk());
  EXPECT_TRUE(alreadyRunning);
  EXPECT_FALSE(lock.isHeld());

  // Terminated without any chance to clean up: the system still frees the name.
  holder.stop();
  ASSERT_TRUE(lock.acquire(name, &alreadyRunning).isOk());
  EXPECT_FALSE(alreadyRunning);
  EXPECT_TRUE(lock.isHeld());
}

// Held means owned: a handle to the mutex that another program keeps open
// (any user's program may open it to see whether the agent runs) does not
// keep the next start out once the holder has gone.
TEST(InstanceLock, AHandleKeptOpenElsewhereIsNoHold) {
  const tavin::test::TempDir dir;
  const std::string name = test::uniqueLockName(dir);
  bool alreadyRunning = true;
  InstanceLock first;
  ASSERT_TRUE(first.acquire(name, &alreadyRunning).isOk());
  ASSERT_FALSE(alreadyRunning);
  HANDLE other = ::OpenMutexW(SYNCHRONIZE, FALSE, gbkToWide(name).c_str());
  ASSERT_NE(other, nullptr);
  first.release();

  InstanceLock second;
  ASSERT_TRUE(second.acquire(name, &alreadyRunning).isOk());
  EXPECT_FALSE(alreadyRunning);
  EXPECT_TRUE(second.isHeld());
  ::CloseHandle(other);
}

// A top-level window of a class of the test's own, the way the running
// agent's window is found.
TEST(InstanceLock, ActivationRestoresTheMinimisedWindow) {
  const tavin::test::TempDir dir;
  const std::string title = "报盘机探针-" + test::uniqueLockName(dir);
  const wchar_t* kClass = L"TavinInstanceLockTestWindow";
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = ::DefWindowProcW;
  windowClass.hInstance = ::GetModuleHandleW(nullptr);
  windowClass.lpszClassName = kClass;
  ::RegisterClassW(&windowClass);
  HWND window = ::CreateWindowExW(0, kClass, gbkToWide(title).c_str(), WS_OVERLAPPEDWINDOW, 0, 0,
                                  200, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
  if (window == nullptr) GTEST_SKIP() << "no display for a top-level window";
  ::ShowWindow(window, SW_SHOWMINIMIZED);
  ASSERT_TRUE(::IsIconic(window));

  EXPECT_FALSE(activateRunningInstance("TavinInstanceLockTestWindow", title + "x"));
  EXPECT_TRUE(activateRunningInstance("TavinInstanceLockTestWindow", title));
  EXPECT_FALSE(::IsIconic(window));

  ::DestroyWindow(window);
  ::UnregisterClassW(kClass, windowClass.hInstance);
}

}  // namespace
}  // namespace platform
