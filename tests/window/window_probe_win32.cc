// A test helper of the Windows build, run under Wine beside the agent: it
// reads commands on standard input, one per line, and answers each with lines
// of text ending in a line "end". It finds the agent's windows (classes
// TApplication, TFormMain and TErrForm, and the message boxes and menus of the
// same process), describes them and their controls, and acts on them as a
// user would: clicks, commands, tray icon events, answers to a message box.
//
//   list                         every window and control, one per line
//   click <form> <control>       BM_CLICK to a button or check box
//   post-click <form> <control>  the same, posted
//   command <form> <control>     WM_COMMAND with the control's or item's id,
//                                posted
//   syscommand <form> minimize|restore
//   close <form>                 WM_CLOSE, posted
//   endsession <form>            the end of the Windows session, as the
//                                system tells a window: WM_QUERYENDSESSION,
//                                then WM_ENDSESSION, each sent and answered
//                                within 5 seconds
//   tray dblclick|rightup        the tray icon's mouse events; rightup posted
//   answer yes|no                presses a button of the agent's message box
//   char <form> <c>              WM_CHAR (a menu's accelerator key), posted
//   quit
//
// A line of "list" is "screen", "window" or "control" followed by key=value
// fields separated by tabs; tabs, line breaks and backslashes in values are
// escaped as \t, \r, \n and \\. Texts are UTF-8. A control's "noink" holds
// the characters of its text that its font draws no pixel of, each once: a
// face that stands in for the one asked for may lack some.
//
// What opens a modal window in the agent (the exit question, the tray's
// menu) is posted, so that the probe stays free to answer it. Everything else
// is sent: the probe answers after the agent has handled it, so a "list"
// that follows sees the outcome.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "shell/form_layout.h"

namespace {

using tavin::controlName;

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
  return out;
}

std::string escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      default: out += c;
    }
  }
  return out;
}

std::wstring className(HWND window) {
  wchar_t name[256] = {};
  ::GetClassNameW(window, name, 256);
  return name;
}

// WM_GETTEXT is carried across processes; GetWindowText is not for controls.
std::wstring windowText(HWND window) {
  DWORD_PTR length = 0;
  if (!::SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length)) {
    return L"<no answer>";
  }
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  ::SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                        SMTO_ABORTIFHUNG, 2000, &copied);
  text.resize(copied);
  return text;
}

// Memory in the agent's process for messages whose answer is written to a
// pointer (the status bar's parts and texts).
class RemoteBuffer {
 public:
  RemoteBuffer(DWORD pid, size_t size) : size_(size) {
    process_ = ::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE,
                             pid);
    if (process_ != nullptr) {
      address_ = ::VirtualAllocEx(process_, nullptr, size, MEM_COMMIT, PAGE_READWRITE);
    }
  }
  ~RemoteBuffer() {
    if (address_ != nullptr) ::VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
    if (process_ != nullptr) ::CloseHandle(process_);
  }
  bool ok() const { return address_ != nullptr; }
  LPARAM address() const { return reinterpret_cast<LPARAM>(address_); }
  std::vector<char> read() const {
    std::vector<char> data(size_);
    SIZE_T got = 0;
    ::ReadProcessMemory(process_, address_, data.data(), size_, &got);
    return data;
  }

 private:
  HANDLE process_ = nullptr;
  void* address_ = nullptr;
  size_t size_;
};

// Waits until the agent has handled the message (or 5 seconds passed).
bool sendAndWait(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  return ::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result) !=
         0;
}

DWORD processOf(HWND window) {
  DWORD pid = 0;
  ::GetWindowThreadProcessId(window, &pid);
  return pid;
}

BOOL CALLBACK collectTopLevel(HWND window, LPARAM param) {
  reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
  return TRUE;
}

// The agent's windows: its own classes, and the dialogs and menus of any
// process that has one of them.
std::vector<HWND> agentWindows() {
  std::vector<HWND> all;
  ::EnumWindows(collectTopLevel, reinterpret_cast<LPARAM>(&all));
  std::set<DWORD> pids;
  std::vector<HWND> found;
  for (HWND window : all) {
    // A window destroyed since the enumeration has no class any more.
    const std::wstring name = className(window);
    if (name == L"TApplication" || name == L"TFormMain" || name == L"TErrForm") {
      pids.insert(processOf(window));
      found.push_back(window);
    }
  }
  for (HWND window : all) {
    const std::wstring name = className(window);
    if ((name == L"#32770" || name == L"#32768") && pids.count(processOf(window)) > 0) {
      found.push_back(window);
    }
  }
  return found;
}

HWND findTop(const std::string& name) {
  for (HWND window : agentWindows()) {
    const std::string cls = utf8(className(window));
    if (cls == name || (name == "dialog" && cls == "#32770") || (name == "menu" && cls == "#32768")) {
      return window;
    }
  }
  return nullptr;
}

std::string rectFields(HWND window, HWND relativeTo) {
  RECT rect;
  ::GetWindowRect(window, &rect);
  ::MapWindowPoints(nullptr, relativeTo, reinterpret_cast<POINT*>(&rect), 2);
  std::ostringstream out;
  out << "\tx=" << rect.left << "\ty=" << rect.top << "\tw=" << rect.right - rect.left
      << "\th=" << rect.bottom - rect.top;
  return out.str();
}

std::string stateFields(HWND window) {
  std::ostringstream out;
  out << "\tvisible=" << (::IsWindowVisible(window) ? 1 : 0)
      << "\tenabled=" << (::IsWindowEnabled(window) ? 1 : 0);
  return out.str();
}

// Whether the shell holds the main window's tray icon: changing nothing of
// it succeeds only while it exists.
bool trayIconShown(HWND form) {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = form;
  data.uID = tavin::kTrayIconId;
  data.uFlags = 0;
  return ::Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

std::string statusBarFields(HWND bar) {
  std::ostringstream out;
  const int count = static_cast<int>(::SendMessageW(bar, SB_GETPARTS, 0, 0));
  RemoteBuffer buffer(processOf(bar), 4096);
  if (!buffer.ok() || count <= 0) return "\tparts=?";
  ::SendMessageW(bar, SB_GETPARTS, count, buffer.address());
  std::vector<char> data = buffer.read();
  out << "\tparts=";
  for (int i = 0; i < count; ++i) {
    int edge = 0;
    std::memcpy(&edge, data.data() + i * sizeof(int), sizeof(int));
    out << (i > 0 ? "," : "") << edge;
  }
  for (int i = 0; i < count; ++i) {
    ::SendMessageW(bar, SB_GETTEXTW, i, buffer.address());
    data = buffer.read();
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()),
                      wcsnlen(reinterpret_cast<const wchar_t*>(data.data()), 2000));
    out << "\tpart" << i << "=" << escape(utf8(text));
  }
  return out.str();
}

std::string menuFields(HWND menuWindow) {
  constexpr UINT kGetMenu = 0x01E1;  // MN_GETHMENU
  HMENU menu = reinterpret_cast<HMENU>(::SendMessageW(menuWindow, kGetMenu, 0, 0));
  std::ostringstream out;
  // Wine keeps a menu's items in the process that made it: there the count
  // is unknown and the field is left out.
  const int count = menu != nullptr ? ::GetMenuItemCount(menu) : -1;
  if (count < 0) return {};
  out << "\titems=";
  for (int i = 0; i < count; ++i) {
    wchar_t text[256] = {};
    MENUITEMINFOW item{};
    item.cbSize = sizeof item;
    item.fMask = MIIM_FTYPE | MIIM_STRING | MIIM_ID;
    item.dwTypeData = text;
    item.cch = 255;
    ::GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &item);
    out << (i > 0 ? "|" : "") << ((item.fType & MFT_SEPARATOR) ? std::string("-") : escape(utf8(text)));
  }
  return out.str();
}

const tavin::FontStyle& fontOf(const std::string& topClass, int id) {
  if (topClass == "TErrForm") {
    return id == tavin::kErrMsgId ? tavin::kErrMsgFont : tavin::kErrFormFont;
  }
  const bool counter = id == tavin::kLblRcvMsgCntId || id == tavin::kLblSntMsgCntId;
  return counter ? tavin::kCounterFont : tavin::kMainFormFont;
}

// The characters of text, blanks and controls aside, that the font draws
// no pixel of, each once, drawn one by one in black on white as the
// window's font would draw them.
std::wstring inklessCharacters(const std::wstring& text, const tavin::FontStyle& style) {
  constexpr int kSize = 64;
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), kSize, -kSize, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HDC dc = ::CreateCompatibleDC(nullptr);
  HBITMAP bitmap = ::CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HFONT font = static_cast<HFONT>(tavin::createFont(style));
  HGDIOBJ oldBitmap = ::SelectObject(dc, bitmap);
  HGDIOBJ oldFont = ::SelectObject(dc, font);
  std::wstring inkless;
  std::set<wchar_t> seen;
  for (wchar_t c : text) {
    if (c <= L' ' || c == 0x3000 || !seen.insert(c).second || bits == nullptr) continue;
    ::PatBlt(dc, 0, 0, kSize, kSize, WHITENESS);
    ::TextOutW(dc, kSize / 4, kSize / 4, &c, 1);
    ::GdiFlush();
    const auto* pixels = static_cast<const uint32_t*>(bits);
    bool ink = false;
    for (int i = 0; i < kSize * kSize && !ink; ++i) ink = (pixels[i] & 0xFFFFFF) != 0xFFFFFF;
    if (!ink) inkless += c;
  }
  ::SelectObject(dc, oldFont);
  ::SelectObject(dc, oldBitmap);
  ::DeleteObject(font);
  ::DeleteObject(bitmap);
  ::DeleteDC(dc);
  return inkless;
}

void listChildren(HWND top, const std::string& topClass) {
  std::vector<HWND> children;
  ::EnumChildWindows(top, collectTopLevel, reinterpret_cast<LPARAM>(&children));
  for (HWND child : children) {
    HWND parent = ::GetParent(child);
    const int id = ::GetDlgCtrlID(child);
    const int parentId = parent == top ? 0 : ::GetDlgCtrlID(parent);
    const std::string cls = utf8(className(child));
    const std::wstring text = windowText(child);
    std::cout << "control\tname=" << controlName(topClass, id) << "\tid=" << id
              << "\tparent=" << parentId << "\tclass=" << cls << "\ttext=" << escape(utf8(text))
              << "\tnoink=" << escape(utf8(inklessCharacters(text, fontOf(topClass, id))))
              << rectFields(child, parent) << stateFields(child);
    const LONG style = ::GetWindowLongW(child, GWL_STYLE);
    if (cls == "Button" && ((style & BS_TYPEMASK) == BS_AUTOCHECKBOX ||
                            (style & BS_TYPEMASK) == BS_CHECKBOX)) {
      std::cout << "\tchecked=" << (::SendMessageW(child, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0);
    }
    if (cls == "msctls_statusbar32") std::cout << statusBarFields(child);
    std::cout << "\n";
  }
}

void list() {
  std::cout << "screen\tw=" << ::GetSystemMetrics(SM_CXSCREEN)
            << "\th=" << ::GetSystemMetrics(SM_CYSCREEN) << "\n";
  HWND foreground = ::GetForegroundWindow();
  for (HWND window : agentWindows()) {
    const std::string cls = utf8(className(window));
    if (cls.empty()) continue;  // destroyed since it was found
    RECT client;
    ::GetClientRect(window, &client);
    std::cout << "window\tclass=" << cls << "\ttext=" << escape(utf8(windowText(window)))
              << rectFields(window, nullptr) << "\tcw=" << client.right << "\tch=" << client.bottom
              << stateFields(window) << "\ticonic=" << (::IsIconic(window) ? 1 : 0)
              << "\tforeground=" << (window == foreground ? 1 : 0);
    if (cls == "TFormMain") std::cout << "\ttray=" << (trayIconShown(window) ? 1 : 0);
    if (cls == "#32768") std::cout << menuFields(window);
    std::cout << "\n";
    listChildren(window, cls);
  }
}

int idOf(const std::string& form, const std::string& name) {
  std::vector<std::pair<std::string, int>> known;
  for (const auto& c : tavin::kMainFormControls) {
    if (form == "TFormMain") known.emplace_back(std::string(c.name), c.id);
  }
  for (const auto& c : tavin::kErrFormControls) {
    if (form == "TErrForm") known.emplace_back(std::string(c.name), c.id);
  }
  known.emplace_back("Restore1", tavin::kRestore1Id);
  known.emplace_back("Exit1", tavin::kExit1Id);
  for (const auto& [n, id] : known) {
    if (n == name) return id;
  }
  return 0;
}

HWND findControl(HWND top, int id) {
  std::vector<HWND> children;
  ::EnumChildWindows(top, collectTopLevel, reinterpret_cast<LPARAM>(&children));
  for (HWND child : children) {
    if (::GetDlgCtrlID(child) == id) return child;
  }
  return nullptr;
}

// Runs one command; an empty result is success.
std::string run(const std::vector<std::string>& words) {
  const std::string& verb = words[0];
  if (verb == "list") {
    list();
    return {};
  }
  if (verb == "tray" && words.size() == 2) {
    HWND form = findTop("TFormMain");
    if (form == nullptr) return "no main window";
    if (words[1] == "rightup") {
      ::PostMessageW(form, tavin::kTrayCallbackMessage, tavin::kTrayIconId, WM_RBUTTONUP);
      return {};
    }
    if (!sendAndWait(form, tavin::kTrayCallbackMessage, tavin::kTrayIconId, WM_LBUTTONDBLCLK)) {
      return "no answer";
    }
    return {};
  }
  if (verb == "answer" && words.size() == 2) {
    HWND box = findTop("dialog");
    if (box == nullptr) return "no message box";
    ::PostMessageW(box, WM_COMMAND, words[1] == "yes" ? IDYES : IDNO, 0);
    return {};
  }
  if (words.size() < 2) return "bad command";
  HWND top = findTop(words[1]);
  if (top == nullptr) return "no window " + words[1];
  if (verb == "close") {
    ::PostMessageW(top, WM_CLOSE, 0, 0);
    return {};
  }
  if (verb == "endsession") {
    DWORD_PTR agreed = 0;
    if (::SendMessageTimeoutW(top, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG,
                              5000, &agreed) == 0) {
      return "no answer to WM_QUERYENDSESSION";
    }
    if (agreed == FALSE) return "the session end was refused";
    return sendAndWait(top, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF) ? std::string()
                                                                    : "no answer to WM_ENDSESSION";
  }
  if (words.size() < 3) return "bad command";
  if (verb == "click" || verb == "post-click" || verb == "command") {
    const int id = idOf(words[1], words[2]);
    if (id == 0) return "no control " + words[2];
    if (verb == "command") {
      ::PostMessageW(top, WM_COMMAND, MAKEWPARAM(id, 0), 0);
      return {};
    }
    HWND control = findControl(top, id);
    if (control == nullptr) return "no control " + words[2];
    if (verb == "post-click") {
      ::PostMessageW(control, BM_CLICK, 0, 0);
      return {};
    }
    return sendAndWait(control, BM_CLICK, 0, 0) ? std::string() : "no answer";
  }
  if (verb == "syscommand") {
    const WPARAM command = words[2] == "minimize" ? SC_MINIMIZE : SC_RESTORE;
    return sendAndWait(top, WM_SYSCOMMAND, command, 0) ? std::string() : "no answer";
  }
  if (verb == "char") {
    ::PostMessageW(top, WM_CHAR, static_cast<unsigned char>(words[2][0]), 0);
    return {};
  }
  return "bad command";
}

}  // namespace

int main() {
  // Holds the desktop for as long as the probe runs. Wine starts its desktop
  // process from the first process that needs it, and that process passes
  // its standard output and error on; started by an agent, it would hold the
  // agent's output pipes open after the agent has gone, and a test that
  // starts a second agent (so keeping the desktop alive) would wait for the
  // first one's output to end for ever.
  ::GetDesktopWindow();
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    if (words.empty()) continue;
    if (words[0] == "quit") break;
    std::string error;
    try {
      error = run(words);
    } catch (const std::exception& e) {
      error = e.what();
    }
    if (!error.empty()) std::cout << "error " << error << "\n";
    std::cout << "end" << std::endl;
  }
  return 0;
}
