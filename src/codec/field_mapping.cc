#include "codec/field_mapping.h"

#include <stdexcept>
#include <utility>

namespace tavin {
namespace {

// Tag and name of every field the protocol knows. The last pair, the empty
// tag and the empty name, stands for the absent field.
constexpr std::pair<const char*, const char*> kPairs[] = {
    {"00", "version"},          {"01", "orientation"},       {"04", "messageType"},
    {"12", "sequence"},         {"15", "bodyLength"},        {"34", "operatorNumber"},
    {"36", "serviceType"},      {"37", "timeGap"},           {"38", "envNo"},
    {"51", "result"},           {"52", "qexVersion"},        {"53", "hostName"},
    {"56", "hostLocalIP"},      {"57", "hostExtIP"},         {"58", "hostStatus"},
    {"60", "cpuUsage"},         {"61", "memoryUsage"},       {"62", "diskUsage"},
    {"63", "qexType"},          {"64", "qexStatus"},         {"65", "pbuBidNumber"},
    {"66", "pbuResponseNumber"}, {"67", "pbuTradeNumber"},   {"69", "qexPackageLength"},
    {"70", "qexPackage"},       {"71", "pbuPackageLength"},  {"72", "pbuPackage"},
    {"74", "csIP"},             {"75", "capability"},        {"76", "work"},
    {"77", "warningLevel"},     {"82", "sysLog"},            {"83", "pbuStatus"},
    {"85", "qexExist"},         {"89", "qexName"},           {"90", "MaxOrderNumber"},
    {"91", "ShootingType"},     {"92", "HostTime"},          {"99", "checkSum"},
    {"", ""},
};

}  // namespace

FieldMapping::FieldMapping() {
  for (const auto& [tag, name] : kPairs) {
    tagToName_.emplace(tag, name);
    nameToTag_.emplace(name, tag);
  }
}

const FieldMapping& FieldMapping::getInstance() {
  static const FieldMapping table;
  return table;
}

const std::string& FieldMapping::getTypeName(const std::string& tag) const {
  auto it = tagToName_.find(tag);
  if (it == tagToName_.end()) throw std::runtime_error("Wrong type ID:" + tag);
  return it->second;
}

const std::string& FieldMapping::getTypeId(const std::string& name) const {
  auto it = nameToTag_.find(name);
  if (it == nameToTag_.end()) throw std::runtime_error("Wrong type name:" + name);
  return it->second;
}

}  // namespace tavin
