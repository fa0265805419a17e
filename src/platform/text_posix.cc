#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "platform/gbk.h"
#include "platform/text.h"

namespace platform {
namespace {

constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";  // U+FFFD

// Converts with iconv; an invalid or incomplete input sequence is replaced by
// `replacement` and the converter skips one input byte. Nothing when iconv
// has no converter for the pair (a system without its GBK module): the
// callers then keep ASCII and replace the rest, never passing bytes on in
// the wrong encoding.
std::optional<std::string> convert(const char* to, const char* from, std::string_view in,
                                   std::string_view replacement) {
  iconv_t cd = ::iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
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

// ASCII as it is, and "?" for each other character of UTF-8 or wide text
// (a UTF-8 character's continuation bytes are left out).
template <typename Char>
std::string asciiOrQuestionMarks(std::basic_string_view<Char> text) {
  std::string out;
  for (Char c : text) {
    const auto u = static_cast<uint32_t>(static_cast<std::make_unsigned_t<Char>>(c));
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
    } else if (sizeof(Char) > 1 || (u & 0xC0) != 0x80) {
      out.push_back('?');
    }
  }
  return out;
}

}  // namespace

std::string gbkToUtf8(std::string_view gbk) {
  if (auto out = convert("UTF-8", "GBK", gbk, kReplacementUtf8)) return *out;
  std::string out;
  for (char32_t c : gbkAsciiOnly(gbk)) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out += kReplacementUtf8;
    }
  }
  return out;
}

std::string utf8ToGbk(std::string_view utf8) {
  if (auto out = convert("GBK", "UTF-8", utf8, "?")) return *out;
  return asciiOrQuestionMarks(utf8);
}

std::wstring gbkToWide(std::string_view gbk) {
  if (auto utf32 = convert("WCHAR_T", "GBK", gbk, std::string("\xFD\xFF\x00\x00", 4))) {
    return std::wstring(reinterpret_cast<const wchar_t*>(utf32->data()),
                        utf32->size() / sizeof(wchar_t));
  }
  const std::u32string chars = gbkAsciiOnly(gbk);
  return std::wstring(chars.begin(), chars.end());
}

std::string wideToGbk(std::wstring_view wide) {
  if (auto out = convert("GBK", "WCHAR_T",
                         std::string_view(reinterpret_cast<const char*>(wide.data()),
                                          wide.size() * sizeof(wchar_t)),
                         "?")) {
    return *out;
  }
  return asciiOrQuestionMarks(wide);
}

}  // namespace platform
