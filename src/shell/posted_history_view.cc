#include "shell/posted_history_view.h"

#include <mutex>
#include <utility>

namespace tavin {

// Shared with the posted work, which may run after the view is gone.
struct PostedHistoryView::State {
  std::mutex mu;
  // Guarded by mu.
  Sink* sink;
  bool clearPending = false;
  std::vector<std::string> lines;
  bool posted = false;  // a drain is on its way to the window's thread

  explicit State(Sink* s) : sink(s) {}

  // On the window's thread. The sink is called with mu held, so the view's
  // destructor cannot release the sink halfway; the sink never writes
  // history, so it cannot come back into this view.
  void drain() {
    std::lock_guard<std::mutex> lock(mu);
    posted = false;
    const bool clear = std::exchange(clearPending, false);
    std::vector<std::string> batch;
    batch.swap(lines);
    if (sink == nullptr) return;
    if (clear) sink->clearView();
    if (!batch.empty()) sink->appendLines(batch);
  }
};

PostedHistoryView::PostedHistoryView(Post post, Sink& sink)
    : post_(std::move(post)), state_(std::make_shared<State>(&sink)) {}

PostedHistoryView::~PostedHistoryView() {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->sink = nullptr;
}

void PostedHistoryView::clearLines() {
  bool post;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->lines.clear();
    state_->clearPending = true;
    post = !std::exchange(state_->posted, true);
  }
  if (post) schedule();
}

void PostedHistoryView::appendLine(const std::string& line) {
  bool post;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->lines.push_back(line);
    post = !std::exchange(state_->posted, true);
  }
  if (post) schedule();
}

void PostedHistoryView::schedule() {
  post_([state = state_] { state->drain(); });
}

}  // namespace tavin
