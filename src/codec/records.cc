#include "codec/records.h"

#include <initializer_list>
#include <utility>

#include "codec/field.h"

namespace tavin {
namespace {

std::string fieldsText(
    std::initializer_list<std::pair<const char*, const std::string*>> fields) {
  std::string text;
  for (const auto& [name, value] : fields) {
    text += Field(name, *value).toString();
    text += kSoh;
  }
  return text;
}

}  // namespace

std::string Qex::recordText() const {
  return fieldsText({{"qexExist", &exist_},
                     {"qexName", &name_},
                     {"qexType", &type_},
                     {"qexStatus", &status_},
                     {"qexVersion", &version_},
                     {"warningLevel", &warningLevel_}});
}

Pbu::Pbu(std::string operatorNumber, std::string type, std::string status, std::string bidNumber,
         std::string responseNumber, std::string tradeNumber, std::string maxOrderNumber,
         std::string csIp, std::string hostExtIp, std::string capability, std::string work,
         std::string warningLevel)
    : operatorNumber_(std::move(operatorNumber)),
      type_(std::move(type)),
      status_(std::move(status)),
      bidNumber_(std::move(bidNumber)),
      responseNumber_(std::move(responseNumber)),
      tradeNumber_(std::move(tradeNumber)),
      maxOrderNumber_(std::move(maxOrderNumber)),
      csIp_(std::move(csIp)),
      hostExtIp_(std::move(hostExtIp)),
      capability_(std::move(capability)),
      work_(std::move(work)),
      warningLevel_(std::move(warningLevel)) {}

Pbu Pbu::fromConfig(std::string name, std::string operatorCode) {
  Pbu pbu(std::move(operatorCode), "", "0", "", "", "", "", "", "", "", "", "");
  pbu.setName(std::move(name));
  return pbu;
}

std::string Pbu::recordText() const {
  return fieldsText({{"qexName", &name_},
                     {"operatorNumber", &operatorNumber_},
                     {"qexType", &type_},
                     {"pbuStatus", &status_},
                     {"pbuBidNumber", &bidNumber_},
                     {"pbuResponseNumber", &responseNumber_},
                     {"pbuTradeNumber", &tradeNumber_},
                     {"MaxOrderNumber", &maxOrderNumber_},
                     {"csIP", &csIp_},
                     {"hostExtIP", &hostExtIp_},
                     {"capability", &capability_},
                     {"work", &work_},
                     {"warningLevel", &warningLevel_}});
}

}  // namespace tavin
