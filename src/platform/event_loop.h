// The event loop of the agent: one thread that owns TCP listeners and the
// connections they accept, runs timers, runs work posted from other threads,
// and (on POSIX) turns termination and user signals into calls on itself.
// The bookkeeping of connections is the same on both platforms
// (ConnectionTable); each platform's loop adds only its system calls.
//
// Every socket event, every timer and every posted function runs on the loop
// thread, the thread that created the loop and calls run(). On Windows that
// thread is the window thread: the loop owns a message-only window that
// receives the socket events, the timers and the posted work, and run() pumps
// every message of the thread, so windows of the same thread work as usual;
// windows that hold controls get the keyboard handling of a dialog box (Tab,
// arrow keys, Space on a button).
//
// Only the loop thread touches sockets. Other threads know a connection by
// its ConnectionId and post their work; a closed connection's id is never
// used again, so a late send to it finds nothing instead of another peer.
//
// Members are "Loop thread only." unless they say "Any thread.". Before run()
// the creating thread is the loop thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/sys_status.h"

namespace platform {

// Names an accepted connection for the lifetime of its loop; never 0.
using ConnectionId = uint64_t;
// Names a listener for the lifetime of its loop; never 0.
using ListenerId = uint64_t;
// Names a timer for the lifetime of its loop; never 0.
using TimerId = uint64_t;

// Receives the events of the listener and its connections, on the loop
// thread. A handler may call any loop member from inside a callback,
// including close() of the connection it is being told about.
class ConnectionHandler {
 public:
  virtual ~ConnectionHandler() = default;

  // A connection was accepted. remoteAddress is the peer's dotted IPv4
  // address. The connection is registered before the call, so the handler
  // may send on it or close it at once.
  virtual void onConnect(ConnectionId id, const std::string& remoteAddress) = 0;
  // Bytes arrived: everything that could be read now, at least one byte.
  virtual void onRead(ConnectionId id, std::string bytes) = 0;
  // The connection is gone: the peer closed it, the loop closed it after an
  // error, or close() was called (also by the handler itself). Called once per
  // connection, after which its id is unknown to the loop.
  virtual void onDisconnect(ConnectionId id, const std::string& remoteAddress) = 0;
  // A receive or send failed with the operating system's error code. The loop
  // closes the connection after this call unless the handler did (then
  // onDisconnect follows either way).
  virtual void onError(ConnectionId id, const std::string& remoteAddress, int code) = 0;
  // Bytes that waited in the connection's outbound buffer were written as
  // the socket became writable; unsent is what it still holds. A producer
  // that paces itself by the peer's reading waits for this. (A send() that
  // writes waiting bytes reports nothing: its caller reads pendingBytes.)
  virtual void onFlushed(ConnectionId id, size_t unsent) {
    (void)id;
    (void)unsent;
  }
  // For a connection under trackDelivery: of the bytes sent on it since it
  // was accepted, the peer's host has acknowledged this many (a lower bound,
  // never less than an earlier report). Called when a write of waiting bytes
  // has sampled a higher count (before its onFlushed), and once more as the
  // connection ends, just before onDisconnect. The handler must not close
  // connections from here.
  virtual void onAcknowledged(ConnectionId id, uint64_t acknowledged) {
    (void)id;
    (void)acknowledged;
  }
  // The peer has ended its sending: a half-close (shutdown of its sending
  // side), or a close, which looks the same until a send to it fails. The
  // default (false) closes the connection, as for a peer that has gone. A
  // handler that still owes the peer an answer returns true: the connection
  // stays open for sending, with no more onRead, until the handler closes it
  // or an error ends it.
  virtual bool onPeerEnd(ConnectionId id) {
    (void)id;
    return false;
  }
};

// What became of the bytes handed to send().
enum class SendResult {
  kSent,          // written, or buffered whole and written when the peer reads
  kNoConnection,  // no connection of that id: it has been closed
  kOverLimit,     // the outbound buffer would pass its limit; nothing was taken
  kFailed,        // the connection has failed and is closing; nothing goes out
};

// Signals the shell may want to handle on the loop thread (POSIX only).
// kWindowChange is the terminal's new size (SIGWINCH).
enum class Signal { kTerminate, kInterrupt, kUser1, kUser2, kWindowChange };

class EventLoop {
 public:
  // Default bound of a connection's outbound buffer.
  static constexpr size_t kDefaultOutboundLimit = 1024 * 1024;
  // The send buffer of a tracked connection whose system does not report
  // acknowledged bytes.
  static constexpr size_t kUnknownAckWindow = 64 * 1024;

  // Creates the platform's loop on the calling thread, which becomes the loop
  // thread. On Windows this starts Winsock and creates the message-only window.
  static SysStatus create(std::unique_ptr<EventLoop>* out);

  EventLoop() = default;
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;
  // Closes the listener and every connection without calling the handler.
  virtual ~EventLoop() = default;

  // Runs events until quit() is called (or, on Windows, the thread's message
  // loop receives WM_QUIT). An exception thrown by a callback ends run(),
  // which throws it on; the loop can run again afterwards.
  virtual void run() = 0;
  // Makes run() return after the current event. Any thread.
  virtual void quit() = 0;
  // Runs fn on the loop thread after the current event, in posting order.
  // Any thread.
  virtual void post(std::function<void()> fn) = 0;

  // Calls fn on the loop thread after delayMillis, and again every
  // delayMillis when repeat is set, until cancelled.
  virtual TimerId startTimer(int64_t delayMillis, bool repeat, std::function<void()> fn) = 0;
  // Stops a timer; an unknown or finished id is ignored.
  virtual void cancelTimer(TimerId id) = 0;

  // Opens a listener on every local IPv4 address; port 0 lets the system
  // choose (see listeningPort). The handler receives the events of every
  // connection this listener accepts; it must outlive them. Several
  // listeners may be open at once, each with its own handler.
  virtual SysStatus listen(uint16_t port, ConnectionHandler* handler, ListenerId* id) = 0;
  // As listen, on one local IPv4 address (dotted decimal) only: on
  // "127.0.0.1" the port cannot be reached from another host at all. Loops
  // without this facility (test doubles) return an error.
  virtual SysStatus listenOn(const std::string& localAddress, uint16_t port,
                             ConnectionHandler* handler, ListenerId* id) {
    (void)localAddress;
    (void)port;
    (void)handler;
    (void)id;
    return SysStatus::error("listenOn", -1);
  }
  // Stops accepting on a listener for millis: connections that arrive
  // meanwhile wait in the system's queue (the system refuses them once it is
  // full). A listener resting already keeps its rest. Loops without this
  // facility (test doubles) do nothing.
  virtual void pauseListener(ListenerId id, int64_t millis) {
    (void)id;
    (void)millis;
  }
  // Whether filterPeers can have the system drop unlisted peers (Linux).
  virtual bool canFilterPeers() const { return false; }
  // Has the system drop every connection attempt to the listener from an
  // IPv4 address not in addresses (dotted decimal; other texts match
  // nothing) before it reaches the accept queue: the handler never hears of
  // it, and it costs neither an accept nor a place in the queue. The
  // connections the listener accepts keep the filter. On Linux a socket
  // filter on the listening socket; where the system has none
  // (canFilterPeers is false) it returns an error and the listener accepts
  // every address as before.
  virtual SysStatus filterPeers(ListenerId id, const std::vector<std::string>& addresses) {
    (void)id;
    (void)addresses;
    return SysStatus::error("filterPeers", -1);
  }
  // Closes a listening socket; the connections it accepted stay open. An
  // unknown or closed id is ignored.
  virtual void closeListener(ListenerId id) = 0;
  bool isListening(ListenerId id) const { return listeningPort(id) != 0; }
  // The port the listener is bound to; 0 when it is closed.
  virtual uint16_t listeningPort(ListenerId id) const = 0;

  // Sends bytes on a connection without blocking. What the socket cannot
  // take now is kept in the connection's outbound buffer and written as the
  // peer reads, so a message is never cut. A send failure other than a full
  // socket raises onError later, on the loop, never inside this call; the
  // send and every later one to that connection answer kFailed.
  virtual SendResult send(ConnectionId id, const std::string& bytes) = 0;
  // Closes a connection at once (unsent bytes are dropped) and calls the
  // handler's onDisconnect before returning. An unknown id is ignored.
  virtual void close(ConnectionId id) = 0;
  // Bytes accepted by send() that the socket has not taken yet.
  virtual size_t pendingBytes(ConnectionId id) const = 0;
  // From now on asks the system, as writes to the connection complete and
  // once more as it ends, how much of what was written the peer's host has
  // acknowledged (acknowledgedBytes, onAcknowledged). Where the system cannot
  // tell (Windows before 10 version 1703, Wine), the connection's send
  // buffer is made kUnknownAckWindow bytes, and everything but its last
  // twice that many written bytes counts as acknowledged.
  virtual void trackDelivery(ConnectionId id) = 0;
  // Of the bytes sent on a tracked connection since it was accepted, how
  // many the peer's host has acknowledged, as last sampled: a lower bound. 0
  // for a connection that is not tracked or not known.
  virtual uint64_t acknowledgedBytes(ConnectionId id) const = 0;
  // The bound of each connection's outbound buffer. send() refuses bytes that
  // would take a non-empty buffer past it; an empty buffer takes any message.
  virtual void setOutboundLimit(size_t bytes) = 0;

  // Calls fn on the loop thread whenever the signal arrives (POSIX). The
  // loop thread takes the signal while it runs; other threads should block it
  // (blockLoopSignals). On Windows this does nothing.
  virtual void onSignal(Signal signal, std::function<void()> fn) = 0;

  // Calls fn on the loop thread whenever input waits on the file descriptor
  // fd (POSIX: a terminal's standard input), or it reports its end or an
  // error, until unwatchInput(fd). fn must read what waits or unwatch the
  // descriptor; otherwise it is called again at once. A second call for the
  // same descriptor replaces its function. The caller keeps fd open while it
  // is watched. Loops without this facility (Windows) return an error.
  virtual SysStatus watchInput(int fd, std::function<void()> fn) {
    (void)fd;
    (void)fn;
    return SysStatus::error("watchInput", -1);
  }
  // Stops watching fd; an unwatched descriptor is ignored.
  virtual void unwatchInput(int fd) { (void)fd; }
};

// Blocks the signals of Signal in the calling thread and in the threads it
// starts afterwards, and ignores SIGPIPE for the whole process, so that only a
// running loop takes them. Call in main before any thread starts. Does
// nothing on Windows.
void blockLoopSignals();

}  // namespace platform
