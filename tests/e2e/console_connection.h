// A console's side of a TCP connection to the agent, for end-to-end tests:
// raw sends, and received bytes cut into whole messages with the codec.
// Loopback only.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "codec/message.h"

namespace tavin::e2e {

struct ReceivedMessage {
  std::string frame;  // the exact bytes of the message
  std::unique_ptr<Message> message;
};

class ConsoleConnection {
 public:
  ConsoleConnection() = default;
  ~ConsoleConnection();
  ConsoleConnection(const ConsoleConnection&) = delete;
  ConsoleConnection& operator=(const ConsoleConnection&) = delete;

  // Connects to 127.0.0.1:port, retrying until timeoutMs has passed. A
  // receiveBuffer above 0 bounds the socket's receive buffer (and so the
  // window the agent may fill), for a console that does not read.
  bool connect(int port, int timeoutMs = 5000, int receiveBuffer = 0);
  bool send(const std::string& bytes);
  // The next whole message, or empty when none arrived in time or the
  // connection closed.
  std::optional<ReceivedMessage> receive(int timeoutMs);
  // The next whole message of the given type, skipping others (heartbeats).
  std::optional<ReceivedMessage> receiveType(const std::string& type, int timeoutMs);
  // True when the agent closes the connection within timeoutMs; bytes that
  // arrive meanwhile are kept for receive.
  bool waitClosed(int timeoutMs);
  bool closed() const { return closed_; }
  void close();
  // The bytes this console's host holds that were not taken as messages:
  // what receive() kept and what waits in the socket, looked at, not read.
  std::string held() const;
  // Ends the connection with a reset, as a crashing console's host does:
  // whatever the host held is dropped.
  void reset();

 private:
  // Reads what is available within timeoutMs into buffer_; false on timeout.
  bool fill(int timeoutMs);

  int fd_ = -1;
  bool closed_ = false;
  std::string buffer_;
};

// A console request frame: version "Tavin1.20", orientation "C".
std::string consoleFrame(const std::string& type, const std::string& sequence,
                         const std::string& body = std::string(),
                         const std::string& version = "Tavin1.20");

}  // namespace tavin::e2e
