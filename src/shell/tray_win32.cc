#include <windows.h>
#include <shellapi.h>

#include <algorithm>

#include "platform/text.h"
#include "shell/form_layout.h"
#include "shell/tray_icon.h"

namespace tavin {
namespace {

NOTIFYICONDATAW iconData(void* window) {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = static_cast<HWND>(window);
  data.uID = kTrayIconId;
  return data;
}

}  // namespace

TrayIcon::TrayIcon(void* window, void* icon, std::string tip)
    : window_(window), icon_(icon), tip_(std::move(tip)) {}

TrayIcon::~TrayIcon() { hide(); }

bool TrayIcon::add() {
  NOTIFYICONDATAW data = iconData(window_);
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = kTrayCallbackMessage;
  data.hIcon = static_cast<HICON>(icon_);
  const std::wstring tip = platform::gbkToWide(tip_);
  const size_t length = std::min(tip.size(), std::size(data.szTip) - 1);
  std::copy_n(tip.begin(), length, data.szTip);
  return ::Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
}

bool TrayIcon::show() {
  if (shown_) return true;
  // Marked shown even when the shell is not up yet: its "TaskbarCreated"
  // brings the icon back then.
  shown_ = true;
  return add();
}

void TrayIcon::hide() {
  if (!shown_) return;
  shown_ = false;
  NOTIFYICONDATAW data = iconData(window_);
  ::Shell_NotifyIconW(NIM_DELETE, &data);
}

unsigned TrayIcon::taskbarCreatedMessage() {
  static const UINT message = ::RegisterWindowMessageW(L"TaskbarCreated");
  return message;
}

void TrayIcon::taskbarCreated() {
  if (shown_) add();
}

}  // namespace tavin
