#include "tests/e2e/console_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "codec/field.h"
#include "handlers/bodies.h"

namespace tavin::e2e {
namespace {

const MessageBodyFactory& factory() {
  static const MessageBodyFactory instance = wireBodyFactory();
  return instance;
}

int64_t millisSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

}  // namespace

std::string consoleFrame(const std::string& type, const std::string& sequence,
                         const std::string& body, const std::string& version) {
  std::string text = "00=" + version + '\x01' + "01=C\x01" + "04=" + type + '\x01' + "12=" +
                     sequence + '\x01' + "15=" + std::to_string(body.size()) + '\x01' + body;
  return text + "99=" + checkSumOf(text) + '\x01';
}

ConsoleConnection::~ConsoleConnection() { close(); }

void ConsoleConnection::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::string ConsoleConnection::held() const {
  std::string bytes = buffer_;
  int queued = 0;
  if (fd_ < 0 || ::ioctl(fd_, FIONREAD, &queued) != 0 || queued <= 0) return bytes;
  std::string waiting(static_cast<size_t>(queued), '\0');
  const ssize_t n = ::recv(fd_, waiting.data(), waiting.size(), MSG_PEEK | MSG_DONTWAIT);
  if (n > 0) bytes.append(waiting.data(), static_cast<size_t>(n));
  return bytes;
}

void ConsoleConnection::reset() {
  if (fd_ < 0) return;
  linger hard{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close();
}

bool ConsoleConnection::connect(int port, int timeoutMs, int receiveBuffer) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    if (receiveBuffer > 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      closed_ = false;
      buffer_.clear();
      return true;
    }
    if (millisSince(start) >= timeoutMs) {
      close();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

bool ConsoleConnection::send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool ConsoleConnection::fill(int timeoutMs) {
  if (fd_ < 0 || closed_) return false;
  pollfd p{fd_, POLLIN, 0};
  int r = ::poll(&p, 1, timeoutMs);
  if (r <= 0) return false;
  char buffer[65536];
  ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
  if (n <= 0) {
    closed_ = true;
    return false;
  }
  buffer_.append(buffer, static_cast<size_t>(n));
  return true;
}

std::optional<ReceivedMessage> ConsoleConnection::receive(int timeoutMs) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    auto message = std::make_unique<Message>();
    int64_t r = Message::kIncomplete;
    try {
      r = message->parse(buffer_, factory());
    } catch (const std::exception&) {
      r = Message::kIncomplete;
    }
    if (r > 0) {
      size_t length = static_cast<size_t>(r) + 6;
      ReceivedMessage received{buffer_.substr(0, length), std::move(message)};
      buffer_.erase(0, length);
      return received;
    }
    int64_t left = timeoutMs - millisSince(start);
    if (left <= 0 || closed_) return std::nullopt;
    fill(static_cast<int>(left));
  }
}

std::optional<ReceivedMessage> ConsoleConnection::receiveType(const std::string& type,
                                                              int timeoutMs) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    int64_t left = timeoutMs - millisSince(start);
    if (left <= 0) return std::nullopt;
    std::optional<ReceivedMessage> received = receive(static_cast<int>(left));
    if (!received) return std::nullopt;
    if (received->message->getMessageType() == type) return received;
  }
}

bool ConsoleConnection::waitClosed(int timeoutMs) {
  const auto start = std::chrono::steady_clock::now();
  while (!closed_) {
    int64_t left = timeoutMs - millisSince(start);
    if (left <= 0) return false;
    fill(static_cast<int>(left));
  }
  return true;
}

}  // namespace tavin::e2e
