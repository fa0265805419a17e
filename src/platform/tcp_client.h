// A blocking-style IPv4 TCP client connection with time limits: connect,
// send everything, receive what arrives. Used by the console client and by
// tests that play the console against the agent. Move-only; the socket is
// closed on destruction. One thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/sys_status.h"

namespace platform {

class TcpClient {
 public:
  enum class Received {
    kData,     // at least one byte was appended
    kTimeout,  // nothing arrived in time; the connection is still open
    kClosed,   // the peer closed the connection (no more bytes will come)
    kError,    // the connection failed (reset, or not connected)
  };

  TcpClient();
  ~TcpClient();
  TcpClient(TcpClient&&) noexcept;
  TcpClient& operator=(TcpClient&&) noexcept;

  // Connects to a dotted IPv4 address; fails after timeoutMillis.
  SysStatus connect(const std::string& address, uint16_t port, int timeoutMillis);
  bool isOpen() const;
  // Sends every byte, waiting at most timeoutMillis for the peer to take them.
  SysStatus sendAll(const std::string& bytes, int timeoutMillis = 10000);
  // Waits at most timeoutMillis for bytes and appends what has arrived to *out.
  Received receive(std::string* out, int timeoutMillis);
  // Shrinks the socket's receive buffer (before connect), so that a peer's
  // sends back up quickly while this side does not read.
  void setReceiveBufferSize(int bytes);
  // Closes the connection normally.
  void close();
  // Closes the connection with a reset instead of a normal close.
  void abort();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
