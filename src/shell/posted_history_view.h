// A history view for a window that lives on one thread while history lines
// are written from any thread.
//
// HistoryLog calls clearLines and appendLine with its lock held, from whichever
// thread writes a line; this view only queues the change and asks the window's
// thread (through the post function, normally EventLoop::post) to apply what
// has queued up. One post covers every change queued before it runs, so a
// burst of lines costs one wake-up. A clear drops the lines queued before it:
// the queue never holds more than the window would show.
//
// The view may be destroyed while a post is still pending; the pending work
// then does nothing.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/history_log.h"

namespace tavin {

class PostedHistoryView : public HistoryView {
 public:
  // What the window does with the changes, on the window's thread.
  class Sink {
   public:
    virtual ~Sink() = default;
    virtual void clearView() = 0;
    // Lines in the order written, after everything applied before.
    virtual void appendLines(const std::vector<std::string>& lines) = 0;
  };
  // Runs a function on the window's thread later. Any thread.
  using Post = std::function<void(std::function<void()>)>;

  // The sink must outlive this view.
  PostedHistoryView(Post post, Sink& sink);
  ~PostedHistoryView() override;
  PostedHistoryView(const PostedHistoryView&) = delete;
  PostedHistoryView& operator=(const PostedHistoryView&) = delete;

  // Any thread; they return at once.
  void clearLines() override;
  void appendLine(const std::string& line) override;

 private:
  struct State;
  // Posts one drain; the caller has marked it as posted.
  void schedule();

  Post post_;
  std::shared_ptr<State> state_;
};

}  // namespace tavin
