// The two records of a status response: Qex, one per monitored program, and
// Pbu, one per configured trading unit (operator). Both are written only by
// the agent, as runs of fields each followed by SOH, and packed by their
// owner into a PackageField.
#pragma once

#include <string>

#include "codec/codec_texts.h"

namespace tavin {

// A program record. QexCommunicator derives from it and adds the program's
// files and readers.
class Qex {
 public:
  Qex() = default;
  virtual ~Qex() = default;

  const std::string& getExist() const { return exist_; }
  const std::string& getType() const { return type_; }
  const std::string& getName() const { return name_; }
  const std::string& getStatus() const { return status_; }
  const std::string& getVersion() const { return version_; }
  const std::string& getWarningLevel() const { return warningLevel_; }
  void setExist(std::string v) { exist_ = std::move(v); }
  void setType(std::string v) { type_ = std::move(v); }
  void setName(std::string v) { name_ = std::move(v); }
  void setStatus(std::string v) { status_ = std::move(v); }
  void setVersion(std::string v) { version_ = std::move(v); }
  void setWarningLevel(std::string v) { warningLevel_ = std::move(v); }

  // qexExist, qexName, qexType, qexStatus, qexVersion, warningLevel.
  std::string recordText() const;

 private:
  std::string exist_;
  std::string type_;
  std::string name_;
  std::string status_{kStatusUnknown};
  std::string version_;
  std::string warningLevel_;
};

// A trading-unit record.
class Pbu {
 public:
  // From the status file: the twelve values in this order; name empty.
  Pbu(std::string operatorNumber, std::string type, std::string status, std::string bidNumber,
      std::string responseNumber, std::string tradeNumber, std::string maxOrderNumber,
      std::string csIp, std::string hostExtIp, std::string capability, std::string work,
      std::string warningLevel);

  // From configuration: operator code and owning program's name, status "0",
  // everything else empty.
  static Pbu fromConfig(std::string name, std::string operatorCode);

  const std::string& getOperatorNumber() const { return operatorNumber_; }
  const std::string& getType() const { return type_; }
  const std::string& getName() const { return name_; }
  const std::string& getStatus() const { return status_; }
  const std::string& getBidNumber() const { return bidNumber_; }
  const std::string& getResponseNumber() const { return responseNumber_; }
  const std::string& getTradeNumber() const { return tradeNumber_; }
  const std::string& getMaxOrderNumber() const { return maxOrderNumber_; }
  const std::string& getCsIp() const { return csIp_; }
  const std::string& getHostExtIp() const { return hostExtIp_; }
  const std::string& getCapability() const { return capability_; }
  const std::string& getWork() const { return work_; }
  const std::string& getWarningLevel() const { return warningLevel_; }

  void setName(std::string v) { name_ = std::move(v); }
  void setType(std::string v) { type_ = std::move(v); }
  void setStatus(std::string v) { status_ = std::move(v); }
  void setBidNumber(std::string v) { bidNumber_ = std::move(v); }
  void setResponseNumber(std::string v) { responseNumber_ = std::move(v); }
  void setTradeNumber(std::string v) { tradeNumber_ = std::move(v); }
  void setMaxOrderNumber(std::string v) { maxOrderNumber_ = std::move(v); }
  void setCsIp(std::string v) { csIp_ = std::move(v); }
  void setHostExtIp(std::string v) { hostExtIp_ = std::move(v); }
  void setCapability(std::string v) { capability_ = std::move(v); }
  void setWork(std::string v) { work_ = std::move(v); }
  void setWarningLevel(std::string v) { warningLevel_ = std::move(v); }

  // qexName, operatorNumber, qexType, pbuStatus, pbuBidNumber,
  // pbuResponseNumber, pbuTradeNumber, MaxOrderNumber, csIP, hostExtIP,
  // capability, work, warningLevel.
  std::string recordText() const;

 private:
  std::string operatorNumber_;
  std::string type_;
  std::string name_;
  std::string status_;
  std::string bidNumber_;
  std::string responseNumber_;
  std::string tradeNumber_;
  std::string maxOrderNumber_;
  std::string csIp_;
  std::string hostExtIp_;
  std::string capability_;
  std::string work_;
  std::string warningLevel_;
};

}  // namespace tavin
