// The trouble-shooting request (type "19") and its response (type "20").
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "codec/codec_texts.h"
#include "codec/message_body.h"

namespace tavin {

// The diagnostics a request names in "ShootingType", compared exactly.
inline constexpr std::string_view kShootAgentVersion = "AgentVersion";
inline constexpr std::string_view kShootCheckCfgFile = "CheckCfgFile";
inline constexpr std::string_view kShootCheckCs = "CheckCS";
// Results that stand for an empty report.
inline constexpr std::string_view kShootResultOk = "OK";
inline constexpr std::string_view kShootResultNoConnection = "NoCon";
// Precedes the missing files found by "CheckCfgFile".
inline constexpr std::string_view kShootFilesMissing = "配置文件不存在:";

struct TroubleShootingContext;

class TroubleShootingRequestMessageBody : public MessageBody {
 public:
  // Without a context (the console's side) the request cannot execute.
  TroubleShootingRequestMessageBody() = default;
  explicit TroubleShootingRequestMessageBody(const TroubleShootingContext* context)
      : context_(context) {}

  std::string getMessageType() const override {
    return std::string(kTypeTroubleShootingRequest);
  }
  std::string getPattern() const override { return "<!serviceType><!ShootingType>"; }

  std::string getServiceType() const { return getValue("serviceType"); }
  std::string getShootingType() const { return getValue("ShootingType"); }

  // Runs the diagnostic named by ShootingType and returns the response,
  // which repeats serviceType and ShootingType. Any other ShootingType yields
  // a plain body without fields: it cannot be written, so the processor
  // reports the request and sends nothing.
  std::unique_ptr<MessageBody> execute() override;

 private:
  const TroubleShootingContext* context_ = nullptr;
};

class TroubleShootingResponseMessageBody : public MessageBody {
 public:
  TroubleShootingResponseMessageBody() = default;
  TroubleShootingResponseMessageBody(const std::string& serviceType,
                                     const std::string& shootingType,
                                     const std::string& result) {
    addField("serviceType", serviceType);
    addField("ShootingType", shootingType);
    addField("result", result);
  }

  std::string getMessageType() const override {
    return std::string(kTypeTroubleShootingResponse);
  }
  std::string getResult() const override { return getValue("result"); }
  std::string getPattern() const override { return "<!serviceType><!ShootingType><!result>"; }
};

}  // namespace tavin
