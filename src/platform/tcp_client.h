// Outgoing TCP: the connection tests of the diagnostics (probeTcpAll) and a
// small blocking client connection for the console client. TcpListener is
// the matching blocking listener for tools and tests; the agent's own
// listener lives in the event loop.
//
// Addresses are IPv4. Every wait has a time limit. On Windows, Winsock is
// started for as long as a probe's socket or a TcpClient or TcpListener is
// open. Each object is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/sys_status.h"

namespace platform {

class Cancellation;

// The time limit of a diagnostic connection test unless the caller says
// otherwise.
inline constexpr int kProbeTimeoutMs = 3000;

// The most connection tests of one probeTcpAll in flight at once: a socket
// each, and Winsock's select watches at most 64 sockets by default.
inline constexpr int kProbeMaxInFlight = 64;

// One link of a connection test: from a local address of this host to a
// remote address, both dotted IPv4 text.
struct ProbeLink {
  std::string remoteDottedIp;
  std::string localDottedIp;
};

// Opens a TCP connection over each link to port, each within timeoutMs of
// its own start, and closes each at once; nothing is sent. Up to
// maxInFlight (at most kProbeMaxInFlight) run at once; the next starts as
// soon as one ends. One result per link, in order: true when the connection
// opened; false on any failure: an address text that is not a dotted IPv4
// address, a local address the host does not have, a refused or timed-out
// connection. A cancellation, when given, ends every attempt, running or
// still to come (false), within kCancellationCheckMs of its cancel, or at
// once when it is cancelled already. No socket stays open on return.
std::vector<bool> probeTcpAll(const std::vector<ProbeLink>& links, uint16_t port,
                              int timeoutMs = kProbeTimeoutMs,
                              const Cancellation* cancellation = nullptr,
                              int maxInFlight = kProbeMaxInFlight);

// The test of one link.
bool probeTcp(const std::string& remoteDottedIp, const std::string& localDottedIp, uint16_t port,
              int timeoutMs = kProbeTimeoutMs, const Cancellation* cancellation = nullptr);

// A connected TCP socket and its owner. Move-only; closes on destruction.
class TcpClient {
 public:
  enum class Received {
    kData,     // bytes were appended
    kTimeout,  // nothing arrived in time
    kClosed,   // the peer closed or reset the connection
    kFailed,   // another error; see the status
  };

  TcpClient();
  ~TcpClient();
  TcpClient(TcpClient&&) noexcept;
  TcpClient& operator=(TcpClient&&) noexcept;

  // Connects to host (a dotted IPv4 address or a host name) within
  // timeoutMs. A timeout fails with the platform's "timed out" code.
  SysStatus connect(const std::string& host, uint16_t port, int timeoutMs);
  bool isOpen() const;

  // Sends every byte, waiting at most timeoutMs in all for room to send.
  SysStatus sendAll(const std::string& bytes, int timeoutMs = 10000);

  // Waits at most timeoutMs for bytes and appends those that arrived to
  // *out. On kFailed (and kClosed by a reset) *failure, when given, says why.
  Received receive(std::string* out, int timeoutMs, SysStatus* failure = nullptr);

  // Shrinks the socket's receive buffer (call before connect), so that a
  // peer's sends back up quickly while this side does not read.
  void setReceiveBufferSize(int bytes);

  void close();
  // Closes the connection with a reset instead of a normal close.
  void abort();
  // Ends this side's sending (a half-close): the peer reads the end, and
  // this side can still receive.
  void shutdownSend();

 private:
  friend class TcpListener;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A listening socket whose accept waits with a time limit. Move-only.
class TcpListener {
 public:
  TcpListener();
  ~TcpListener();
  TcpListener(TcpListener&&) noexcept;
  TcpListener& operator=(TcpListener&&) noexcept;

  // Listens on localDottedIp:port; port 0 picks a free port.
  SysStatus listen(const std::string& localDottedIp, uint16_t port, int backlog = 8);
  uint16_t port() const;
  // Waits at most timeoutMs for a connection and hands it to *client.
  SysStatus accept(TcpClient* client, int timeoutMs);
  void close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
