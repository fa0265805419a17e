#include "shell/terminal_keys.h"

namespace tavin {
namespace {

constexpr char kEscapeByte = '\x1b';
// Longer unfinished sequences are not keys of ours: they are dropped rather
// than kept waiting for an end.
constexpr size_t kLongestSequence = 16;

// The key of a complete CSI ("ESC [") or SS3 ("ESC O") sequence, given its
// parameter text and final byte; false for keys of no use here.
bool sequenceKey(std::string_view parameters, char final, KeyCode* code) {
  switch (final) {
    case 'A': *code = KeyCode::kUp; return true;
    case 'B': *code = KeyCode::kDown; return true;
    case 'H': *code = KeyCode::kHome; return true;
    case 'F': *code = KeyCode::kEnd; return true;
    case '~': break;
    default: return false;
  }
  // "ESC [ n ~": the first parameter names the key; modifiers follow ";".
  std::string_view number = parameters.substr(0, parameters.find(';'));
  if (number == "1" || number == "7") *code = KeyCode::kHome;
  else if (number == "4" || number == "8") *code = KeyCode::kEnd;
  else if (number == "5") *code = KeyCode::kPageUp;
  else if (number == "6") *code = KeyCode::kPageDown;
  else return false;
  return true;
}

}  // namespace

std::vector<KeyPress> KeyDecoder::feed(std::string_view bytes) {
  std::string input = std::move(pending_);
  pending_.clear();
  input.append(bytes);

  std::vector<KeyPress> keys;
  size_t i = 0;
  while (i < input.size()) {
    const unsigned char byte = static_cast<unsigned char>(input[i]);
    if (byte != static_cast<unsigned char>(kEscapeByte)) {
      if (byte >= 0x20 && byte < 0x7f) keys.push_back({KeyCode::kChar, static_cast<char>(byte)});
      else if (byte == '\r' || byte == '\n') keys.push_back({KeyCode::kEnter, 0});
      else if (byte == 0x0c) keys.push_back({KeyCode::kRedraw, 0});
      // Other control bytes and the bytes of non-ASCII characters are no keys.
      ++i;
      continue;
    }
    if (i + 1 == input.size() || (input[i + 1] != '[' && input[i + 1] != 'O')) {
      // A lone Escape (or Alt with a key: Escape, then the key).
      keys.push_back({KeyCode::kEscape, 0});
      ++i;
      continue;
    }
    // "ESC [" parameters then a final byte in 0x40..0x7e; "ESC O" one byte.
    const bool csi = input[i + 1] == '[';
    size_t end = i + 2;
    if (csi) {
      while (end < input.size() && static_cast<unsigned char>(input[end]) >= 0x20 &&
             static_cast<unsigned char>(input[end]) < 0x40) {
        ++end;
      }
    }
    if (end >= input.size()) {
      if (input.size() - i <= kLongestSequence) pending_ = input.substr(i);
      break;
    }
    const char final = input[end];
    KeyCode code;
    if (static_cast<unsigned char>(final) >= 0x40 && static_cast<unsigned char>(final) <= 0x7e &&
        sequenceKey(std::string_view(input).substr(i + 2, end - i - 2), final, &code)) {
      keys.push_back({code, 0});
    }
    i = end + 1;
  }
  return keys;
}

}  // namespace tavin
