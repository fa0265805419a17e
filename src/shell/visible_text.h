// How the front-ends print text that came from outside (a console's bytes in
// a history line): control bytes in caret notation, so that they can never
// act as terminal sequences. Any thread.
#pragma once

#include <string>

namespace tavin {

// Every byte below 0x20 and 0x7F as "^" and the byte XOR 0x40 (SOH is "^A",
// ESC "^[", DEL "^?"); other bytes unchanged. A control byte is never the
// second byte of a GBK character (those are 0x40 and up), so the text stays
// valid GBK.
std::string showControls(const std::string& gbk);

}  // namespace tavin
