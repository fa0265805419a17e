// Turns the bytes a terminal sends for key presses into keys: printable
// characters, the arrows and paging keys (as VT100/xterm escape sequences),
// Escape, Enter and Ctrl-L. Anything else is dropped.
//
// An escape sequence split across reads is completed from the next read; an
// Escape byte that ends a read is the Escape key, since terminals send a
// sequence in one piece. Loop thread only (any single thread).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavin {

enum class KeyCode {
  kChar,  // a printable ASCII character: KeyPress::ch
  kUp,
  kDown,
  kPageUp,
  kPageDown,
  kHome,
  kEnd,
  kEscape,
  kEnter,
  kRedraw,  // Ctrl-L
};

struct KeyPress {
  KeyCode code = KeyCode::kChar;
  char ch = 0;
  bool operator==(const KeyPress&) const = default;
};

class KeyDecoder {
 public:
  // The keys in bytes, in order.
  std::vector<KeyPress> feed(std::string_view bytes);

 private:
  // The start of an escape sequence that a read ended in the middle of.
  std::string pending_;
};

}  // namespace tavin
