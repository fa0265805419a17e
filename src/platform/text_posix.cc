#include <iconv.h>

#include <cerrno>

#include "platform/text.h"

namespace platform {
namespace {

// Converts with iconv; an invalid or incomplete input sequence is replaced by
// `replacement` and the converter skips one input byte.
std::string convert(const char* to, const char* from, std::string_view in,
                    std::string_view replacement) {
  iconv_t cd = ::iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
  std::string out;
  out.reserve(in.size() * 2);
  char* inPtr = const_cast<char*>(in.data());
  size_t inLeft = in.size();
  char buffer[4096];
  while (inLeft > 0) {
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    size_t rc = ::iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    out.append(buffer, sizeof buffer - outLeft);
    if (rc == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      out.append(replacement);  // EILSEQ or EINVAL: skip the offending byte
      ++inPtr;
      --inLeft;
      ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  ::iconv_close(cd);
  return out;
}

}  // namespace

std::string gbkToUtf8(std::string_view gbk) { return convert("UTF-8", "GBK", gbk, "\xEF\xBF\xBD"); }

std::string utf8ToGbk(std::string_view utf8) { return convert("GBK", "UTF-8", utf8, "?"); }

std::wstring gbkToWide(std::string_view gbk) {
  std::string utf32 = convert("WCHAR_T", "GBK", gbk, std::string("\xFD\xFF\x00\x00", 4));
  return std::wstring(reinterpret_cast<const wchar_t*>(utf32.data()), utf32.size() / sizeof(wchar_t));
}

std::string wideToGbk(std::wstring_view wide) {
  return convert("GBK", "WCHAR_T",
                 std::string_view(reinterpret_cast<const char*>(wide.data()),
                                  wide.size() * sizeof(wchar_t)),
                 "?");
}

}  // namespace platform
