// The server's fixed texts: history lines and the parts they are built from.
// Sources are UTF-8 and compiled with -fexec-charset=GBK, so every Chinese
// literal here is GBK bytes in the binary.
#pragma once

#include <string_view>

namespace tavin {

// Listener and sessions.
inline constexpr std::string_view kListeningAt = "Listening at ";
inline constexpr std::string_view kClientPrefix = "Client ";
inline constexpr std::string_view kConnectedSuffix = " connected";
// The refusal lines follow kClientPrefix with RefusalLog's texts
// (config/config_texts.h).
inline constexpr std::string_view kLostSuffix = " lost";
inline constexpr std::string_view kConnectionToPrefix = "Connection to ";
inline constexpr std::string_view kSocketErrorInfix = " error(socket error):";
inline constexpr std::string_view kTryToRestart = "Try to restart";
inline constexpr std::string_view kClientTimedOut = "Client连接超时";
inline constexpr std::string_view kAgentClosed = "Agent Closed";
// Opening the listener failed; followed by the port, ": " and the system's error.
inline constexpr std::string_view kCannotListenPrefix = "Cannot listen on port ";

// Receive path.
inline constexpr std::string_view kAgentVersionOlder = "探针版本低于Monitor,请升级探针";
inline constexpr std::string_view kConsoleVersionOlder = "Monitor版本低于探针,请升级Monitor";
inline constexpr std::string_view kMessageParseError = "消息解析错误";
inline constexpr std::string_view kMessageTooLong = "消息过长";
inline constexpr std::string_view kFromPrefix = "[From: ";
inline constexpr std::string_view kReceivedInfix = "]received:";
inline constexpr std::string_view kBeatReceivedFrom = "Beat message received from ";
// Closes a raw-traffic line cut short: " [<n> more bytes not logged]".
inline constexpr std::string_view kBytesNotLoggedPrefix = " [";
inline constexpr std::string_view kBytesNotLoggedSuffix = " more bytes not logged]";
// Error lines of the receive path: standard library errors, then our own.
inline constexpr std::string_view kReceiveStdErrorPrefix = "exception: ";
inline constexpr std::string_view kReceiveAppErrorPrefix = "Exception: ";
// A console whose requests pile up faster than they are served.
inline constexpr std::string_view kQueueFullPrefix = "Request queue full, client ";
inline constexpr std::string_view kDisconnectedSuffix = " disconnected";

// Processor.
inline constexpr std::string_view kExecutingInfix = "]executing:";
inline constexpr std::string_view kToPrefix = "[To: ";
inline constexpr std::string_view kSendingInfix = "]sending:";
inline constexpr std::string_view kSocketClosedForMessage = "Socket closed for message, IP= ";
inline constexpr std::string_view kProcessorStdErrorPrefix = "Exception: Exception: ";
inline constexpr std::string_view kProcessorAppErrorPrefix = "Exception(BCB): Exception: ";
inline constexpr std::string_view kNoBodyClass = "no body class for message type ";
inline constexpr std::string_view kNoResponse = "request yields no response";

// Sends: a console that stopped reading while its outbound buffer filled.
inline constexpr std::string_view kSendBufferFullInfix = " is not reading, send buffer full;";

// Heartbeat.
inline constexpr std::string_view kBeatSentTo = "Beat message sent to ";

}  // namespace tavin
