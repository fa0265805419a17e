#include "codec/message_body.h"

#include <stdexcept>
#include <vector>

#include "codec/codec_texts.h"
#include "codec/numbers.h"
#include "codec/package_field.h"

namespace tavin {

std::unique_ptr<MessageBody> MessageBody::execute() {
  throw std::logic_error("class is not executable");
}

std::string MessageBody::getPattern() const {
  throw std::logic_error("this is an abstract class message body");
}

const Field& MessageBody::getField(const std::string& name) const {
  static const Field kAbsent;
  auto it = fields_.find(name);
  return it == fields_.end() ? kAbsent : *it->second;
}

void MessageBody::addField(const std::string& name, const std::string& value) {
  insertField(std::make_unique<Field>(name, value));
}

void MessageBody::insertField(std::unique_ptr<Field> field) {
  std::string name = field->typeName();
  fields_.try_emplace(std::move(name), std::move(field));
}

std::string MessageBody::toString() const {
  const std::string pattern = getPattern();
  if (pattern.empty()) return std::string();

  std::vector<std::string> entries;
  bool open = false;
  size_t start = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '<') {
      open = true;
      start = i + 1;
    } else if (pattern[i] == '>') {
      if (!open || i == start) {
        throw std::logic_error("Invalid pattern: '" + pattern + "', type =" +
                               std::string(34, ' ') + getMessageType());
      }
      entries.push_back(pattern.substr(start, i - start));
      open = false;
    }
  }

  std::string text;
  for (const std::string& entry : entries) {
    const bool necessary = entry[0] == '!';
    const std::string name = entry.substr(1);
    const Field& field = getField(name);
    if (field.isEmpty()) {
      if (necessary) {
        throw std::logic_error("Neccessary Field '" + name + "' not exists in class");
      }
      continue;
    }
    text += field.toString();
    text += kSoh;
  }
  return text;
}

void MessageBody::parse(const std::string& text) {
  if (text.empty()) return;
  Field scratch;
  PackageField package;
  size_t pos = 0;
  while (pos + 1 < text.size()) {
    scratch.readField(text, pos);
    if (!scratch.isPackageLength()) {
      insertField(scratch.clone());
      continue;
    }
    // The package bytes follow the length field as they are; the length is
    // checked against what the body really holds before anything is taken.
    const size_t n = static_cast<size_t>(parseLength(scratch.value()));
    if (n > text.size() - pos) throw std::length_error("Package length not match!");
    std::string packageText = scratch.toString();
    packageText += kSoh;
    packageText.append(text, pos, n);
    pos += n + 1;
    package.parsePackage(packageText);
    insertField(package.clone());
  }
}

}  // namespace tavin
