// A field that carries a package: a run of records behind a length field.
//
// On the wire: <length tag>=N SOH <package tag>=<records>, where N counts the
// bytes of "<package tag>=<records>". The records may hold SOH bytes, which
// is why the length comes first.
#pragma once

#include <memory>
#include <string>

#include "codec/field.h"

namespace tavin {

class PackageField : public Field {
 public:
  // Empty name and value; the length field name is "Length".
  PackageField();
  // name must be "qexPackage", "pbuPackage" or empty; any other raises
  // logic_error "<name>is not a type name".
  PackageField(const std::string& name, std::string packageText);

  std::unique_ptr<Field> clone() const override { return std::make_unique<PackageField>(*this); }

  const std::string& lengthName() const { return lengthName_; }

  // The length field, SOH, then the package field; no SOH at the end.
  std::string toString() const override;

  // Reads "<length field> SOH <N bytes>". Raises length_error "Package length
  // not match!" when N is not the byte count that follows (compared as
  // decimal text, so leading zeros never match), and the field errors.
  void parsePackage(const std::string& text);

 private:
  std::string lengthName_ = "Length";
};

}  // namespace tavin
