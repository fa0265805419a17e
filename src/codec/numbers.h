// Conversions of decimal text to integers, each with the acceptance its
// caller needs. None of them reads past the text or overflows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavin {

// A length or position that input controls: one to ten decimal digits, no
// sign, no blanks, at most INT32_MAX. Anything else raises ConversionError
// ("'<text>' is not a valid integer value").
int32_t parseLength(std::string_view text);

// A whole-text integer as configuration files write it: optional leading
// blanks, an optional sign, then decimal digits up to the end. Empty when the
// text does not have that form or the value does not fit 32 bits.
std::optional<int32_t> parseInt32(std::string_view text);

// The same, raising ConversionError instead of returning empty.
int32_t toInt32(std::string_view text);

// The C library's atol rule without its undefined overflow: leading white
// space, an optional sign, digits up to the first other byte; no digits
// give 0. The value saturates at the limits of int64_t.
int64_t leadingInteger(std::string_view text);

// The message of a failed conversion of text.
std::string notAnIntegerMessage(std::string_view text);

}  // namespace tavin
