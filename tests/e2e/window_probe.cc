#include "tests/e2e/window_probe.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <thread>

#include "platform/text.h"

namespace tavin::e2e {
namespace {

// A probe answer takes a Wine start the first time; later ones are quick.
constexpr int kAnswerMs = 30000;

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    out += c == 't' ? '\t' : c == 'r' ? '\r' : c == 'n' ? '\n' : c;
  }
  return out;
}

ProbeItem parseItem(const std::string& line) {
  ProbeItem item;
  std::istringstream in(line);
  std::string field;
  std::getline(in, field, '\t');  // the kind
  while (std::getline(in, field, '\t')) {
    const size_t eq = field.find('=');
    if (eq == std::string::npos) continue;
    item.fields[field.substr(0, eq)] = platform::utf8ToGbk(unescape(field.substr(eq + 1)));
  }
  return item;
}

}  // namespace

std::string ProbeItem::get(const std::string& key) const {
  auto it = fields.find(key);
  return it == fields.end() ? std::string() : it->second;
}

int ProbeItem::number(const std::string& key) const {
  auto it = fields.find(key);
  if (it == fields.end() || it->second.empty()) return -1;
  return std::atoi(it->second.c_str());
}

const ProbeItem* ProbeWindow::control(const std::string& name) const {
  for (const ProbeItem& item : controls) {
    if (item.get("name") == name) return &item;
  }
  return nullptr;
}

const ProbeWindow* ProbeSnapshot::find(const std::string& cls) const {
  for (const ProbeWindow& window : windows) {
    if (window.cls() == cls) return &window;
  }
  return nullptr;
}

int ProbeSnapshot::count(const std::string& cls) const {
  int n = 0;
  for (const ProbeWindow& window : windows) n += window.cls() == cls ? 1 : 0;
  return n;
}

WindowProbe::WindowProbe(const std::string& wine, const std::string& probeExe) {
  // A probe that has died must fail the test, not kill it with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return;
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    int devNull = ::open("/dev/null", O_WRONLY);
    if (devNull >= 0) ::dup2(devNull, STDERR_FILENO);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execlp(wine.c_str(), wine.c_str(), probeExe.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  if (pid_ < 0) {
    ::close(in[1]);
    ::close(out[0]);
    return;
  }
  toProbe_ = in[1];
  fromProbe_ = out[0];
}

WindowProbe::~WindowProbe() {
  if (pid_ <= 0) return;
  (void)::write(toProbe_, "quit\n", 5);
  ::close(toProbe_);
  ::close(fromProbe_);
  for (int waited = 0; waited < 5000; waited += 50) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    sleepMs(50);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

void WindowProbe::sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::vector<std::string> WindowProbe::exchange(const std::string& line, bool* ok) {
  *ok = false;
  std::vector<std::string> lines;
  if (pid_ <= 0) return lines;
  const std::string request = line + "\n";
  if (::write(toProbe_, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
    return lines;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerMs);
  for (;;) {
    size_t end;
    while ((end = buffer_.find('\n')) != std::string::npos) {
      std::string answer = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      if (!answer.empty() && answer.back() == '\r') answer.pop_back();
      if (answer == "end") {
        *ok = true;
        return lines;
      }
      lines.push_back(std::move(answer));
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return lines;
    pollfd fd{fromProbe_, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[4096];
    const ssize_t n = ::read(fromProbe_, chunk, sizeof chunk);
    if (n <= 0) return lines;  // the probe has gone
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

std::string WindowProbe::command(const std::string& line) {
  bool ok = false;
  std::vector<std::string> lines = exchange(line, &ok);
  if (!ok) return "no answer from the probe to: " + line;
  for (const std::string& answer : lines) {
    if (answer.rfind("error ", 0) == 0) return answer.substr(6);
  }
  return {};
}

ProbeSnapshot WindowProbe::list() {
  bool ok = false;
  ProbeSnapshot snapshot;
  for (const std::string& line : exchange("list", &ok)) {
    ProbeItem item = parseItem(line);
    if (line.rfind("screen\t", 0) == 0) {
      snapshot.screenWidth = item.number("w");
      snapshot.screenHeight = item.number("h");
    } else if (line.rfind("window\t", 0) == 0) {
      snapshot.windows.push_back(ProbeWindow{std::move(item), {}});
    } else if (line.rfind("control\t", 0) == 0 && !snapshot.windows.empty()) {
      snapshot.windows.back().controls.push_back(std::move(item));
    }
  }
  return snapshot;
}

}  // namespace tavin::e2e
