// One named field of a message and its wire form: tag, "=", value.
//
// A value type, used by one thread at a time. The readers take fields off a
// received text; none of them reads past the end of that text.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace tavin {

class Field {
 public:
  Field() = default;  // the absent field: empty name, empty tag, empty value
  Field(const std::string& name, std::string value);
  Field(const Field&) = default;
  Field& operator=(const Field&) = default;
  virtual ~Field() = default;

  virtual std::unique_ptr<Field> clone() const { return std::make_unique<Field>(*this); }

  const std::string& typeName() const { return typeName_; }
  const std::string& typeId() const { return typeId_; }
  const std::string& value() const { return value_; }

  // Sets the name and takes the tag from the table (or the reverse). A name
  // or tag outside the table raises the table's runtime_error.
  void setTypeName(const std::string& name);
  void setTypeId(const std::string& tag);
  void setValue(std::string value) { value_ = std::move(value); }

  // tag "=" value, without the closing SOH.
  virtual std::string toString() const;

  // Fills the field from its wire form (without SOH). Raises logic_error
  // "Field not complete(1|2), typeName=<previous name>" for an empty text or
  // digits only, runtime_error "Field Parse Error str=<text>" when the digits
  // are not followed by "=", and the table's error for an unknown tag.
  void parse(const std::string& text);

  // Takes the next field off text at pos (up to the next SOH, or the end) and
  // parses it; pos moves past that SOH, or to the end of the text.
  void readField(const std::string& text, size_t& pos);

  // readField, then requires the name read to be name; otherwise raises
  // runtime_error "<name> field not exists <read> instead".
  void expectField(const std::string& name, size_t& pos, const std::string& text);

  bool isEmpty() const { return typeName_.empty(); }
  bool isPackage() const;
  bool isPackageLength() const;

 private:
  std::string typeName_;
  std::string typeId_;
  std::string value_;
};

}  // namespace tavin
