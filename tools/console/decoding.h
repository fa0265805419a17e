// What the console reads out of the agent's messages: the status response
// with its two packages split into records, the trouble-shooting result and
// the system-log lines of a push. Every text stays GBK here; the output
// converts it.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "codec/message_body.h"

namespace tavin::console {

// A message the console cannot make sense of.
class DecodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One record of a package: its fields by name, in wire order.
struct Record {
  std::vector<std::pair<std::string, std::string>> fields;

  // The value of the first field of that name, or null.
  const std::string* find(const std::string& name) const;
};

// The fields of a program record and of a trading-unit record, in the order
// the agent writes them. The first one starts each record.
const std::vector<std::string>& programColumns();
const std::vector<std::string>& unitColumns();

// Splits a package's records (fields "tag=value", each closed by SOH) into
// records; a field with the tag of firstName starts a new one. A tag
// outside the field table keeps the tag as its name. Raises DecodeError for
// a field without "=" or a package that does not end with SOH.
std::vector<Record> splitRecords(const std::string& package, const std::string& firstName);

// The fields of a status response. Absent fields are left out.
struct StatusReport {
  std::vector<std::pair<std::string, std::string>> fields;  // hostStatus .. envNo
  std::vector<Record> programs;
  std::vector<Record> units;
};

// The names of the plain fields of a status response, in wire order.
const std::vector<std::string>& statusFieldNames();

StatusReport decodeStatus(const MessageBody& body);

struct ShootingResult {
  std::string serviceType;
  std::string shootingType;
  std::string result;
};

ShootingResult decodeShooting(const MessageBody& body);

// One line of a monitored program's system log.
struct LogLine {
  std::string program;     // empty when the entry does not have the usual form
  std::string lineNumber;
  std::string text;        // without its line end
};

// Splits a "sysLog" value: entries "<program> <line number> <line>" each
// closed by the byte 0x02. An entry of another form is kept whole as text.
std::vector<LogLine> splitSysLog(const std::string& sysLog);

}  // namespace tavin::console
