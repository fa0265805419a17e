// Drives the window probe of the Windows build (tavin_window_probe.exe) under
// Wine for the window tests: one probe process per test, fed commands on its
// standard input; its answers are parsed into the windows and controls it
// reports. The destructor ends the probe (quit, then SIGKILL by its pid).
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tavin::e2e {

// One reported window or control: its fields, texts converted to GBK.
struct ProbeItem {
  std::map<std::string, std::string> fields;
  std::string get(const std::string& key) const;
  int number(const std::string& key) const;  // -1 when absent
};

struct ProbeWindow {
  ProbeItem window;
  std::vector<ProbeItem> controls;
  const ProbeItem* control(const std::string& name) const;
  std::string cls() const { return window.get("class"); }
};

// What one "list" saw.
struct ProbeSnapshot {
  int screenWidth = 0;
  int screenHeight = 0;
  std::vector<ProbeWindow> windows;
  // The first window of the class, or null.
  const ProbeWindow* find(const std::string& cls) const;
  int count(const std::string& cls) const;
};

class WindowProbe {
 public:
  WindowProbe(const std::string& wine, const std::string& probeExe);
  ~WindowProbe();
  WindowProbe(const WindowProbe&) = delete;
  WindowProbe& operator=(const WindowProbe&) = delete;

  bool started() const { return pid_ > 0; }
  // Runs a command; the error text of the probe, empty on success.
  std::string command(const std::string& line);
  ProbeSnapshot list();
  // Lists until pred holds; the last snapshot, or empty on timeout.
  template <typename Pred>
  std::optional<ProbeSnapshot> waitFor(Pred pred, int timeoutMs);

 private:
  // The probe's answer lines up to "end"; empty with *ok false on timeout.
  std::vector<std::string> exchange(const std::string& line, bool* ok);
  void sleepMs(int ms);

  pid_t pid_ = -1;
  int toProbe_ = -1;
  int fromProbe_ = -1;
  std::string buffer_;
};

template <typename Pred>
std::optional<ProbeSnapshot> WindowProbe::waitFor(Pred pred, int timeoutMs) {
  for (int waited = 0; waited <= timeoutMs; waited += 200) {
    ProbeSnapshot snapshot = list();
    if (pred(snapshot)) return snapshot;
    sleepMs(200);
  }
  return std::nullopt;
}

}  // namespace tavin::e2e
