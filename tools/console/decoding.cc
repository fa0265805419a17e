#include "console/decoding.h"

#include "codec/codec_texts.h"
#include "codec/field_mapping.h"

namespace tavin::console {
namespace {

// The name of a record field's tag; a tag outside the table names itself,
// so an agent with more fields than this console knows still shows them.
std::string nameOfTag(const std::string& tag) {
  try {
    return FieldMapping::getInstance().getTypeName(tag);
  } catch (const std::runtime_error&) {
    return tag;
  }
}

}  // namespace

const std::string* Record::find(const std::string& name) const {
  for (const auto& field : fields) {
    if (field.first == name) return &field.second;
  }
  return nullptr;
}

const std::vector<std::string>& programColumns() {
  static const std::vector<std::string> columns = {"qexExist",  "qexName",    "qexType",
                                                   "qexStatus", "qexVersion", "warningLevel"};
  return columns;
}

const std::vector<std::string>& unitColumns() {
  static const std::vector<std::string> columns = {
      "qexName",        "operatorNumber", "qexType", "pbuStatus", "pbuBidNumber",
      "pbuResponseNumber", "pbuTradeNumber", "MaxOrderNumber", "csIP", "hostExtIP",
      "capability",     "work",           "warningLevel"};
  return columns;
}

const std::vector<std::string>& statusFieldNames() {
  static const std::vector<std::string> names = {"hostStatus",  "HostTime",  "cpuUsage",
                                                 "memoryUsage", "diskUsage", "envNo"};
  return names;
}

std::vector<Record> splitRecords(const std::string& package, const std::string& firstName) {
  std::vector<Record> records;
  if (package.empty()) return records;
  if (package.back() != kSoh) {
    throw DecodeError("a record field is cut off at the end of the package");
  }
  size_t pos = 0;
  while (pos < package.size()) {
    // SOH and "=" are never the second byte of a GBK character.
    const size_t end = package.find(kSoh, pos);
    const std::string field = package.substr(pos, end - pos);
    pos = end + 1;
    const size_t equals = field.find('=');
    if (equals == std::string::npos) {
      throw DecodeError("a record field without \"=\": '" + field + "'");
    }
    std::string name = nameOfTag(field.substr(0, equals));
    if (records.empty() || name == firstName) records.emplace_back();
    records.back().fields.emplace_back(std::move(name), field.substr(equals + 1));
  }
  return records;
}

StatusReport decodeStatus(const MessageBody& body) {
  StatusReport report;
  for (const std::string& name : statusFieldNames()) {
    const Field& field = body.getField(name);
    if (!field.isEmpty()) report.fields.emplace_back(name, field.value());
  }
  try {
    report.programs = splitRecords(body.getValue("qexPackage"), programColumns().front());
    report.units = splitRecords(body.getValue("pbuPackage"), unitColumns().front());
  } catch (const DecodeError& e) {
    throw DecodeError(std::string("status response: ") + e.what());
  }
  return report;
}

ShootingResult decodeShooting(const MessageBody& body) {
  return {body.getValue("serviceType"), body.getValue("ShootingType"), body.getValue("result")};
}

std::vector<LogLine> splitSysLog(const std::string& sysLog) {
  std::vector<LogLine> lines;
  size_t pos = 0;
  while (pos < sysLog.size()) {
    size_t end = sysLog.find('\x02', pos);
    if (end == std::string::npos) end = sysLog.size();
    std::string entry = sysLog.substr(pos, end - pos);
    pos = end + 1;
    // The line keeps its line end in the log; it is not part of the text.
    while (!entry.empty() && (entry.back() == '\n' || entry.back() == '\r')) entry.pop_back();
    LogLine line;
    // Blanks are never the second byte of a GBK character.
    const size_t first = entry.find(' ');
    const size_t second = first == std::string::npos ? first : entry.find(' ', first + 1);
    bool numbered = second != std::string::npos && second > first + 1 && first > 0;
    for (size_t i = first + 1; numbered && i < second; ++i) {
      numbered = entry[i] >= '0' && entry[i] <= '9';
    }
    if (numbered) {
      line.program = entry.substr(0, first);
      line.lineNumber = entry.substr(first + 1, second - first - 1);
      line.text = entry.substr(second + 1);
    } else {
      line.text = entry;
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace tavin::console
