#include "shell/headless_frontend.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

#include "platform/standard_output.h"
#include "platform/text.h"
#include "shell/shell_texts.h"
#include "shell/visible_text.h"

namespace tavin {
namespace {

// The "yyyy-mm-dd hh:mm:ss " a history line starts with; empty when it has
// none.
std::string timestampOf(const std::string& line) {
  const bool stamped = line.size() >= 20 && line[4] == '-' && line[7] == '-' && line[10] == ' ' &&
                       line[13] == ':' && line[16] == ':' && line[19] == ' ';
  return stamped ? line.substr(0, 20) : std::string();
}

std::string droppedLine(const std::string& timestamp, size_t count) {
  return timestamp + std::string(kDroppedOutputPrefix) + std::to_string(count) +
         std::string(count == 1 ? kDroppedOutputLine : kDroppedOutputLines);
}

std::string printable(const std::string& line) {
  return platform::gbkToUtf8(showControls(line)) + "\n";
}

}  // namespace

struct HeadlessFrontend::Writer {
  Output output;
  const size_t limit;

  std::mutex mu;
  std::condition_variable changed;
  // Guarded by mu.
  std::deque<std::string> lines;
  size_t bytes = 0;
  // Lines dropped since the queue was full: every line is dropped until the
  // writer takes the queue, so that none is printed out of its order.
  size_t dropped = 0;
  std::string droppedTimestamp;  // of the first of them
  bool stopping = false;
  bool done = false;  // the writer has ended
  bool gone = false;  // the output failed: nothing more is printed

  Writer(Output out, size_t queueLimit) : output(std::move(out)), limit(queueLimit) {}

  void run() {
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
      changed.wait(lock, [this] { return stopping || !lines.empty() || dropped > 0; });
      if (lines.empty() && dropped == 0) break;  // stopping, and all is printed
      std::deque<std::string> batch;
      batch.swap(lines);
      bytes = 0;
      // The dropped lines came after every line of the batch and before any
      // line queued from now on.
      std::string notice;
      if (dropped > 0) notice = droppedLine(droppedTimestamp, dropped);
      dropped = 0;
      lock.unlock();
      std::string text;
      for (const std::string& line : batch) text += printable(line);
      if (!notice.empty()) text += printable(notice);
      const bool printed = output(text);
      lock.lock();
      if (!printed) {
        gone = true;
        lines.clear();
        break;
      }
    }
    done = true;
    changed.notify_all();
  }
};

HeadlessFrontend::HeadlessFrontend(Output output, size_t queueLimitBytes) {
  if (!output) {
    output = [](const std::string& bytes) { return platform::writeStandardOutput(bytes).isOk(); };
  }
  writer_ = std::make_shared<Writer>(std::move(output), queueLimitBytes);
  thread_ = std::thread([writer = writer_] { writer->run(); });
}

HeadlessFrontend::~HeadlessFrontend() {
  std::unique_lock<std::mutex> lock(writer_->mu);
  writer_->stopping = true;
  writer_->changed.notify_all();
  const bool finished = writer_->changed.wait_for(
      lock, std::chrono::milliseconds(kExitGraceMs), [this] { return writer_->done; });
  lock.unlock();
  // A writer blocked by a reader that does not read is left to the end of
  // the process; it holds its own reference to what it uses.
  if (finished) {
    thread_.join();
  } else {
    thread_.detach();
  }
}

void HeadlessFrontend::appendLine(const std::string& line) {
  {
    std::lock_guard<std::mutex> lock(writer_->mu);
    Writer& w = *writer_;
    if (w.gone || w.stopping) return;
    if (w.dropped > 0 || w.bytes + line.size() > w.limit) {
      if (w.dropped++ == 0) w.droppedTimestamp = timestampOf(line);
    } else {
      w.lines.push_back(line);
      w.bytes += line.size();
    }
  }
  writer_->changed.notify_all();
}

}  // namespace tavin
