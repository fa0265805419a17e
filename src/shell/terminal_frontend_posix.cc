#include <string_view>

#include "platform/text.h"
#include "shell/terminal_frontend.h"

namespace tavin {
namespace {

// Select Graphic Rendition per style; every span ends with a reset.
std::string_view styleSequence(ScreenStyle style) {
  switch (style) {
    case ScreenStyle::kTitle: return "\x1b[1;7m";
    case ScreenStyle::kReceived: return "\x1b[1;34m";
    case ScreenStyle::kSent: return "\x1b[1;32m";
    case ScreenStyle::kDisabled: return "\x1b[2m";
    case ScreenStyle::kQuestion: return "\x1b[1;7m";
    case ScreenStyle::kStatusBar: return "\x1b[7m";
    case ScreenStyle::kNormal: break;
  }
  return "";
}

size_t rowWidth(const ScreenRow& row) {
  size_t width = 0;
  for (const ScreenSpan& span : row.spans) width += displayWidth(span.text);
  return width;
}

}  // namespace

TerminalFrontend::TerminalFrontend(platform::EventLoop& loop) : loop_(loop) {}

TerminalFrontend::~TerminalFrontend() { close(); }

platform::SysStatus TerminalFrontend::open() {
  if (terminal_) return platform::SysStatus::ok();
  platform::SysStatus status = platform::Terminal::open(&terminal_);
  if (!status) return status;
  status = loop_.watchInput(terminal_->inputFd(), [this] { onInput(); });
  if (!status) {
    terminal_.reset();
    return status;
  }
  loop_.onSignal(platform::Signal::kWindowChange, [this] { draw(true); });
  draw(true);
  return platform::SysStatus::ok();
}

void TerminalFrontend::close() {
  if (!terminal_) return;
  loop_.unwatchInput(terminal_->inputFd());
  loop_.onSignal(platform::Signal::kWindowChange, [] {});
  terminal_.reset();
  drawn_.clear();
}

void TerminalFrontend::setPort(int port) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    screen_.setPort(port);
  }
  requestRedraw();
}

void TerminalFrontend::clearLines() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    screen_.clearLines();
  }
  requestRedraw();
}

void TerminalFrontend::appendLine(const std::string& line) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    screen_.appendLine(line);
  }
  requestRedraw();
}

void TerminalFrontend::showCounters(int64_t connections, uint64_t received, uint64_t sent) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    screen_.showCounters(connections, received, sent);
  }
  requestRedraw();
}

void TerminalFrontend::showState(bool listening, bool running) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    screen_.showState(listening, running);
  }
  requestRedraw();
}

void TerminalFrontend::requestRedraw() {
  // Many lines in a burst make one redraw.
  if (redrawPending_.exchange(true)) return;
  loop_.post([this] {
    redrawPending_ = false;
    draw(false);
  });
}

void TerminalFrontend::draw(bool whole) {
  if (!terminal_) return;
  const platform::TerminalSize size = terminal_->size();
  const bool countAll = controls_.countAll ? controls_.countAll() : false;
  std::vector<ScreenRow> rows;
  {
    std::lock_guard<std::mutex> lock(mu_);
    screen_.setSize(size.columns, size.rows);
    screen_.setCountAll(countAll);
    rows = screen_.render();
  }

  std::string out;
  if (whole || drawWhole_ || size.columns != drawnSize_.columns || size.rows != drawnSize_.rows) {
    out += "\x1b[0m\x1b[2J";
    drawn_.clear();
  }
  // Only the rows that changed are written again.
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i < drawn_.size() && drawn_[i] == rows[i]) continue;
    out += "\x1b[" + std::to_string(i + 1) + ";1H";
    for (const ScreenSpan& span : rows[i].spans) {
      std::string_view style = styleSequence(span.style);
      out += style;
      out += platform::gbkToUtf8(span.text);
      if (!style.empty()) out += "\x1b[0m";
    }
    // Erasing from the last column would erase the character written there.
    if (rowWidth(rows[i]) < static_cast<size_t>(size.columns)) out += "\x1b[K";
  }
  drawn_ = std::move(rows);
  drawnSize_ = size;
  drawWhole_ = !out.empty() && !terminal_->write(out);
}

void TerminalFrontend::onInput() {
  if (!terminal_) return;
  std::string bytes;
  bool ended = false;
  terminal_->readInput(&bytes, &ended);
  if (ended) {
    // The terminal has gone: the agent runs on without keys and without a
    // screen, until a signal ends it.
    loop_.unwatchInput(terminal_->inputFd());
  }
  bool whole = false;
  for (const KeyPress& key : keys_.feed(bytes)) {
    ScreenAction action;
    {
      std::lock_guard<std::mutex> lock(mu_);
      action = screen_.press(key);
    }
    // Outside the lock: the agent's actions write history, which comes back
    // here through appendLine.
    if (action == ScreenAction::kExit) {
      if (controls_.exit) controls_.exit();
      return;
    }
    if (action == ScreenAction::kRepaint) whole = true;
    runAction(action);
  }
  draw(whole);
}

void TerminalFrontend::runAction(ScreenAction action) {
  switch (action) {
    case ScreenAction::kStartStop:
      if (controls_.startStop) controls_.startStop();
      break;
    case ScreenAction::kToggleCountAll:
      if (controls_.countAll && controls_.setCountAll) controls_.setCountAll(!controls_.countAll());
      break;
    default:
      break;
  }
}

}  // namespace tavin
