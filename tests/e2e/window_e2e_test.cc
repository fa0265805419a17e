// Window tests of the Windows build: the agent runs under Wine on a virtual
// display, the window probe reports its windows and acts on them, and the
// screen is saved as pictures under the build directory for a person to look
// at. Run from the Windows build's ctest (see tests/CMakeLists.txt), never
// beside another agent: the probe and a second start find windows by class.
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "tests/e2e/agent_fixture.h"
#include "tests/e2e/gateway.h"
#include "tests/e2e/window_probe.h"

namespace tavin::e2e {
namespace {

constexpr int kWaitMs = 20000;

std::string envOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

bool has(const ProbeSnapshot& s, const std::string& cls, const std::string& key,
         const std::string& value) {
  const ProbeWindow* window = s.find(cls);
  return window != nullptr && window->window.get(key) == value;
}

std::string controlText(const ProbeSnapshot& s, const std::string& cls, const std::string& name,
                        const std::string& key = "text") {
  const ProbeWindow* window = s.find(cls);
  const ProbeItem* control = window != nullptr ? window->control(name) : nullptr;
  return control != nullptr ? control->get(key) : std::string("<none>");
}

// The main window shown, at rest (Wine settles the client area a moment
// after a restore).
bool mainWindowShown(const ProbeSnapshot& s) {
  return has(s, "TFormMain", "visible", "1") && has(s, "TFormMain", "iconic", "0") &&
         has(s, "TFormMain", "cw", "331");
}

// The agent's message box asking "您确定要退出吗？".
bool exitQuestionShown(const ProbeSnapshot& s) {
  const ProbeWindow* box = s.find("#32770");
  if (box == nullptr) return false;
  for (const ProbeItem& control : box->controls) {
    if (control.get("text") == "您确定要退出吗？") return true;
  }
  return false;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

bool mainWindowInTray(const ProbeSnapshot& s) {
  return has(s, "TFormMain", "visible", "0") && has(s, "TFormMain", "iconic", "1") &&
         has(s, "TFormMain", "tray", "1");
}

struct ExpectedControl {
  const char* name;
  const char* cls;
  std::string text;
  int x, y, w, h;  // -1: not checked (a label sizes itself to its text)
  int enabled;
  int checked;  // -1: not a check box
};

void expectControls(const ProbeWindow& window, const std::vector<ExpectedControl>& expected) {
  for (const ExpectedControl& e : expected) {
    SCOPED_TRACE(e.name);
    const ProbeItem* control = window.control(e.name);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->get("class"), e.cls);
    EXPECT_EQ(control->get("text"), e.text);
    // Drawn whole: a face standing in for one the system lacks may leave
    // characters out.
    EXPECT_EQ(control->fields.count("noink") == 1 ? control->get("noink") : "(not reported)", "")
        << "characters the font draws no pixel of (under Wine, scripts/test has SimSun drawn by "
           "WenQuanYi Zen Hei Sharp: the face Wine picks otherwise draws no \"-\" at 12 pixels)";
    EXPECT_EQ(control->number("x"), e.x);
    EXPECT_EQ(control->number("y"), e.y);
    if (e.w >= 0) {
      EXPECT_EQ(control->number("w"), e.w);
    }
    if (e.h >= 0) {
      EXPECT_EQ(control->number("h"), e.h);
    }
    EXPECT_EQ(control->number("visible"), 1);
    EXPECT_EQ(control->number("enabled"), e.enabled);
    EXPECT_EQ(control->number("checked"), e.checked);
  }
}

class AgentWindow : public AgentFixture {
 protected:
  void SetUp() override {
    ASSERT_TRUE(underWine()) << "runs the Windows build under Wine (TAVIN_E2E_WINE)";
    const std::string probeExe = envOr("TAVIN_E2E_PROBE", "");
    ASSERT_FALSE(probeExe.empty()) << "TAVIN_E2E_PROBE names tavin_window_probe.exe";
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "the windows need a display (Xvfb)";
    screenshots_ = envOr("TAVIN_E2E_SCREENSHOTS", workDir());
    probe_ = std::make_unique<WindowProbe>(wine(), probeExe);
    ASSERT_TRUE(probe_->started());
  }
  void TearDown() override { probe_.reset(); }

  std::string wine() const { return envOr("TAVIN_E2E_WINE_COMMAND", "wine"); }
  void start() { startAgent(); }

  // Another start of the agent's executable, as the operator would do it.
  std::unique_ptr<AgentProcess> startAgain() {
    return std::make_unique<AgentProcess>(
        std::vector<std::string>{wine(), path("TavinMonitorAgent.exe")}, workDir());
  }

  WindowProbe& probe() { return *probe_; }

  void command(const std::string& line) { ASSERT_EQ(probe().command(line), "") << line; }

  template <typename Pred>
  ProbeSnapshot waitFor(Pred pred, const char* what) {
    std::optional<ProbeSnapshot> snapshot = probe().waitFor(pred, kWaitMs);
    EXPECT_TRUE(snapshot.has_value()) << "timed out waiting for: " << what;
    return snapshot ? *snapshot : probe().list();
  }

  // The whole screen as a picture in the screenshot directory.
  void screenshot(const std::string& name) {
    std::filesystem::create_directories(screenshots_);
    const std::string file = screenshots_ + "/" + name + ".png";
    std::filesystem::remove(file);
    AgentProcess import({"import", "-window", "root", file}, workDir());
    auto status = import.waitForExit(30000);
    ASSERT_TRUE(status.has_value()) << "import did not finish";
    EXPECT_EQ(*status, 0) << import.errorOutput();
    EXPECT_TRUE(std::filesystem::exists(file) && std::filesystem::file_size(file) > 0) << file;
  }

 private:
  std::string screenshots_;
  std::unique_ptr<WindowProbe> probe_;
};

TEST_F(AgentWindow, StartsInTheTrayAndASecondStartBringsTheWindowToTheFront) {
  writeIni("");
  start();
  ProbeSnapshot s = waitFor(mainWindowInTray, "the main window minimised to the tray");
  ASSERT_NE(s.find("TApplication"), nullptr);
  EXPECT_EQ(s.find("TApplication")->window.get("text"), "报盘机探针");
  EXPECT_EQ(s.find("TApplication")->window.get("visible"), "0");
  screenshot("01-started-in-tray");

  auto second = startAgain();
  auto status = second->waitForExit(30000);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0);
  s = waitFor(
      [](const ProbeSnapshot& s) { return mainWindowShown(s) && has(s, "TFormMain", "foreground", "1"); },
      "the main window in front");
  // The second start made no window of its own and the first one runs on.
  EXPECT_EQ(s.count("TFormMain"), 1);
  EXPECT_EQ(s.count("TApplication"), 1);
  EXPECT_FALSE(agent().waitForExit(0).has_value());

  const ProbeWindow& form = *s.find("TFormMain");
  EXPECT_EQ(form.window.get("text"), "报盘机监视探针");
  EXPECT_EQ(form.window.number("ch"), 365);
  // Centred on the screen.
  EXPECT_EQ(form.window.number("x"), (s.screenWidth - form.window.number("w")) / 2);
  EXPECT_EQ(form.window.number("y"), (s.screenHeight - form.window.number("h")) / 2);
  const std::string port = std::to_string(this->port());
  expectControls(form, {
      {"statusPanel", "TPanel", "", 0, 0, 331, 65, 1, -1},
      {"lblPort", "Static", "端口:", 8, 16, -1, -1, 1, -1},
      {"edtPort", "Edit", port, 40, 8, 49, 20, 0, -1},
      {"lblConnCnt", "Static", "连接数:", 8, 40, -1, -1, 1, -1},
      {"edtConnCnt", "Edit", "0", 48, 40, 41, 20, 0, -1},
      {"btnStatus", "Button", "停止", 104, 8, 57, 49, 1, -1},
      {"lblMsgRecvd", "Static", "已接收消息数", 184, 16, -1, -1, 1, -1},
      {"lblRcvMsgCnt", "Static", "0", 264, 16, -1, -1, 1, -1},
      {"lblMsgSent", "Static", "已发送消息数", 184, 40, -1, -1, 1, -1},
      {"lblSntMsgCnt", "Static", "0", 264, 40, -1, -1, 1, -1},
      {"_memHistory", "Edit", controlText(s, "TFormMain", "_memHistory"), 0, 65, 331, 223, 1, -1},
      {"ctrlPanel", "TPanel", "", 0, 288, 331, 58, 1, -1},
      {"HideCheck", "Button", "最小化时隐藏", 8, 8, 97, 17, 1, 1},
      {"VisibleCheck", "Button", "显示托盘图标", 8, 32, 97, 17, 1, 1},
      {"CountAll", "Button", "记录所有消息", 120, 32, 97, 17, 1, 0},
      {"Button1", "Button", "退出", 264, 8, 57, 49, 1, -1},
      {"StatusBar1", "msctls_statusbar32", "正在运行", 0, 346, 331, 19, 1, -1},
  });
  // Panel 0 takes half the bar; panel 1 is right-aligned.
  EXPECT_EQ(controlText(s, "TFormMain", "StatusBar1", "parts"), "165,-1");
  EXPECT_EQ(controlText(s, "TFormMain", "StatusBar1", "part1"), "\t\t版本：2011版");

  // The view starts with the host name, the file's line as it is (and, as
  // checked above, drawn whole); the listening line is in the file only,
  // before it.
  const std::string log = historyLog();
  const size_t hostname = log.find("Hostname: ");
  ASSERT_NE(hostname, std::string::npos) << log;
  const size_t lineStart = log.rfind('\n', hostname) + 1;  // npos + 1 is 0
  EXPECT_EQ(controlText(s, "TFormMain", "_memHistory"),
            log.substr(lineStart, log.find("\r\n", hostname) - lineStart));
  const size_t listening = log.find("Listening at " + port + "\r\n");
  ASSERT_NE(listening, std::string::npos) << log;
  EXPECT_LT(listening, hostname);
  screenshot("02-main-window");
}

TEST_F(AgentWindow, CheckBoxesTrayIconAndMinimise) {
  writeIni("");
  start();
  waitFor(mainWindowInTray, "the main window in the tray");
  command("tray dblclick");
  waitFor(mainWindowShown, "the window shown by a double click on the icon");

  // Without the icon "最小化时隐藏" is greyed out; with it back, both return.
  command("click TFormMain VisibleCheck");
  ProbeSnapshot s = probe().list();
  EXPECT_EQ(s.find("TFormMain")->window.get("tray"), "0");
  EXPECT_EQ(controlText(s, "TFormMain", "VisibleCheck", "checked"), "0");
  EXPECT_EQ(controlText(s, "TFormMain", "HideCheck", "enabled"), "0");
  command("click TFormMain VisibleCheck");
  s = probe().list();
  EXPECT_EQ(s.find("TFormMain")->window.get("tray"), "1");
  EXPECT_EQ(controlText(s, "TFormMain", "HideCheck", "enabled"), "1");

  // With "最小化时隐藏" unchecked, a minimised window comes back at once.
  command("click TFormMain HideCheck");
  command("syscommand TFormMain minimize");
  s = probe().list();
  EXPECT_EQ(s.find("TFormMain")->window.get("visible"), "1");
  EXPECT_EQ(s.find("TFormMain")->window.get("iconic"), "0");
  // Checked again, the window goes to the tray.
  command("click TFormMain HideCheck");
  command("syscommand TFormMain minimize");
  EXPECT_TRUE(mainWindowInTray(probe().list()));

  // The icon's menu, and its "打开窗口(&O)" by its key.
  command("tray rightup");
  waitFor([](const ProbeSnapshot& s) { return s.find("#32768") != nullptr; }, "the tray menu");
  screenshot("03-tray-menu");
  command("char TFormMain o");
  s = waitFor(mainWindowShown, "the window opened from the menu");
  EXPECT_EQ(s.find("#32768"), nullptr);
}

TEST_F(AgentWindow, StartStopButtonAndCountersFollowTheServer) {
  writeIni("");
  start();
  auto console = connectConsole();
  ASSERT_NE(console, nullptr);
  ASSERT_TRUE(console->send(consoleFrame("02", "5")));
  ASSERT_TRUE(console->receiveType("03", 20000).has_value());
  // The heartbeat refreshes the counters every 3 seconds.
  waitFor(
      [](const ProbeSnapshot& s) {
        return controlText(s, "TFormMain", "edtConnCnt") == "1" &&
               controlText(s, "TFormMain", "lblRcvMsgCnt") == "1" &&
               controlText(s, "TFormMain", "lblSntMsgCnt") != "0";
      },
      "the counters of one console and one request");

  command("click TFormMain btnStatus");
  ProbeSnapshot s = probe().list();
  EXPECT_EQ(controlText(s, "TFormMain", "btnStatus"), "启动");
  EXPECT_EQ(controlText(s, "TFormMain", "StatusBar1", "part0"), "已停止");
  EXPECT_EQ(controlText(s, "TFormMain", "edtConnCnt"), "0");
  EXPECT_EQ(controlText(s, "TFormMain", "lblRcvMsgCnt"), "1");  // kept
  EXPECT_TRUE(console->waitClosed(5000));

  command("click TFormMain btnStatus");
  s = probe().list();
  EXPECT_EQ(controlText(s, "TFormMain", "btnStatus"), "停止");
  EXPECT_EQ(controlText(s, "TFormMain", "StatusBar1", "part0"), "正在运行");
  EXPECT_NE(connectConsole(), nullptr);
}

TEST_F(AgentWindow, ExitAnsweredNoKeepsRunningAndYesWritesAgentClosedLast) {
  writeIni("");
  start();
  command("tray dblclick");
  waitFor(mainWindowShown, "the main window");
  const std::string before = historyLog();

  command("post-click TFormMain Button1");
  ProbeSnapshot s = waitFor(exitQuestionShown, "the exit question");
  EXPECT_EQ(s.find("#32770")->window.get("text"), "报盘机探针");
  screenshot("04-exit-question");
  command("answer no");
  waitFor([](const ProbeSnapshot& s) { return s.find("#32770") == nullptr; }, "the box closed");
  EXPECT_FALSE(agent().waitForExit(500).has_value());
  EXPECT_EQ(historyLog(), before);
  EXPECT_NE(connectConsole(), nullptr);

  // "退出(&X)" of the tray menu asks the same question.
  command("command TFormMain Exit1");
  waitFor(exitQuestionShown, "the exit question again");
  command("answer yes");
  auto status = agent().waitForExit(30000);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0);
  const std::string log = historyLog();
  ASSERT_GE(log.size(), 14u);
  EXPECT_EQ(log.substr(log.size() - 14), "Agent Closed\r\n");
}

// The exit button and the end of the Windows session while a diagnostic
// tests gateways that never answer (3 seconds each, 64 at a time): the agent
// ends at once, with "Agent Closed" the last line of its log.
TEST_F(AgentWindow, ExitAndEndOfSessionDoNotWaitForConnectionChecks) {
  Gateway gateway;
  ASSERT_TRUE(openSilentGateway(&gateway));
  // 480 operators of two links each, 64 links at a time: 45 seconds of tests.
  const CheckCsInstallation installation = checkCsInstallation(gateway, 480);
  for (const auto& [file, bytes] : installation.files) writeFile(file, bytes);
  writeIni(installation.iniLines);
  struct Case {
    const char* name;
    std::function<void()> exit;
  };
  const Case cases[] = {
      {"the exit button",
       [&] {
         command("tray dblclick");
         waitFor(mainWindowShown, "the main window");
         command("post-click TFormMain Button1");
         waitFor(exitQuestionShown, "the exit question");
         command("answer yes");
       }},
      // The probe answers only once the agent has handled both messages,
      // within the 5 seconds Windows gives a window.
      {"the end of the session", [&] { command("endsession TFormMain"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Each case runs an agent of its own in the same workspace; its lines
    // are told from the earlier ones by counting.
    const std::string before = historyLog();
    auto grown = [&](const char* line) {
      for (int waited = 0; waited < kWaitMs; waited += 100) {
        if (count(historyLog(), line) > count(before, line)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      return false;
    };
    start();
    ASSERT_TRUE(grown("Hostname: "));
    auto console = connectConsole();
    ASSERT_NE(console, nullptr);
    ASSERT_TRUE(console->send(checkCsRequest("1")));
    ASSERT_TRUE(grown("]executing:")) << historyLog();

    const auto exitAt = std::chrono::steady_clock::now();
    c.exit();
    ASSERT_FALSE(HasFatalFailure());
    // Half of what the tests in flight would take.
    const auto status = agent().waitForExit(60000);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - exitAt).count();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
    EXPECT_LT(seconds, 30.0);
    const std::string log = historyLog();
    ASSERT_GE(log.size(), 14u);
    EXPECT_EQ(log.substr(log.size() - 14), "Agent Closed\r\n");
  }
}

TEST_F(AgentWindow, FailedStartShowsTheErrorDialogAndOpensNoPort) {
  writeIni("[Program]\r\nlogs_dir=./no/such/dir/\r\n");
  AgentProcess failing({wine(), path("TavinMonitorAgent.exe")}, workDir());
  ProbeSnapshot s = waitFor([](const ProbeSnapshot& s) { return has(s, "TErrForm", "visible", "1"); },
                            "the error dialog");
  EXPECT_EQ(s.find("TFormMain"), nullptr);
  const ProbeWindow& dialog = *s.find("TErrForm");
  EXPECT_EQ(dialog.window.get("text"), "错误");
  EXPECT_EQ(dialog.window.number("x"), 243);
  EXPECT_EQ(dialog.window.number("y"), 330);
  EXPECT_EQ(dialog.window.number("cw"), 376);
  EXPECT_EQ(dialog.window.number("ch"), 122);
  expectControls(dialog, {
      {"ErrMsg", "Edit", "Cannot create LogFile Directory.", 0, 16, 376, 57, 1, -1},
      {"BtOK", "Button", "确定", 148, 90, 75, 25, 1, -1},
  });
  ConsoleConnection refused;
  EXPECT_FALSE(refused.connect(port(), 0));
  screenshot("05-error-dialog");

  command("click TErrForm BtOK");
  auto status = failing.waitForExit(30000);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0);
}

}  // namespace
}  // namespace tavin::e2e
