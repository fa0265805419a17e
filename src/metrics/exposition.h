// Writes the Prometheus text exposition format (version 0.0.4): metric
// families with their HELP and TYPE lines, then their samples with labels.
//
// The text is UTF-8. Label values are the agent's GBK texts (program names,
// operator codes, values from the programs' files) and are converted here;
// then backslash, double quote and line feed are escaped as the format asks.
// Names and HELP texts are the caller's ASCII constants.
//
// A value, not shared: build one per scrape, on whichever thread collects.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavin {

// Label name and GBK value pairs, in the order they are written.
using MetricLabels = std::vector<std::pair<std::string_view, std::string>>;

class ExpositionWriter {
 public:
  // Starts a family: "# HELP name help" and "# TYPE name type" (type is
  // "gauge" or "counter"). Its samples follow.
  void family(std::string_view name, std::string_view type, std::string_view help);
  // One sample line: name{labels} value.
  void sample(std::string_view name, const MetricLabels& labels, double value);

  const std::string& text() const { return text_; }

  // The value as the format writes it: integers without a fraction or an
  // exponent, NaN, +Inf and -Inf by name, others with 17 significant digits.
  static std::string formatValue(double value);
  // A label value: GBK converted to UTF-8, then escaped.
  static std::string labelValue(std::string_view gbk);

 private:
  std::string text_;
};

// A figure from a program's status file ("12", " 7", "-1") as a number;
// nothing for an empty or non-numeric text, which then has no sample.
std::optional<double> figureOf(std::string_view text);

}  // namespace tavin
