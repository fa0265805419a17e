#include "handlers/status_messages.h"

#include "codec/package_field.h"

namespace tavin {

StatusResponseMessageBody::StatusResponseMessageBody(
    const std::string& hostStatus, const std::string& hostTime, const std::string& cpuUsage,
    const std::string& memoryUsage, const std::string& diskUsage, const std::string& envNo,
    const std::string& qexPackage, const std::string& pbuPackage) {
  addField("hostStatus", hostStatus);
  addField("HostTime", hostTime);
  addField("cpuUsage", cpuUsage);
  addField("memoryUsage", memoryUsage);
  addField("diskUsage", diskUsage);
  addField("envNo", envNo);
  insertField(std::make_unique<PackageField>("qexPackage", qexPackage));
  insertField(std::make_unique<PackageField>("pbuPackage", pbuPackage));
}

std::string StatusResponseMessageBody::getPattern() const {
  // The eight blanks lie outside every entry and are never written.
  return "<!hostStatus><!HostTime><!cpuUsage><!memoryUsage>        "
         "<!diskUsage><!envNo><!qexPackage><!pbuPackage>";
}

}  // namespace tavin
