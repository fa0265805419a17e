#include "platform/connection_table.h"

#include <utility>
#include <vector>

namespace platform {

using Outcome = SocketCalls::Io::Outcome;

ConnectionTable::ConnectionTable(SocketCalls& calls,
                                 std::function<void(std::function<void()>)> defer)
    : calls_(calls), defer_(std::move(defer)) {}

ConnectionTable::~ConnectionTable() { releaseAll(); }

void ConnectionTable::releaseAll() {
  std::map<ConnectionId, Connection> connections;
  connections.swap(connections_);
  for (auto& [id, connection] : connections) calls_.close(connection.socket);
}

ConnectionId ConnectionTable::add(SocketHandle socket, const std::string& address,
                                  ConnectionHandler* handler) {
  const ConnectionId id = nextId_++;
  Connection connection;
  connection.socket = socket;
  connection.address = address;
  connection.handler = handler;
  connections_.emplace(id, std::move(connection));
  return id;
}

void ConnectionTable::connected(ConnectionId id) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  const std::string address = it->second.address;
  if (it->second.handler != nullptr) it->second.handler->onConnect(id, address);
}

void ConnectionTable::readable(ConnectionId id, bool drain) {
  auto it = connections_.find(id);
  if (it == connections_.end() || it->second.failed) return;
  const SocketHandle socket = it->second.socket;
  ConnectionHandler* handler = it->second.handler;
  if (it->second.peerEnded) {
    // Nothing is left to read: the socket holds an error, or the peer has
    // gone altogether.
    if (const int code = calls_.pendingError(socket); code != 0) {
      reportError(id, code);
    } else {
      close(id);
    }
    return;
  }
  std::string data;
  bool ended = false;
  int error = 0;
  // One buffer for every read of the table, made at the first.
  if (readBuffer_.empty()) readBuffer_.resize(64 * 1024);
  while (drain || data.size() < kReadPerEvent) {
    const SocketCalls::Io io = calls_.receive(socket, readBuffer_.data(), readBuffer_.size());
    if (io.outcome == Outcome::kDone) {
      data.append(readBuffer_.data(), io.bytes);
      continue;
    }
    if (io.outcome == Outcome::kEnded) ended = true;
    if (io.outcome == Outcome::kFailed) error = io.error;
    break;
  }
  // Readable with nothing to read: the socket holds an error, or nothing.
  if (data.empty() && !ended && error == 0) error = calls_.pendingError(socket);
  // The handler may close the connection (or others); everything after it
  // looks the id up again.
  if (!data.empty() && handler != nullptr) handler->onRead(id, std::move(data));
  if (error != 0) {
    reportError(id, error);
  } else if (ended) {
    const bool keep = handler != nullptr && connections_.count(id) != 0 && handler->onPeerEnd(id);
    // Looked up again: the handler may have closed it.
    auto kept = connections_.find(id);
    if (kept == connections_.end()) return;
    if (keep) {
      kept->second.peerEnded = true;
    } else {
      close(id);
    }
  }
}

bool ConnectionTable::writeOutbound(Connection& connection, int* code) {
  bool wrote = false;
  while (connection.pending() > 0) {
    const SocketCalls::Io io =
        calls_.send(connection.socket, connection.outbound.data() + connection.outboundStart,
                    connection.pending());
    if (io.outcome == Outcome::kDone) {
      connection.outboundStart += io.bytes;
      connection.written += io.bytes;
      wrote = true;
      continue;
    }
    if (io.outcome == Outcome::kWouldBlock) break;  // the loop reports writability later
    *code = io.error;
    return false;
  }
  // A write completes when the peer has made room, so acknowledgements
  // arrived meanwhile: a good moment to ask for them.
  if (wrote) sampleAcknowledged(connection);
  if (connection.pending() == 0) {
    connection.outbound.clear();
    connection.outboundStart = 0;
  } else if (connection.outboundStart > connection.outbound.size() / 2) {
    // Written bytes are dropped once they are the larger part, so the buffer
    // never grows past twice its bound and the copy stays rare.
    connection.outbound.erase(0, connection.outboundStart);
    connection.outboundStart = 0;
  }
  return true;
}

bool ConnectionTable::sampleAcknowledged(Connection& connection) {
  if (!connection.tracked) return false;
  uint64_t acknowledged = calls_.acknowledged(connection.socket, connection.written);
  if (acknowledged > connection.written) acknowledged = connection.written;
  if (acknowledged <= connection.acknowledged) return false;
  connection.acknowledged = acknowledged;
  return true;
}

void ConnectionTable::writable(ConnectionId id) {
  auto it = connections_.find(id);
  if (it == connections_.end() || it->second.failed || it->second.pending() == 0) return;
  const size_t before = it->second.pending();
  const uint64_t acknowledged = it->second.acknowledged;
  int code = 0;
  if (!writeOutbound(it->second, &code)) {
    reportError(id, code);
    return;
  }
  const size_t unsent = it->second.pending();
  ConnectionHandler* handler = it->second.handler;
  if (handler == nullptr) return;
  // Neither call may close the connection, so the entry stays valid.
  if (it->second.acknowledged > acknowledged) handler->onAcknowledged(id, it->second.acknowledged);
  if (unsent < before) handler->onFlushed(id, unsent);
}

void ConnectionTable::trackDelivery(ConnectionId id) {
  auto it = connections_.find(id);
  if (it == connections_.end() || it->second.tracked) return;
  it->second.tracked = true;
  calls_.trackDelivery(it->second.socket);
}

uint64_t ConnectionTable::acknowledgedBytes(ConnectionId id) const {
  auto it = connections_.find(id);
  return it == connections_.end() ? 0 : it->second.acknowledged;
}

void ConnectionTable::failed(ConnectionId id, int code) { reportError(id, code); }

SendResult ConnectionTable::send(ConnectionId id, const std::string& bytes) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return SendResult::kNoConnection;
  Connection& connection = it->second;
  // Its error is on the way and it will close; nothing more goes out on it.
  if (connection.failed) return SendResult::kFailed;
  if (connection.pending() > 0 && connection.pending() + bytes.size() > outboundLimit_) {
    return SendResult::kOverLimit;
  }
  connection.outbound.append(bytes);
  int code = 0;
  if (!writeOutbound(connection, &code)) {
    // Reported from the loop, never from inside the caller's send: the
    // caller may be walking the connections it is sending to.
    connection.failed = true;
    defer_([this, id, code] { reportError(id, code); });
    return SendResult::kFailed;
  }
  return SendResult::kSent;
}

void ConnectionTable::reportError(ConnectionId id, int code) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  it->second.failed = true;
  const std::string address = it->second.address;
  if (it->second.handler != nullptr) it->second.handler->onError(id, address, code);
  close(id);
}

void ConnectionTable::close(ConnectionId id) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  // The last word on what the peer's host acknowledged, read while the
  // socket is still ours: after a reset the system still reports the count.
  if (it->second.tracked && it->second.handler != nullptr) {
    sampleAcknowledged(it->second);
    it->second.handler->onAcknowledged(id, it->second.acknowledged);
  }
  calls_.close(it->second.socket);
  const std::string address = std::move(it->second.address);
  ConnectionHandler* handler = it->second.handler;
  connections_.erase(it);
  if (handler != nullptr) handler->onDisconnect(id, address);
}

size_t ConnectionTable::pendingBytes(ConnectionId id) const {
  auto it = connections_.find(id);
  return it == connections_.end() ? 0 : it->second.pending();
}

void ConnectionTable::forEach(const std::function<void(ConnectionId, const Watch&)>& fn) const {
  for (const auto& [id, connection] : connections_) {
    fn(id, Watch{connection.socket, connection.failed, connection.pending() > 0,
                 connection.peerEnded});
  }
}

}  // namespace platform
