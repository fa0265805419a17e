#include "handlers/bodies.h"

#include "handlers/beat_message.h"
#include "handlers/status_messages.h"
#include "handlers/system_log_message.h"
#include "handlers/trouble_shooting_messages.h"

namespace tavin {
namespace {

template <typename Body>
MessageBodyFactory::Creator make() {
  return [] { return std::make_unique<Body>(); };
}

}  // namespace

void registerWireBodies(MessageBodyFactory& factory) {
  factory.registerBody(2, make<StatusRequestMessageBody>());
  factory.registerBody(3, make<StatusResponseMessageBody>());
  factory.registerBody(12, make<BeatMessageBody>());
  factory.registerBody(13, make<LogMessageBody>());
  factory.registerBody(19, make<TroubleShootingRequestMessageBody>());
  factory.registerBody(20, make<TroubleShootingResponseMessageBody>());
}

MessageBodyFactory wireBodyFactory() {
  MessageBodyFactory factory;
  registerWireBodies(factory);
  return factory;
}

}  // namespace tavin
