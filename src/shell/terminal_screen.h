// What the terminal window shows and how its keys act, without a terminal:
// the port, the connection count and the two message counters with the
// start/stop key, the history view, the three check boxes with their keys,
// the exit question, and the status bar with "正在运行"/"已停止" and the
// version text. render() lays it out as rows of GBK text for a terminal of a
// given size; the front-end converts and draws them.
//
// Keys: S start/stop, H "最小化时隐藏", T "显示托盘图标", A "记录所有消息",
// Q (or X) exit, which asks "您确定要退出吗？ (Y/N)" first; the arrows, PgUp,
// PgDn, Home and End page through the history. Linux has no tray, so H and T
// only keep their check boxes' states (H is greyed out and ignored while T
// is off, as the window does).
//
// Not thread-safe: the front-end guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "shell/terminal_keys.h"

namespace tavin {

// What a key asks of the agent; everything else a key does stays inside the
// screen.
enum class ScreenAction {
  kNone,
  kStartStop,       // the start/stop button
  kToggleCountAll,  // flip "记录所有消息"
  kExit,            // the exit question was answered yes
  kRepaint,         // draw the whole screen again (Ctrl-L)
};

enum class ScreenStyle {
  kNormal,
  kTitle,      // the caption bar
  kReceived,   // the received counter (blue in the window)
  kSent,       // the sent counter (green in the window)
  kDisabled,   // a greyed-out check box
  kQuestion,   // the exit question
  kStatusBar,
};

struct ScreenSpan {
  std::string text;  // GBK
  ScreenStyle style = ScreenStyle::kNormal;
  bool operator==(const ScreenSpan&) const = default;
};

// One row of the screen: spans whose text together is at most the screen's
// width in columns (a GBK character of two bytes takes two columns).
struct ScreenRow {
  std::vector<ScreenSpan> spans;
  std::string text() const;
  bool operator==(const ScreenRow&) const = default;
};

class TerminalScreen {
 public:
  // The most history lines kept: the view's limit of 501, after which the
  // history log empties it.
  static constexpr size_t kHistoryLimit = 501;
  // Longer history lines are cut: no terminal shows more of a line, and the
  // whole line is in the log file.
  static constexpr size_t kLineBytesLimit = 2048;
  // Rows around the history view; a screen this high or lower shows none.
  static constexpr int kFixedRows = 8;

  void setSize(int columns, int rows);
  void setPort(int port) { port_ = port; }
  void showCounters(int64_t connections, uint64_t received, uint64_t sent);
  void showState(bool listening, bool running);
  void setCountAll(bool on) { countAll_ = on; }

  // The history view. A line's control bytes are shown as ^A, ^[ and so on,
  // so text from the network cannot drive the terminal.
  void appendLine(const std::string& line);
  void clearLines();

  // Handles a key press (see above).
  ScreenAction press(const KeyPress& key);

  bool hideOnMinimize() const { return hideOnMinimize_; }
  bool showTrayIcon() const { return showTrayIcon_; }
  bool asking() const { return asking_; }
  // History lines hidden below the view after paging up; 0 shows the newest.
  size_t scrollOffset() const { return scrollOffset_; }
  const std::deque<std::string>& lines() const { return lines_; }

  // The screen as exactly rows rows at the current size.
  std::vector<ScreenRow> render() const;

 private:
  int historyRows() const;
  size_t maxScroll() const;
  void scrollBy(long delta);
  std::vector<ScreenRow> historyView() const;

  int columns_ = 80;
  int rows_ = 24;
  int port_ = 0;
  int64_t connections_ = 0;
  uint64_t received_ = 0;
  uint64_t sent_ = 0;
  bool started_ = false;  // the button says "启动/停止" until the first state
  bool listening_ = true;
  bool running_ = false;
  bool countAll_ = false;
  bool hideOnMinimize_ = true;
  bool showTrayIcon_ = true;
  bool asking_ = false;
  size_t scrollOffset_ = 0;
  std::deque<std::string> lines_;
};

// The number of terminal columns of GBK text: one per single byte, two per
// two-byte character.
size_t displayWidth(const std::string& gbk);

// gbk cut to at most columns columns, never inside a two-byte character.
std::string fitColumns(const std::string& gbk, size_t columns);

}  // namespace tavin
