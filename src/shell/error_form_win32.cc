#include <windows.h>

#include "platform/text.h"
#include "shell/error_form.h"
#include "shell/form_layout.h"
#include "shell/shell_texts.h"

namespace tavin {
namespace {

struct ErrFormState {
  HFONT formFont = nullptr;
  HFONT messageFont = nullptr;
  HBRUSH messageBrush = nullptr;
  bool closed = false;
};

// A multi-line edit box breaks lines only at CR LF.
std::wstring withCrLf(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r')) out += L'\r';
    out += text[i];
  }
  return out;
}

LRESULT CALLBACK errFormProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* state = reinterpret_cast<ErrFormState*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case WM_COMMAND:
      // BtOK, and Enter or Escape through the dialog keys.
      if (LOWORD(wParam) == kBtOKId || LOWORD(wParam) == IDCANCEL) {
        ::DestroyWindow(window);
        return 0;
      }
      break;
    case WM_CTLCOLORSTATIC:
      // ErrMsg: black text on the menu bar's colour.
      if (state != nullptr && ::GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) == kErrMsgId) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        ::SetTextColor(dc, RGB(0, 0, 0));
        ::SetBkColor(dc, ::GetSysColor(COLOR_MENUBAR));
        return reinterpret_cast<LRESULT>(state->messageBrush);
      }
      break;
    case WM_DESTROY:
      if (state != nullptr) state->closed = true;
      // Closed from a sent message, the dialog's loop is still waiting inside
      // GetMessage: a posted message lets it see that the dialog is gone.
      ::PostThreadMessageW(::GetCurrentThreadId(), WM_NULL, 0, 0);
      return 0;
    default:
      break;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

bool TErrForm::showModal(const std::string& message) {
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  const std::wstring className = platform::gbkToWide(kErrFormClass);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = errFormProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = className.c_str();
  if (::RegisterClassExW(&windowClass) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    return false;
  }

  ErrFormState state;
  state.formFont = static_cast<HFONT>(createFont(kErrFormFont));
  state.messageFont = static_cast<HFONT>(createFont(kErrMsgFont));
  state.messageBrush = ::GetSysColorBrush(COLOR_MENUBAR);

  // A dialog border around the dialog's client area, at its fixed place on
  // the screen.
  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
  // The program's only window: it keeps a taskbar button.
  const DWORD exStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT | WS_EX_APPWINDOW;
  RECT frame{0, 0, kErrClientWidth, kErrClientHeight};
  ::AdjustWindowRectEx(&frame, style, FALSE, exStyle);
  HWND form = ::CreateWindowExW(exStyle, className.c_str(),
                                platform::gbkToWide(kErrorCaption).c_str(), style, kErrFormLeft,
                                kErrFormTop, frame.right - frame.left, frame.bottom - frame.top,
                                nullptr, nullptr, instance, nullptr);
  if (form == nullptr) {
    ::DeleteObject(state.formFont);
    ::DeleteObject(state.messageFont);
    return false;
  }
  ::SetWindowLongPtrW(form, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));

  const auto places = layoutControls(kErrFormControls, kErrClientWidth, kErrClientHeight);
  for (size_t i = 0; i < std::size(kErrFormControls); ++i) {
    const ControlSpec& item = kErrFormControls[i];
    const Rect& place = places[i];
    HWND control = nullptr;
    if (item.id == kErrMsgId) {
      control = ::CreateWindowExW(
          0, L"EDIT", withCrLf(platform::gbkToWide(message)).c_str(),
          WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_READONLY | ES_CENTER, place.left, place.top,
          place.width, place.height, form, reinterpret_cast<HMENU>(static_cast<INT_PTR>(item.id)),
          instance, nullptr);
      ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(state.messageFont), FALSE);
    } else {
      control = ::CreateWindowExW(
          0, L"BUTTON", platform::gbkToWide(item.text).c_str(),
          WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, place.left, place.top,
          place.width, place.height, form, reinterpret_cast<HMENU>(static_cast<INT_PTR>(item.id)),
          instance, nullptr);
      ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(state.formFont), FALSE);
      ::SetFocus(control);
    }
  }

  ::ShowWindow(form, SW_SHOWNORMAL);
  ::SetForegroundWindow(form);
  ::UpdateWindow(form);

  MSG msg;
  while (!state.closed && ::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (::IsDialogMessageW(form, &msg)) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  // A WM_QUIT ends the loop with the dialog still open; its state is about to
  // go away.
  if (!state.closed) ::DestroyWindow(form);
  ::DeleteObject(state.formFont);
  ::DeleteObject(state.messageFont);
  return true;
}

}  // namespace tavin
