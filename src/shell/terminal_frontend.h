// The agent's window in a Linux terminal: a full-screen view of the port, the
// counters, the history and the status (TerminalScreen), drawn on the loop
// thread, with single keys for the window's buttons and check boxes.
//
// The history log calls appendLine/clearLines from any thread with its lock
// held: they only change the screen under this front-end's own mutex and post
// one redraw to the loop, so they never wait for the terminal. Everything
// else is loop thread only. The front-end must outlive the agent that shows
// itself on it; a redraw still posted when the loop ends is simply not run.
//
// POSIX only.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/history_log.h"
#include "platform/event_loop.h"
#include "platform/sys_status.h"
#include "platform/terminal.h"
#include "server/server_view.h"
#include "shell/terminal_keys.h"
#include "shell/terminal_screen.h"

namespace tavin {

class TerminalFrontend : public HistoryView, public ServerView {
 public:
  // What the keys do to the agent. Called on the loop thread.
  struct Controls {
    std::function<void()> startStop;
    std::function<bool()> countAll;
    std::function<void(bool)> setCountAll;
    std::function<void()> exit;  // the confirmed exit
  };

  explicit TerminalFrontend(platform::EventLoop& loop);
  ~TerminalFrontend() override;
  TerminalFrontend(const TerminalFrontend&) = delete;
  TerminalFrontend& operator=(const TerminalFrontend&) = delete;

  // Takes over the terminal: raw keys read through the loop, the full screen
  // redrawn on every change and on a new window size. Loop thread.
  platform::SysStatus open();
  // Gives the terminal back as it was; also done by the destructor. Loop
  // thread.
  void close();
  bool isOpen() const { return terminal_ != nullptr; }

  // Loop thread, before the first key.
  void setControls(Controls controls) { controls_ = std::move(controls); }
  void setPort(int port);
  // Draws what changed now (for example after a signal flipped the
  // count-all switch). Loop thread.
  void refresh() { draw(false); }

  // HistoryView. Any thread.
  void clearLines() override;
  void appendLine(const std::string& line) override;
  // ServerView. Loop thread.
  void showCounters(int64_t connections, uint64_t received, uint64_t sent) override;
  void showState(bool listening, bool running) override;

 private:
  // Any thread: one redraw is posted at a time.
  void requestRedraw();
  // Loop thread.
  void draw(bool whole);
  void onInput();
  void runAction(ScreenAction action);

  platform::EventLoop& loop_;
  std::unique_ptr<platform::Terminal> terminal_;
  Controls controls_;
  KeyDecoder keys_;
  platform::TerminalSize drawnSize_;
  std::vector<ScreenRow> drawn_;  // what the terminal shows now
  bool drawWhole_ = false;        // the last screen was not written whole
  std::atomic<bool> redrawPending_{false};

  std::mutex mu_;
  // Guarded by mu_.
  TerminalScreen screen_;
};

}  // namespace tavin
