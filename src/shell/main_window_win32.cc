#include <windows.h>
#include <commctrl.h>

#include <exception>
#include <map>
#include <string>
#include <vector>

#include "platform/text.h"
#include "shell/agent.h"
#include "shell/form_layout.h"
#include "shell/main_window.h"
#include "shell/posted_history_view.h"
#include "shell/shell_texts.h"
#include "shell/tray_icon.h"

namespace tavin {
namespace {

constexpr wchar_t kPanelClass[] = L"TPanel";
// The application window asks the main window to come to the front with this.
constexpr UINT kActivateMainMessage = WM_APP + 21;

constexpr COLORREF kBlue = RGB(0, 0, 255);
constexpr COLORREF kGreen = RGB(0, 128, 0);

std::wstring wide(std::string_view gbk) { return platform::gbkToWide(gbk); }

HMENU controlId(int id) { return reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)); }

// A panel paints a raised edge and hands its children's notifications to
// the form, so that the form handles every control in one place.
LRESULT CALLBACK panelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
      return ::SendMessageW(::GetParent(window), message, wParam, lParam);
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = ::BeginPaint(window, &paint);
      RECT rect;
      ::GetClientRect(window, &rect);
      ::DrawEdge(dc, &rect, BDR_RAISEDOUTER, BF_RECT);
      ::EndPaint(window, &paint);
      return 0;
    }
    default:
      return ::DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

struct TFormMain::Impl : PostedHistoryView::Sink {
  explicit Impl(platform::EventLoop& l)
      : loop(l), history([&l](std::function<void()> fn) { l.post(std::move(fn)); }, *this) {}
  ~Impl() override { destroy(); }

  bool create();
  void destroy();

  static LRESULT CALLBACK formProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK appProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT onFormMessage(UINT message, WPARAM wParam, LPARAM lParam);
  bool onCommand(int id);

  // The tray's operations.
  void trayMinimize();
  void trayRestore();
  void popup();
  // Handlers.
  void TrayIcon1Minimize();
  void HideCheckClick();
  void VisibleCheckClick();
  void StatusBar1Resize();
  void FormClose();
  void closeConfirmed();

  HWND control(int id) const {
    auto it = controls.find(id);
    return it == controls.end() ? nullptr : it->second;
  }
  bool checked(int id) const {
    return ::SendMessageW(control(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
  }
  void setText(int id, const std::string& gbk) { ::SetWindowTextW(control(id), wide(gbk).c_str()); }
  // A label takes the size of its text, as an auto-sized label does.
  void setLabel(int id, const std::string& gbk);

  // PostedHistoryView::Sink, on the window thread.
  void clearView() override;
  void appendLines(const std::vector<std::string>& lines) override;

  platform::EventLoop& loop;
  PostedHistoryView history;
  Agent* agent = nullptr;

  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  HWND app = nullptr;
  HWND form = nullptr;
  std::map<int, HWND> controls;
  HFONT formFont = nullptr;
  HFONT counterFont = nullptr;
  HICON icon = nullptr;
  HICON smallIcon = nullptr;
  HMENU popupMenu = nullptr;
  std::unique_ptr<TrayIcon> tray;
  bool closing = false;  // the exit question is open
  bool memoEmpty = true;
};

bool TFormMain::Impl::create() {
  INITCOMMONCONTROLSEX common{sizeof common, ICC_BAR_CLASSES};
  ::InitCommonControlsEx(&common);

  icon = static_cast<HICON>(::LoadImageW(instance, L"MAINICON", IMAGE_ICON,
                                         ::GetSystemMetrics(SM_CXICON),
                                         ::GetSystemMetrics(SM_CYICON), 0));
  smallIcon = static_cast<HICON>(::LoadImageW(instance, L"MAINICON", IMAGE_ICON,
                                              ::GetSystemMetrics(SM_CXSMICON),
                                              ::GetSystemMetrics(SM_CYSMICON), 0));
  if (icon == nullptr) icon = ::LoadIconW(nullptr, IDI_APPLICATION);
  if (smallIcon == nullptr) smallIcon = icon;

  const std::wstring appClass = wide(kApplicationWindowClass);
  const std::wstring formClass = wide(kMainFormClass);
  struct ClassSpec {
    const wchar_t* name;
    WNDPROC proc;
  };
  for (const ClassSpec& item : {ClassSpec{appClass.c_str(), appProc},
                                ClassSpec{formClass.c_str(), formProc},
                                ClassSpec{kPanelClass, panelProc}}) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = item.proc == panelProc ? CS_HREDRAW | CS_VREDRAW : 0;
    windowClass.lpfnWndProc = item.proc;
    windowClass.hInstance = instance;
    windowClass.hIcon = icon;
    windowClass.hIconSm = smallIcon;
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = item.name;
    if (::RegisterClassExW(&windowClass) == 0 &&
        ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
      return false;
    }
  }

  // The application window is never shown: it is what a second start finds.
  app = ::CreateWindowExW(WS_EX_TOOLWINDOW, appClass.c_str(), wide(kApplicationTitle).c_str(),
                          WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance, this);
  if (app == nullptr) return false;

  // A fixed single border with a minimise box around the form's client
  // area, centred on the screen; created minimised and hidden.
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  const DWORD exStyle = WS_EX_CONTROLPARENT | WS_EX_APPWINDOW;
  RECT frame{0, 0, kMainClientWidth, kMainClientHeight};
  ::AdjustWindowRectEx(&frame, style, FALSE, exStyle);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  const int left = (::GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  const int top = (::GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  form = ::CreateWindowExW(exStyle, formClass.c_str(), wide(kMainWindowCaption).c_str(),
                           style | WS_MINIMIZE, left, top, width, height, nullptr, nullptr,
                           instance, this);
  if (form == nullptr) return false;

  formFont = static_cast<HFONT>(createFont(kMainFormFont));
  counterFont = static_cast<HFONT>(createFont(kCounterFont));

  const auto places = layoutControls(kMainFormControls, kMainClientWidth, kMainClientHeight);
  for (size_t i = 0; i < std::size(kMainFormControls); ++i) {
    const ControlSpec& item = kMainFormControls[i];
    const Rect& place = places[i];
    HWND parent = item.parentId == 0 ? form : control(item.parentId);
    const DWORD child = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
    const wchar_t* windowClass = L"STATIC";
    DWORD controlStyle = child;
    DWORD controlExStyle = 0;
    switch (item.kind) {
      case ControlKind::kPanel:
        windowClass = kPanelClass;
        controlExStyle = WS_EX_CONTROLPARENT;
        break;
      case ControlKind::kLabel:
        controlStyle |= SS_LEFT | SS_NOPREFIX;
        break;
      case ControlKind::kReadOnlyBox:
        windowClass = L"EDIT";
        controlStyle |= WS_DISABLED | ES_READONLY | ES_AUTOHSCROLL;
        controlExStyle = WS_EX_CLIENTEDGE;
        break;
      case ControlKind::kButton:
        windowClass = L"BUTTON";
        controlStyle |= WS_TABSTOP | BS_PUSHBUTTON;
        break;
      case ControlKind::kCheckBox:
        windowClass = L"BUTTON";
        controlStyle |= WS_TABSTOP | BS_AUTOCHECKBOX;
        break;
      case ControlKind::kMemo:
        windowClass = L"EDIT";
        // Read-only: the lines are the history's, not the operator's.
        controlStyle |= WS_TABSTOP | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_AUTOVSCROLL |
                        ES_AUTOHSCROLL | ES_READONLY;
        controlExStyle = WS_EX_CLIENTEDGE;
        break;
      case ControlKind::kStatusBar:
        windowClass = STATUSCLASSNAMEW;
        // Placed and sized here, not by the status bar itself.
        controlStyle |= CCS_NORESIZE | CCS_NOPARENTALIGN;
        break;
    }
    HWND handle = ::CreateWindowExW(controlExStyle, windowClass, wide(item.text).c_str(),
                                    controlStyle, place.left, place.top, place.width,
                                    place.height, parent, controlId(item.id), instance, nullptr);
    if (handle == nullptr) return false;
    controls[item.id] = handle;
    const bool counter = item.id == kLblRcvMsgCntId || item.id == kLblSntMsgCntId;
    ::SendMessageW(handle, WM_SETFONT, reinterpret_cast<WPARAM>(counter ? counterFont : formFont),
                   FALSE);
    if (item.kind == ControlKind::kLabel) setLabel(item.id, std::string(item.text));
  }
  ::SendMessageW(control(kMemHistoryId), EM_SETLIMITTEXT, 0, 0);
  ::SendMessageW(control(kHideCheckId), BM_SETCHECK, BST_CHECKED, 0);
  ::SendMessageW(control(kVisibleCheckId), BM_SETCHECK, BST_CHECKED, 0);
  StatusBar1Resize();
  ::SendMessageW(control(kStatusBar1Id), SB_SETTEXTW, 0,
                 reinterpret_cast<LPARAM>(wide(kPanelRunning).c_str()));
  // Two tabs right-align a status bar part's text.
  ::SendMessageW(control(kStatusBar1Id), SB_SETTEXTW, 1,
                 reinterpret_cast<LPARAM>((L"\t\t" + wide(kVersionText)).c_str()));

  popupMenu = ::CreatePopupMenu();
  ::AppendMenuW(popupMenu, MF_STRING, kRestore1Id, wide(kRestore1Text).c_str());
  ::AppendMenuW(popupMenu, MF_SEPARATOR, 0, nullptr);
  ::AppendMenuW(popupMenu, MF_STRING, kExit1Id, wide(kExit1Text).c_str());

  // The icon first, then the minimise to the tray: the agent starts with
  // only its icon to be seen.
  tray = std::make_unique<TrayIcon>(form, smallIcon, std::string(kApplicationTitle));
  tray->show();
  trayMinimize();
  return true;
}

void TFormMain::Impl::destroy() {
  tray.reset();
  if (form != nullptr) ::DestroyWindow(form);
  if (app != nullptr) ::DestroyWindow(app);
  form = nullptr;
  app = nullptr;
  controls.clear();
  if (popupMenu != nullptr) ::DestroyMenu(popupMenu);
  popupMenu = nullptr;
  if (formFont != nullptr) ::DeleteObject(formFont);
  if (counterFont != nullptr) ::DeleteObject(counterFont);
  formFont = counterFont = nullptr;
}

void TFormMain::Impl::setLabel(int id, const std::string& gbk) {
  HWND label = control(id);
  const std::wstring text = wide(gbk);
  ::SetWindowTextW(label, text.c_str());
  HDC dc = ::GetDC(label);
  HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageW(label, WM_GETFONT, 0, 0)));
  SIZE size{0, 0};
  ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  TEXTMETRICW metrics{};
  ::GetTextMetricsW(dc, &metrics);
  ::SelectObject(dc, old);
  ::ReleaseDC(label, dc);
  ::SetWindowPos(label, nullptr, 0, 0, size.cx, metrics.tmHeight,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT CALLBACK TFormMain::Impl::appProc(HWND window, UINT message, WPARAM wParam,
                                          LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    ::SetWindowLongPtrW(window, GWLP_USERDATA,
                        reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<Impl*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr || self->form == nullptr) {
    return ::DefWindowProcW(window, message, wParam, lParam);
  }
  // Whatever a second start does to this window, activating or restoring
  // it, brings the main window to the front instead; this one stays hidden.
  switch (message) {
    case WM_ACTIVATE:
      if (LOWORD(wParam) != WA_INACTIVE) ::PostMessageW(self->form, kActivateMainMessage, 0, 0);
      return 0;
    case WM_WINDOWPOSCHANGING: {
      auto* position = reinterpret_cast<WINDOWPOS*>(lParam);
      if ((position->flags & SWP_SHOWWINDOW) != 0) {
        position->flags &= ~SWP_SHOWWINDOW;
        ::PostMessageW(self->form, kActivateMainMessage, 0, 0);
      }
      return 0;
    }
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_RESTORE) {
        ::PostMessageW(self->form, kActivateMainMessage, 0, 0);
        return 0;
      }
      break;
    case WM_CLOSE:
      ::PostMessageW(self->form, WM_CLOSE, 0, 0);
      return 0;
    default:
      break;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK TFormMain::Impl::formProc(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    ::SetWindowLongPtrW(window, GWLP_USERDATA,
                        reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<Impl*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr || self->form != window) {
    return ::DefWindowProcW(window, message, wParam, lParam);
  }
  // Nothing escapes a window procedure: a failure becomes a history line.
  try {
    return self->onFormMessage(message, wParam, lParam);
  } catch (const std::exception& e) {
    if (self->agent != nullptr && self->agent->started()) {
      self->agent->history().LogEvent(e.what());
    }
  } catch (...) {
  }
  return 0;
}

LRESULT TFormMain::Impl::onFormMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == TrayIcon::taskbarCreatedMessage()) {
    if (tray) tray->taskbarCreated();
    return 0;
  }
  switch (message) {
    case kActivateMainMessage:
      trayRestore();
      return 0;
    case kTrayCallbackMessage:
      if (LOWORD(lParam) == WM_LBUTTONDBLCLK) trayRestore();
      if (LOWORD(lParam) == WM_RBUTTONUP) popup();
      return 0;
    case WM_SYSCOMMAND:
      // While the icon is shown, minimise and restore go through the tray.
      if (tray && tray->shown()) {
        if ((wParam & 0xFFF0) == SC_MINIMIZE) {
          trayMinimize();
          return 0;
        }
        if ((wParam & 0xFFF0) == SC_RESTORE) {
          trayRestore();
          return 0;
        }
      }
      break;
    case WM_COMMAND:
      if (onCommand(LOWORD(wParam))) return 0;
      break;
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      const int id = ::GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
      if (id == kLblRcvMsgCntId || id == kLblSntMsgCntId) {
        ::SetTextColor(dc, id == kLblRcvMsgCntId ? kBlue : kGreen);
        ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
      }
      if (id == kMemHistoryId) {  // read-only, but white as a text box
        ::SetBkColor(dc, ::GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_WINDOW));
      }
      break;
    }
    case WM_SIZE:
      if (wParam != SIZE_MINIMIZED) StatusBar1Resize();
      break;
    case WM_CLOSE:
      FormClose();
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      // The session ends: no question can be asked any more.
      if (wParam != FALSE) closeConfirmed();
      return 0;
    case WM_DESTROY:
      if (tray) tray->hide();
      return 0;
    default:
      break;
  }
  return ::DefWindowProcW(form, message, wParam, lParam);
}

bool TFormMain::Impl::onCommand(int id) {
  switch (id) {
    case kBtnStatusId:
      if (agent != nullptr) agent->btnStatusClick();
      return true;
    case kHideCheckId:
      HideCheckClick();
      return true;
    case kVisibleCheckId:
      VisibleCheckClick();
      return true;
    case kCountAllId:
      if (agent != nullptr) agent->setCountAll(checked(kCountAllId));
      return true;
    case kButton1Id:
    case kExit1Id:
      FormClose();
      return true;
    case kRestore1Id:
      trayRestore();
      return true;
    case IDOK:  // Enter and Escape, from the dialog keys: nothing to do
    case IDCANCEL:
      return true;
    default:
      return false;
  }
}

void TFormMain::Impl::trayMinimize() {
  // Minimised first, so that a restore brings back the normal place; hidden
  // then, which also takes the taskbar button away.
  if (::IsWindowVisible(form)) ::ShowWindow(form, SW_MINIMIZE);
  ::ShowWindow(form, SW_HIDE);
  TrayIcon1Minimize();
}

void TFormMain::Impl::trayRestore() {
  ::ShowWindow(form, ::IsIconic(form) ? SW_RESTORE : SW_SHOW);
  ::SetForegroundWindow(form);
}

void TFormMain::Impl::popup() {
  POINT at{};
  ::GetCursorPos(&at);
  // The menu closes when the user clicks elsewhere only if the window is in
  // the foreground, and the posted message lets a second pop-up open at once.
  ::SetForegroundWindow(form);
  ::TrackPopupMenu(popupMenu, TPM_RIGHTBUTTON | TPM_RIGHTALIGN | TPM_BOTTOMALIGN, at.x, at.y, 0,
                   form, nullptr);
  ::PostMessageW(form, WM_NULL, 0, 0);
}

void TFormMain::Impl::TrayIcon1Minimize() {
  if (!checked(kHideCheckId)) trayRestore();
}

void TFormMain::Impl::HideCheckClick() {
  // The tray reads the check box itself when the window is minimised.
  ::InvalidateRect(form, nullptr, TRUE);
}

void TFormMain::Impl::VisibleCheckClick() {
  const bool visible = checked(kVisibleCheckId);
  if (visible) {
    tray->show();
  } else {
    tray->hide();
  }
  ::EnableWindow(control(kHideCheckId), visible);
  ::InvalidateRect(form, nullptr, TRUE);
}

void TFormMain::Impl::StatusBar1Resize() {
  HWND bar = control(kStatusBar1Id);
  if (bar == nullptr) return;
  RECT rect;
  ::GetClientRect(bar, &rect);
  int parts[2] = {firstPanelWidth(rect.right - rect.left), -1};
  ::SendMessageW(bar, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(parts));
}

void TFormMain::Impl::FormClose() {
  if (closing) return;  // the question is already open
  closing = true;
  const int answer = ::MessageBoxW(form, wide(kExitQuestion).c_str(),
                                   wide(kApplicationTitle).c_str(), MB_YESNO | MB_ICONQUESTION);
  closing = false;
  if (answer == IDYES) closeConfirmed();
}

void TFormMain::Impl::closeConfirmed() {
  if (agent != nullptr) {
    agent->close();  // "Agent Closed", the threads, the listener; the loop ends
  } else {
    loop.quit();
  }
  destroy();
}

void TFormMain::Impl::clearView() {
  if (HWND memo = control(kMemHistoryId)) ::SetWindowTextW(memo, L"");
  memoEmpty = true;
}

void TFormMain::Impl::appendLines(const std::vector<std::string>& lines) {
  HWND memo = control(kMemHistoryId);
  if (memo == nullptr) return;
  std::wstring text;
  for (const std::string& line : lines) {
    if (!memoEmpty || !text.empty()) text += L"\r\n";
    std::wstring shown = wide(line);
    // A NUL in received text would end the line in the box.
    for (wchar_t& c : shown) {
      if (c == L'\0') c = 0xFFFD;
    }
    text += shown;
  }
  const int end = ::GetWindowTextLengthW(memo);
  ::SendMessageW(memo, EM_SETSEL, end, end);
  ::SendMessageW(memo, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  ::SendMessageW(memo, EM_SCROLLCARET, 0, 0);
  memoEmpty = false;
}

TFormMain::TFormMain(platform::EventLoop& loop) : impl_(std::make_unique<Impl>(loop)) {}

TFormMain::~TFormMain() = default;

bool TFormMain::create() { return impl_->create(); }

HistoryView& TFormMain::historyView() { return impl_->history; }

void TFormMain::attach(Agent* agent) { impl_->agent = agent; }

void TFormMain::FormCreate() {
  if (impl_->agent == nullptr || !impl_->agent->started()) return;
  impl_->setText(kEdtPortId, std::to_string(impl_->agent->server().port()));
  ::SendMessageW(impl_->control(kCountAllId), BM_SETCHECK,
                 impl_->agent->countAll() ? BST_CHECKED : BST_UNCHECKED, 0);
}

void TFormMain::destroy() { impl_->destroy(); }

void TFormMain::showCounters(int64_t connections, uint64_t received, uint64_t sent) {
  if (impl_->form == nullptr) return;
  impl_->setText(kEdtConnCntId, std::to_string(connections));
  impl_->setLabel(kLblRcvMsgCntId, std::to_string(received));
  impl_->setLabel(kLblSntMsgCntId, std::to_string(sent));
}

void TFormMain::showState(bool listening, bool running) {
  if (impl_->form == nullptr) return;
  ::SendMessageW(impl_->control(kStatusBar1Id), SB_SETTEXTW, 0,
                 reinterpret_cast<LPARAM>(wide(listening ? kPanelRunning : kPanelStopped).c_str()));
  impl_->setText(kBtnStatusId, std::string(running ? kButtonStop : kButtonStart));
}

}  // namespace tavin
