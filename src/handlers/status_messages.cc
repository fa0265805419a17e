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

HostFigures refreshStatus(StatusContext& c, SystemStatus& sampler) {
  // The host's figures are taken before the programs are refreshed.
  HostFigures figures;
  figures.hostTime = HostControl::hostTime(c.clock);
  figures.cpuUsage = sampler.getCpuUsage();
  figures.memoryUsage = sampler.memoryUsagePercent();
  figures.diskUsage = sampler.getDiskUsage(c.config.getWorkDir());
  figures.envNo = c.config.getEnvNo();
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
  return figures;
}

std::unique_ptr<MessageBody> StatusRequestMessageBody::execute() {
  if (context_ == nullptr) return MessageBody::execute();
  StatusContext& c = *context_;
  const HostFigures figures = refreshStatus(c, c.systemStatus);
  const std::string pbu = c.config.getPbuPackage();
  const std::string qex = c.config.getQexPackage();
  return std::make_unique<StatusResponseMessageBody>(
      std::string(kHostStatusNormal), figures.hostTime, std::to_string(figures.cpuUsage),
      std::to_string(figures.memoryUsage), std::to_string(figures.diskUsage), figures.envNo, qex,
      pbu);
}

std::string StatusResponseMessageBody::getPattern() const {
  // The eight blanks lie outside every entry and are never written.
  return "<!hostStatus><!HostTime><!cpuUsage><!memoryUsage>        "
         "<!diskUsage><!envNo><!qexPackage><!pbuPackage>";
}

}  // namespace tavin
