// Conversions of GBK (code page 936) text at the edges of the program:
// terminal and console output (UTF-8), window texts and file names on
// Windows (UTF-16). The portable core keeps GBK bytes and never converts.
//
// Bytes that are not valid GBK become U+FFFD; nothing is dropped silently.
// Any thread.
#pragma once

#include <string>
#include <string_view>

namespace platform {

std::string gbkToUtf8(std::string_view gbk);
std::string utf8ToGbk(std::string_view utf8);  // characters without GBK form become "?"
std::wstring gbkToWide(std::string_view gbk);
std::string wideToGbk(std::wstring_view wide);

}  // namespace platform
