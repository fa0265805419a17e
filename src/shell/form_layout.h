// The controls of the main window (TFormMain) and of the start-up error
// dialog (TErrForm): their ids, names, places and first texts, in pixels at
// 96 dots per inch. The Windows front-end builds its windows from these
// tables, and the window tests find the controls by the same ids and names.
//
// Texts are GBK like every text of the program.
#pragma once

#include <span>
#include <string_view>
#include <vector>

namespace tavin {

enum class ControlKind {
  kPanel,        // a raised panel that holds other controls
  kLabel,        // static text, sized to its text
  kReadOnlyBox,  // a one-line box the operator cannot change
  kButton,
  kCheckBox,
  kMemo,         // the multi-line history view
  kStatusBar,
};

// How a control takes its place in its parent: at a fixed place, or along an
// edge (panels and the status bar), or in what the edges leave (the memo).
enum class Align { kNone, kTop, kBottom, kClient };

struct ControlSpec {
  int id;
  std::string_view name;
  ControlKind kind;
  int parentId;  // 0: the form itself
  Align align;
  // With kNone: left and top in the parent's client area, and the size (0 for
  // a label: sized to its text). Along an edge: the height; kClient: nothing.
  int left, top, width, height;
  std::string_view text;  // the first text
};

struct Rect {
  int left, top, width, height;
  bool operator==(const Rect&) const = default;
};

// TFormMain.
inline constexpr std::string_view kMainFormClass = "TFormMain";
inline constexpr int kMainClientWidth = 331;
inline constexpr int kMainClientHeight = 365;

inline constexpr int kStatusPanelId = 100;
inline constexpr int kLblPortId = 101;
inline constexpr int kEdtPortId = 102;
inline constexpr int kLblConnCntId = 103;
inline constexpr int kEdtConnCntId = 104;
inline constexpr int kBtnStatusId = 105;
inline constexpr int kLblMsgRecvdId = 106;
inline constexpr int kLblRcvMsgCntId = 107;
inline constexpr int kLblMsgSentId = 108;
inline constexpr int kLblSntMsgCntId = 109;
inline constexpr int kMemHistoryId = 110;
inline constexpr int kCtrlPanelId = 111;
inline constexpr int kHideCheckId = 112;
inline constexpr int kVisibleCheckId = 113;
inline constexpr int kCountAllId = 114;
inline constexpr int kButton1Id = 115;
inline constexpr int kStatusBar1Id = 116;
// The tray icon's pop-up menu.
inline constexpr int kRestore1Id = 120;
inline constexpr int kExit1Id = 121;

// Along an edge, the order of the table is the order of stacking: the status
// bar takes the bottom first, the control panel sits on it, the memo fills
// what is left between the two panels.
inline constexpr ControlSpec kMainFormControls[] = {
    {kStatusPanelId, "statusPanel", ControlKind::kPanel, 0, Align::kTop, 0, 0, 0, 65, ""},
    {kLblPortId, "lblPort", ControlKind::kLabel, kStatusPanelId, Align::kNone, 8, 16, 0, 0,
     "端口:"},
    {kEdtPortId, "edtPort", ControlKind::kReadOnlyBox, kStatusPanelId, Align::kNone, 40, 8, 49, 20,
     ""},
    {kLblConnCntId, "lblConnCnt", ControlKind::kLabel, kStatusPanelId, Align::kNone, 8, 40, 0, 0,
     "连接数:"},
    {kEdtConnCntId, "edtConnCnt", ControlKind::kReadOnlyBox, kStatusPanelId, Align::kNone, 48, 40,
     41, 20, "0"},
    {kBtnStatusId, "btnStatus", ControlKind::kButton, kStatusPanelId, Align::kNone, 104, 8, 57, 49,
     "启动/停止"},
    {kLblMsgRecvdId, "lblMsgRecvd", ControlKind::kLabel, kStatusPanelId, Align::kNone, 184, 16, 0,
     0, "已接收消息数"},
    {kLblRcvMsgCntId, "lblRcvMsgCnt", ControlKind::kLabel, kStatusPanelId, Align::kNone, 264, 16,
     0, 0, "0"},
    {kLblMsgSentId, "lblMsgSent", ControlKind::kLabel, kStatusPanelId, Align::kNone, 184, 40, 0, 0,
     "已发送消息数"},
    {kLblSntMsgCntId, "lblSntMsgCnt", ControlKind::kLabel, kStatusPanelId, Align::kNone, 264, 40,
     0, 0, "0"},
    {kStatusBar1Id, "StatusBar1", ControlKind::kStatusBar, 0, Align::kBottom, 0, 0, 0, 19, ""},
    {kCtrlPanelId, "ctrlPanel", ControlKind::kPanel, 0, Align::kBottom, 0, 0, 0, 58, ""},
    {kHideCheckId, "HideCheck", ControlKind::kCheckBox, kCtrlPanelId, Align::kNone, 8, 8, 97, 17,
     "最小化时隐藏"},
    {kVisibleCheckId, "VisibleCheck", ControlKind::kCheckBox, kCtrlPanelId, Align::kNone, 8, 32,
     97, 17, "显示托盘图标"},
    {kCountAllId, "CountAll", ControlKind::kCheckBox, kCtrlPanelId, Align::kNone, 120, 32, 97, 17,
     "记录所有消息"},
    {kButton1Id, "Button1", ControlKind::kButton, kCtrlPanelId, Align::kNone, 264, 8, 57, 49,
     "退出"},
    {kMemHistoryId, "_memHistory", ControlKind::kMemo, 0, Align::kClient, 0, 0, 0, 0, ""},
};

inline constexpr std::string_view kRestore1Text = "打开窗口(&O)";
inline constexpr std::string_view kExit1Text = "退出(&X)";

// TErrForm. Its button has the id of the system's OK command, so Enter and
// Escape close it as they close any dialog.
inline constexpr std::string_view kErrFormClass = "TErrForm";
inline constexpr int kErrFormLeft = 243;
inline constexpr int kErrFormTop = 330;
inline constexpr int kErrClientWidth = 376;
inline constexpr int kErrClientHeight = 122;
inline constexpr int kErrMsgId = 200;
inline constexpr int kBtOKId = 1;

inline constexpr ControlSpec kErrFormControls[] = {
    {kErrMsgId, "ErrMsg", ControlKind::kMemo, 0, Align::kNone, 0, 16, 376, 57, ""},
    {kBtOKId, "BtOK", ControlKind::kButton, 0, Align::kNone, 148, 90, 75, 25, "确定"},
};

// The fonts of the controls: a face (GBK) and the height of its characters
// in pixels. TFormMain's controls have kMainFormFont but for the two
// counters; TErrForm's button has kErrFormFont, its message kErrMsgFont.
struct FontStyle {
  std::string_view face;
  int pixels;
};
inline constexpr FontStyle kMainFormFont{"宋体", 12};
inline constexpr FontStyle kCounterFont{"MS Sans Serif", 11};
inline constexpr FontStyle kErrFormFont{"MS Sans Serif", 11};
inline constexpr FontStyle kErrMsgFont{"Arial", 13};

// Windows: the font of style, an HFONT the caller deletes. The window tests'
// probe makes the same to see whether it draws every character a control
// shows.
void* createFont(const FontStyle& style);

// The places of the controls of a table in a form whose client area has the
// given size: fixed places as they are, edges and the client rest as the
// form lays them out. A label's width and height stay 0 (its text sizes it).
// Indexed like the table.
std::vector<Rect> layoutControls(std::span<const ControlSpec> controls, int clientWidth,
                                 int clientHeight);

// The name of a control of either form, or empty for an unknown id.
std::string_view controlName(std::string_view formClass, int id);

// The notification-area icon of the main window: its id and the message it
// sends the window for mouse events over it (the mouse message in lParam).
inline constexpr unsigned kTrayIconId = 1;
inline constexpr unsigned kTrayCallbackMessage = 0x8000 + 20;  // WM_APP + 20

// Status bar panel 0 takes half of the bar's width (integer division).
inline int firstPanelWidth(int statusBarWidth) { return statusBarWidth / 2; }

}  // namespace tavin
