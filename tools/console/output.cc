#include "console/output.h"

#include <algorithm>
#include <cstdio>

#include "platform/text.h"

namespace tavin::console {
namespace {

// GBK text to UTF-8 with every control byte shown by name. Control bytes are
// never part of a GBK character, so the text between them converts alone.
std::string visible(const std::string& gbk) {
  std::string out;
  size_t start = 0;
  for (size_t i = 0; i <= gbk.size(); ++i) {
    const unsigned char c = i < gbk.size() ? static_cast<unsigned char>(gbk[i]) : 0;
    if (i < gbk.size() && c >= 0x20 && c != 0x7F) continue;
    out += platform::gbkToUtf8(gbk.substr(start, i - start));
    start = i + 1;
    if (i == gbk.size()) break;
    switch (c) {
      case 0x01: out += "<SOH>"; break;
      case 0x02: out += "<STX>"; break;
      case '\r': out += "<CR>"; break;
      case '\n': out += "<LF>"; break;
      default: {
        char name[8];
        std::snprintf(name, sizeof name, "<0x%02X>", c);
        out += name;
      }
    }
  }
  return out;
}

// A text cell: one line, control bytes visible.
std::string cell(const std::string& gbk) { return visible(gbk); }

// Display width of UTF-8 text: CJK and other wide characters take two
// columns. A GBK two-byte character is wide, a one-byte one narrow.
size_t widthOf(const std::string& utf8) {
  size_t width = 0;
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      width += 1;
      i += 1;
    } else {
      const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
      width += length >= 3 ? 2 : 1;
      i += length;
    }
  }
  return width;
}

std::string padded(const std::string& utf8, size_t width) {
  const size_t has = widthOf(utf8);
  return has >= width ? utf8 : utf8 + std::string(width - has, ' ');
}

// The columns to show: the usual ones, then any others in order of first
// appearance.
std::vector<std::string> columnsOf(const std::vector<Record>& records,
                                   const std::vector<std::string>& usual) {
  std::vector<std::string> columns = usual;
  for (const Record& record : records) {
    for (const auto& field : record.fields) {
      if (std::find(columns.begin(), columns.end(), field.first) == columns.end()) {
        columns.push_back(field.first);
      }
    }
  }
  return columns;
}

std::string table(const std::vector<Record>& records, const std::vector<std::string>& usual) {
  const std::vector<std::string> columns = columnsOf(records, usual);
  std::vector<std::vector<std::string>> rows;
  rows.emplace_back();
  for (const std::string& name : columns) rows.back().push_back(cell(name));
  for (const Record& record : records) {
    rows.emplace_back();
    for (const std::string& name : columns) {
      const std::string* value = record.find(name);
      rows.back().push_back(value ? cell(*value) : "");
    }
  }
  std::vector<size_t> widths(columns.size(), 0);
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], widthOf(row[i]));
  }
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += i + 1 < row.size() ? padded(row[i], widths[i] + 2) : row[i];
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += "  " + line + "\n";
  }
  return out;
}

std::string jsonRecords(const std::vector<Record>& records, const std::vector<std::string>& usual) {
  const std::vector<std::string> columns = columnsOf(records, usual);
  std::string out = "[";
  for (size_t r = 0; r < records.size(); ++r) {
    if (r > 0) out += ",";
    out += "{";
    bool first = true;
    for (const std::string& name : columns) {
      const std::string* value = records[r].find(name);
      if (value == nullptr) continue;
      if (!first) out += ",";
      first = false;
      out += jsonString(platform::gbkToUtf8(name)) + ":" + jsonString(platform::gbkToUtf8(*value));
    }
    out += "}";
  }
  return out + "]";
}

std::string jsonMember(const std::string& name, const std::string& gbkValue) {
  return jsonString(platform::gbkToUtf8(name)) + ":" + jsonString(platform::gbkToUtf8(gbkValue));
}

}  // namespace

std::string rawFrame(bool sent, const std::string& frame) {
  return (sent ? "> " : "< ") + visible(frame) + "\n";
}

std::string jsonString(const std::string& utf8) {
  std::string out = "\"";
  for (char ch : utf8) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

std::string statusText(const StatusReport& report) {
  std::string out;
  for (const auto& [name, value] : report.fields) out += padded(name, 13) + cell(value) + "\n";
  out += "\nPrograms (" + std::to_string(report.programs.size()) + ")\n";
  out += table(report.programs, programColumns());
  out += "\nTrading units (" + std::to_string(report.units.size()) + ")\n";
  out += table(report.units, unitColumns());
  return out;
}

std::string statusJson(const std::string& sequence, const StatusReport& report) {
  std::string out = "{\"type\":\"status\"," + jsonMember("sequence", sequence);
  for (const auto& [name, value] : report.fields) out += "," + jsonMember(name, value);
  out += ",\"programs\":" + jsonRecords(report.programs, programColumns());
  out += ",\"units\":" + jsonRecords(report.units, unitColumns());
  return out + "}\n";
}

std::string shootingText(const ShootingResult& result) {
  // Multi-line results (CheckCS) end their lines with CR LF.
  std::string lines;
  size_t start = 0;
  while (start < result.result.size()) {
    size_t end = result.result.find('\n', start);
    if (end == std::string::npos) end = result.result.size();
    std::string line = result.result.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines += visible(line) + "\n";
    start = end + 1;
  }
  const std::string head = visible(result.shootingType) + ":";
  if (lines.empty()) return head + "\n";
  if (std::count(lines.begin(), lines.end(), '\n') == 1) return head + " " + lines;
  return head + "\n" + lines;
}

std::string shootingJson(const std::string& sequence, const ShootingResult& result) {
  return "{\"type\":\"shoot\"," + jsonMember("sequence", sequence) + "," +
         jsonMember("serviceType", result.serviceType) + "," +
         jsonMember("ShootingType", result.shootingType) + "," +
         jsonMember("result", result.result) + "}\n";
}

std::string heartbeatText(const std::string& time) { return time + "  heartbeat\n"; }

std::string heartbeatJson(const std::string& time) {
  return "{\"type\":\"heartbeat\",\"time\":" + jsonString(time) + "}\n";
}

std::string logLineText(const std::string& time, const LogLine& line) {
  if (line.program.empty()) return time + "  " + visible(line.text) + "\n";
  return time + "  " + visible(line.program) + " #" + line.lineNumber + "  " + visible(line.text) +
         "\n";
}

std::string logLineJson(const std::string& time, const LogLine& line) {
  return "{\"type\":\"sysLog\",\"time\":" + jsonString(time) + "," +
         jsonMember("program", line.program) + "," + jsonMember("line", line.lineNumber) + "," +
         jsonMember("text", line.text) + "}\n";
}

}  // namespace tavin::console
