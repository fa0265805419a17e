#include "shell/terminal_screen.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavin {
namespace {

KeyPress ch(char c) { return {KeyCode::kChar, c}; }
KeyPress key(KeyCode code) { return {code, 0}; }

size_t rowWidth(const ScreenRow& row) { return displayWidth(row.text()); }

bool contains(const ScreenRow& row, const std::string& text) {
  return row.text().find(text) != std::string::npos;
}

// The row whose text contains text, or -1.
int findRow(const std::vector<ScreenRow>& rows, const std::string& text) {
  for (size_t i = 0; i < rows.size(); ++i) {
    if (contains(rows[i], text)) return static_cast<int>(i);
  }
  return -1;
}

TerminalScreen screenWithLines(int columns, int rows, int lines) {
  TerminalScreen screen;
  screen.setSize(columns, rows);
  for (int i = 1; i <= lines; ++i) screen.appendLine("line " + std::to_string(i));
  return screen;
}

TEST(TerminalScreen, ShowsWhatTheWindowShows) {
  TerminalScreen screen;
  screen.setSize(80, 24);
  screen.setPort(10012);
  screen.showState(true, true);
  screen.showCounters(1, 12, 345);
  screen.appendLine("2026-03-09 07:05:02 Hostname: probe");
  const std::vector<ScreenRow> rows = screen.render();

  ASSERT_EQ(rows.size(), 24u);
  EXPECT_TRUE(contains(rows[0], "报盘机监视探针"));
  EXPECT_EQ(rows[0].spans.front().style, ScreenStyle::kTitle);
  EXPECT_TRUE(contains(rows[1], "端口: 10012"));
  EXPECT_TRUE(contains(rows[1], "[S] 停止"));
  EXPECT_TRUE(contains(rows[1], "已接收消息数 12"));
  EXPECT_TRUE(contains(rows[2], "连接数: 1"));
  EXPECT_TRUE(contains(rows[2], "已发送消息数 345"));
  EXPECT_EQ(rows[1].spans.back(), (ScreenSpan{"12", ScreenStyle::kReceived}));
  EXPECT_EQ(rows[2].spans.back(), (ScreenSpan{"345", ScreenStyle::kSent}));
  EXPECT_EQ(rows[4].text(), "2026-03-09 07:05:02 Hostname: probe");
  EXPECT_TRUE(rows[5].spans.empty());
  EXPECT_NE(findRow(rows, "[H] [x] 最小化时隐藏"), -1);
  EXPECT_NE(findRow(rows, "[T] [x] 显示托盘图标"), -1);
  EXPECT_NE(findRow(rows, "[A] [ ] 记录所有消息"), -1);
  EXPECT_NE(findRow(rows, "[Q] 退出"), -1);

  // The status bar: the state at the left, the version text at the right
  // edge, the whole row in the bar's style.
  const ScreenRow& status = rows[23];
  EXPECT_EQ(status.text().rfind("正在运行", 0), 0u);
  EXPECT_EQ(status.text().size() - status.text().rfind("版本：2011版"),
            std::string("版本：2011版").size());
  EXPECT_EQ(rowWidth(status), 80u);
  ASSERT_EQ(status.spans.size(), 1u);
  EXPECT_EQ(status.spans[0].style, ScreenStyle::kStatusBar);
}

TEST(TerminalScreen, ButtonAndStatusFollowTheServerState) {
  struct Case {
    const char* name;
    bool shown;  // whether a state was reported at all
    bool listening;
    bool running;
    const char* button;
    const char* status;
  };
  const Case cases[] = {
      {"before the first state", false, false, false, "[S] 启动/停止", "正在运行"},
      {"listening", true, true, true, "[S] 停止", "正在运行"},
      {"stopped", true, false, false, "[S] 启动", "已停止"},
      {"restarting after a client error", true, false, true, "[S] 停止", "已停止"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TerminalScreen screen;
    if (c.shown) screen.showState(c.listening, c.running);
    const std::vector<ScreenRow> rows = screen.render();
    EXPECT_TRUE(contains(rows[1], c.button)) << rows[1].text();
    EXPECT_EQ(rows.back().text().rfind(c.status, 0), 0u) << rows.back().text();
  }
}

TEST(TerminalScreen, KeysActOnTheAgentOnlyWhereTheyMust) {
  struct Case {
    const char* name;
    std::vector<KeyPress> keys;
    ScreenAction last;  // what the last key asks for
    bool asking;        // the exit question is shown afterwards
  };
  const Case cases[] = {
      {"start/stop", {ch('s')}, ScreenAction::kStartStop, false},
      {"start/stop, upper case", {ch('S')}, ScreenAction::kStartStop, false},
      {"raw-traffic logging", {ch('a')}, ScreenAction::kToggleCountAll, false},
      {"exit asks first", {ch('q')}, ScreenAction::kNone, true},
      {"exit by X asks too", {ch('X')}, ScreenAction::kNone, true},
      {"yes exits", {ch('q'), ch('y')}, ScreenAction::kExit, false},
      {"upper-case yes exits", {ch('Q'), ch('Y')}, ScreenAction::kExit, false},
      {"no stays", {ch('q'), ch('n')}, ScreenAction::kNone, false},
      {"escape stays", {ch('q'), key(KeyCode::kEscape)}, ScreenAction::kNone, false},
      {"the question ignores other keys", {ch('q'), ch('s'), key(KeyCode::kEnter)},
       ScreenAction::kNone, true},
      {"no, then the keys work again", {ch('q'), ch('n'), ch('s')}, ScreenAction::kStartStop,
       false},
      {"ctrl-l repaints", {key(KeyCode::kRedraw)}, ScreenAction::kRepaint, false},
      {"other letters do nothing", {ch('z'), ch('1')}, ScreenAction::kNone, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TerminalScreen screen;
    ScreenAction action = ScreenAction::kNone;
    for (const KeyPress& k : c.keys) action = screen.press(k);
    EXPECT_EQ(action, c.last);
    EXPECT_EQ(screen.asking(), c.asking);
    const std::vector<ScreenRow> rows = screen.render();
    const int question = findRow(rows, "您确定要退出吗？ (Y/N)");
    EXPECT_EQ(question != -1, c.asking);
    if (question != -1) {
      EXPECT_EQ(rows[question].spans[0].style, ScreenStyle::kQuestion);
    }
  }
}

// "最小化时隐藏" can be changed only while "显示托盘图标" is checked, and is
// shown greyed out otherwise; neither asks anything of the agent.
TEST(TerminalScreen, TrayCheckBoxesKeepTheirStates) {
  TerminalScreen screen;
  EXPECT_EQ(screen.press(ch('h')), ScreenAction::kNone);
  EXPECT_FALSE(screen.hideOnMinimize());
  EXPECT_EQ(screen.press(ch('t')), ScreenAction::kNone);
  EXPECT_FALSE(screen.showTrayIcon());
  screen.press(ch('h'));
  EXPECT_FALSE(screen.hideOnMinimize()) << "greyed out";
  std::vector<ScreenRow> rows = screen.render();
  int row = findRow(rows, "最小化时隐藏");
  ASSERT_NE(row, -1);
  EXPECT_EQ(rows[row].spans[0], (ScreenSpan{"[H] [ ] 最小化时隐藏", ScreenStyle::kDisabled}));
  EXPECT_TRUE(contains(rows[row], "[T] [ ] 显示托盘图标"));

  screen.press(ch('T'));
  screen.press(ch('H'));
  EXPECT_TRUE(screen.showTrayIcon());
  EXPECT_TRUE(screen.hideOnMinimize());
  rows = screen.render();
  EXPECT_EQ(rows[row].spans[0].style, ScreenStyle::kNormal);
  EXPECT_TRUE(contains(rows[row], "[H] [x] 最小化时隐藏"));

  screen.setCountAll(true);
  EXPECT_NE(findRow(screen.render(), "[A] [x] 记录所有消息"), -1);
}

TEST(TerminalScreen, HistoryShowsTheNewestLinesAndPages) {
  // 24 rows leave 16 for the history; 40 lines are 24 more than fit.
  struct Case {
    const char* name;
    std::vector<KeyPress> keys;
    int first;  // the line number in the view's first row
    size_t offset;
  };
  const Case cases[] = {
      {"follows the newest", {}, 25, 0},
      {"one up", {key(KeyCode::kUp)}, 24, 1},
      {"a page up keeps one line", {key(KeyCode::kPageUp)}, 10, 15},
      {"two pages stop at the oldest", {key(KeyCode::kPageUp), key(KeyCode::kPageUp)}, 1, 24},
      {"home is the oldest", {key(KeyCode::kHome)}, 1, 24},
      {"up at the oldest stays", {key(KeyCode::kHome), key(KeyCode::kUp)}, 1, 24},
      {"down", {key(KeyCode::kHome), key(KeyCode::kDown)}, 2, 23},
      {"page down stops at the newest", {key(KeyCode::kUp), key(KeyCode::kPageDown)}, 25, 0},
      {"end is the newest", {key(KeyCode::kHome), key(KeyCode::kEnd)}, 25, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TerminalScreen screen = screenWithLines(80, 24, 40);
    for (const KeyPress& k : c.keys) screen.press(k);
    EXPECT_EQ(screen.scrollOffset(), c.offset);
    const std::vector<ScreenRow> rows = screen.render();
    EXPECT_EQ(rows[4].text(), "line " + std::to_string(c.first));
    EXPECT_EQ(rows[19].text(), "line " + std::to_string(c.first + 15));
    EXPECT_EQ(findRow(rows, "已上翻 ") != -1, c.offset != 0);
  }
}

TEST(TerminalScreen, APagedUpViewStaysOnItsLinesUntilCleared) {
  TerminalScreen screen = screenWithLines(80, 24, 40);
  screen.press(key(KeyCode::kPageUp));
  const std::string first = screen.render()[4].text();
  screen.appendLine("line 41");
  screen.appendLine("line 42");
  EXPECT_EQ(screen.render()[4].text(), first);
  screen.clearLines();
  screen.appendLine("after");
  EXPECT_EQ(screen.scrollOffset(), 0u);
  EXPECT_EQ(screen.render()[4].text(), "after");
}

TEST(TerminalScreen, KeepsAtMostTheViewsLimitOfLines) {
  TerminalScreen screen = screenWithLines(80, 24, 600);
  ASSERT_EQ(screen.lines().size(), TerminalScreen::kHistoryLimit);
  EXPECT_EQ(screen.lines().front(), "line 100");
  EXPECT_EQ(screen.lines().back(), "line 600");
}

TEST(TerminalScreen, HistoryLinesCannotDriveTheTerminal) {
  struct Case {
    const char* name;
    std::string line;
    std::string shown;
  };
  const Case cases[] = {
      {"field separators", "消息解析错误8=Tavin1.20\x01" "9=S\x01", "消息解析错误8=Tavin1.20^A9=S^A"},
      {"an escape sequence", "x\x1b[2J\x1b]0;title\x07", "x^[[2J^[]0;title^G"},
      {"CR, LF, tab and DEL", "a\r\nb\tc\x7f", "a^M^Jb^Ic^?"},
      {"a lead byte before a control byte", "\xb1\x01", "\xb1^A"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TerminalScreen screen;
    screen.appendLine(c.line);
    EXPECT_EQ(screen.lines().back(), c.shown);
  }
  TerminalScreen screen;
  screen.appendLine(std::string(10000, 'x'));
  EXPECT_EQ(screen.lines().back().size(), TerminalScreen::kLineBytesLimit);
}

TEST(TerminalScreen, RowsFitTheScreenAtEverySize) {
  const std::pair<int, int> sizes[] = {{1, 1}, {7, 3}, {20, 8}, {33, 9}, {80, 24}, {81, 25},
                                       {200, 60}};
  for (const auto& [columns, rowsWanted] : sizes) {
    SCOPED_TRACE(std::to_string(columns) + "x" + std::to_string(rowsWanted));
    TerminalScreen screen = screenWithLines(columns, rowsWanted, 3);
    screen.appendLine("2026-03-09 07:05:02 监控程序1 " + std::string(300, 'y'));
    screen.showCounters(1, 18446744073709551615u, 18446744073709551615u);
    screen.press(ch('q'));
    const std::vector<ScreenRow> rows = screen.render();
    ASSERT_EQ(rows.size(), static_cast<size_t>(rowsWanted));
    for (const ScreenRow& row : rows) EXPECT_LE(rowWidth(row), static_cast<size_t>(columns));
    // Full-width bars reach the right edge exactly.
    EXPECT_EQ(rowWidth(rows[0]), static_cast<size_t>(columns));
  }
}

TEST(TerminalScreen, WidthsCountTwoColumnsPerChineseCharacter) {
  struct Case {
    std::string text;
    size_t columns;
    std::string fitted;
  };
  const Case cases[] = {
      {"ab监控", 6, "ab监控"},
      {"ab监控", 5, "ab监"},
      {"ab监控", 3, "ab"},
      {"ab监控", 0, ""},
      // 0x81 0x5c is one character whose second byte is "\".
      {"\x81\x5cz", 2, "\x81\x5c"},
      {"\x81\x5cz", 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text + " in " + std::to_string(c.columns));
    EXPECT_EQ(fitColumns(c.text, c.columns), c.fitted);
  }
  EXPECT_EQ(displayWidth("端口: 1"), 7u);
  EXPECT_EQ(displayWidth("\xb1"), 1u) << "a lead byte at the end stands alone";
}

}  // namespace
}  // namespace tavin
