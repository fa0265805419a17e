#include "server/frame_reader.h"

#include <algorithm>
#include <string_view>

#include "codec/codec_texts.h"

namespace tavin {
namespace {

// Most messages fit the first window; the window doubles from there.
constexpr size_t kFirstWindow = 512;

}  // namespace

int64_t parseAt(const std::string& text, size_t start, const MessageBodyFactory& factory,
                Message* message) {
  const size_t available = text.size() - std::min(start, text.size());
  size_t window = std::min(kFirstWindow, available);
  for (;;) {
    *message = Message();
    const int64_t result = message->parse(text.substr(start, window), factory);
    // parse returns these two before it has looked at bytes beyond the window
    // only when it needed them: the header's end, the body, or the SOH that
    // closes the checksum field. Every other result and every error depends on
    // bytes inside the window alone, so it is the result for the whole text.
    const bool mayNeedMore =
        result == Message::kIncomplete || result == Message::kBadCheckSumField;
    if (!mayNeedMore || window == available) return result;
    window = std::min(window * 2, available);
  }
}

bool mayBeMessageStart(const std::string& text, size_t start) {
  static constexpr std::string_view kTags[] = {"00=", "01=", "04=", "12=", "15="};
  size_t pos = start;
  for (std::string_view tag : kTags) {
    const size_t end = text.find(kSoh, pos);
    const std::string_view field =
        std::string_view(text).substr(pos, end == std::string::npos ? std::string::npos
                                                                     : end - pos);
    if (end == std::string::npos) {
      // Still arriving: it agrees with the tag as far as both go.
      const size_t n = std::min(field.size(), tag.size());
      return field.substr(0, n) == tag.substr(0, n);
    }
    if (field.substr(0, tag.size()) != tag) return false;
    pos = end + 1;
  }
  return true;
}

}  // namespace tavin
