// The trouble-shooting request (type "19") and its response (type "20").
#pragma once

#include <memory>
#include <string>

#include "codec/codec_texts.h"
#include "codec/message_body.h"

namespace tavin {

class TroubleShootingRequestMessageBody : public MessageBody {
 public:
  std::string getMessageType() const override {
    return std::string(kTypeTroubleShootingRequest);
  }
  std::string getPattern() const override { return "<!serviceType><!ShootingType>"; }

  std::string getServiceType() const { return getValue("serviceType"); }
  std::string getShootingType() const { return getValue("ShootingType"); }
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
