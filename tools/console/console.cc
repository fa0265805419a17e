#include "console/console.h"

#include <algorithm>
#include <cstdio>
#include <memory>
// std::chrono's clocks come from <thread> (<chrono> does not compile under
// -fexec-charset=GBK).
#include <thread>

#include "codec/codec_texts.h"
#include "codec/message.h"
#include "console/decoding.h"
#include "console/frame_reader.h"
#include "console/options.h"
#include "console/output.h"
#include "handlers/beat_message.h"
#include "handlers/bodies.h"
#include "handlers/status_messages.h"
#include "handlers/trouble_shooting_messages.h"
#include "platform/tcp_client.h"
#include "platform/text.h"

namespace tavin::console {
namespace {

using SteadyClock = std::chrono::steady_clock;

// The longest single wait, so that Ctrl-C and the heartbeat are noticed.
constexpr int kSliceMs = 200;
// watch waits at least this long for a sign of life: the agent sends a
// heartbeat after about six seconds of silence.
constexpr int64_t kWatchSilenceMs = 20000;

// Ends the run with an exit status and a message for stderr.
struct Failure {
  int status;
  std::string message;  // UTF-8
};

std::string seconds(int64_t millis) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(millis) / 1000);
  return text;
}

std::string utf8(const std::string& gbk) { return platform::gbkToUtf8(gbk); }

// One connection to the agent: sends messages, takes whole messages off the
// bytes that arrive, and turns every way the agent can fail into a Failure.
class AgentSession {
 public:
  AgentSession(const Options& options, ConsoleEnvironment& environment)
      : options_(options), environment_(environment), factory_(wireBodyFactory()),
        reader_(factory_) {}

  void connect() {
    platform::SysStatus status = client_.connect(options_.host, options_.port,
                                                 static_cast<int>(options_.timeoutMs));
    if (!status) {
      throw Failure{kExitCannotConnect, "cannot connect to " + agentName() + ": " +
                                            utf8(status.toString())};
    }
  }

  std::string nextSequence() { return std::to_string(++sequence_); }

  void send(Message& message) {
    const std::string frame = message.toString();
    if (options_.raw) environment_.out << rawFrame(true, frame) << std::flush;
    platform::SysStatus status =
        client_.sendAll(frame, static_cast<int>(std::max<int64_t>(options_.timeoutMs, kSliceMs)));
    if (!status) throw closed(utf8(status.toString()));
  }

  // The next whole message, or null when none has come by the deadline.
  // A wait is cut into short slices; an interrupt request raises.
  std::unique_ptr<Message> receive(SteadyClock::time_point deadline) {
    for (;;) {
      std::unique_ptr<Message> message;
      std::string frame;
      bool whole;
      try {
        whole = reader_.next(&message, &frame);
      } catch (const DecodeError& e) {
        throw Failure{kExitBadAnswer, "the agent's answer cannot be read: " + utf8(e.what())};
      }
      if (whole) {
        if (options_.raw) environment_.out << rawFrame(false, frame) << std::flush;
        return message;
      }
      if (environment_.interrupted && environment_.interrupted()) {
        throw Failure{kExitInterrupted, "interrupted"};
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - SteadyClock::now()).count();
      if (left <= 0) return nullptr;
      std::string bytes;
      platform::SysStatus failure = platform::SysStatus::ok();
      switch (client_.receive(&bytes, static_cast<int>(std::min<int64_t>(left, kSliceMs)),
                              &failure)) {
        case platform::TcpClient::Received::kData:
          receivedAnything_ = true;
          reader_.append(bytes);
          break;
        case platform::TcpClient::Received::kTimeout:
          break;
        case platform::TcpClient::Received::kClosed:
          throw closed(failure.isOk() ? "" : utf8(failure.toString()));
        case platform::TcpClient::Received::kFailed:
          throw Failure{kExitLost, "connection to " + agentName() + " failed: " +
                                       utf8(failure.toString())};
      }
    }
  }

  std::string agentName() const { return options_.host + ":" + std::to_string(options_.port); }

 private:
  // The agent closes a console it does not admit at once, before it sends
  // anything; a close after it has talked is a lost connection.
  Failure closed(const std::string& detail) const {
    const std::string suffix = detail.empty() ? "" : " (" + detail + ")";
    if (!receivedAnything_) {
      return Failure{kExitRefused, "the agent at " + agentName() +
                                       " refused the console: it closed the connection before "
                                       "answering (is this address allowed, or is another "
                                       "console connected?)" + suffix};
    }
    return Failure{kExitLost, "the agent at " + agentName() + " closed the connection" + suffix};
  }

  const Options& options_;
  ConsoleEnvironment& environment_;
  MessageBodyFactory factory_;
  FrameReader reader_;
  platform::TcpClient client_;
  int sequence_ = 0;
  bool receivedAnything_ = false;
};

std::unique_ptr<Message> consoleMessage(const std::string& sequence,
                                        std::unique_ptr<MessageBody> body) {
  return std::make_unique<Message>(std::string(kProtocolVersion),
                                   std::string(kOrientationConsole), sequence, std::move(body));
}

// Sends a request and waits for the answer with its sequence, passing over
// heartbeats, system-log pushes and answers to other requests.
std::unique_ptr<Message> request(AgentSession& session, const Options& options,
                                 std::unique_ptr<MessageBody> body,
                                 const std::string& expectedType) {
  const std::string sequence = session.nextSequence();
  auto message = consoleMessage(sequence, std::move(body));
  session.send(*message);
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(options.timeoutMs);
  for (;;) {
    std::unique_ptr<Message> answer = session.receive(deadline);
    if (!answer) {
      throw Failure{kExitTimeout, "no answer from the agent at " + session.agentName() +
                                      " within " + seconds(options.timeoutMs)};
    }
    if (answer->getSequence() != sequence) continue;
    if (answer->getMessageType() != expectedType || answer->body() == nullptr) {
      throw Failure{kExitBadAnswer, "the agent answered with message type '" +
                                        utf8(answer->getMessageType()) + "' instead of '" +
                                        expectedType + "'"};
    }
    return answer;
  }
}

std::string localTimeText(const platform::Clock& clock) {
  const platform::LocalTime t = clock.localTime();
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  return text;
}

void runStatus(AgentSession& session, const Options& options, ConsoleEnvironment& environment) {
  auto answer = request(session, options, std::make_unique<StatusRequestMessageBody>(),
                        std::string(kTypeStatusResponse));
  StatusReport report;
  try {
    report = decodeStatus(*answer->body());
  } catch (const DecodeError& e) {
    throw Failure{kExitBadAnswer, "the agent's answer cannot be read: " + utf8(e.what())};
  }
  if (options.raw) return;
  environment.out << (options.json ? statusJson(answer->getSequence(), report)
                                   : statusText(report));
}

void runShoot(AgentSession& session, const Options& options, ConsoleEnvironment& environment) {
  auto body = std::make_unique<TroubleShootingRequestMessageBody>();
  body->addField("serviceType", "");
  body->addField("ShootingType", options.shootingType);
  auto answer = request(session, options, std::move(body),
                        std::string(kTypeTroubleShootingResponse));
  const ShootingResult result = decodeShooting(*answer->body());
  if (options.raw) return;
  environment.out << (options.json ? shootingJson(answer->getSequence(), result)
                                   : shootingText(result));
}

void runWatch(AgentSession& session, const Options& options, ConsoleEnvironment& environment) {
  const auto start = SteadyClock::now();
  const bool bounded = options.watchMs >= 0;
  const auto end = start + std::chrono::milliseconds(bounded ? options.watchMs : 0);
  const auto silenceLimit = std::chrono::milliseconds(std::max(options.timeoutMs, kWatchSilenceMs));
  const auto heartbeatInterval = std::chrono::milliseconds(environment.heartbeatIntervalMs);
  auto lastHeard = start;
  // The first heartbeat goes out at once: the agent's idle timer may already
  // be running down from an earlier console, and a watch that stayed silent
  // for its first period could be dropped before it had said anything.
  auto lastBeat = start - heartbeatInterval;
  for (;;) {
    const auto now = SteadyClock::now();
    if (bounded && now >= end) return;
    if (now - lastHeard > silenceLimit) {
      throw Failure{kExitTimeout,
                    "nothing from the agent at " + session.agentName() + " for " +
                        seconds(std::chrono::duration_cast<std::chrono::milliseconds>(silenceLimit)
                                    .count())};
    }
    if (now - lastBeat >= heartbeatInterval) {
      auto beat = consoleMessage(std::string(kUnsolicitedSequence),
                                 std::make_unique<BeatMessageBody>());
      session.send(*beat);
      lastBeat = now;
    }
    auto until = std::min(lastBeat + heartbeatInterval, now + std::chrono::milliseconds(kSliceMs));
    if (bounded) until = std::min(until, end);
    std::unique_ptr<Message> message;
    try {
      message = session.receive(until);
    } catch (const Failure& failure) {
      if (failure.status == kExitInterrupted) return;  // Ctrl-C ends a watch normally
      throw;
    }
    if (!message) continue;
    lastHeard = SteadyClock::now();
    if (options.raw) continue;
    const std::string time = localTimeText(environment.clock);
    if (message->getMessageType() == kTypeHeartbeat) {
      environment.out << (options.json ? heartbeatJson(time) : heartbeatText(time));
    } else if (message->getMessageType() == kTypeSystemLog && message->body() != nullptr) {
      for (const LogLine& line : splitSysLog(message->body()->getValue("sysLog"))) {
        environment.out << (options.json ? logLineJson(time, line) : logLineText(time, line));
      }
    }
    environment.out << std::flush;
  }
}

}  // namespace

int runConsole(const std::vector<std::string>& args, ConsoleEnvironment& environment) {
  Options options;
  std::string error;
  if (!parseOptions(args, &options, &error)) {
    environment.err << "tavin-console: " << error << "\nTry 'tavin-console --help'.\n";
    return kExitUsage;
  }
  if (options.help) {
    environment.out << usageText();
    return kExitOk;
  }
  try {
    AgentSession session(options, environment);
    session.connect();
    switch (options.command) {
      case Command::kStatus: runStatus(session, options, environment); break;
      case Command::kShoot: runShoot(session, options, environment); break;
      case Command::kWatch: runWatch(session, options, environment); break;
      case Command::kNone: break;
    }
    environment.out << std::flush;
    return kExitOk;
  } catch (const Failure& failure) {
    environment.out << std::flush;
    environment.err << "tavin-console: " << failure.message << "\n";
    return failure.status;
  } catch (const std::exception& e) {
    environment.err << "tavin-console: internal error: " << utf8(e.what()) << "\n";
    return kExitInternal;
  }
}

}  // namespace tavin::console
