// Byte-level helpers for GBK (code page 936) text. A byte from 0x81 to 0xFE
// leads a two-byte character whose second byte may be any of 0x40..0xFE,
// which includes "\", "|", "]" and the ASCII letters; code that looks for
// those bytes or folds letter case has to step over such pairs. Any thread.
#pragma once

#include <string>
#include <string_view>

namespace platform {

inline bool isGbkLeadByte(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u >= 0x81 && u <= 0xFE;
}

// The text with its ASCII letters upper-cased; two-byte characters unchanged.
std::string asciiUpperGbk(std::string_view text);

// Equality without regard to ASCII letter case, two-byte characters compared
// as they are.
bool equalsIgnoreAsciiCaseGbk(std::string_view a, std::string_view b);

// The characters of GBK text as code points where no conversion table is at
// hand: ASCII characters as they are, every other character (a two-byte one,
// or a byte that is not GBK) U+FFFD, one per character. Never a GBK byte
// passed on as it is.
std::u32string gbkAsciiOnly(std::string_view gbk);

// The offset of the first byte `c` that is a character of its own (not the
// second byte of a two-byte character) at or after `from`; npos when none.
size_t findGbkChar(std::string_view text, char c, size_t from = 0);

}  // namespace platform
