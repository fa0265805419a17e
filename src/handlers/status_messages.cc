#include "handlers/status_messages.h"

#include <exception>

#include "codec/package_field.h"
#include "handlers/status_context.h"

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

std::unique_ptr<MessageBody> StatusRequestMessageBody::execute() {
  if (context_ == nullptr) return MessageBody::execute();
  StatusContext& c = *context_;
  // The host's figures are taken before the programs are refreshed.
  const std::string hostTime = HostControl::hostTime(c.clock);
  const std::string cpu = std::to_string(c.systemStatus.getCpuUsage());
  const std::string memory = std::to_string(c.systemStatus.memoryUsagePercent());
  const std::string disk = std::to_string(c.systemStatus.getDiskUsage(c.config.getWorkDir()));
  const std::string envNo = c.config.getEnvNo();
  try {
    c.config.refreshStatus();
  } catch (const std::exception&) {
    // A status file caught mid-write usually reads well a moment later; a
    // second failure is ignored and the records are sent as they stand.
    if (c.pause) c.pause(500);
    try {
      c.config.refreshStatus();
    } catch (const std::exception&) {
    }
  }
  const std::string pbu = c.config.getPbuPackage();
  const std::string qex = c.config.getQexPackage();
  return std::make_unique<StatusResponseMessageBody>(std::string(kHostStatusNormal), hostTime,
                                                     cpu, memory, disk, envNo, qex, pbu);
}

std::string StatusResponseMessageBody::getPattern() const {
  // The eight blanks lie outside every entry and are never written.
  return "<!hostStatus><!HostTime><!cpuUsage><!memoryUsage>        "
         "<!diskUsage><!envNo><!qexPackage><!pbuPackage>";
}

}  // namespace tavin
