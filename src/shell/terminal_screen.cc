#include "shell/terminal_screen.h"

#include <algorithm>
#include <string_view>

#include "shell/shell_texts.h"
#include "shell/visible_text.h"

namespace tavin {
namespace {

// The window's labels.
constexpr std::string_view kPortLabel = "端口: ";
constexpr std::string_view kConnectionsLabel = "连接数: ";
constexpr std::string_view kReceivedLabel = "已接收消息数 ";
constexpr std::string_view kSentLabel = "已发送消息数 ";
constexpr std::string_view kButtonInitial = "启动/停止";
constexpr std::string_view kHideCheck = "最小化时隐藏";
constexpr std::string_view kVisibleCheck = "显示托盘图标";
constexpr std::string_view kCountAllCheck = "记录所有消息";
constexpr std::string_view kExitButton = "退出";
constexpr std::string_view kPagingHint = "[PgUp/PgDn] 翻阅历史";
constexpr std::string_view kScrolledPrefix = "-- 已上翻 ";
constexpr std::string_view kScrolledSuffix = " 行, [End] 回到最新 ";

// Columns where the middle and right blocks of the counter rows start.
constexpr size_t kButtonColumn = 18;
constexpr size_t kCounterColumn = 34;

std::string str(std::string_view text) { return std::string(text); }

// Bytes of the character starting at i: two for a GBK lead byte followed by
// a valid trail byte, else one.
size_t charLength(const std::string& gbk, size_t i) {
  const unsigned char lead = static_cast<unsigned char>(gbk[i]);
  if (lead < 0x81 || lead == 0xff || i + 1 >= gbk.size()) return 1;
  const unsigned char trail = static_cast<unsigned char>(gbk[i + 1]);
  return trail >= 0x40 && trail <= 0xfe && trail != 0x7f ? 2 : 1;
}

std::string checkBox(bool checked) { return checked ? "[x] " : "[ ] "; }

// Builds one row, never past the screen's width.
class RowBuilder {
 public:
  explicit RowBuilder(size_t columns) : columns_(columns) {}

  RowBuilder& add(const std::string& text, ScreenStyle style = ScreenStyle::kNormal) {
    if (used_ >= columns_ || text.empty()) return *this;
    std::string fitted = fitColumns(text, columns_ - used_);
    used_ += displayWidth(fitted);
    if (!row_.spans.empty() && row_.spans.back().style == style) {
      row_.spans.back().text += fitted;
    } else if (!fitted.empty()) {
      row_.spans.push_back({std::move(fitted), style});
    }
    return *this;
  }
  // Blanks up to column (no further than the width).
  RowBuilder& padTo(size_t column, ScreenStyle style = ScreenStyle::kNormal) {
    if (column > used_) add(std::string(column - used_, ' '), style);
    return *this;
  }
  size_t used() const { return used_; }
  ScreenRow take() { return std::move(row_); }

 private:
  size_t columns_;
  size_t used_ = 0;
  ScreenRow row_;
};

}  // namespace

std::string ScreenRow::text() const {
  std::string text;
  for (const ScreenSpan& span : spans) text += span.text;
  return text;
}

size_t displayWidth(const std::string& gbk) {
  size_t width = 0;
  for (size_t i = 0; i < gbk.size(); i += charLength(gbk, i)) width += charLength(gbk, i);
  return width;
}

std::string fitColumns(const std::string& gbk, size_t columns) {
  size_t i = 0;
  while (i < gbk.size()) {
    const size_t length = charLength(gbk, i);
    if (i + length > columns) break;  // one column per byte
    i += length;
  }
  return gbk.substr(0, i);
}

void TerminalScreen::setSize(int columns, int rows) {
  columns_ = std::max(columns, 1);
  rows_ = std::max(rows, 1);
  scrollOffset_ = std::min(scrollOffset_, maxScroll());
}

void TerminalScreen::showCounters(int64_t connections, uint64_t received, uint64_t sent) {
  connections_ = connections;
  received_ = received;
  sent_ = sent;
}

void TerminalScreen::showState(bool listening, bool running) {
  started_ = true;
  listening_ = listening;
  running_ = running;
}

void TerminalScreen::appendLine(const std::string& line) {
  std::string shown = fitColumns(showControls(line), kLineBytesLimit);
  lines_.push_back(std::move(shown));
  if (lines_.size() > kHistoryLimit) lines_.pop_front();
  // A paged-up view stays on the lines it shows.
  if (scrollOffset_ > 0) scrollOffset_ = std::min(scrollOffset_ + 1, maxScroll());
}

void TerminalScreen::clearLines() {
  lines_.clear();
  scrollOffset_ = 0;
}

int TerminalScreen::historyRows() const { return std::max(rows_ - kFixedRows, 0); }

size_t TerminalScreen::maxScroll() const {
  const size_t shown = static_cast<size_t>(historyRows());
  return lines_.size() > shown ? lines_.size() - shown : 0;
}

void TerminalScreen::scrollBy(long delta) {
  const long offset = static_cast<long>(scrollOffset_) + delta;
  scrollOffset_ = static_cast<size_t>(std::clamp(offset, 0L, static_cast<long>(maxScroll())));
}

ScreenAction TerminalScreen::press(const KeyPress& key) {
  if (key.code == KeyCode::kRedraw) return ScreenAction::kRepaint;
  const char letter = key.code == KeyCode::kChar && key.ch >= 'a' && key.ch <= 'z'
                          ? static_cast<char>(key.ch - 'a' + 'A')
                          : key.ch;
  if (asking_) {
    // The question is modal: only its answers count.
    if (key.code == KeyCode::kChar && letter == 'Y') {
      asking_ = false;
      return ScreenAction::kExit;
    }
    if ((key.code == KeyCode::kChar && letter == 'N') || key.code == KeyCode::kEscape) {
      asking_ = false;
    }
    return ScreenAction::kNone;
  }
  const long page = std::max(historyRows() - 1, 1);
  switch (key.code) {
    case KeyCode::kUp: scrollBy(1); return ScreenAction::kNone;
    case KeyCode::kDown: scrollBy(-1); return ScreenAction::kNone;
    case KeyCode::kPageUp: scrollBy(page); return ScreenAction::kNone;
    case KeyCode::kPageDown: scrollBy(-page); return ScreenAction::kNone;
    case KeyCode::kHome: scrollOffset_ = maxScroll(); return ScreenAction::kNone;
    case KeyCode::kEnd: scrollOffset_ = 0; return ScreenAction::kNone;
    case KeyCode::kChar: break;
    default: return ScreenAction::kNone;
  }
  switch (letter) {
    case 'S': return ScreenAction::kStartStop;
    case 'A': return ScreenAction::kToggleCountAll;
    case 'H':
      // Greyed out while the tray icon is off.
      if (showTrayIcon_) hideOnMinimize_ = !hideOnMinimize_;
      return ScreenAction::kNone;
    case 'T': showTrayIcon_ = !showTrayIcon_; return ScreenAction::kNone;
    case 'Q':
    case 'X': asking_ = true; return ScreenAction::kNone;
    default: return ScreenAction::kNone;
  }
}

std::vector<ScreenRow> TerminalScreen::historyView() const {
  const size_t shown = static_cast<size_t>(historyRows());
  const size_t end = lines_.size() - std::min(scrollOffset_, lines_.size());
  const size_t begin = end > shown ? end - shown : 0;
  std::vector<ScreenRow> view;
  for (size_t i = begin; i < end; ++i) view.push_back(RowBuilder(columns_).add(lines_[i]).take());
  view.resize(shown);  // a short history leaves blank rows below it
  return view;
}

std::vector<ScreenRow> TerminalScreen::render() const {
  const size_t width = static_cast<size_t>(columns_);
  std::vector<ScreenRow> rows;

  const std::string caption(kMainWindowCaption);
  RowBuilder title(width);
  title.padTo((width - std::min(width, displayWidth(caption))) / 2, ScreenStyle::kTitle)
      .add(caption, ScreenStyle::kTitle)
      .padTo(width, ScreenStyle::kTitle);
  rows.push_back(title.take());

  const std::string button = !started_ ? str(kButtonInitial)
                             : running_ ? str(kButtonStop)
                                        : str(kButtonStart);
  rows.push_back(RowBuilder(width)
                     .add(str(kPortLabel) + std::to_string(port_))
                     .padTo(kButtonColumn)
                     .add("[S] " + button)
                     .padTo(kCounterColumn)
                     .add(str(kReceivedLabel))
                     .add(std::to_string(received_), ScreenStyle::kReceived)
                     .take());
  rows.push_back(RowBuilder(width)
                     .add(str(kConnectionsLabel) + std::to_string(connections_))
                     .padTo(kCounterColumn)
                     .add(str(kSentLabel))
                     .add(std::to_string(sent_), ScreenStyle::kSent)
                     .take());
  rows.push_back(RowBuilder(width).add(std::string(width, '-')).take());

  for (ScreenRow& row : historyView()) rows.push_back(std::move(row));

  if (asking_) {
    rows.push_back(RowBuilder(width)
                       .add(" " + str(kExitQuestion) + " (Y/N)", ScreenStyle::kQuestion)
                       .padTo(width, ScreenStyle::kQuestion)
                       .take());
  } else if (scrollOffset_ > 0) {
    rows.push_back(RowBuilder(width)
                       .add(str(kScrolledPrefix) + std::to_string(scrollOffset_) +
                            str(kScrolledSuffix))
                       .add(std::string(width, '-'))
                       .take());
  } else {
    rows.push_back(RowBuilder(width).add(std::string(width, '-')).take());
  }

  const ScreenStyle hideStyle = showTrayIcon_ ? ScreenStyle::kNormal : ScreenStyle::kDisabled;
  rows.push_back(RowBuilder(width)
                     .add("[H] " + checkBox(hideOnMinimize_) + str(kHideCheck), hideStyle)
                     .add("   ")
                     .add("[T] " + checkBox(showTrayIcon_) + str(kVisibleCheck))
                     .take());
  rows.push_back(RowBuilder(width)
                     .add("[A] " + checkBox(countAll_) + str(kCountAllCheck))
                     .add("   [Q] " + str(kExitButton) + "   " + str(kPagingHint))
                     .take());

  // The status bar's first panel takes half its width; the version text is
  // right-aligned in the other half.
  const std::string version(kVersionText);
  RowBuilder status(width);
  status.add(str(listening_ ? kPanelRunning : kPanelStopped), ScreenStyle::kStatusBar)
      .padTo(width / 2, ScreenStyle::kStatusBar)
      .padTo(width - std::min(width, displayWidth(version)), ScreenStyle::kStatusBar)
      .add(version, ScreenStyle::kStatusBar)
      .padTo(width, ScreenStyle::kStatusBar);
  rows.push_back(status.take());

  rows.resize(static_cast<size_t>(rows_));
  return rows;
}

}  // namespace tavin
