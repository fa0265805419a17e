#include "metrics/exposition.h"

#include <cmath>
#include <cstdio>

#include "platform/text.h"

namespace tavin {

void ExpositionWriter::family(std::string_view name, std::string_view type,
                              std::string_view help) {
  text_ += "# HELP ";
  text_ += name;
  text_ += ' ';
  // HELP texts escape backslash and line feed (not the double quote).
  for (char c : help) {
    if (c == '\\') {
      text_ += "\\\\";
    } else if (c == '\n') {
      text_ += "\\n";
    } else {
      text_ += c;
    }
  }
  text_ += "\n# TYPE ";
  text_ += name;
  text_ += ' ';
  text_ += type;
  text_ += '\n';
}

void ExpositionWriter::sample(std::string_view name, const MetricLabels& labels, double value) {
  text_ += name;
  if (!labels.empty()) {
    text_ += '{';
    for (size_t i = 0; i < labels.size(); ++i) {
      if (i > 0) text_ += ',';
      text_ += labels[i].first;
      text_ += "=\"";
      text_ += labelValue(labels[i].second);
      text_ += '"';
    }
    text_ += '}';
  }
  text_ += ' ';
  text_ += formatValue(value);
  text_ += '\n';
}

std::string ExpositionWriter::formatValue(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char buffer[64];
  // Up to 2^53 every integer is exact in a double and is written as one.
  if (value == std::floor(value) && std::fabs(value) <= 9007199254740992.0) {
    std::snprintf(buffer, sizeof buffer, "%.0f", value);
  } else {
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
  }
  return buffer;
}

std::string ExpositionWriter::labelValue(std::string_view gbk) {
  // Converted first: a GBK character's second byte may be a backslash, which
  // is no backslash at all once the text is UTF-8.
  const std::string utf8 = platform::gbkToUtf8(gbk);
  std::string escaped;
  escaped.reserve(utf8.size());
  for (char c : utf8) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '"') {
      escaped += "\\\"";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::optional<double> figureOf(std::string_view text) {
  // As the configuration reads integers: leading blanks, an optional sign,
  // then digits to the end (status files hold counts that may pass 32 bits).
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size() || text.size() - i > 18) return std::nullopt;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return static_cast<double>(negative ? -value : value);
}

}  // namespace tavin
