#include "codec/package_field.h"

#include <stdexcept>

#include "codec/codec_texts.h"

namespace tavin {

PackageField::PackageField() = default;

PackageField::PackageField(const std::string& name, std::string packageText) {
  if (!name.empty() && name != "qexPackage" && name != "pbuPackage") {
    throw std::logic_error(name + "is not a type name");
  }
  setTypeName(name);
  setValue(std::move(packageText));
  lengthName_ = name + "Length";
}

std::string PackageField::toString() const {
  std::string package = Field::toString();
  Field length(lengthName_, std::to_string(package.size()));
  return length.toString() + kSoh + package;
}

void PackageField::parsePackage(const std::string& text) {
  size_t soh = text.find(kSoh);
  if (soh == std::string::npos) throw std::length_error("Package length not match!");
  Field length;
  length.parse(text.substr(0, soh));
  lengthName_ = length.typeName();
  size_t contentSize = text.size() - soh - 1;
  if (std::to_string(contentSize) != length.value()) {
    throw std::length_error("Package length not match!");
  }
  parse(text.substr(soh + 1));
}

}  // namespace tavin
