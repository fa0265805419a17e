// The status request (type "02") and its response (type "03").
#pragma once

#include <memory>
#include <string>

#include "codec/codec_texts.h"
#include "codec/message_body.h"

namespace tavin {

struct StatusContext;

class StatusRequestMessageBody : public MessageBody {
 public:
  // Without a context (the console's side) the request cannot execute.
  StatusRequestMessageBody() = default;
  explicit StatusRequestMessageBody(StatusContext* context) : context_(context) {}

  std::string getMessageType() const override { return std::string(kTypeStatusRequest); }
  // The request's body is empty on the wire; fields a console sends are
  // read but never written back.
  std::string getPattern() const override { return std::string(); }

  // Gathers the host's figures, refreshes both programs (retrying once after
  // 500 ms) and returns the response.
  std::unique_ptr<MessageBody> execute() override;

 private:
  StatusContext* context_ = nullptr;
};

class StatusResponseMessageBody : public MessageBody {
 public:
  StatusResponseMessageBody() = default;
  // The eight values in wire order; the two packages become PackageFields.
  StatusResponseMessageBody(const std::string& hostStatus, const std::string& hostTime,
                            const std::string& cpuUsage, const std::string& memoryUsage,
                            const std::string& diskUsage, const std::string& envNo,
                            const std::string& qexPackage, const std::string& pbuPackage);

  std::string getMessageType() const override { return std::string(kTypeStatusResponse); }
  std::string getPattern() const override;
};

}  // namespace tavin
