// Registration of the body classes with a MessageBodyFactory.
#pragma once

#include "codec/message_body_factory.h"

namespace tavin {

// Registers every message type with its plain body class: the classes that
// read and write each type. Request bodies registered here cannot execute;
// the agent registers its executing request bodies over them.
void registerWireBodies(MessageBodyFactory& factory);

// A factory with the wire bodies, as the console client and tests use it.
MessageBodyFactory wireBodyFactory();

}  // namespace tavin
