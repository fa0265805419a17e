#include "codec/numbers.h"

#include <limits>

#include "codec/errors.h"

namespace tavin {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::string notAnIntegerMessage(std::string_view text) {
  return "'" + std::string(text) + "' is not a valid integer value";
}

int32_t parseLength(std::string_view text) {
  if (text.empty() || text.size() > 10) throw ConversionError(notAnIntegerMessage(text));
  int64_t value = 0;
  for (char c : text) {
    if (!isDigit(c)) throw ConversionError(notAnIntegerMessage(text));
    value = value * 10 + (c - '0');
  }
  if (value > std::numeric_limits<int32_t>::max()) {
    throw ConversionError(notAnIntegerMessage(text));
  }
  return static_cast<int32_t>(value);
}

std::optional<int32_t> parseInt32(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && isBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return std::nullopt;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (!isDigit(text[i])) return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max() ||
      value < std::numeric_limits<int32_t>::min()) {
    return std::nullopt;
  }
  return static_cast<int32_t>(value);
}

int32_t toInt32(std::string_view text) {
  std::optional<int32_t> value = parseInt32(text);
  if (!value) throw ConversionError(notAnIntegerMessage(text));
  return *value;
}

int64_t leadingInteger(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (isBlank(text[i]) || text[i] == '\n' || text[i] == '\r' ||
                             text[i] == '\v' || text[i] == '\f')) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  int64_t value = 0;
  for (; i < text.size() && isDigit(text[i]); ++i) {
    int digit = text[i] - '0';
    if (value > (kMax - digit) / 10) return negative ? std::numeric_limits<int64_t>::min() : kMax;
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

}  // namespace tavin
