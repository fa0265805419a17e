// The connections of an event loop and what happens to their bytes, written
// once for both platforms: connection ids (never reused), each connection's
// outbound buffer and its bound, the failed state, and the read, send, flush,
// close and error paths with their calls to the connection's handler.
//
// A platform's loop owns one table. It hands over each accepted socket (add),
// tells the table when a socket can be read or written or has failed, and
// supplies the system calls through SocketCalls; everything else about a
// connection is decided here. Loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/event_loop.h"

namespace platform {

// A socket as the platform knows it (a descriptor, a SOCKET), as a number.
using SocketHandle = uint64_t;

// The system calls a table needs, made by the platform's loop.
class SocketCalls {
 public:
  struct Io {
    enum class Outcome { kDone, kWouldBlock, kEnded, kFailed };
    Outcome outcome = Outcome::kDone;
    size_t bytes = 0;  // with kDone: how many were sent or received (at least 1)
    int error = 0;     // with kFailed: the system's error code
  };

  virtual ~SocketCalls() = default;
  // One non-blocking send or receive.
  virtual Io send(SocketHandle socket, const char* data, size_t size) = 0;
  virtual Io receive(SocketHandle socket, char* buffer, size_t size) = 0;
  // The error the socket holds (0 for none), for a socket reported readable
  // that has nothing to read.
  virtual int pendingError(SocketHandle socket) = 0;
  // Releases the socket; its events, if any are still on their way, must not
  // reach the table afterwards under this connection's id.
  virtual void close(SocketHandle socket) = 0;
  // Prepares the socket for acknowledged(): where the system cannot report
  // acknowledged bytes, its send buffer becomes EventLoop::kUnknownAckWindow.
  virtual void trackDelivery(SocketHandle socket) = 0;
  // Of the written bytes of the socket (written in all since it was
  // accepted), how many its peer's host has acknowledged, as far as the
  // system tells: a lower bound, at most written.
  virtual uint64_t acknowledged(SocketHandle socket, uint64_t written) = 0;
};

// A running total that the system reports in 32 bits (and that wraps
// after 4 Gi), carried on in 64 bits: add() takes each report, total() is
// the whole count. Reports must come before the count moves on by 4 Gi.
class WideCounter {
 public:
  void add(uint32_t reported) {
    total_ += static_cast<uint32_t>(reported - reported_);
    reported_ = reported;
  }
  uint64_t total() const { return total_; }

 private:
  uint32_t reported_ = 0;
  uint64_t total_ = 0;
};

class ConnectionTable {
 public:
  // What one readiness event may read of a connection: a busy peer cannot
  // starve the others; the system reports the rest at once.
  static constexpr size_t kReadPerEvent = 256 * 1024;

  // defer runs a function on the loop thread after the current event (the
  // loop's post). Both must outlive the table.
  ConnectionTable(SocketCalls& calls, std::function<void(std::function<void()>)> defer);
  // Releases every socket without telling the handlers.
  ~ConnectionTable();
  ConnectionTable(const ConnectionTable&) = delete;
  ConnectionTable& operator=(const ConnectionTable&) = delete;

  // Registers an accepted socket under a new id. The loop then makes the
  // socket's events find that id and calls connected(id).
  ConnectionId add(SocketHandle socket, const std::string& address, ConnectionHandler* handler);
  // Tells the new connection's handler (onConnect), which may send on it or
  // close it at once.
  void connected(ConnectionId id);
  // Releases every socket without telling the handlers (a loop going away).
  void releaseAll();

  // The socket can be read: reads what is there (at most kReadPerEvent, or
  // everything when drain is set, for a socket the system will not report
  // again) and hands it to the handler; a peer's end closes the connection
  // unless the handler keeps it (onPeerEnd), an error is reported (onError)
  // and then closes it. A kept connection is not read again: the loop calls
  // this for it only when the system reports an error or the peer's full
  // close (a POSIX hang-up), and it closes.
  void readable(ConnectionId id, bool drain = false);
  // The socket can take more: writes from the outbound buffer and tells the
  // handler what the peer acknowledged (onAcknowledged, tracked connections)
  // and how much is left (onFlushed).
  void writable(ConnectionId id);
  // The system reported an error on the socket.
  void failed(ConnectionId id, int code);

  // The EventLoop members of the same names.
  SendResult send(ConnectionId id, const std::string& bytes);
  void close(ConnectionId id);
  size_t pendingBytes(ConnectionId id) const;
  void setOutboundLimit(size_t bytes) { outboundLimit_ = bytes; }
  void trackDelivery(ConnectionId id);
  uint64_t acknowledgedBytes(ConnectionId id) const;

  // What a loop needs to wait on a connection.
  struct Watch {
    SocketHandle socket;
    bool failed;     // an error is being reported: no more reads or writes
    bool wantWrite;  // bytes wait in the outbound buffer
    bool peerEnded;  // kept after the peer's end: nothing more to read
  };
  // Calls fn(id, watch) for every connection, in id order. fn must not
  // change the table.
  void forEach(const std::function<void(ConnectionId, const Watch&)>& fn) const;
  bool contains(ConnectionId id) const { return connections_.count(id) != 0; }
  // The connection's handler keeps it after the peer's end (onPeerEnd).
  bool peerEnded(ConnectionId id) const {
    auto it = connections_.find(id);
    return it != connections_.end() && it->second.peerEnded;
  }
  size_t size() const { return connections_.size(); }

 private:
  struct Connection {
    SocketHandle socket = 0;
    std::string address;
    ConnectionHandler* handler = nullptr;
    std::string outbound;  // unsent bytes start at outboundStart
    size_t outboundStart = 0;
    bool failed = false;
    bool tracked = false;       // acknowledged is sampled
    uint64_t written = 0;       // bytes the socket has taken, in all
    uint64_t acknowledged = 0;  // of those, acknowledged by the peer's host
    bool peerEnded = false;
    size_t pending() const { return outbound.size() - outboundStart; }
  };

  // Writes what the socket takes now; false on a hard error (*code set).
  // A tracked connection's acknowledged count is sampled after the writes.
  bool writeOutbound(Connection& connection, int* code);
  // Samples a tracked connection's acknowledged count; true when it grew.
  bool sampleAcknowledged(Connection& connection);
  void reportError(ConnectionId id, int code);

  SocketCalls& calls_;
  const std::function<void(std::function<void()>)> defer_;
  std::map<ConnectionId, Connection> connections_;
  ConnectionId nextId_ = 1;
  size_t outboundLimit_ = EventLoop::kDefaultOutboundLimit;
  std::vector<char> readBuffer_;
};

}  // namespace platform
