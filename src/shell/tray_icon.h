// The main window's icon in the notification area (the system tray).
//
// Shown and hidden on the window's thread. The icon sends its mouse events to
// the window as kTrayCallbackMessage. When the shell restarts (Explorer
// crashed, or a new session's taskbar came up) the window passes the
// "TaskbarCreated" message to taskbarCreated() and a shown icon is added again.
#pragma once

#include <string>

namespace tavin {

class TrayIcon {
 public:
  // window is the HWND that receives the callback; icon an HICON the caller
  // keeps; tip a GBK text shown when the mouse rests on the icon.
  TrayIcon(void* window, void* icon, std::string tip);
  ~TrayIcon();
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  // Adds the icon; true when the shell has it. Showing a shown icon does
  // nothing.
  bool show();
  void hide();
  bool shown() const { return shown_; }

  // The message id the shell broadcasts when the taskbar is created again.
  static unsigned taskbarCreatedMessage();
  void taskbarCreated();

 private:
  bool add();

  void* window_;
  void* icon_;
  std::string tip_;
  bool shown_ = false;
};

}  // namespace tavin
