// The system log body (type "13"): one "sysLog" field holding up to 20 new
// lines of a monitored program's system log, each "<program> <line number>
// <line>\x02". Pushed by the agent; a received one yields no response.
#pragma once

#include <memory>
#include <string>

#include "codec/codec_texts.h"
#include "codec/message_body.h"

namespace tavin {

class LogMessageBody : public MessageBody {
 public:
  LogMessageBody() = default;
  explicit LogMessageBody(const std::string& sysLog) { addField("sysLog", sysLog); }

  std::string getMessageType() const override { return std::string(kTypeSystemLog); }
  std::unique_ptr<MessageBody> execute() override { return nullptr; }
  std::string getPattern() const override { return "<!sysLog>"; }
};

}  // namespace tavin
