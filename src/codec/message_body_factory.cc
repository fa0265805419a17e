#include "codec/message_body_factory.h"

#include "codec/numbers.h"

namespace tavin {

void MessageBodyFactory::registerBody(int64_t type, Creator create) {
  creators_[type] = std::move(create);
}

std::unique_ptr<MessageBody> MessageBodyFactory::createMessageBody(
    const std::string& type, const std::string& text) const {
  auto it = creators_.find(leadingInteger(type));
  if (it == creators_.end()) return nullptr;
  std::unique_ptr<MessageBody> body = it->second();
  body->parse(text);
  return body;
}

}  // namespace tavin
