#include "codec/field.h"

#include <stdexcept>

#include "codec/codec_texts.h"
#include "codec/field_mapping.h"

namespace tavin {

Field::Field(const std::string& name, std::string value) : value_(std::move(value)) {
  setTypeName(name);
}

void Field::setTypeName(const std::string& name) {
  typeId_ = FieldMapping::getInstance().getTypeId(name);
  typeName_ = name;
}

void Field::setTypeId(const std::string& tag) {
  typeName_ = FieldMapping::getInstance().getTypeName(tag);
  typeId_ = tag;
}

std::string Field::toString() const { return typeId_ + "=" + value_; }

void Field::parse(const std::string& text) {
  if (text.empty()) throw std::logic_error("Field not complete(1), typeName=" + typeName_);
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == text.size()) {
    throw std::logic_error("Field not complete(2), typeName=" + typeName_);
  }
  if (text[digits] != '=') throw std::runtime_error("Field Parse Error str=" + text);
  setTypeId(text.substr(0, digits));
  value_ = text.substr(digits + 1);
}

void Field::readField(const std::string& text, size_t& pos) {
  if (pos >= text.size()) {
    pos = text.size();
    parse(std::string());
    return;
  }
  size_t end = text.find(kSoh, pos);
  std::string fieldText;
  if (end == std::string::npos) {
    fieldText = text.substr(pos);
    pos = text.size();
  } else {
    fieldText = text.substr(pos, end - pos);
    pos = end + 1;
  }
  parse(fieldText);
}

void Field::expectField(const std::string& name, size_t& pos, const std::string& text) {
  readField(text, pos);
  if (typeName_ != name) {
    throw std::runtime_error(name + " field not exists " + typeName_ + " instead");
  }
}

bool Field::isPackage() const {
  return typeName_.empty() || typeName_ == "qexPackage" || typeName_ == "pbuPackage";
}

bool Field::isPackageLength() const {
  return typeName_.empty() || typeName_ == "qexPackageLength" ||
         typeName_ == "pbuPackageLength";
}

}  // namespace tavin
