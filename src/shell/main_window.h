// TFormMain: the agent's main window on Windows, with its notification-area
// icon, its pop-up menu, and the hidden application window (class
// "TApplication", title "报盘机探针") that a second start of the agent finds and
// activates; the application window passes that activation on to TFormMain.
//
// It is the agent's front-end. Its history view takes the history's lines from
// any thread and shows them on the window's thread; as the server's view it
// shows the counters and the running state. The buttons, the check boxes and
// the menu act on the Agent it is attached to.
//
// Owned by the program's entry and used on the window thread, which is the
// event loop's thread; only historyView() may be used from other threads.
#pragma once

#include <cstdint>
#include <memory>

#include "config/history_log.h"
#include "platform/event_loop.h"
#include "server/server_view.h"

namespace tavin {

class Agent;

class TFormMain : public ServerView {
 public:
  explicit TFormMain(platform::EventLoop& loop);
  // Removes the tray icon and destroys the windows.
  ~TFormMain() override;
  TFormMain(const TFormMain&) = delete;
  TFormMain& operator=(const TFormMain&) = delete;

  // Creates the windows and their controls already minimised to the tray: the
  // main window hidden and without a taskbar button, the tray icon shown.
  // False when a window cannot be created.
  bool create();

  // Where the history's shown lines go. Its calls return at once. Any thread.
  HistoryView& historyView();

  // The agent the controls act on; set before the agent starts. It must
  // outlive the window, or be detached with null first.
  void attach(Agent* agent);

  // After the agent has started: shows the listening port and sets
  // "记录所有消息" from the agent.
  void FormCreate();

  // Removes the tray icon and the windows now (a start that failed).
  void destroy();

  // ServerView: loop thread, which is this window's thread.
  void showCounters(int64_t connections, uint64_t received, uint64_t sent) override;
  void showState(bool listening, bool running) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tavin
