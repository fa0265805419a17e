// Framing helpers of the receive path: reading one message out of a
// connection's inbound text without copying more of it than the message
// needs, and telling a message that has not fully arrived from bytes that can
// never become one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "codec/message.h"
#include "codec/message_body_factory.h"

namespace tavin {

// Message::parse of text from byte `start` on, with the same result and the
// same errors, but looking at a window that grows only as far as the message
// reaches; a read holding many small messages therefore costs what its bytes
// cost, not their square. *message receives what parse filled in.
int64_t parseAt(const std::string& text, size_t start, const MessageBodyFactory& factory,
                Message* message);

// Whether text from byte `start` on can still grow into a message: each
// header field that has arrived carries its expected tag in order (00, 01,
// 04, 12, 15, each followed by "="), and a field that is still arriving agrees
// with that so far. A text whose five header fields have all arrived
// qualifies; its body or checksum field is what is missing.
bool mayBeMessageStart(const std::string& text, size_t start);

}  // namespace tavin
