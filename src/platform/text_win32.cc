#include <windows.h>

#include "platform/text.h"

namespace platform {
namespace {

constexpr UINT kGbk = 936;

// MultiByteToWideChar without MB_ERR_INVALID_CHARS maps invalid bytes to
// U+FFFD (or the code page's default character) instead of failing.
std::wstring toWide(UINT codePage, std::string_view text) {
  if (text.empty()) return std::wstring();
  int n = ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string fromWide(UINT codePage, std::wstring_view text) {
  if (text.empty()) return std::string();
  int n = ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
  return out;
}

}  // namespace

std::string gbkToUtf8(std::string_view gbk) { return fromWide(CP_UTF8, toWide(kGbk, gbk)); }
std::string utf8ToGbk(std::string_view utf8) { return fromWide(kGbk, toWide(CP_UTF8, utf8)); }
std::wstring gbkToWide(std::string_view gbk) { return toWide(kGbk, gbk); }
std::string wideToGbk(std::wstring_view wide) { return fromWide(kGbk, wide); }

}  // namespace platform
